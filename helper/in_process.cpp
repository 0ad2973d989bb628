#include "helper/in_process.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace corvane::helper {

std::shared_ptr<io::HelperPlatform> serveInProcess(std::shared_ptr<io::Platform> behind, Log log,
                                                   const std::string& diskPattern,
                                                   ServeOptions options) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        return nullptr;
    }
    auto server = std::make_shared<std::thread>([behind, log, options, fd = sockets[1]] {
        Session session(*behind, log);
        serve(session, fd, fd, options, log);
        ::close(fd);
    });
    io::HelperPlatform::Options clientOptions;
    clientOptions.diskPattern = diskPattern;
    return std::make_shared<io::HelperPlatform>(sockets[0], clientOptions,
                                                [server] { server->join(); });
}

bool patternAllowed(const std::string& pattern, bool underPkexec, bool root, std::string* why) {
    if (pattern == io::helper::kBuiltInPattern) {
        return true;
    }
    if (underPkexec || !root) {
        *why = "refused disk pattern " + pattern + ": only root may choose the disks (" +
               (underPkexec ? "started through pkexec" : "not root") + ")";
        return false;
    }
    *why = "refused disk pattern " + pattern + ": it must lie under /dev/ and hold one %c or %d";
    if (pattern.rfind("/dev/", 0) != 0 || pattern.find("/..") != std::string::npos ||
        pattern.find("//") != std::string::npos) {
        return false;
    }
    int conversions = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            continue;
        }
        if (i + 1 >= pattern.size() || (pattern[i + 1] != 'c' && pattern[i + 1] != 'd')) {
            return false;
        }
        ++conversions;
        ++i;
    }
    if (conversions != 1) {
        return false;
    }
    why->clear();
    return true;
}

}  // namespace corvane::helper
