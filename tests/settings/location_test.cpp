#include "settings/intlist.h"
#include "support.h"

using namespace corvane;

namespace {

using SettingsLocation = SettingsTest;

TEST_F(SettingsLocation, AppDataFolderComesFromTheEnvironment) {
    std::string folder;
    for (const char* ignored : {"", "relative/config"}) {
        setenv("XDG_CONFIG_HOME", ignored, 1);
        EXPECT_EQ(getAppDataFolder(&folder), FolderOk);
        EXPECT_EQ(folder, path(".config")) << ignored;
    }
    setenv("XDG_CONFIG_HOME", path("xdg").c_str(), 1);
    EXPECT_EQ(getSettingsFolder("Drivelore", &folder), FolderOk);
    EXPECT_EQ(folder, path("xdg/Corvane/Drivelore"));
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    EXPECT_EQ(getAppDataFolder(&folder), FolderUnavailable);
    EXPECT_EQ(getSettingsFolder("Drivelore", &folder), FolderUnavailable);
    EXPECT_EQ(folder, path("xdg/Corvane/Drivelore"));
    EXPECT_EQ(getAppDataFolder(nullptr), FolderNullArgument);
    EXPECT_EQ(getSettingsFolder("Drivelore", nullptr), FolderNullArgument);
}

// What the program does at start.
void prepareFolder() {
    std::string folder;
    if (getSettingsFolder("Drivelore", &folder) == FolderOk && createFolders(folder) == FolderOk) {
        setSettingsFolder(folder);
    }
}

TEST_F(SettingsLocation, SettingsFileLivesInTheCreatedFolderAcrossStarts) {
    for (int start = 0; start < 2; ++start) {
        prepareFolder();
        settings().setInt32("main_window", "start", start);
        EXPECT_EQ(&settings(), &settings());
        releaseSettings();
    }
    EXPECT_EQ(outline(path(".config/Corvane/Drivelore/DRL.xml")),
              "?1.0,, GROUP{KEY=main_window}[STATE{KEY=start,TYPE=INT32,VALUE=1}]");
    EXPECT_FALSE(fs::exists(path("DRL.xml")));
}

TEST_F(SettingsLocation, FileInTheWayLeavesTheStoreInTheCurrentDirectory) {
    fs::create_directory(path(".config"));
    writeText(path(".config/Corvane"), "");
    EXPECT_NE(createFolders(path(".config/Corvane/Drivelore")), FolderOk);
    prepareFolder();
    settings().setBool("g", "k", true);
    EXPECT_EQ(outline(path("DRL.xml")), "?1.0,, GROUP{KEY=g}[STATE{KEY=k,TYPE=BOOL,VALUE=1}]");
}

TEST_F(SettingsLocation, UnopenableFileThrowsWithItsPathAndIsRetried) {
    setSettingsFolder(path("not yet"));
    try {
        settings();
        FAIL() << "no settings_error";
    } catch (const settings_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Could not open settings file at \"" + path("not yet/DRL.xml") + "\".");
    }
    ASSERT_EQ(createFolders(path("not yet")), FolderOk);
    EXPECT_EQ(createFolders(path("not yet")), FolderOk);
    settings().setString("g", "k", "v");
    EXPECT_EQ(settings().getString("g", "k", ""), "v");
}

TEST_F(SettingsLocation, ReleaseWritesWhatAFailedSaveLeftInMemory) {
    settings();
    fileOps().rename = [](const char*, const char*) { return -1; };
    saveIntList("main_window/tbv_devs", {192, 150, 113, 250});
    fileOps() = systemOps;
    EXPECT_EQ(outline(path("DRL.xml")), "?1.0,,");
    releaseSettings();
    saveIntList("main_window/tbv_devs", {-1, 7});
    settings().setString("main_window/tbv_devs", "3", "wide");
    releaseSettings();
    EXPECT_EQ(loadIntList("main_window/tbv_devs", {0, 0, 0, 0, 5}), QList<int>({-1, 7, 113, 0, 5}));
    EXPECT_EQ(outline(path("DRL.xml")),
              "?1.0,, GROUP{KEY=main_window/tbv_devs}[STATE{KEY=0,TYPE=INT32,VALUE=-1} "
              "STATE{KEY=1,TYPE=INT32,VALUE=7} STATE{KEY=2,TYPE=INT32,VALUE=113} "
              "STATE{KEY=3,TYPE=STR,VALUE=wide}]");
}

}  // namespace
