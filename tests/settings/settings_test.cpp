#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tinyxml.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "settings/atomicfile.h"
#include "settings/folder.h"
#include "settings/intlist.h"
#include "settings/kvstore.h"

namespace fs = boost::filesystem;
using namespace corvane;

namespace {

// Each test runs in a fresh folder that is also HOME and the current directory, so that
// nothing reaches the real home folder.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root);
        fs::current_path(root);
        setenv("HOME", root.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        fileOps() = systemOps;
        releaseSettings();
        setSettingsFolder("");
        fs::current_path(startDirectory);
        fs::remove_all(root);
    }
    std::string path(const std::string& name) const { return (root / name).string(); }
    std::unique_ptr<KVStore> open(const std::string& name) const {
        return std::unique_ptr<KVStore>(createXmlKVStore(path(name), true));
    }

    const fs::path root = fs::temp_directory_path() / fs::unique_path("drl-settings-%%%%-%%%%");
    const fs::path startDirectory = fs::current_path();
    const FileOps systemOps = fileOps();
};

std::string readText(const std::string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The elements below node on one line: NAME{ATTR=value,...} in attribute order, then the
// children in []. The declaration is left out.
std::string outlineOf(const TiXmlNode* node) {
    std::string line;
    for (const TiXmlElement* e = node->FirstChildElement(); e; e = e->NextSiblingElement()) {
        line += (line.empty() ? "" : " ") + e->ValueStr() + "{";
        for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next())
            line += a->NameTStr() + "=" + a->ValueStr() + (a->Next() ? "," : "");
        line += "}" + (e->FirstChild() ? "[" + outlineOf(e) + "]" : std::string());
    }
    return line;
}

// The file as the XML library reads it on its own.
std::string outline(const std::string& path) {
    TiXmlDocument document;
    return document.LoadFile(path) ? outlineOf(&document) : "not XML";
}

using KVStoreFile = SettingsTest;

TEST_F(KVStoreFile, SetsAddGroupsAndStatesAndRetypeAKeyInPlace) {
    auto store = open("DRL.xml");
    ASSERT_TRUE(store);
    store->setBool("main_window", "flag", true);
    store->setString("main_window", "w", "wide");
    store->setInt8("main_window", "w", -5);
    store->setUInt8("g", "u8", 200);
    store->setUInt64("g", "u64", UINT64_MAX);
    EXPECT_EQ(outline(path("DRL.xml")),
              "GROUP{KEY=main_window}[STATE{KEY=flag,TYPE=BOOL,VALUE=1} "
              "STATE{KEY=w,TYPE=INT8,VALUE=-5}] "
              "GROUP{KEY=g}[STATE{KEY=u8,TYPE=UINT8,VALUE=200} "
              "STATE{KEY=u64,TYPE=UINT64,VALUE=18446744073709551615}]");
}

TEST_F(KVStoreFile, HandEditedFileIsSearchedByKeyAttributesAndNotRepaired) {
    const std::string edited = R"(<GROUP><STATE KEY="k" TYPE="INT32" VALUE="1" /></GROUP>
<OTHER KEY="g"><STATE KEY="k" TYPE="INT32" VALUE="2" /></OTHER>
<GROUP KEY="g"><ITEM TYPE="INT32" VALUE="3" /><ITEM VALUE="0" KEY="k" TYPE="INT32" />
<STATE KEY="k" TYPE="INT32" VALUE="5" /></GROUP>
<GROUP KEY="g"><STATE KEY="k2" TYPE="INT32" VALUE="6" /></GROUP>
<GROUP KEY="h"><STATE KEY="t" VALUE="1" /><STATE KEY="v" TYPE="INT32" /></GROUP>)";
    writeText(path("DRL.xml"), edited);
    auto store = open("DRL.xml");
    EXPECT_EQ(readText(path("DRL.xml")), edited);
    EXPECT_EQ(store->getInt32("g", "k", -1), 0);
    EXPECT_EQ(store->getInt32("g", "k2", -1) + store->getInt32("h", "t", -1) +
                  store->getInt32("h", "v", -1),
              -3);
    // Only the first keyed child of the first matching group changes, in place.
    std::string expected = outline(path("DRL.xml"));
    expected.replace(expected.find("ITEM{VALUE=0"), 12, "ITEM{VALUE=9");
    store->setInt32("g", "k", 9);
    EXPECT_EQ(outline(path("DRL.xml")), expected);
}

