#include "monitor/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace corvane::cli {

FileCalls fileCalls = {::write, ::fsync, ::rename};

bool writeFileAtomically(const std::string& path, const std::string& content, std::string* error) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        *error = "no file name in " + path;
        return false;
    }
    // A dot name: collectors that read *.prom skip it while it is being written.
    std::string temp = (slash == std::string::npos ? "" : folder) + "." + name + ".XXXXXX";
    std::vector<char> buffer(temp.begin(), temp.end());
    buffer.push_back('\0');
    const int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot create a file in " + folder + ": " + std::strerror(errno);
        return false;
    }
    temp = buffer.data();
    auto fail = [&](const std::string& what) {
        const int e = errno;
        close(fd);
        unlink(temp.c_str());
        *error = what + ": " + std::strerror(e);
        return false;
    };
    if (fchmod(fd, 0644) != 0) {
        return fail("cannot set the mode of " + temp);
    }
    for (size_t done = 0; done < content.size();) {
        const ssize_t n = fileCalls.write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return fail("cannot write " + temp);
        }
        done += size_t(n);
    }
    if (fileCalls.fsync(fd) != 0) {
        return fail("cannot write " + temp);
    }
    if (close(fd) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        *error = "cannot write " + temp + ": " + std::strerror(e);
        return false;
    }
    if (fileCalls.rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        *error = "cannot replace " + path + ": " + std::strerror(e);
        return false;
    }
    // The rename itself survives a power cut only once the folder is synced.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace corvane::cli
