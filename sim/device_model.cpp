#include "sim/device_model.h"

#include <algorithm>
#include <cstring>

#include "dcp/records.h"

namespace corvane::sim {
namespace {

constexpr size_t kChunk = 252;

void putU16(uint8_t* at, uint16_t v) {
    at[0] = uint8_t(v);
    at[1] = uint8_t(v >> 8);
}

void putU32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        at[i] = uint8_t(v >> (8 * i));
    }
}

void putU64(uint8_t* at, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        at[i] = uint8_t(v >> (8 * i));
    }
}

uint32_t getU32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

const std::vector<std::string>& modelTexts() {
    static const std::vector<std::string> texts = {"VRXA-QD01", "VRXA-QE01"};
    return texts;
}

DeviceModel::DeviceModel(os::Clock* clock) : clock_(clock) {
    nowLocked();
    logLocked("Controller started");
}

uint64_t DeviceModel::nowLocked() {
    os::Clock& c = clock_ ? *clock_ : os::clock();
    const uint32_t t = c.tick();
    // Another clock installed in between says nothing about how much time passed.
    if (lastClock_ == &c) {
        uptime_ += uint32_t(t - lastTick_);
    }
    lastClock_ = &c;
    lastTick_ = t;
    return uptime_;
}

void DeviceModel::logLocked(const std::string& event) {
    const uint64_t s = uptime_ / 1000;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u ", unsigned(s / 3600), unsigned(s / 60 % 60),
                  unsigned(s % 60));
    events_.push_back(stamp + event);
    while (events_.size() > 40) {
        events_.pop_front();
    }
}

// Operations end when time has passed, noticed whenever anyone looks at the device.
void DeviceModel::advanceLocked() {
    const uint64_t now = nowLocked();
    const uint64_t elapsed = now - operationStart_;
    if (operation_ == Operation::Initialization && elapsed >= timings_.initSilenceMs) {
        const uint64_t full = potentialCapacityLocked();
        uint64_t capacity = full;
        if (pendingCapacity_ == kCapacityLimit) {
            capacity = std::min(full, kLimit32BitLba);
        } else if (pendingCapacity_ == kCapacityMultiple && full > kLimit32BitLba) {
            capacity = full / kLimit32BitLba * kLimit32BitLba;
        }
        const uint32_t old = raid_.configurationKey;
        uint32_t key = uint32_t(mix(uint64_t(old) << 32 ^ now));
        if (key == old || key == 0) {
            key = old + 0x101;
        }
        char setId[32];
        std::snprintf(setId, sizeof setId, "CVN-R5-%08X", key);
        raid_.configured = true;
        raid_.configurationKey = key;
        raid_.capacity = capacity;
        raid_.setId = setId;
        for (Drive& d : drives_) {
            if (d.present) {
                d.member = Member::Active;
                d.raidSetId = setId;
            }
        }
        operation_ = Operation::None;
        lastFinal_ = {Operation::Initialization, Phase::Completed, 10000};
        reportSnapshot_.clear();
        logLocked("RAID set " + raid_.setId + " initialized, " + std::to_string(capacity) +
                  " bytes");
    }
    if (operation_ == Operation::Rebuild && elapsed >= timings_.rebuildPreparingMs) {
        const uint16_t percent = rebuildPercentLocked(elapsed);
        if (faults_.rebuildFailsAt > 0 && faults_.rebuildFailsAt < 10000 &&
            percent >= faults_.rebuildFailsAt) {
            finishRebuildLocked(Phase::Failed, faults_.rebuildFailsAt);
        } else if (percent >= 10000) {
            finishRebuildLocked(Phase::Completed, 10000);
        }
    }
}

uint16_t DeviceModel::rebuildPercentLocked(uint64_t elapsed) const {
    if (elapsed < timings_.rebuildPreparingMs) {
        return 0;
    }
    const uint64_t done = elapsed - timings_.rebuildPreparingMs;
    const auto percent = timings_.rebuildProgressMs == 0 || done >= timings_.rebuildProgressMs
                             ? uint16_t(10000)
                             : uint16_t(done * 10000 / timings_.rebuildProgressMs);
    const uint16_t stall = faults_.rebuildStallsAt;
    return stall > 0 && stall < 10000 ? std::min(percent, stall) : percent;
}

