#include "settings/folder.h"

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <mutex>

namespace corvane {

namespace fs = boost::filesystem;

namespace {

std::mutex folderMutex;
std::string folderValue;

const char* absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? value : nullptr;
}

}  // namespace

FolderResult getAppDataFolder(std::string* out) {
    if (!out) {
        return FolderNullArgument;
    }
    if (const char* config = absoluteVariable("XDG_CONFIG_HOME")) {
        *out = config;
        return FolderOk;
    }
    if (const char* home = absoluteVariable("HOME")) {
        *out = (fs::path(home) / ".config").string();
        return FolderOk;
    }
    return FolderUnavailable;
}

FolderResult getSettingsFolder(const std::string& productName, std::string* out) {
    if (!out) {
        return FolderNullArgument;
    }
    std::string base;
    if (getAppDataFolder(&base) != FolderOk) {
        return FolderUnavailable;
    }
    try {
        *out = (fs::path(base) / "Corvane" / productName).string();
    } catch (const fs::filesystem_error&) {
        return FolderUnavailable;
    }
    return FolderOk;
}

FolderResult createFolders(const std::string& path) {
    try {
        fs::create_directories(path);
    } catch (const fs::filesystem_error&) {
        return FolderCreateFailed;
    }
    return FolderOk;
}

void setSettingsFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(folderMutex);
    folderValue = folder;
}

std::string settingsFolder() {
    std::lock_guard<std::mutex> lock(folderMutex);
    return folderValue;
}

}  // namespace corvane
