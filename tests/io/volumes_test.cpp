#include "io/volumes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace corvane::io {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// /proc and /sys laid out as the kernel does: device folders under sys/devices,
// sys/dev/block/MAJ:MIN and slaves/ entries as relative links to them.
struct Tree {
    ~Tree() { fs::remove_all(root); }

    // A whole disk, or with slaves a dm or md device over them.
    fs::path disk(const std::string& name, const std::string& id,
                  const std::vector<fs::path>& slaves = {}) {
        const char* bus = slaves.empty() ? "sys/devices/pci/block" : "sys/devices/virtual/block";
        fs::path dir = node(root / bus / name, id);
        fs::create_directories(dir / "slaves");
        for (const fs::path& s : slaves)
            link(dir / "slaves" / s.filename(), s);
        return dir;
    }
    fs::path partition(const fs::path& disk, const std::string& name, const std::string& id) {
        std::ofstream(node(disk / name, id) / "partition") << "1\n";
        return disk / name;
    }
    fs::path node(const fs::path& dir, const std::string& id) {
        fs::create_directories(dir);
        std::ofstream(dir / "dev") << id << "\n";
        link(root / "sys/dev/block" / id, dir);
        return dir;
    }
    static void link(const fs::path& at, const fs::path& target) {
        fs::create_directories(at.parent_path());
        fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
    }
    // Pairs of device id and mount point field (escaped as in mountinfo), in mount order.
    void mount(const std::string& pairs) {
        std::istringstream in(pairs);
        std::string table;
        for (std::string id, field; in >> id >> field;)
            table += "30 1 " + id + " / " + field + " rw shared:1 - ext4 /dev/x rw\n";
        mountinfo(table);
    }
    void mountinfo(const std::string& text) {
        fs::create_directories(root / "proc/self");
        std::ofstream(root / "proc/self/mountinfo") << text;
    }
    bool list(std::vector<VolumeExtents>* out, const char* pattern = "/dev/sd%c") const {
        auto platform = makeLinuxPlatform(pattern);
        return listVolumeExtents(
            out, {(root / "proc").string(), (root / "sys").string(), platform.get()});
    }

    fs::path root = mkdtemp((fs::path(testing::TempDir()) / "volumesXXXXXX").string().data());
};

// "mountPoint id disk:number ..." per volume; "-" for a disk without a number.
Names describe(const std::vector<VolumeExtents>& volumes) {
    Names out;
    for (const VolumeExtents& v : volumes) {
        out.push_back(v.mountPoint + " " + v.volumeId);
        for (const DiskExtent& e : v.extents)
            out.back() += " " + e.disk + ":" + (e.diskNumber ? std::to_string(*e.diskNumber) : "-");
    }
    return out;
}

TEST(VolumeNames, MountFieldEscapesAndDiskNumbers) {
    EXPECT_EQ(unescapeMountField("/a\\040b\\011c\\012d\\134e"), "/a b\tc\nd\\e");
    for (const char* literal : {"/x\\04", "/x\\", "/x\\809", "/x\\477"})
        EXPECT_EQ(unescapeMountField(literal), literal);
    auto sd = makeLinuxPlatform("/dev/sd%c");
    EXPECT_EQ(diskNumberOf("sdz", *sd), 25u);
    for (const char* none : {"sdaa", "sda1", "vda", "nvme0n1"})
        EXPECT_EQ(diskNumberOf(none, *sd), std::nullopt) << none;
    EXPECT_EQ(diskNumberOf("cciss!c0d3", *makeLinuxPlatform("/dev/cciss/c0d%d")), 3u);
}

// Only the visible (last) mount of a mount point counts; one volume may show at several.
TEST(ListVolumes, MapsPartitionsAndWholeDisksAndSkipsWhatHasNoBlockDevice) {
    Tree t;
    fs::path sda = t.disk("sda", "8:0");
    t.partition(sda, "sda1", "8:1");
    t.partition(sda, "sda2", "8:2");
    t.disk("sdc", "8:32");
    t.partition(t.disk("vda", "254:0"), "vda1", "254:1");
    t.disk("loop3", "7:3");
    // 8:99 is gone from sysfs, 0:21 has no block device, sda1 is bound over sda2 at /data
    // and a tmpfs hides sdc at /srv/raw.
    t.mount(
        "254:1 / 0:21 /proc 8:1 /media/My\\040Disk 8:99 /gone 8:32 /srv/raw 8:2 /data 7:3 /img "
        "8:1 /data 0:40 /srv/raw");

    std::vector<VolumeExtents> out;
    ASSERT_TRUE(t.list(&out));
    EXPECT_EQ(describe(out), (Names{"/ 254:1 vda:-", "/media/My Disk 8:1 sda:0", "/img 7:3 loop3:-",
                                    "/data 8:1 sda:0"}));
    EXPECT_EQ(lettersOnDisk(out, 0), (Names{"/media/My Disk", "/data"}));

    ASSERT_TRUE(t.list(&out, "/dev/loop%d"));
    EXPECT_EQ(lettersOnDisk(out, 3), (Names{"/img"}));
}

