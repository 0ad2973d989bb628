#pragma once

#include <cstdint>
#include <string>

namespace corvane {

enum FolderResult : uint32_t {
    FolderOk = 0,
    FolderNullArgument = 1,
    FolderUnavailable = 3,
    FolderCreateFailed = 4,
};

// The user's configuration folder: $XDG_CONFIG_HOME, else $HOME/.config. Relative values
// are ignored, as the XDG rules ask.
FolderResult getAppDataFolder(std::string* out);

// <configuration folder>/Corvane/<productName>.
FolderResult getSettingsFolder(const std::string& productName, std::string* out);

// Creates path and every missing parent; an existing folder is fine.
FolderResult createFolders(const std::string& path);

// The folder that settings() opens its file in; empty means the current directory.
void setSettingsFolder(const std::string& folder);
std::string settingsFolder();

}  // namespace corvane
