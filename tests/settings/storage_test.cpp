#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include "support.h"

namespace {

class KVStoreStorage : public SettingsTest {
protected:
    // A failed save leaves nothing behind in the folder.
    long files() const { return std::distance(fs::directory_iterator(root), {}); }
};

// Runs fn in a child process that file modes bind (root becomes nobody); fn's result.
int runUnprivileged(const std::function<int()>& fn) {
    pid_t child = fork();
    if (child == 0) {
        _exit(geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0) ? 100 : fn());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(KVStoreStorage, EmptyOrMalformedFileIsRewrittenWithTheDeclarationLast) {
    writeText(path("empty.xml"), "");
    EXPECT_TRUE(open("empty.xml"));
    EXPECT_EQ(outline(path("empty.xml")), "?1.0,,");

    writeText(path("DRL.xml"), "<GROUP KEY=\"a\"></GROUP>\n<GROUP KEY=\"b\"><STATE \n");
    auto store = open("DRL.xml");
    ASSERT_TRUE(store);
    const std::string rewritten = outline(path("DRL.xml"));
    EXPECT_EQ(rewritten.substr(rewritten.size() - 7), " ?1.0,,") << rewritten;
    store->setInt32("c", "k", 3);
    EXPECT_EQ(open("DRL.xml")->getInt32("c", "k", 0), 3);
}

TEST_F(KVStoreStorage, FileThatCanBeNeitherReadNorWrittenGivesNoStore) {
    fs::create_directory(path("DRL.xml"));
    EXPECT_FALSE(open("DRL.xml"));
    EXPECT_FALSE(open("missing/DRL.xml"));
    fs::remove(path("DRL.xml"));
    corvane::fileOps().rename = [](const char*, const char*) { return errno = EIO, -1; };
    EXPECT_FALSE(open("DRL.xml"));
    EXPECT_EQ(files(), 0);
}

// File modes do not bind root, so the stores run as nobody in a child process.
TEST_F(KVStoreStorage, UnreadableFileIsReplacedButAFileWeMayNotWriteIsKept) {
    const std::string old =
        "<GROUP KEY=\"g\"><STATE KEY=\"k\" TYPE=\"INT32\" VALUE=\"1\" /></GROUP>";
    fs::permissions(root, fs::all_all);
    const std::vector<std::pair<std::string, mode_t>> modes = {
        {"writeonly.xml", 0200}, {"none.xml", 0}, {"readonly.xml", 0444}};
    for (const auto& [name, mode] : modes) {
        writeText(path(name), old);
        EXPECT_EQ(chown(path(name).c_str(), 65534, 65534) == 0, geteuid() == 0);
        chmod(path(name).c_str(), mode);
    }
    EXPECT_EQ(runUnprivileged([&] {
                  auto readonly = open("readonly.xml");
                  if (!open("writeonly.xml") || open("none.xml") || !readonly) {
                      return 1;
                  }
                  readonly->setInt32("g", "k", 2);
                  return readonly->getInt32("g", "k", 0) == 2 && !readonly->save() ? 0 : 2;
              }),
              0);
    EXPECT_EQ(readText(path("writeonly.xml")), "<?xml version=\"1.0\" ?>\n");
    EXPECT_EQ(fs::status(path("writeonly.xml")).permissions(), fs::owner_write);
    EXPECT_EQ(readText(path("none.xml")), old);
    EXPECT_EQ(readText(path("readonly.xml")), old);
}

TEST_F(KVStoreStorage, InterruptedSaveLeavesTheOldCompleteFile) {
    auto store = open("DRL.xml");
    store->setString("main_window", "geometry", "AdnQywADAAAAAAHfAAAA");
    const std::string old = readText(path("DRL.xml"));
    auto& ops = corvane::fileOps();
    for (size_t room : {0, 1, 30, 100}) {  // bytes before the disk is full
        ops.write = [&room](int fd, const void* data, size_t size) -> ssize_t {
            ssize_t done =
                room == 0 ? (errno = ENOSPC, -1) : ::write(fd, data, std::min(size, room));
            room -= done > 0 ? size_t(done) : 0;
            return done;
        };
        store->setInt32("main_window", "width", 640);
        EXPECT_EQ(readText(path("DRL.xml")), old) << room;
    }
    ops.write = systemOps.write;
    ops.fsync = [](int) { return errno = EIO, -1; };
    EXPECT_FALSE(store->save());
    ops.fsync = systemOps.fsync;
    ops.rename = [](const char*, const char*) { return errno = EXDEV, -1; };
    EXPECT_FALSE(store->save());
    EXPECT_EQ(readText(path("DRL.xml")), old);
    EXPECT_EQ(files(), 1);

    // The value waited in memory for the next save that works.
    ops.rename = systemOps.rename;
    store->setBool("main_window", "maximised", true);
    store = open("DRL.xml");
    EXPECT_EQ(store->getInt32("main_window", "width", 0), 640);
    EXPECT_EQ(store->getString("main_window", "geometry", ""), "AdnQywADAAAAAAHfAAAA");
}

TEST_F(KVStoreStorage, SaveReplacesTheTargetOfALinkAndKeepsItsMode) {
    fs::create_directory(path("real"));
    writeText(path("real/DRL.xml"), "");
    fs::permissions(path("real/DRL.xml"), fs::perms(0640));
    fs::create_symlink(path("real/DRL.xml"), path("DRL.xml"));
    open("DRL.xml")->setUInt16("g", "k", 7);
    EXPECT_TRUE(fs::is_symlink(path("DRL.xml")));
    EXPECT_EQ(outline(path("real/DRL.xml")),
              "?1.0,, GROUP{KEY=g}[STATE{KEY=k,TYPE=UINT16,VALUE=7}]");
    EXPECT_EQ(fs::status(path("real/DRL.xml")).permissions(), fs::perms(0640));
}

TEST_F(KVStoreStorage, OneThreadWritesTheFileAtATime) {
    auto store = open("DRL.xml");
    std::atomic<int> writing{0};
    std::atomic<int> most{0};
    corvane::fileOps().fsync = [&](int fd) {
        most = std::max(most.load(), ++writing);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for an overlap
        --writing;
        return ::fsync(fd);
    };
    std::thread setter([&] { store->setInt32("a", "k", 1); });
    std::thread saver([&] { store->save(); });
    store->setInt32("b", "k", 2);
    setter.join();
    saver.join();
    EXPECT_EQ(most, 1);
}

}  // namespace
