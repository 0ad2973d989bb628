#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "os/clock.h"
#include "sim/firmware.h"

namespace corvane::sim {

constexpr unsigned kBays = 4;

// 2^32 sectors of 512 bytes: what a driver that counts sectors in 32 bits can address.
constexpr uint64_t kLimit32BitLba = uint64_t(1) << 41;

// What the OS sees of a device that has no RAID set: a small placeholder unit, large
// enough to carry the info sector and the mailbox.
constexpr uint64_t kPlaceholderBytes = uint64_t(64) << 20;

// The model texts the emulated devices report; the main window has a picture for each.
const std::vector<std::string>& modelTexts();

enum class HostInterface : uint8_t { Unknown = 0, FireWire = 1, Usb = 2, Sata = 3 };

// Byte 183 of the drive payload.
enum class Member : uint8_t { None = 0, Active = 1, Rebuilding = 2, Inactive = 3, Failed = 4 };

struct Identity {
    uint16_t productId = 14;
    std::array<uint8_t, 8> serial{};
    std::string vendor = "Corvane";
    std::string model = "VRXA-QD01";
    std::string firmwareDate = "Mar 14 2011";
    std::string firmwareTime = "10:42:17";
    std::string auxText1 = "R5 4-BAY";
    std::string auxText2 = "CVN RAID ENGINE 2.31.0007";
    HostInterface host = HostInterface::Usb;
};

struct Drive {
    bool present = false;
    uint8_t interface = 1;  // 1 SATA, 2 SAS
    uint64_t capacity = 0;
    std::string link;          // 16-byte aux text
    std::string model;         // 40 bytes
    std::string serial;        // 40 bytes
    std::string firmware;      // 8-byte aux text
    uint16_t temperature = 0;  // tenths of a degree Celsius; 0 = not known
    uint32_t scanErrors = 0;
    uint32_t badBlocksRemapped = 0;
    uint32_t powerOnHours = 0;  // aux counter 1
    uint32_t startCount = 0;    // aux counter 2
    uint32_t crcErrors = 0;
    std::array<uint8_t, 16> wwn{};  // aux bytes
    std::string raidSetId;          // 30 bytes
    uint8_t slot = 0;               // aux byte
    Member member = Member::None;
    bool failureWarning = false;
};

struct Raid {
    bool configured = false;
    uint32_t configurationKey = 0;
    uint64_t capacity = 0;
    std::string setId;
    bool cacheDisabled = false;
    // A configured set may be initialised again (the flag a device shows for a set it
    // would rather be asked to shrink).
    bool reinitAllowed = false;
    // The host's driver counts 512-byte sectors in 32 bits: it sees the capacity modulo
    // 2^41 bytes, and the device raises the info sector's disk-too-large flag.
    bool host32BitLba = false;
};

struct Timings {
    uint32_t initSilenceMs = 30000;
    uint32_t rebuildPreparingMs = 10000;
    uint32_t rebuildProgressMs = 180000;
};

enum class EndlessStatus {
    Off,
    Empty,      // more-follows set forever, no characters once the report is out
    Repeating,  // more-follows set forever, the report over and over
};

// Misbehaviour of the firmware itself (the transport's faults are TransportFaults).
struct ModelFaults {
    bool silent = false;                    // answers nothing at all
    uint32_t ignoredSubCommands = 0;        // bit n set: sub-command n goes unanswered
    std::array<bool, kBays> ignoredBays{};  // drive information of these bays goes unanswered
    bool textsWithoutNul = false;           // every text field but the vendor filled to its width
    bool textsAbove127 = false;             // Latin-1 bytes in every text field but the vendor
    bool oddFlagValues = false;  // true flags as 0x80 / 0xFF, more-follows in its top byte
    EndlessStatus endlessStatus = EndlessStatus::Off;
    int rawRaidStatus = -1;          // >= 0: byte 112 as given
    int rawHostInterface = -1;       // >= 0: byte 119 as given
    int rawMemberByte = -1;          // >= 0: byte 183 of every present drive as given
    bool rebuildStartFails = false;  // a rebuild the device is ready for is answered 3
    uint16_t rebuildFailsAt = 0;     // 1..9999: a rebuild ends Failed at this percent
    uint16_t rebuildStallsAt = 0;    // 1..9999: a rebuild stops moving at this percent
};

// Outcome bytes on the wire.
enum : uint8_t { kInitAccepted = 1, kInitBadDriveSet = 2, kInitFailed = 3 };
enum : uint8_t { kRebuildAccepted = 1, kRebuildBadDriveSet = 2, kRebuildFailed = 3 };
// Capacity bytes of the initialisation request.
enum : uint8_t { kCapacityMaximize = 1, kCapacityLimit = 2, kCapacityMultiple = 3 };

enum class Operation : uint8_t { None = 0, Initialization = 4, Rebuild = 5 };
enum class Phase : uint8_t {
    Idle = 0,
    Preparing = 1,
    Progressing = 2,
    Completed = 3,
    Failed = 4,
    DiskTooSmall = 5
};

struct Progress {
    Operation operation = Operation::None;
    Phase phase = Phase::Idle;
    uint16_t percent = 0;  // hundredths
};

// The firmware of a four-bay RAID-5 enclosure: its identity, its drives, its status
// report and its two long operations, answering the six sub-commands. Time comes from
// the clock seam only, so tests step through a rebuild or an initialisation at will.
// Thread-safe; it never calls out while holding its lock.
class DeviceModel : public CommandHandler {
public:
    // nullptr reads the process-wide clock at each use.
    explicit DeviceModel(os::Clock* clock = nullptr);

