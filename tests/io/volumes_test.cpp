#include "io/volumes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

namespace corvane::io {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// /proc and /sys laid out as the kernel does: device folders under sys/devices,
// sys/dev/block/MAJ:MIN and slaves/ entries as relative links to them.
struct Tree {
    Tree() {
        std::string pattern = (fs::path(testing::TempDir()) / "volumesXXXXXX").string();
        root = mkdtemp(pattern.data());
        fs::create_directories(root / "proc/self");
        fs::create_directories(root / "sys/dev/block");
        mountinfo("");
    }
    ~Tree() { fs::remove_all(root); }

    // A whole disk, or with slaves a dm or md device over them.
    fs::path disk(const std::string& name, const std::string& id,
                  const std::vector<fs::path>& slaves = {}) {
        fs::path dir = root / "sys/devices" / (slaves.empty() ? "pci0000:00/ata1" : "virtual") /
                       "block" / name;
        node(dir, id);
        fs::create_directories(dir / "slaves");
        for (const fs::path& s : slaves) {
            link(dir / "slaves" / s.filename(), s);
        }
        return dir;
    }
    fs::path partition(const fs::path& disk, const std::string& name, const std::string& id) {
        node(disk / name, id);
        std::ofstream(disk / name / "partition") << "1\n";
        return disk / name;
    }
    void node(const fs::path& dir, const std::string& id) {
        fs::create_directories(dir);
        std::ofstream(dir / "dev") << id << "\n";
        link(root / "sys/dev/block" / id, dir);
    }
    static void link(const fs::path& at, const fs::path& target) {
        fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
    }
    void mount(const std::string& id, const std::string& field) {
        table += "30 1 " + id + " / " + field + " rw,relatime shared:1 - ext4 /dev/x rw\n";
        mountinfo(table);
    }
    void mountinfo(const std::string& text) { std::ofstream(root / "proc/self/mountinfo") << text; }
    bool list(std::vector<VolumeExtents>* out, const char* pattern = "/dev/sd%c") const {
        auto platform = makeLinuxPlatform(pattern);
        return listVolumeExtents(
            out, {(root / "proc").string(), (root / "sys").string(), platform.get()});
    }

