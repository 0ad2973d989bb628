#pragma once

#include <sys/types.h>

#include <string>

namespace corvane::cli {

// Replaces `path` with `content` so that a reader sees the old file or the new one, never
// a part: a temporary file beside it, synced, then renamed over it. On failure the old
// file is untouched, no temporary file is left and *error says why. The file is made
// readable by all (collectors run as other users).
bool writeFileAtomically(const std::string& path, const std::string& content, std::string* error);

// The calls that can fail after the temporary file exists; tests replace one to fail it.
struct FileCalls {
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*fsync)(int fd);
    int (*rename)(const char* from, const char* to);
};
extern FileCalls fileCalls;

}  // namespace corvane::cli
