#include "io/helper_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace corvane::io {

namespace {

using SteadyClock = std::chrono::steady_clock;

bool sendAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

// One answer frame into buffer; its body's length on success, else -1.
ssize_t receiveFrame(int fd, std::vector<uint8_t>& buffer, SteadyClock::time_point deadline) {
    buffer.resize(4 + helper::kMaxAnswerBody);
    size_t have = 0;
    for (;;) {
        if (have >= 4) {
            const uint32_t length = uint32_t(buffer[0]) | uint32_t(buffer[1]) << 8 |
                                    uint32_t(buffer[2]) << 16 | uint32_t(buffer[3]) << 24;
            if (length > helper::kMaxAnswerBody) {
                return -1;
            }
            if (have >= 4 + size_t(length)) {
                return ssize_t(length);
            }
        }
        // The answer cannot be there yet: wait first, then read what came.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) {
            return -1;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, int(std::min<int64_t>(left.count(), 1 << 30)));
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t r = recv(fd, buffer.data() + have, buffer.size() - have, MSG_DONTWAIT);
        if (r > 0) {
            have += size_t(r);
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            return -1;
        }
    }
}

std::string formatPath(const std::string& pattern, unsigned n) {
    return makeLinuxPlatform(pattern)->diskPath(n);
}

}  // namespace

// One connection to a helper at a time; each new one gets a new generation so that disks
// of an earlier helper never send their handle numbers to the next.
class HelperPlatform::Link {
public:
    explicit Link(uint32_t answerMs) : answerMs_(answerMs) {}
    ~Link() { detach(); }

    void attach(int fd, pid_t pid, std::function<void()> afterClose) {
        std::lock_guard<std::mutex> lock(m_);
        fd_ = fd;
        pid_ = pid;
        afterClose_ = std::move(afterClose);
        ++generation_;
    }

    uint64_t generation() const {
        std::lock_guard<std::mutex> lock(m_);
        return fd_ >= 0 ? generation_ : 0;
    }

    // 0 and the answer, or EIO when the helper is gone or broke the protocol (it is then
    // let go: its socket is closed, which ends it).
    int call(uint64_t generation, const helper::Request& q, helper::Answer* a, uint32_t extraMs) {
        std::unique_lock<std::mutex> lock(m_);
        if (fd_ < 0 || generation != generation_) {
            return EIO;
        }
        const auto message = helper::frame(helper::encode(q));
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(answerMs_) +
                              std::chrono::milliseconds(extraMs);
        bool ok = sendAll(fd_, message.data(), message.size());
        if (ok) {
            const ssize_t length = receiveFrame(fd_, body_, deadline);
            ok =
                length >= 0 && helper::decode(body_.data() + 4, size_t(length), a) && a->op == q.op;
        }
        if (!ok) {
            closeLocked(lock);
            return EIO;
        }
        return 0;
    }

    void detach() {
        std::unique_lock<std::mutex> lock(m_);
        closeLocked(lock);
    }

    pid_t pid() const {
        std::lock_guard<std::mutex> lock(m_);
        return pid_;
    }

private:
    void closeLocked(std::unique_lock<std::mutex>& lock) {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        reap();
        auto after = std::move(afterClose_);
        afterClose_ = nullptr;
        if (after) {
            lock.unlock();
            after();
            lock.lock();
        }
    }

    // A helper ends when its input closes; one still busy with a disk is collected later.
    void reap() {
        if (pid_ > 0) {
            waiting_.push_back(pid_);
            pid_ = -1;
        }
        waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                      [](pid_t p) {
                                          int status = 0;
                                          return waitpid(p, &status, WNOHANG) != 0;
                                      }),
                       waiting_.end());
    }

    mutable std::mutex m_;
    int fd_ = -1;
    pid_t pid_ = -1;
    uint64_t generation_ = 0;
    const uint32_t answerMs_;
    std::function<void()> afterClose_;
    std::vector<pid_t> waiting_;
    std::vector<uint8_t> body_;
};

namespace {

// A disk the helper keeps: its geometry as the helper read it, its exchanges run there in
// one round trip each, and no raw transfer at all.
class HelperDisk final : public Disk, public RemoteExchanges {
public:
    HelperDisk(std::shared_ptr<HelperPlatform::Link> link, uint64_t generation, uint8_t number,
               uint32_t blockSize, uint64_t bytes, std::string path)
        : link_(std::move(link)),
          generation_(generation),
          number_(number),
          blockSize_(blockSize),
          bytes_(bytes),
          path_(std::move(path)) {}