void DeviceModel::finishRebuildLocked(Phase phase, uint16_t percent) {
    Drive& target = drives_[rebuildBay_];
    const std::string bay = std::to_string(rebuildBay_ + 1);
    if (phase == Phase::Completed) {
        target.member = Member::Active;
        logLocked("Rebuild onto bay " + bay + " completed");
    } else {
        target.member = Member::Failed;
        logLocked("Rebuild onto bay " + bay + " failed at " + std::to_string(percent / 100) + "%");
    }
    operation_ = Operation::None;
    lastFinal_ = {Operation::Rebuild, phase, percent};
}

// Members of the configured set that are in their bays; drives of another set count apart.
static unsigned countMembers(const std::array<Drive, kBays>& drives, const std::string& setId,
                             bool* foreign) {
    unsigned members = 0;
    *foreign = false;
    for (const Drive& d : drives) {
        if (!d.present || (d.member != Member::Active && d.member != Member::Rebuilding)) {
            continue;
        }
        if (d.raidSetId == setId) {
            ++members;
        } else {
            *foreign = true;
        }
    }
    return members;
}

uint8_t DeviceModel::raidStatusLocked() const {
    if (faults_.rawRaidStatus >= 0) {
        return uint8_t(faults_.rawRaidStatus);
    }
    if (!raid_.configured) {
        return 0;
    }
    if (operation_ == Operation::Rebuild) {
        return 3;
    }
    bool foreign = false;
    const unsigned members = countMembers(drives_, raid_.setId, &foreign);
    if (foreign) {
        return 5;
    }
    return members >= kBays ? 1 : members == kBays - 1 ? 2 : 4;
}

bool DeviceModel::driveFailureLikelyLocked() const {
    return std::any_of(drives_.begin(), drives_.end(),
                       [](const Drive& d) { return d.present && d.failureWarning; });
}

bool DeviceModel::canInitializeLocked() const {
    if (operation_ != Operation::None || (raid_.configured && !raid_.reinitAllowed)) {
        return false;
    }
    return std::all_of(drives_.begin(), drives_.end(),
                       [](const Drive& d) { return d.present && d.member != Member::Failed; });
}

bool DeviceModel::readyForRebuildLocked() const {
    if (!raid_.configured || operation_ != Operation::None) {
        return false;
    }
    bool foreign = false;
    if (countMembers(drives_, raid_.setId, &foreign) != kBays - 1 || foreign) {
        return false;
    }
    return std::any_of(drives_.begin(), drives_.end(),
                       [](const Drive& d) { return d.present && d.member == Member::Inactive; });
}

uint64_t DeviceModel::potentialCapacityLocked() const {
    unsigned n = 0;
    uint64_t smallest = UINT64_MAX;
    for (const Drive& d : drives_) {
        if (d.present) {
            ++n;
            smallest = std::min(smallest, d.capacity);
        }
    }
    // Whole 4 KiB stripes per member, so the set suits either block size.
    return n < 3 ? 0 : (n - 1) * (smallest / 4096 * 4096);
}

bool DeviceModel::largeCapacityLocked() const {
    return potentialCapacityLocked() > kLimit32BitLba;
}

uint64_t DeviceModel::mediumBytesLocked() const {
    if (!raid_.configured || raid_.capacity == 0) {
        return kPlaceholderBytes;
    }
    if (diskTooLargeLocked()) {
        return raid_.capacity % kLimit32BitLba;
    }
    return raid_.capacity;
}

bool DeviceModel::diskTooLargeLocked() const {
    return raid_.configured && raid_.host32BitLba && raid_.capacity > kLimit32BitLba;
}

Progress DeviceModel::progressLocked() const {
    if (operation_ == Operation::Rebuild) {
        const uint64_t elapsed = uptime_ - operationStart_;
        if (elapsed < timings_.rebuildPreparingMs) {
            return {Operation::Rebuild, Phase::Preparing, 0};
        }
        return {Operation::Rebuild, Phase::Progressing,
                std::min<uint16_t>(rebuildPercentLocked(elapsed), 9999)};
    }
    if (operation_ == Operation::Initialization) {
        const uint64_t elapsed = uptime_ - operationStart_;
        return {Operation::Initialization, Phase::Progressing,
                uint16_t(std::min<uint64_t>(elapsed * 10000 / (timings_.initSilenceMs + 1), 9999))};
    }
    return lastFinal_;
}

