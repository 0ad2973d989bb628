#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <scsi/sg.h>

namespace corvane::sim {

// What the device presents to the host as its disk.
struct Medium {
    uint64_t blocks = 0;
    bool tooLarge = false;  // the info sector's flag
};

// Hands one 8-byte request payload to the device's command logic; false means the
// device does not answer (it is busy, or it ignores the command).
class CommandHandler {
public:
    virtual ~CommandHandler() = default;
    virtual bool handle(const uint8_t* request8, uint8_t* response490) = 0;
    // A device whose RAID set is reconfigured presents a disk of another size. False
    // leaves the size the firmware was built with and its own flag.
    virtual bool medium(uint32_t /*blockSize*/, Medium* /*out*/) { return false; }
};

// Faults on demand; each stays until it is changed.
struct TransportFaults {
    bool directRefused = false;   // vendor CDB answered with CHECK CONDITION
    bool transportError = false;  // vendor CDB lost on the way: the host adapter says so
    int answerBytes = -1;         // the vendor CDB's data phase ends after this many; < 0: all
    int tagZeroReads = 0;         // info sector shows tag 0 this many times; < 0: always
    bool ignoreCommands = false;  // the mailbox keeps the command sector
    bool garbleAnswer = false;    // the mailbox holds neither signature afterwards
    bool wrongTag = false;        // response carries another tag
    bool statusNotOne = false;    // response byte 18 is 2
    bool badResponseChecksum = false;
    bool badInfoSignature = false;
    bool badInfoChecksum = false;
};

// The transport half of a device's firmware behind an emulated disk: it answers the
// vendor CDB, publishes the info sector at block total - 35 and answers command sectors
// written to its mailbox before the host reads the block back.
class Firmware {
public:
    Firmware(uint32_t blockSize, uint64_t totalBlocks, std::shared_ptr<CommandHandler> handler);

    void setHandler(std::shared_ptr<CommandHandler> handler);
    // Runs on the host's thread before every command the device answers: a slow device
    // (the hook sleeps), or a record of which thread asked.
    void setExchangeHook(std::function<void()> hook);
    void setFaults(const TransportFaults& faults);
    TransportFaults faults() const;
    void setDiskTooLarge(bool tooLarge);
    void setTag(uint16_t tag);
    uint16_t tag() const;
    void setMailboxLba(uint64_t lba);
    uint64_t mailboxLba() const;
    uint64_t infoLba() const;
    // The disk asks before each operation; false while the handler leaves the size alone.
    bool mediumBlocks(uint64_t* blocks);
    // Blocks the device owns; everything else belongs to the user.
    std::vector<uint64_t> reservedBlocks() const;

    uint64_t commandsAnswered() const;

    // Called by the disk, under its lock, for each block transferred.
    void beforeRead(uint64_t block, uint8_t* data);
    void afterWrite(uint64_t block, uint8_t* stored);
    // One SG_IO request; answers 0 or an errno value as the kernel would.
    int scsi(sg_io_hdr_t* request, uint64_t totalBlocks);

private:
    void buildInfoSector(uint8_t* sector);
    bool refreshMedium();
    bool answer(const uint8_t* request8, uint8_t* response490);

    const uint32_t blockSize_;
    uint64_t totalBlocks_;
    mutable std::mutex mutex_;
    std::shared_ptr<CommandHandler> handler_;
    std::function<void()> exchangeHook_;
    TransportFaults faults_;
    bool diskTooLarge_ = false;
    bool mediumTooLarge_ = false;
    uint16_t tag_ = 0x5A17;
    uint64_t mailboxLba_;
    uint64_t answered_ = 0;
};

// Answers every request with a payload derived from it, so transport tests can tell
// which request an answer belongs to.
class EchoHandler : public CommandHandler {
public:
    bool handle(const uint8_t* request8, uint8_t* response490) override;
    static void expected(const uint8_t* request8, uint8_t* response490);
};

}  // namespace corvane::sim
