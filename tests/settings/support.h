#pragma once

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <memory>
#include <sstream>

#include "settings/atomicfile.h"
#include "settings/folder.h"
#include "settings/kvstore.h"

namespace fs = boost::filesystem;

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
        corvane::fileOps() = systemOps;
        corvane::releaseSettings();
        corvane::setSettingsFolder("");
        fs::current_path(startDirectory);
        fs::remove_all(root);
    }
    std::string path(const std::string& name) const { return (root / name).string(); }
    std::unique_ptr<corvane::KVStore> open(const std::string& name) const {
        return std::unique_ptr<corvane::KVStore>(corvane::createXmlKVStore(path(name), true));
    }

    const fs::path root = fs::temp_directory_path() / fs::unique_path("drl-settings-%%%%-%%%%");
    const fs::path startDirectory = fs::current_path();
    const corvane::FileOps systemOps = corvane::fileOps();
};

inline std::string readText(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The nodes below node on one line: "?version,encoding,standalone" for a declaration,
// NAME{ATTR=value,...} in attribute order for an element, its children in [].
inline std::string outlineOf(const TiXmlNode* node) {
    std::string line;
    for (const TiXmlNode* n = node->FirstChild(); n; n = n->NextSibling()) {
        line += line.empty() ? "" : " ";
        if (const TiXmlDeclaration* d = n->ToDeclaration()) {
            line += std::string("?") + d->Version() + "," + d->Encoding() + "," + d->Standalone();
        } else if (const TiXmlElement* e = n->ToElement()) {
            line += e->ValueStr() + "{";
            for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
                line += std::string(a->Name()) + "=" + a->ValueStr() + (a->Next() ? "," : "");
            }
            line += "}" + (e->FirstChild() ? "[" + outlineOf(e) + "]" : std::string());
        }
    }
    return line;
}

// The file as the XML library reads it on its own.
inline std::string outline(const std::string& path) {
    TiXmlDocument document;
    return document.LoadFile(path) ? outlineOf(&document) : "not XML";
}