// ---- setup and the device's view --------------------------------------------------

void DeviceModel::setIdentity(const Identity& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = identity;
}

Identity DeviceModel::identity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}

void DeviceModel::setVendor(const std::string& vendor) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_.vendor = vendor;
}

void DeviceModel::setHostInterface(HostInterface host) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_.host = host;
}

void DeviceModel::setRaid(const Raid& raid) {
    std::lock_guard<std::mutex> lock(mutex_);
    raid_ = raid;
}

Raid DeviceModel::raid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raid_;
}

void DeviceModel::setDrive(unsigned bay, const Drive& drive) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bay < kBays) {
        drives_[bay] = drive;
    }
}

Drive DeviceModel::drive(unsigned bay) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bay < kBays ? drives_[bay] : Drive{};
}

void DeviceModel::pullDrive(unsigned bay) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bay >= kBays || !drives_[bay].present) {
        return;
    }
    advanceLocked();
    if (operation_ == Operation::Rebuild) {
        const Member m = drives_[bay].member;
        if (bay == rebuildBay_ || m == Member::Active) {
            const Progress p = progressLocked();
            finishRebuildLocked(Phase::Failed, p.percent);
        }
    }
    drives_[bay].present = false;
    logLocked("Drive removed from bay " + std::to_string(bay + 1));
}

void DeviceModel::insertDrive(unsigned bay, Drive drive) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bay >= kBays) {
        return;
    }
    advanceLocked();
    drive.present = true;
    drives_[bay] = drive;
    logLocked("Drive " + drive.model + " inserted in bay " + std::to_string(bay + 1));
}

void DeviceModel::note(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    nowLocked();
    logLocked(event);
}

void DeviceModel::setTimings(const Timings& timings) {
    std::lock_guard<std::mutex> lock(mutex_);
    timings_ = timings;
}

void DeviceModel::setFaults(const ModelFaults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

ModelFaults DeviceModel::faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

uint8_t DeviceModel::raidStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return raidStatusLocked();
}

bool DeviceModel::driveFailureLikely() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return driveFailureLikelyLocked();
}

bool DeviceModel::canInitialize() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return canInitializeLocked();
}

bool DeviceModel::readyForRebuild() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return readyForRebuildLocked();
}

bool DeviceModel::largeCapacity() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return largeCapacityLocked();
}

Progress DeviceModel::progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return progressLocked();
}

bool DeviceModel::initializing() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return operation_ == Operation::Initialization;
}

std::string DeviceModel::statusReport() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return composeReportLocked();
}

uint64_t DeviceModel::mediumBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return mediumBytesLocked();
}

bool DeviceModel::diskTooLarge() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    return diskTooLargeLocked();
}

uint64_t DeviceModel::requests(uint8_t subCommand) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_[subCommand];
}

bool DeviceModel::medium(uint32_t blockSize, Medium* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    out->blocks = mediumBytesLocked() / blockSize;
    out->tooLarge = diskTooLargeLocked();
    return true;
}

// ---- payloads -----------------------------------------------------------------------

// Firmware builds its answers in a buffer it does not clear: whatever the host is not
// meant to read holds leftovers, never zeros a careless decoder could lean on.
void DeviceModel::fillLeftovers(uint8_t* from, uint8_t* end, uint8_t seed) const {
    for (unsigned i = 0; from + i < end; ++i) {
        from[i] = uint8_t(0x21 + (i * 37 + seed * 11) % 94);
    }
}

