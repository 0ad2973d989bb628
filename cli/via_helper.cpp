#include "cli/via_helper.h"

#include <unistd.h>

#include <cstdio>
#include <ostream>

#include "cli/cli.h"
#include "helper/in_process.h"
#include "io/helper_platform.h"

namespace corvane::cli {

int startHelper(const std::string& diskPattern, std::ostream& err) {
    const std::string path = io::findHelper();
    if (path.empty()) {
        err << "drivelore-cli: drivelore-helper is not installed beside drivelore-cli\n";
        return ExitIoFailure;
    }
    io::HelperPlatform::Options options;
    options.command = io::helperCommand(path, diskPattern, geteuid() != 0);
    options.diskPattern = diskPattern;
    auto platform = std::make_shared<io::HelperPlatform>(options);
    const io::HelperStart start = platform->connect();
    if (!start.ok()) {
        err << "drivelore-cli: the disk helper did not start: " << start.detail << "\n";
        return ExitIoFailure;
    }
    io::setPlatform(platform);
    return ExitOk;
}

std::shared_ptr<io::Platform> helperInProcess(std::shared_ptr<io::Platform> behind) {
    return helper::serveInProcess(std::move(behind), [](const std::string& line) {
        std::fprintf(stderr, "drivelore-helper: %s\n", line.c_str());
    });
}

}  // namespace corvane::cli