TEST_F(KVStoreFile, AwkwardTextsRoundTripThroughTheFile) {
    const std::vector<std::string> texts = {"a&b<c>\"d'e", "&#x41;&amp;", "Gr\xC3\xB6\xC3\x9F",
                                            "\n\t\r",      " ",           "",
                                            "caf\xE9",     "\xE9\"x",     "\xC3"};
    for (size_t i = 0; i < texts.size(); ++i) {  // the last three are not UTF-8
        const std::string& text = texts[i];
        const std::string name = "t" + std::to_string(i) + ".xml";
        open(name)->setString(text, text, text);
        EXPECT_EQ(open(name)->getString(text, text, "absent"), text) << i;
        if (i < 6) {
            EXPECT_EQ(outline(path(name)), "GROUP{KEY=" + text + "}[STATE{KEY=" + text +
                                               ",TYPE=STR,VALUE=" + text + "}]");
        }
    }
}

template <class T>
using Read = bool (KVStore::*)(const std::string&, const std::string&, T&);
template <class T>
using Get = T (KVStore::*)(const std::string&, const std::string&, T);
using Cases = std::vector<std::pair<std::string, std::string>>;

// Stores each text as a value of type under the key of the same name and reads it as T:
// accepted texts give their number; refused ones, a value stored under another type and a
// missing key leave out alone and make the get return its default.
template <class T>
void expectReads(const std::string& type, Read<T> read, Get<T> get, Cases cases,
                 const std::vector<std::string>& refused) {
    for (const std::string& text : refused)
        cases.push_back({text, "refused"});
    std::string xml = "<GROUP KEY=\"g\"><STATE KEY=\"str\" TYPE=\"STR\" VALUE=\"1\" />";
    for (const auto& [text, value] : cases)
        xml += "<STATE KEY=\"" + text + "\" TYPE=\"" + type + "\" VALUE=\"" + text + "\" />";
    writeText("types.xml", xml + "</GROUP>");
    std::unique_ptr<KVStore> store(createXmlKVStore("types.xml", false));
    cases.insert(cases.end(), {{"str", "refused"}, {"missing", "refused"}});
    for (const auto& [key, expected] : cases) {
        T out = T(42);
        const bool found = (*store.*read)("g", key, out);
        EXPECT_EQ(found ? std::to_string(+out) : "refused", expected) << type << " \"" << key;
        EXPECT_EQ((*store.*get)("g", key, T(42)), found ? out : T(42)) << type << " \"" << key;
        EXPECT_TRUE(found || out == T(42)) << type << " \"" << key;
    }
}

TEST_F(KVStoreFile, StoredTextsAreAcceptedOnlyWhenTheyFitTheType) {
    expectReads("BOOL", &KVStore::readBool, &KVStore::getBool, {{"0", "0"}, {"1", "1"}},
                {"2", "true"});
    expectReads("UINT8", &KVStore::readUInt8, &KVStore::getUInt8,
                {{"255", "255"}, {"05", "5"}, {"+5", "5"}}, {"256", "-0"});
    expectReads("INT8", &KVStore::readInt8, &KVStore::getInt8, {{"-128", "-128"}}, {"128"});
    expectReads("UINT16", &KVStore::readUInt16, &KVStore::getUInt16, {{"65535", "65535"}},
                {"65536", "-1"});
    expectReads("INT16", &KVStore::readInt16, &KVStore::getInt16, {{"-32768", "-32768"}},
                {"32768"});
    expectReads("UINT32", &KVStore::readUInt32, &KVStore::getUInt32, {{"4294967295", "4294967295"}},
                {"4294967296", "-1"});
    expectReads("INT32", &KVStore::readInt32, &KVStore::getInt32, {{"-0", "0"}},
                {" 5", "5 ", "", "0x10", "2147483648", "1e3"});
    expectReads("UINT64", &KVStore::readUInt64, &KVStore::getUInt64,
                {{"18446744073709551615", "18446744073709551615"}}, {"18446744073709551616", "-1"});
    expectReads("INT64", &KVStore::readInt64, &KVStore::getInt64,
                {{"-9223372036854775808", "-9223372036854775808"}}, {"9223372036854775808"});
}

using KVStoreStorage = SettingsTest;