void DeviceModel::putText(uint8_t* field, size_t width, const std::string& text,
                          bool vendor) const {
    std::string t = text;
    if (!vendor && faults_.textsAbove127) {
        static const std::string mark = "\xE9\xB0\xFF";
        t = t.size() + mark.size() <= width ? t + mark : t.substr(0, width - mark.size()) + mark;
    }
    if (!vendor && faults_.textsWithoutNul) {
        t.resize(width, ' ');
    }
    const size_t n = std::min(t.size(), width);
    std::memcpy(field, t.data(), n);
    if (n < width) {
        field[n] = 0;
        fillLeftovers(field + n + 1, field + width, uint8_t(n));
    }
}

void DeviceModel::putFlag(uint8_t* at, bool value, unsigned which) const {
    *at = !value ? 0 : !faults_.oddFlagValues ? 1 : which % 2 ? 0xFF : 0x80;
}

bool DeviceModel::handle(const uint8_t* request, uint8_t* response) {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked();
    const uint8_t sub = request[0];
    ++requests_[sub];
    if (faults_.silent || operation_ == Operation::Initialization ||
        (sub < 32 && (faults_.ignoredSubCommands >> sub & 1u))) {
        return false;
    }
    std::memset(response, 0, dcp::kResponsePayloadSize);
    switch (sub) {
        case dcp::SubGetInfo:
            answerInfo(response);
            return true;
        case dcp::SubGetDriveInfo:
            if (request[1] < kBays && faults_.ignoredBays[request[1]]) {
                return false;
            }
            answerDrive(request, response);
            return true;
        case dcp::SubGetProgress:
            answerProgress(response);
            return true;
        case dcp::SubInitConfiguration:
            answerInit(request, response);
            return true;
        case dcp::SubRebuild:
            answerRebuild(response);
            return true;
        case dcp::SubGetStatusText:
            answerStatusText(request, response);
            return true;
        default:
            return false;  // not a command this firmware knows
    }
}

void DeviceModel::answerInfo(uint8_t* out) {
    putU16(out, identity_.productId);
    std::memcpy(out + 2, identity_.serial.data(), 8);
    putText(out + 10, 16, identity_.vendor, true);
    putText(out + 26, 16, identity_.model);
    putText(out + 42, 12, identity_.firmwareDate);
    putText(out + 54, 12, identity_.firmwareTime);
    putText(out + 66, 16, identity_.auxText1);
    putText(out + 82, 30, identity_.auxText2);
    out[112] = raidStatusLocked();
    putFlag(out + 113, driveFailureLikelyLocked(), 0);
    putFlag(out + 114, canInitializeLocked(), 1);
    putFlag(out + 115, readyForRebuildLocked(), 2);
    putFlag(out + 116, raid_.cacheDisabled, 3);
    putFlag(out + 117, largeCapacityLocked(), 4);
    out[118] = kBays;
    out[119] =
        faults_.rawHostInterface >= 0 ? uint8_t(faults_.rawHostInterface) : uint8_t(identity_.host);
    putU32(out + 120, raid_.configurationKey);
    putU64(out + 124, raid_.configured ? raid_.capacity : 0);
    fillLeftovers(out + 132, out + dcp::kResponsePayloadSize, 1);
}

void DeviceModel::answerDrive(const uint8_t* request, uint8_t* out) {
    const unsigned bay = request[1];
    // An empty bay that never held a drive answers all zeros; a pulled drive's details
    // stay behind its cleared present flag.
    if (bay >= kBays || (!drives_[bay].present && drives_[bay].model.empty())) {
        return;
    }
    const Drive& d = drives_[bay];
    putFlag(out, d.present, 0);
    out[1] = d.interface;
    putU64(out + 2, d.capacity);
    putText(out + 10, 16, d.link);
    putText(out + 26, 40, d.model);
    putText(out + 66, 40, d.serial);
    putText(out + 106, 8, d.firmware);
    putU16(out + 114, d.temperature);
    putU32(out + 116, d.scanErrors);
    putU32(out + 120, d.badBlocksRemapped);
    putU32(out + 124, d.powerOnHours);
    putU32(out + 128, d.startCount);
    putU32(out + 132, d.crcErrors);
    std::memcpy(out + 136, d.wwn.data(), 16);
    putText(out + 152, 30, d.raidSetId);
    out[182] = d.slot;
    out[183] = faults_.rawMemberByte >= 0 ? uint8_t(faults_.rawMemberByte) : uint8_t(d.member);
    putFlag(out + 184, d.failureWarning, 1);
    fillLeftovers(out + 185, out + dcp::kResponsePayloadSize, uint8_t(2 + bay));
}