TEST(ListVolumes, FollowsStackedDevicesToEveryDisk) {
    Tree t;
    const fs::path sda = t.disk("sda", "8:0"), sdb = t.disk("sdb", "8:16");
    t.disk("dm-0", "253:0", {t.partition(sdb, "sdb1", "8:17"), t.partition(sda, "sda1", "8:1")});
    t.disk("dm-1", "253:1", {t.partition(sda, "sda2", "8:2"), t.partition(sda, "sda3", "8:3")});
    // A partitioned md mirror, and dm over one of its partitions and an unnumbered disk.
    fs::path md0 = t.disk("md0", "9:0", {t.disk("sdc", "8:32"), t.disk("sdd", "8:48")});
    t.disk("dm-2", "253:2", {t.partition(md0, "md0p1", "259:1"), t.disk("nvme0n1", "259:0")});
    t.mount("253:0 /span 253:1 /twice 259:1 /mirror 253:2 /layered");

    std::vector<VolumeExtents> out;
    ASSERT_TRUE(t.list(&out));
    EXPECT_EQ(describe(out),
              (Names{"/span 253:0 sda:0 sdb:1", "/twice 253:1 sda:0 sda:0",
                     "/mirror 259:1 sdc:2 sdd:3", "/layered 253:2 sdc:2 sdd:3 nvme0n1:-"}));
    EXPECT_EQ(lettersOnDisk(out, 0), (Names{"/span", "/twice"}));
    EXPECT_EQ(lettersOnDisk(out, 3), (Names{"/mirror", "/layered"}));
    out.push_back(out[0]);  // a name twice in a caller's list still comes once
    EXPECT_EQ(lettersOnDisk(out, 1), (Names{"/span"}));
}

// A mount table or a node that exists but cannot be read or followed fails the whole
// listing and leaves the caller's list alone. Permissions do not stop root, so a node that
// cannot be followed is built from links to nowhere, a loop and a missing file.
TEST(ListVolumes, WhatCannotBeReadOrFollowedFailsTheWholeListing) {
    const auto expectFailure = [](const std::string& what, const auto& breakIt) {
        SCOPED_TRACE(what);
        Tree t;
        t.partition(t.disk("sda", "8:0"), "sda1", "8:1");
        const fs::path dm9 = t.disk("dm-9", "253:9");
        // An empty line and no last newline are fine.
        t.mountinfo("\n30 1 8:1 / /good rw - ext4 /dev/x rw\n30 1 253:9 / /dm rw - ext4 /dev/x rw");
        std::vector<VolumeExtents> out;
        ASSERT_TRUE(t.list(&out));
        breakIt(t, dm9);
        EXPECT_FALSE(t.list(&out));
        EXPECT_EQ(describe(out), (Names{"/good 8:1 sda:0", "/dm 253:9 dm-9:-"}));
    };
    const std::pair<const char*, void (*)(const fs::path&)> nodes[] = {
        {"dangling block link", [](const fs::path& d) { fs::remove_all(d); }},
        {"no dev file", [](const fs::path& d) { fs::remove(d / "dev"); }},
        {"dangling slave", [](const fs::path& d) { Tree::link(d / "slaves/sdb1", d / "nowhere"); }},
        {"slaves looping back", [](const fs::path& d) { Tree::link(d / "slaves/dm-9", d); }},
    };
    for (const auto& [what, breakIt] : nodes) {
        expectFailure(what, [&](Tree&, const fs::path& d) { breakIt(d); });
    }
    for (const char* bad : {"21 1 8:1 / /x rw\n22 1 8:1 /\n", "21 1 8-1 / /x rw\n",
                            "21 1 :1 / /x rw\n", "21 1 99999999999:1 / /x rw\n"}) {
        expectFailure(bad, [&](Tree& t, const fs::path&) { t.mountinfo(bad); });
    }
    expectFailure("no mount table",
                  [](Tree& t, const fs::path&) { fs::remove(t.root / "proc/self/mountinfo"); });
}

TEST(ListVolumes, ThisMachine) {
    std::vector<VolumeExtents> out;
    ASSERT_TRUE(listVolumeExtents(&out));
    struct stat st {};
    ASSERT_EQ(stat("/", &st), 0);
    const std::string id =
        std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    bool rootListed = false;
    for (const VolumeExtents& v : out) {
        for (const DiskExtent& e : v.extents)
            EXPECT_TRUE(fs::exists("/sys/block/" + e.disk)) << e.disk;
        rootListed |= v.mountPoint == "/" && v.volumeId == id;
    }
    if (major(st.st_dev) == 0 || !fs::exists("/sys/dev/block/" + id)) {
        GTEST_SKIP() << "the root file system is not on a block device";
    }
    EXPECT_TRUE(rootListed) << id;
}

}  // namespace
}  // namespace corvane::io