    fs::path root;
    std::string table;
};

// "mountPoint id disk:number ..." per volume; "-" for a disk without a number.
Names describe(const std::vector<VolumeExtents>& volumes) {
    Names out;
    for (const VolumeExtents& v : volumes) {
        out.push_back(v.mountPoint + " " + v.volumeId);
        for (const DiskExtent& e : v.extents) {
            out.back() += " " + e.disk + ":" + (e.diskNumber ? std::to_string(*e.diskNumber) : "-");
        }
    }
    return out;
}

TEST(MountField, DecodesKernelEscapesOnly) {
    EXPECT_EQ(unescapeMountField("/a\\040b\\011c\\012d\\134e"), "/a b\tc\nd\\e");
    for (const char* literal : {"/x\\04", "/x\\", "/x\\809", "/x\\477"}) {
        EXPECT_EQ(unescapeMountField(literal), literal);
    }
}

TEST(DiskNumber, FollowsThePlatformDiskPaths) {
    auto sd = makeLinuxPlatform("/dev/sd%c");
    EXPECT_EQ(diskNumberOf("sdz", *sd), 25u);
    for (const char* none : {"sdaa", "sda1", "vda", "nvme0n1"}) {
        EXPECT_EQ(diskNumberOf(none, *sd), std::nullopt) << none;
    }
    EXPECT_EQ(diskNumberOf("cciss!c0d3", *makeLinuxPlatform("/dev/cciss/c0d%d")), 3u);
}

TEST(ListVolumes, MapsPartitionsAndWholeDisksAndSkipsWhatHasNoBlockDevice) {
    Tree t;
    fs::path sda = t.disk("sda", "8:0");
    t.partition(sda, "sda1", "8:1");
    t.partition(sda, "sda2", "8:2");
    t.disk("sdc", "8:32");
    t.partition(t.disk("vda", "254:0"), "vda1", "254:1");
    t.disk("loop3", "7:3");
    t.mount("254:1", "/");
    t.mount("0:21", "/proc");
    t.mount("8:1", "/media/My\\040Disk");
    t.mount("8:99", "/gone");  // sysfs no longer knows the device
    t.mount("8:32", "/srv/raw");
    t.mount("8:2", "/data");
    t.mount("7:3", "/img");

    std::vector<VolumeExtents> out;
    ASSERT_TRUE(t.list(&out));
    EXPECT_EQ(describe(out), (Names{"/ 254:1 vda:-", "/media/My Disk 8:1 sda:0",
                                    "/srv/raw 8:32 sdc:2", "/data 8:2 sda:0", "/img 7:3 loop3:-"}));
    EXPECT_EQ(lettersOnDisk(out, 0), (Names{"/media/My Disk", "/data"}));
    EXPECT_TRUE(lettersOnDisk(out, 1).empty());

    ASSERT_TRUE(t.list(&out, "/dev/loop%d"));
    EXPECT_EQ(lettersOnDisk(out, 3), (Names{"/img"}));
    EXPECT_TRUE(lettersOnDisk(out, 0).empty());
}

TEST(ListVolumes, FollowsStackedDevicesToEveryDisk) {
    Tree t;
    fs::path sda = t.disk("sda", "8:0");
    fs::path sdb = t.disk("sdb", "8:16");
    fs::path sda1 = t.partition(sda, "sda1", "8:1");
    fs::path sda2 = t.partition(sda, "sda2", "8:2");
    fs::path sda3 = t.partition(sda, "sda3", "8:3");
    fs::path sdb1 = t.partition(sdb, "sdb1", "8:17");
    t.disk("dm-0", "253:0", {sdb1, sda1});
    t.disk("dm-1", "253:1", {sda2, sda3});
    // A partitioned md mirror, and dm over one of its partitions and an unnumbered disk.
    fs::path md0 = t.disk("md0", "9:0", {t.disk("sdc", "8:32"), t.disk("sdd", "8:48")});
    t.disk("dm-2", "253:2", {t.partition(md0, "md0p1", "259:1"), t.disk("nvme0n1", "259:0")});
    t.mount("253:0", "/span");
    t.mount("253:1", "/twice");
    t.mount("259:1", "/mirror");
    t.mount("253:2", "/layered");

    std::vector<VolumeExtents> out;
    ASSERT_TRUE(t.list(&out));
    EXPECT_EQ(describe(out),
              (Names{"/span 253:0 sda:0 sdb:1", "/twice 253:1 sda:0 sda:0",
                     "/mirror 259:1 sdc:2 sdd:3", "/layered 253:2 sdc:2 sdd:3 nvme0n1:-"}));
    EXPECT_EQ(lettersOnDisk(out, 0), (Names{"/span", "/twice"}));
    EXPECT_EQ(lettersOnDisk(out, 1), (Names{"/span"}));
    EXPECT_EQ(lettersOnDisk(out, 3), (Names{"/mirror", "/layered"}));
    out.push_back(out[0]);  // a name twice in a caller's list still comes once
    EXPECT_EQ(lettersOnDisk(out, 1), (Names{"/span"}));
}

TEST(ListVolumes, KeepsOnlyTheVisibleMountOfAMountPoint) {
    Tree t;
    t.partition(t.disk("sda", "8:0"), "sda1", "8:1");
    t.partition(t.disk("sdb", "8:16"), "sdb1", "8:17");
    t.mount("8:1", "/mnt/a");
    t.mount("8:1", "/mnt/b");   // the same volume bound elsewhere
    t.mount("8:17", "/mnt/a");  // over-mounts sda1 there
    t.mount("8:17", "/mnt/c");
    t.mount("0:40", "/mnt/c");  // a tmpfs hides sdb1 at /mnt/c

    std::vector<VolumeExtents> out;
    ASSERT_TRUE(t.list(&out));
    EXPECT_EQ(describe(out), (Names{"/mnt/b 8:1 sda:0", "/mnt/a 8:17 sdb:1"}));
}

// Permissions do not stop root, so a node that cannot be followed is built from links to
// nowhere and a folder where a file belongs.
TEST(ListVolumes, AnEntryThatExistsButCannotBeFollowedFailsTheWholeListing) {
    const std::vector<std::pair<const char*, std::function<void(Tree&)>>> breakages = {
        {"dangling block link",
         [](Tree& t) { Tree::link(t.root / "sys/dev/block/8:33", t.root / "nowhere"); }},
        {"dev is a folder",
         [](Tree& t) {
             fs::create_directories(t.root / "weird/dev");
             Tree::link(t.root / "sys/dev/block/8:33", t.root / "weird");
         }},
        {"dangling slave",
         [](Tree& t) {
             fs::path sdb1 = t.partition(t.disk("sdb", "8:16"), "sdb1", "8:17");
             t.disk("dm-9", "8:33", {sdb1});
             fs::remove_all(sdb1);
         }},
        {"slaves looping back",
         [](Tree& t) {
             fs::path d = t.disk("dm-9", "8:33", {});
             Tree::link(d / "slaves/dm-9", d);
         }},
    };
    for (const auto& [what, breakIt] : breakages) {
        SCOPED_TRACE(what);
        Tree t;
        t.partition(t.disk("sda", "8:0"), "sda1", "8:1");
        t.mount("8:1", "/good");
        t.mount("8:33", "/bad");
        std::vector<VolumeExtents> out;
        // Absent, 8:33 is skipped.
        ASSERT_TRUE(t.list(&out));
        ASSERT_EQ(describe(out), (Names{"/good 8:1 sda:0"}));

        breakIt(t);
        EXPECT_FALSE(t.list(&out));
        EXPECT_EQ(describe(out), (Names{"/good 8:1 sda:0"}));
    }
}

TEST(ListVolumes, FailsWithoutAReadableMountTable) {
    Tree t;
    t.partition(t.disk("sda", "8:0"), "sda1", "8:1");
    std::vector<VolumeExtents> out;
    EXPECT_FALSE(listVolumeExtents(nullptr, VolumeSources{}));
    for (const char* bad : {"21 1 8:1 / /x rw\n22 1 8:1 /\n", "21 1 8-1 / /x rw\n",
                            "21 1 :1 / /x rw\n", "21 1 99999999999:1 / /x rw\n"}) {
        t.mountinfo(bad);
        EXPECT_FALSE(t.list(&out)) << bad;
    }
    t.mountinfo("\n21 1 8:1 / /x rw - ext4 /dev/sda1 rw");  // no last newline
    ASSERT_TRUE(t.list(&out));
    fs::remove(t.root / "proc/self/mountinfo");
    EXPECT_FALSE(t.list(&out));
    EXPECT_EQ(describe(out), (Names{"/x 8:1 sda:0"}));
}

TEST(ListVolumes, ThisMachine) {
    std::vector<VolumeExtents> out;
    ASSERT_TRUE(listVolumeExtents(&out));
    for (const VolumeExtents& v : out) {
        EXPECT_FALSE(v.extents.empty()) << v.mountPoint;
        for (const DiskExtent& e : v.extents) {
            EXPECT_TRUE(fs::exists("/sys/block/" + e.disk)) << e.disk;
            EXPECT_LE(e.diskNumber.value_or(0), 25u);
        }
    }
    struct stat st {};
    ASSERT_EQ(stat("/", &st), 0);
    const std::string id =
        std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    if (major(st.st_dev) == 0 || !fs::exists("/sys/dev/block/" + id)) {
        GTEST_SKIP() << "the root file system is not on a block device";
    }
    auto root = std::find_if(out.begin(), out.end(),
                             [](const VolumeExtents& v) { return v.mountPoint == "/"; });
    ASSERT_NE(root, out.end());
    EXPECT_EQ(root->volumeId, id);
    for (const DiskExtent& e : root->extents) {
        if (platform().diskPath(0) == "/dev/sda" && e.disk.size() == 3 && e.disk[0] == 's' &&
            e.disk[1] == 'd') {
            ASSERT_EQ(e.diskNumber, uint32_t(e.disk[2] - 'a'));
            const Names onDisk = lettersOnDisk(out, *e.diskNumber);
            EXPECT_NE(std::find(onDisk.begin(), onDisk.end(), "/"), onDisk.end());
        }
    }
}

}  // namespace
}  // namespace corvane::io
