// What the tool's, the monitor's and the history's tests share.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace corvane::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

// A fresh folder, gone at the end with all it holds, read-only parts too.
struct TempDir {
    explicit TempDir(const std::string& under = "/tmp") {
        std::string name = under + "/drl-test-XXXXXX";
        EXPECT_TRUE(mkdtemp(name.data()));
        path = name;
    }
    ~TempDir() { std::system(("chmod -R u+w " + path + "; rm -rf " + path).c_str()); }
    std::string path;
};

inline ::testing::AssertionResult has(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no \"" << part << "\" in: " << text;
}

inline size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

inline std::string hex(const uint8_t* bytes, size_t count) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

struct Outcome {
    int code;
    std::string out, err;
};

inline Outcome tool(const std::vector<std::string>& args, const std::string& input = "",
                    const std::atomic<int>* signal = nullptr) {
    std::ostringstream out, err;
    std::istringstream in(input);
    const std::atomic<int> none{0};
    const int code = cli::run(args, out, err, in, signal ? *signal : none);
    return {code, out.str(), err.str()};
}

// A full disk, as a file size limit of `bytes` shows it, while `f` runs.
template <typename F>
auto withFileSizeLimit(rlim_t bytes, F f) {
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = bytes;
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const auto result = f();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);
    return result;
}

}  // namespace corvane::test
