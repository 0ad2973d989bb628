#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace corvane {

// Replaces the file at path with content through a temporary file in the same folder, so
// that the file is always either the old or the new complete content. A file we may not
// write is left alone. A symbolic link is followed and its target replaced.
bool replaceFile(const std::string& path, const std::string& content);

// Renames the file (a link's target) to its name plus suffix, replacing an earlier file of
// that name. errno tells why when it fails.
bool moveAside(const std::string& path, const std::string& suffix);

// The system calls replaceFile goes through; tests swap them to make one step fail.
struct FileOps {
    std::function<ssize_t(int fd, const void* data, size_t size)> write;
    std::function<int(int fd)> fsync;
    std::function<int(const char* from, const char* to)> rename;
};
FileOps& fileOps();

}  // namespace corvane