void DeviceModel::answerStatusText(const uint8_t* request, uint8_t* out) {
    const uint32_t offset = getU32(request + 1);
    // The report is composed once per reading, so that its chunks fit together even when
    // the device's state changes while the host fetches them.
    if (offset == 0 || reportSnapshot_.empty()) {
        reportSnapshot_ = composeReportLocked();
    }
    const std::string& report = reportSnapshot_;
    std::string chunk;
    bool more = false;
    if (faults_.endlessStatus == EndlessStatus::Repeating) {
        chunk = report.substr(offset % report.size(), kChunk);
        more = true;
    } else {
        if (offset < report.size()) {
            chunk = report.substr(offset, kChunk);
        }
        more =
            faults_.endlessStatus == EndlessStatus::Empty || offset + chunk.size() < report.size();
    }
    putU32(out, !more ? 0 : faults_.oddFlagValues ? 0x01000000u : 1u);
    std::memcpy(out + 4, chunk.data(), chunk.size());
    if (chunk.size() < kChunk) {
        out[4 + chunk.size()] = 0;
        fillLeftovers(out + 5 + chunk.size(), out + 4 + kChunk, 7);
    }
    fillLeftovers(out + 4 + kChunk, out + dcp::kResponsePayloadSize, 8);
}

void DeviceModel::answerProgress(uint8_t* out) {
    const Progress p = progressLocked();
    out[0] = uint8_t(p.operation);
    out[1] = uint8_t(p.phase);
    putU16(out + 2, p.percent);
    fillLeftovers(out + 4, out + dcp::kResponsePayloadSize, 3);
}

void DeviceModel::answerInit(const uint8_t* request, uint8_t* out) {
    const uint32_t key = getU32(request + 1);
    const uint8_t capacity = request[5];
    if (!canInitializeLocked()) {
        out[0] = kInitBadDriveSet;
    } else if (key != raid_.configurationKey || capacity < kCapacityMaximize ||
               capacity > kCapacityMultiple) {
        // A stale key means the host acts on a configuration that is no longer there.
        out[0] = kInitFailed;
    } else {
        out[0] = kInitAccepted;
        operation_ = Operation::Initialization;
        operationStart_ = uptime_;
        pendingCapacity_ = capacity;
        lastFinal_ = {};
        logLocked("Initialization of a new RAID set started");
    }
    fillLeftovers(out + 1, out + dcp::kResponsePayloadSize, 4);
}

void DeviceModel::answerRebuild(uint8_t* out) {
    fillLeftovers(out + 1, out + dcp::kResponsePayloadSize, 5);
    if (operation_ == Operation::Rebuild) {
        out[0] = kRebuildAccepted;  // already under way; it goes on undisturbed
        return;
    }
    if (!readyForRebuildLocked()) {
        out[0] = kRebuildBadDriveSet;
        return;
    }
    if (faults_.rebuildStartFails) {
        out[0] = kRebuildFailed;
        logLocked("Rebuild could not be started");
        return;
    }
    unsigned bay = 0;
    while (!(drives_[bay].present && drives_[bay].member == Member::Inactive)) {
        ++bay;
    }
    out[0] = kRebuildAccepted;
    const uint64_t needed = (raid_.capacity + kBays - 2) / (kBays - 1);
    if (drives_[bay].capacity < needed) {
        // Accepted, then given up at once: the first progress report says why.
        lastFinal_ = {Operation::Rebuild, Phase::DiskTooSmall, 0};
        logLocked("Rebuild aborted: the drive in bay " + std::to_string(bay + 1) + " is too small");
        return;
    }
    operation_ = Operation::Rebuild;
    operationStart_ = uptime_;
    rebuildBay_ = bay;
    drives_[bay].member = Member::Rebuilding;
    drives_[bay].raidSetId = raid_.setId;
    lastFinal_ = {};
    logLocked("Rebuild onto bay " + std::to_string(bay + 1) + " started");
}

}  // namespace corvane::sim
