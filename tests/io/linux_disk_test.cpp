#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "io/debug.h"
#include "io/passthrough.h"

using namespace corvane;

namespace {

struct TempImage {
    TempImage(size_t bytes, char fill, const char* name = "disk.img") {
        char dir[] = "/tmp/drl-linux-disk-XXXXXX";
        EXPECT_NE(nullptr, mkdtemp(dir));
        folder = dir;
        path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << std::string(bytes, fill);
    }
    ~TempImage() { std::filesystem::remove_all(folder); }
    std::string folder, path;
};

// The descriptor this process holds on path; -1 when none.
int descriptorOf(const std::string& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec).string() == path)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}

// A disk image is never written (nor cut): it is opened read-only. No SCSI behind a file:
// VERIFY reads instead. By number only block devices count.
TEST(LinuxDisk, ImagesAreReadOnlyDisksWithoutScsi) {
    TempImage image(512 * 64, 'x', "sdd");
    io::setPlatform(io::makeLinuxPlatform(image.folder + "/sd%c"));
    int err = 0;
    io::UniqueDrive disk(io::openDrivePath(image.path, &err));
    ASSERT_NE(nullptr, disk) << err;
    const int fd = descriptorOf(image.path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(O_RDONLY, fcntl(fd, F_GETFL) & O_ACCMODE);

    std::vector<char> block(512, 'C');
    size_t done = 7;
    EXPECT_NE(0, disk->writeAt(block.data(), 512, 0, &done));
    EXPECT_EQ(0u, done);
    EXPECT_EQ(0, disk->readAt(block.data(), 512, 512, &done));
    EXPECT_EQ(std::string(512, 'x'), std::string(block.begin(), block.end()));
    uint64_t size = 0;
    EXPECT_TRUE(io::getDiskSize(disk.get(), &size) && size == 512u * 64u) << size;
    EXPECT_EQ(io::ScsiOk, io::verifyBlocks(disk.get(), 63, 1));
    EXPECT_NE(io::ScsiOk, io::verifyBlocks(disk.get(), 64, 1));
    for (const auto& [number, error] : {std::make_pair(2u, ENOENT), {3u, ENOTBLK}, {26u, ENODEV}}) {
        EXPECT_EQ(nullptr, io::openPhysicalDrive(number, &err));
        EXPECT_EQ(error, err) << number;
    }
    disk.reset();
    io::setPlatform(nullptr);
}

// Linux frees a descriptor even when close fails; closing it again would close whatever
// file the number has been given to since.
TEST(LinuxDisk, AFailedCloseStillReleasesTheDescriptor) {
    TempImage image(4096, 'x'), other(4096, 'o');
    auto platform = io::makeLinuxPlatform();
    int err = 0;
    std::unique_ptr<io::Disk> disk = platform->openPath(image.path, &err);
    ASSERT_NE(nullptr, disk) << err;
    const int fd = descriptorOf(image.path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ::close(fd));  // the failure of the disk's own close is now certain
    EXPECT_EQ(EBADF, disk->close());
    const int reused = ::open(other.path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(fd, reused) << "the lowest free number comes back";
    EXPECT_EQ(0, disk->close()) << "closed once is closed";
    uint32_t blockSize = 0;
    EXPECT_EQ(EBADF, disk->blockSize(&blockSize));
    disk.reset();
    EXPECT_NE(-1, fcntl(reused, F_GETFD)) << "someone else's descriptor was closed";
    ::close(reused);
}

// A sysfs tree with two SCSI devices, A and B: disk 8:0 (or `disk`) is A's, and a
// scsi_generic entry under A names the node "full", which /dev has as the character
// device 1:7. dev/char/1:7 files it under `charOwner` ("" when sysfs does not know it).
struct GenericTree {
    explicit GenericTree(const std::string& charOwner, bool hasGeneric = true,
                         const std::string& disk = "8:0") {
        namespace fs = std::filesystem;
        const fs::path a = sys / "devices/host0/0:0:0:0", b = sys / "devices/host0/0:0:1:0";
        fs::create_directories(a / "block/sda");
        fs::create_directories(b / "scsi_generic/full");
        fs::create_directory_symlink("../..", a / "block/sda/device");
        fs::create_directory_symlink("../..", b / "scsi_generic/full/device");
        if (hasGeneric) {
            fs::create_directories(a / "scsi_generic/full");
            fs::create_directory_symlink("../..", a / "scsi_generic/full/device");
        }
        fs::create_directories(sys / "dev/block");
        fs::create_directories(sys / "dev/char");
        fs::create_directory_symlink("../../devices/host0/0:0:0:0/block/sda",
                                     sys / "dev/block" / disk);
        if (!charOwner.empty()) {
            fs::create_directory_symlink("../../devices/host0/" + charOwner + "/scsi_generic/full",
                                         sys / "dev/char/1:7");
        }
        fs::create_directories(dev);
    }
    TempImage scratch{0, 0};
    std::filesystem::path sys = scratch.folder + "/sys", dev = scratch.folder + "/dev";
};

// What stands at the node's name in /dev.
enum Node { RealNode, RegularFile, Link };

// SCSI commands go to the disk's own generic node, or to none: sysfs names the node, and
// the node must be the character device that sysfs files under the disk's SCSI device.
TEST(LinuxDisk, GenericNodeOnlyWhenSysfsSaysItIsTheDisks) {
    const struct {
        const char* what;
        std::string charOwner;
        bool hasGeneric;
        std::string diskInSysfs;
        Node node;
        bool taken;
    } cases[] = {
        {"the disk's own", "0:0:0:0", true, "8:0", RealNode, true},
        {"another device's", "0:0:1:0", true, "8:0", RealNode, false},
        {"unknown to sysfs", "", true, "8:0", RealNode, false},
        {"no generic node", "0:0:0:0", false, "8:0", RealNode, false},
        {"not a SCSI disk", "0:0:0:0", true, "8:16", RealNode, false},
        {"a regular file", "0:0:0:0", true, "8:0", RegularFile, false},
        {"a link to the node", "0:0:0:0", true, "8:0", Link, false},
    };
    for (const auto& c : cases) {
        GenericTree tree(c.charOwner, c.hasGeneric, c.diskInSysfs);
        io::LinuxPaths paths{tree.sys.string(), "/dev"};
        if (c.node != RealNode) {
            paths.dev = tree.dev.string();
            if (c.node == RegularFile) {
                std::ofstream(tree.dev / "full") << "x";
            } else {
                std::filesystem::create_symlink("/dev/full", tree.dev / "full");
            }
        }
        std::string why;
        const int fd = io::openGenericNode(makedev(8, 0), paths, &why);
        EXPECT_EQ(c.taken, fd >= 0 && descriptorOf("/dev/full") == fd) << c.what << ": " << why;
        if (fd >= 0)
            ::close(fd);
    }
}

// The platform sends SCSI commands through the generic node it found, and says once of a
// disk that it has none. Needs a block device: the first loop device.
TEST(LinuxDisk, PlatformUsesTheGenericNodeOrSaysOnceThatThereIsNone) {
    struct stat st {};
    if (geteuid() != 0 || ::stat("/dev/loop0", &st) != 0 || !S_ISBLK(st.st_mode)) {
        GTEST_SKIP() << "needs root and /dev/loop0";
    }
    const std::string loop =
        std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::vector<std::string> notes;
    io::setDebugSink([&](const std::string& line) { notes.push_back(line); });
    for (const bool hasGeneric : {true, false}) {
        GenericTree tree("0:0:0:0", hasGeneric, loop);
        auto platform = io::makeLinuxPlatform("/dev/loop%d", {tree.sys.string(), "/dev"});
        notes.clear();
        for (int round = 0; round < 2; ++round) {
            int err = 0;
            std::unique_ptr<io::Disk> disk = platform->openDisk(0, &err);
            ASSERT_NE(nullptr, disk) << err;
            EXPECT_EQ(hasGeneric, descriptorOf("/dev/full") >= 0);
            disk.reset();
            EXPECT_EQ(-1, descriptorOf("/dev/full")) << "closed with the disk";
        }
        EXPECT_EQ(hasGeneric ? 0u : 1u, notes.size()) << "once per disk";
    }
    io::setDebugSink(nullptr);
}

}  // namespace