    int close() override {
        open_ = false;
        return 0;
    }
    int blockSize(uint32_t* out) override { return open_ ? (*out = blockSize_, 0) : EBADF; }
    int sizeBytes(uint64_t* out) override { return open_ ? (*out = bytes_, 0) : EBADF; }
    int scsi(sg_io_hdr_t*) override { return EPERM; }
    int readAt(void*, size_t, uint64_t, size_t* done) override {
        *done = 0;
        return EPERM;
    }
    int writeAt(const void*, size_t, uint64_t, size_t* done) override {
        *done = 0;
        return EPERM;
    }
    int flush() override { return 0; }
    // The helper takes the exchange lock itself, for each exchange.
    int lock(uint32_t) override { return 0; }
    int unlock() override { return 0; }
    std::string path() const override { return path_; }
    RemoteExchanges* remote() override { return this; }

    uint32_t exchange(const uint8_t* request8, uint8_t* response, uint8_t* tooLarge) override {
        helper::Request q = request(helper::Op::Exchange);
        std::memcpy(q.payload, request8, helper::kPayloadBytes);
        helper::Answer a;
        if (!open_ || link_->call(generation_, q, &a, 0) != 0 || a.error != 0) {
            return helper::kTransportIoFailed;
        }
        *tooLarge = uint8_t(a.value != 0);
        if (a.result == 0) {
            std::memcpy(response, a.data.data(), helper::kResponseBytes);
        }
        return a.result;
    }

    bool volumes(std::vector<std::string>* out) override {
        helper::Answer a;
        return open_ && link_->call(generation_, request(helper::Op::Volumes), &a, 0) == 0 &&
               a.error == 0 && helper::splitVolumes(a.data, out);
    }

private:
    helper::Request request(helper::Op op) const {
        helper::Request q;
        q.op = op;
        q.disk = number_;
        return q;
    }

    std::shared_ptr<HelperPlatform::Link> link_;
    const uint64_t generation_;
    const uint8_t number_;
    const uint32_t blockSize_;
    const uint64_t bytes_;
    const std::string path_;
    bool open_ = true;
};

}  // namespace

HelperPlatform::HelperPlatform(Options options)
    : options_(std::move(options)), link_(std::make_shared<Link>(options_.answerMs)) {}

HelperPlatform::HelperPlatform(int fd, Options options, std::function<void()> afterClose)
    : HelperPlatform(std::move(options)) {
    link_->attach(fd, -1, std::move(afterClose));
}

HelperPlatform::~HelperPlatform() {
    link_->detach();
}

bool HelperPlatform::connected() const {
    return link_->generation() != 0;
}

pid_t HelperPlatform::helperPid() const {
    return link_->pid();
}

HelperStart HelperPlatform::connect() {
    std::lock_guard<std::mutex> lock(startMutex_);
    if (connected()) {
        return {HelperStatus::Connected, "running"};
    }
    if (options_.command.empty()) {
        return {HelperStatus::HelperMissing, "no drivelore-helper was found"};
    }
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        return {HelperStatus::Failed, std::string("socketpair: ") + std::strerror(errno)};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], 0);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], 1);
    std::vector<char*> argv;
    for (auto& a : options_.command) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(sockets[1]);
    if (spawned != 0) {
        ::close(sockets[0]);
        const bool viaPkexec = options_.command[0] == "pkexec";
        return {spawned == ENOENT
                    ? (viaPkexec ? HelperStatus::PkexecMissing : HelperStatus::HelperMissing)
                    : HelperStatus::Failed,
                options_.command[0] + ": " + std::strerror(spawned)};
    }

    // The first answer proves that authorisation passed and the helper runs.
    auto trial = std::make_shared<Link>(options_.startMs);
    trial->attach(sockets[0], -1, nullptr);
    helper::Request hello;
    hello.op = helper::Op::Hello;
    for (int i = 0; i < 4; ++i) {
        hello.payload[i] = uint8_t(helper::kProtocolVersion >> (8 * i));
    }
    helper::Answer answer;
    if (trial->call(trial->generation(), hello, &answer, 0) == 0 &&
        answer.result == helper::kProtocolVersion) {
        // Hand the socket over from the trial link without closing it.
        const int fd = fcntl(sockets[0], F_DUPFD_CLOEXEC, 0);
        trial->detach();
        if (fd < 0) {
            return {HelperStatus::Failed, std::string("dup: ") + std::strerror(errno)};
        }
        link_->attach(fd, pid, nullptr);
        return {HelperStatus::Connected, "started"};
    }
    const bool answered = trial->generation() != 0;
    trial->detach();
    int status = 0;
    // A helper that closed its end has ended or is about to; one that never answered may
    // still sit in the authorisation dialog, and ends once it sees its input closed.
    pid_t done = 0;
    for (int i = 0; i < 200 && done == 0; ++i) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0) {
            usleep(10000);
        }
    }
    if (answered) {
        return {HelperStatus::Failed, "the helper speaks another protocol version"};
    }
    if (done == pid && WIFEXITED(status)) {
        switch (WEXITSTATUS(status)) {
            case 126:
                return {HelperStatus::Dismissed, "authorisation dialog dismissed"};
            case 127:
                return {HelperStatus::NotAuthorised, "not authorised"};
            default:
                return {HelperStatus::Failed,
                        "the helper exited with status " + std::to_string(WEXITSTATUS(status))};
        }
    }
    return {HelperStatus::Failed, "the helper did not answer"};
}