    bool handle(const uint8_t* request8, uint8_t* response490) override;
    bool medium(uint32_t blockSize, Medium* out) override;

    void setIdentity(const Identity& identity);
    Identity identity() const;
    void setVendor(const std::string& vendor);
    void setHostInterface(HostInterface host);

    void setRaid(const Raid& raid);
    Raid raid() const;
    void setDrive(unsigned bay, const Drive& drive);
    Drive drive(unsigned bay) const;
    // What a user does with a drive: a pulled drive leaves the bay empty (the firmware
    // keeps reporting the old drive's details behind a cleared present flag); an
    // inserted one joins no set until a rebuild or an initialisation takes it.
    void pullDrive(unsigned bay);
    void insertDrive(unsigned bay, Drive drive);

    // An entry of the event log the status report shows.
    void note(const std::string& event);

    void setTimings(const Timings& timings);
    void setFaults(const ModelFaults& faults);
    ModelFaults faults() const;

    // The device's view, as the payloads carry it.
    uint8_t raidStatus();
    bool driveFailureLikely();
    bool canInitialize();
    bool readyForRebuild();
    bool largeCapacity();
    Progress progress();
    // Not answering because an initialisation runs (the silent fault aside).
    bool initializing();
    // The report as the device would start sending it now.
    std::string statusReport();
    // Bytes the OS sees as the disk.
    uint64_t mediumBytes();
    bool diskTooLarge();

    // Requests that reached the model per sub-command, answered or not.
    uint64_t requests(uint8_t subCommand) const;

private:
    uint64_t nowLocked();
    void advanceLocked();
    void logLocked(const std::string& event);

    uint8_t raidStatusLocked() const;
    bool driveFailureLikelyLocked() const;
    bool canInitializeLocked() const;
    bool readyForRebuildLocked() const;
    bool largeCapacityLocked() const;
    uint64_t potentialCapacityLocked() const;
    uint64_t mediumBytesLocked() const;
    bool diskTooLargeLocked() const;
    Progress progressLocked() const;
    uint16_t rebuildPercentLocked(uint64_t elapsed) const;
    void finishRebuildLocked(Phase phase, uint16_t percent);
    std::string composeReportLocked();

    void putText(uint8_t* field, size_t width, const std::string& text, bool vendor = false) const;
    void putFlag(uint8_t* at, bool value, unsigned which) const;
    void fillLeftovers(uint8_t* from, uint8_t* end, uint8_t seed) const;

    void answerInfo(uint8_t* out);
    void answerDrive(const uint8_t* request, uint8_t* out);
    void answerStatusText(const uint8_t* request, uint8_t* out);
    void answerProgress(uint8_t* out);
    void answerInit(const uint8_t* request, uint8_t* out);
    void answerRebuild(uint8_t* out);

    mutable std::mutex mutex_;
    os::Clock* const clock_;
    os::Clock* lastClock_ = nullptr;
    uint32_t lastTick_ = 0;
    uint64_t uptime_ = 0;  // ms; survives tick wrap-around

    Identity identity_;
    Raid raid_;
    std::array<Drive, kBays> drives_{};
    Timings timings_;
    ModelFaults faults_;

    Operation operation_ = Operation::None;  // running
    uint64_t operationStart_ = 0;
    unsigned rebuildBay_ = 0;
    uint8_t pendingCapacity_ = 0;
    Progress lastFinal_;  // what progress reports once an operation has ended

    std::string reportSnapshot_;
    std::deque<std::string> events_;
    std::array<uint64_t, 256> requests_{};
};

}  // namespace corvane::sim
