#include <boost/filesystem.hpp>
#include <mutex>

#include "settings/folder.h"
#include "settings/kvstore.h"

namespace corvane {

namespace {

std::mutex storeMutex;
KVStore* store = nullptr;

}  // namespace

settings_error::settings_error(const std::string& path)
    : std::runtime_error("Could not open settings file at \"" + path + "\".") {}

KVStore& settings() {
    std::lock_guard<std::mutex> lock(storeMutex);
    if (!store) {
        const std::string path = (boost::filesystem::path(settingsFolder()) / "DRL.xml").string();
        store = createXmlKVStore(path, true);
        if (!store) {
            throw settings_error(path);
        }
    }
    return *store;
}

void releaseSettings() {
    std::lock_guard<std::mutex> lock(storeMutex);
    delete store;
    store = nullptr;
}

}  // namespace corvane