std::unique_ptr<Disk> HelperPlatform::openDisk(unsigned diskNumber, int* errorOut) {
    *errorOut = 0;
    const uint64_t generation = link_->generation();
    if (generation == 0) {
        *errorOut = EACCES;
        return nullptr;
    }
    if (diskNumber > helper::kMaxDiskNumber) {
        *errorOut = ENODEV;
        return nullptr;
    }
    helper::Request q;
    q.op = helper::Op::Geometry;
    q.disk = uint8_t(diskNumber);
    helper::Answer a;
    int err = link_->call(generation, q, &a, 0);
    if (err == 0) {
        err = a.error;
    }
    if (err != 0) {
        *errorOut = err;
        return nullptr;
    }
    return std::make_unique<HelperDisk>(link_, generation, uint8_t(diskNumber), a.value, a.value64,
                                        diskPath(diskNumber));
}

std::unique_ptr<Disk> HelperPlatform::openPath(const std::string&, int* errorOut) {
    *errorOut = EPERM;
    return nullptr;
}

std::string HelperPlatform::diskPath(unsigned diskNumber) const {
    return formatPath(options_.diskPattern, diskNumber);
}

std::string findHelper(const std::string& ownExecutable) {
    std::string exe = ownExecutable;
    if (exe.empty()) {
        char buffer[4096];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) {
            return {};
        }
        exe.assign(buffer, size_t(n));
    }
    const auto slash = exe.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : exe.substr(0, slash);
    for (const char* relative :
         {"/../libexec/drivelore/drivelore-helper", "/../helper/drivelore-helper"}) {
        const std::string candidate = dir + relative;
        if (access(candidate.c_str(), X_OK) == 0) {
            char resolved[4096];
            // pkexec matches the action by the helper's absolute path.
            return realpath(candidate.c_str(), resolved) ? std::string(resolved) : candidate;
        }
    }
    return {};
}

std::vector<std::string> helperCommand(const std::string& helperPath,
                                       const std::string& diskPattern, bool throughPkexec) {
    std::vector<std::string> argv;
    if (throughPkexec) {
        argv.push_back("pkexec");
    }
    argv.push_back(helperPath);
    if (diskPattern != helper::kBuiltInPattern) {
        argv.push_back("--disk-pattern");
        argv.push_back(diskPattern);
    }
    return argv;
}

PlatformChoice choosePlatform(const std::string& ownExecutable, const std::string& diskPattern) {
    PlatformChoice choice;
    if (geteuid() == 0) {
        choice.platform = makeLinuxPlatform(diskPattern);
        choice.start = {HelperStatus::Connected, "running as root: disks opened directly"};
        return choice;
    }
    HelperPlatform::Options options;
    options.diskPattern = diskPattern;
    const std::string path = findHelper(ownExecutable);
    if (!path.empty()) {
        options.command = helperCommand(path, diskPattern, true);
    }
    choice.helper = std::make_shared<HelperPlatform>(std::move(options));
    choice.platform = choice.helper;
    choice.start = choice.helper->connect();
    return choice;
}

}  // namespace corvane::io