// Settings are never dropped in silence: a damaged file is kept beside the fresh one, one
// generation of it, and a file too large to be a store counts as damaged. A missing, an
// empty or a well-formed file is no reason to move anything.
TEST_F(KVStoreStorage, DamagedFileIsMovedAsideBeforeAFreshOneIsWritten) {
    const std::string fresh = "<?xml version=\"1.0\" ?>\n";
    const std::string good =
        "<GROUP KEY=\"g\"><STATE KEY=\"k\" TYPE=\"INT32\" VALUE=\"1\" /></GROUP>";
    const std::string huge = "<GROUP KEY=\"g\">" + std::string((16 << 20) + 1, ' ') + "</GROUP>";
    const std::pair<std::string, bool> cases[] = {
        {"missing", false},     {"", false}, {good, false}, {"<GROUP KEY=\"a\"><STATE ", true},
        {"\x01 not xml", true}, {huge, true}};
    for (const auto& [text, damaged] : cases) {
        SCOPED_TRACE(text.substr(0, 20));
        text == "missing" ? void(fs::remove(path("DRL.xml"))) : writeText(path("DRL.xml"), text);
        auto store = open("DRL.xml");
        ASSERT_TRUE(store);
        EXPECT_TRUE(readText(path("DRL.xml")) == (text == good ? good : fresh));
        EXPECT_EQ(fs::exists(path("DRL.xml.bad")), damaged);
        EXPECT_TRUE(!damaged || readText(path("DRL.xml.bad")) == text);
        EXPECT_EQ(store->getInt32("g", "k", 0), text == good);
        store->setInt32("c", "k", 3);
        EXPECT_EQ(open("DRL.xml")->getInt32("c", "k", 0), 3);
    }

    // What cannot be written gives no store; what cannot be moved aside is not overwritten.
    fs::create_directory(path("folder.xml"));
    EXPECT_FALSE(open("folder.xml"));
    EXPECT_FALSE(open("missing/DRL.xml"));
    writeText(path("DRL.xml"), "<GROUP");
    fileOps().rename = [](const char*, const char*) { return errno = EIO, -1; };
    EXPECT_FALSE(open("new.xml"));
    EXPECT_FALSE(open("DRL.xml"));
    EXPECT_EQ(readText(path("DRL.xml")), "<GROUP");
    // DRL.xml, DRL.xml.bad and the folder; no temporary file left
    EXPECT_EQ(std::distance(fs::directory_iterator(root), {}), 3);
}

// File modes do not bind root, so the stores run as nobody in a child process.
TEST_F(KVStoreStorage, UnreadableFileIsReplacedButAFileWeMayNotWriteIsKept) {
    const std::string old = "<GROUP KEY=\"g\" />";
    fs::permissions(root, fs::all_all);
    for (const auto& [name, mode] :
         {std::pair{"writeonly.xml", 0200}, {"none.xml", 0}, {"readonly.xml", 0444}}) {
        writeText(path(name), old);
        EXPECT_EQ(chown(path(name).c_str(), 65534, 65534) == 0, geteuid() == 0);
        chmod(path(name).c_str(), mode);
    }
    const pid_t child = fork();
    if (child == 0) {
        const bool dropped = geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0);
        auto readonly = open("readonly.xml");
        if (!dropped || !readonly || !open("writeonly.xml") || open("none.xml"))
            _exit(1);
        readonly->setInt32("g", "k", 2);
        _exit(readonly->getInt32("g", "k", 0) == 2 && !readonly->save() ? 0 : 2);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readText(path("writeonly.xml")), "<?xml version=\"1.0\" ?>\n");
    EXPECT_EQ(readText(path("none.xml")), old);
    EXPECT_EQ(readText(path("readonly.xml")), old);
}

TEST_F(KVStoreStorage, FailedSavesLeaveTheOldCompleteFileAndSayWhy) {
    writeText(path("DRL.xml"), "");
    fs::permissions(path("DRL.xml"), fs::perms(0640));
    auto store = open("DRL.xml");
    store->setUInt16("g", "k", 7);
    const std::string old = readText(path("DRL.xml"));
    fileOps().write = [calls = 0](int fd, const void* data, size_t size) mutable -> ssize_t {
        return calls++ ? (errno = ENOSPC, -1) : ::write(fd, data, std::min<size_t>(size, 30));
    };
    store->setInt32("g", "width", 640);  // the autosave fails
    fileOps() = systemOps;
    fileOps().fsync = [](int) { return errno = EIO, -1; };
    EXPECT_FALSE(store->save());
    fileOps() = systemOps;
    fileOps().rename = [](const char*, const char*) { return errno = EXDEV, -1; };
    EXPECT_FALSE(store->save());
    const std::string error = store->saveError();
    EXPECT_NE(error.find(path("DRL.xml")), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(EXDEV)), std::string::npos) << error;
    EXPECT_EQ(readText(path("DRL.xml")), old);
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(root), {}), 1);  // no temporary
    fileOps() = systemOps;
    EXPECT_TRUE(store->save());
    EXPECT_EQ(store->saveError(), "");
    // A value whose autosave failed waits in memory for the store's last save.
    fileOps().rename = [](const char*, const char*) { return errno = EXDEV, -1; };
    store->setInt32("g", "height", 480);
    fileOps() = systemOps;
    store.reset();
    EXPECT_EQ(outline(path("DRL.xml")),
              "GROUP{KEY=g}[STATE{KEY=k,TYPE=UINT16,VALUE=7} STATE{KEY=width,TYPE=INT32,VALUE=640} "
              "STATE{KEY=height,TYPE=INT32,VALUE=480}]");
    EXPECT_EQ(fs::status(path("DRL.xml")).permissions(), fs::perms(0640));
}

