#include "settings/atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <cerrno>

namespace corvane {

namespace fs = boost::filesystem;

FileOps& fileOps() {
    static FileOps ops{::write, ::fsync, ::rename};
    return ops;
}

namespace {

// Opens a new file beside path. Mode 0666 lets the umask decide, as a plain create would.
int createTemporary(const std::string& path, std::string* name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

bool writeAll(int fd, const std::string& content) {
    const char* data = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t done = fileOps().write(fd, data, left);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        data += done;
        left -= size_t(done);
    }
    return true;
}

// Makes the rename itself survive a power loss; a failure here loses no data.
void syncFolder(const std::string& path) {
    std::string folder = fs::path(path).parent_path().string();
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool replaceFile(const std::string& path, const std::string& content) {
    // Never through a link: run by root with a user's folders, a planted one would aim
    // the write at any file. rename() replaces a name, never what a link points to.
    const std::string& target = path;
    struct stat old;
    const bool exists = ::lstat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        errno = EINVAL;
        return false;
    }
    // Renaming needs only the folder's permission; keep a read-only file read-only.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    std::string temporary;
    int fd = createTemporary(target, &temporary);
    if (fd < 0) {
        return false;
    }
    bool ok = (!exists || ::fchmod(fd, old.st_mode & 07777) == 0) && writeAll(fd, content) &&
              fileOps().fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && fileOps().rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int error = errno;  // what went wrong, not the clean-up
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    syncFolder(target);
    return true;
}

bool moveAside(const std::string& path, const std::string& suffix) {
    const std::string& target = path;
    if (fileOps().rename(target.c_str(), (target + suffix).c_str()) != 0) {
        return false;
    }
    syncFolder(target);
    return true;
}

}  // namespace corvane