// Run by root with a user's folders, a planted link must not aim a read, a write or the
// damaged file's rename at another file.
TEST_F(KVStoreStorage, LinksAreNeverFollowed) {
    writeText(path("victim"), "not xml <");
    writeText(path("other"), "kept");
    fs::create_symlink(path("victim"), path("DRL.xml"));
    fs::create_symlink(path("other"), path("DRL.xml.bad"));
    EXPECT_EQ(open("DRL.xml"), nullptr);
    fs::remove(path("DRL.xml"));
    writeText(path("DRL.xml"), "not xml <");  // damaged: moved aside over the .bad link
    auto store = open("DRL.xml");
    ASSERT_NE(store, nullptr);
    EXPECT_FALSE(fs::is_symlink(path("DRL.xml.bad")));
    // A link put in place of an open store's file is not written through either.
    fs::remove(path("DRL.xml"));
    fs::create_symlink(path("victim"), path("DRL.xml"));
    store->setInt32("g", "k", 1);
    EXPECT_FALSE(store->save());
    store.reset();
    EXPECT_EQ(readText(path("victim")), "not xml <");
    EXPECT_EQ(readText(path("other")), "kept");
    EXPECT_TRUE(fs::is_symlink(path("DRL.xml")));
}

TEST_F(KVStoreStorage, OneThreadWritesTheFileAtATime) {
    auto store = open("DRL.xml");
    std::atomic<int> writing{0}, most{0};
    fileOps().fsync = [&](int fd) {
        most = std::max(most.load(), ++writing);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for an overlap
        --writing;
        return ::fsync(fd);
    };
    std::thread setter([&] { store->setInt32("a", "k", 1); });
    store->save();
    setter.join();
    EXPECT_EQ(most, 1);
}

using SettingsLocation = SettingsTest;

TEST_F(SettingsLocation, SettingsFolderIsBelowXdgConfigHomeAndUnavailableWithoutHome) {
    std::string folder;
    setenv("XDG_CONFIG_HOME", path("xdg").c_str(), 1);
    EXPECT_EQ(getSettingsFolder("Drivelore", &folder), FolderOk);
    EXPECT_EQ(folder, path("xdg/Corvane/Drivelore"));
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    EXPECT_EQ(getSettingsFolder("Drivelore", &folder), FolderUnavailable);
    EXPECT_EQ(getAppDataFolder(nullptr), FolderNullArgument);
    EXPECT_EQ(getSettingsFolder("Drivelore", nullptr), FolderNullArgument);
}

TEST_F(SettingsLocation, StoreLivesInTheCreatedFolderElseInTheCurrentDirectory) {
    const auto start = [](const QList<int>& widths) {  // what the program does
        std::string folder;
        if (getSettingsFolder("Drivelore", &folder) == FolderOk &&
            createFolders(folder) == FolderOk)
            setSettingsFolder(folder);
        saveIntList("w", widths);
        releaseSettings();
    };
    setenv("XDG_CONFIG_HOME", "relative/config", 1);  // ignored: HOME/.config instead
    fs::create_directory(path(".config"));
    writeText(path(".config/Corvane"), "");  // a file where a folder belongs
    start({1});
    EXPECT_EQ(outline(path("DRL.xml")), "GROUP{KEY=w}[STATE{KEY=0,TYPE=INT32,VALUE=1}]");
    fs::remove(path(".config/Corvane"));
    start({2, 3});
    start({4});
    EXPECT_EQ(settingsFolder(), path(".config/Corvane/Drivelore"));
    EXPECT_EQ(loadIntList("w", {0, 0, 5}), QList<int>({4, 3, 5}));
}

TEST_F(SettingsLocation, UnopenableFileThrowsAndIsRetried) {
    setSettingsFolder(path("not yet"));
    EXPECT_THROW(settings(), settings_error);
    ASSERT_EQ(createFolders(path("not yet")), FolderOk);
    EXPECT_EQ(createFolders(path("not yet")), FolderOk);
    EXPECT_NO_THROW(settings());
}

}  // namespace
