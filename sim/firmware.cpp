#include "sim/firmware.h"

#include <cerrno>
#include <cstring>

#include "dcp/framing.h"
#include "dcp/records.h"
#include "sim/scsi.h"

namespace corvane::sim {

Firmware::Firmware(uint32_t blockSize, uint64_t totalBlocks,
                   std::shared_ptr<CommandHandler> handler)
    : blockSize_(blockSize),
      totalBlocks_(totalBlocks),
      handler_(std::move(handler)),
      mailboxLba_(totalBlocks - 34) {}

void Firmware::setHandler(std::shared_ptr<CommandHandler> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void Firmware::setExchangeHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    exchangeHook_ = std::move(hook);
}

void Firmware::setFaults(const TransportFaults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

TransportFaults Firmware::faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

void Firmware::setDiskTooLarge(bool tooLarge) {
    std::lock_guard<std::mutex> lock(mutex_);
    diskTooLarge_ = tooLarge;
}

void Firmware::setTag(uint16_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    tag_ = tag;
}

uint16_t Firmware::tag() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tag_;
}

void Firmware::setMailboxLba(uint64_t lba) {
    std::lock_guard<std::mutex> lock(mutex_);
    mailboxLba_ = lba;
}

uint64_t Firmware::mailboxLba() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mailboxLba_;
}

uint64_t Firmware::infoLba() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return totalBlocks_ - 35;
}

bool Firmware::refreshMedium() {
    Medium m;
    if (!handler_ || !handler_->medium(blockSize_, &m)) {
        return false;
    }
    if (m.blocks != totalBlocks_) {
        totalBlocks_ = m.blocks;
        // A new medium: the firmware keeps its blocks at the new end.
        mailboxLba_ = totalBlocks_ - 34;
    }
    mediumTooLarge_ = m.tooLarge;
    return true;
}

bool Firmware::mediumBlocks(uint64_t* blocks) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!refreshMedium()) {
        return false;
    }
    *blocks = totalBlocks_;
    return true;
}

std::vector<uint64_t> Firmware::reservedBlocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {totalBlocks_ - 35, mailboxLba_};
}

uint64_t Firmware::commandsAnswered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answered_;
}

bool Firmware::answer(const uint8_t* request8, uint8_t* response490) {
    std::memset(response490, 0, dcp::kResponsePayloadSize);
    if (exchangeHook_) {
        exchangeHook_();
    }
    return handler_ && handler_->handle(request8, response490);
}

void Firmware::buildInfoSector(uint8_t* sector) {
    std::memset(sector, 0, blockSize_);
    std::memcpy(sector, dcp::kInfoSignature, 16);
    uint16_t tag = tag_;
    if (faults_.tagZeroReads != 0) {
        tag = 0;
        if (faults_.tagZeroReads > 0) {
            --faults_.tagZeroReads;
        }
    }
    sector[16] = uint8_t(tag);
    sector[17] = uint8_t(tag >> 8);
    for (int i = 0; i < 8; ++i) {
        sector[18 + i] = uint8_t(mailboxLba_ >> (8 * i));
    }
    sector[26] = diskTooLarge_ || mediumTooLarge_ ? 1 : 0;
    // Firmware leaves its own bytes in the unread part of the sector.
    for (int i = 27; i < 510; ++i) {
        sector[i] = uint8_t(i * 7);
    }
    dcp::sectorChecksum(sector);
    if (faults_.badInfoSignature) {
        sector[5] ^= 0x01;
        dcp::sectorChecksum(sector);
    }
    if (faults_.badInfoChecksum) {
        sector[100] ^= 0x10;
    }
}

void Firmware::beforeRead(uint64_t block, uint8_t* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (block == totalBlocks_ - 35) {
        buildInfoSector(data);
    }
}

void Firmware::afterWrite(uint64_t block, uint8_t* stored) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (block != mailboxLba_) {
        return;
    }
    const uint16_t commandTag = uint16_t(stored[16] | (stored[17] << 8));
    if (std::memcmp(stored, dcp::kCommandSignature, 16) != 0 || !dcp::sectorChecksumValid(stored) ||
        commandTag != tag_ || faults_.ignoreCommands) {
        return;  // not a command for us: the block keeps what was written
    }
    uint8_t response[dcp::kResponsePayloadSize];
    if (!answer(stored + 20, response)) {
        return;
    }
    ++answered_;
    std::memset(stored, 0, blockSize_);
    std::memcpy(stored, dcp::kResponseSignature, 16);
    const uint16_t answerTag = faults_.wrongTag ? uint16_t(commandTag + 1) : commandTag;
    stored[16] = uint8_t(answerTag);
    stored[17] = uint8_t(answerTag >> 8);
    stored[18] = faults_.statusNotOne ? 2 : 1;
    stored[19] = 0xA5;
    std::memcpy(stored + 20, response, sizeof response);
    dcp::sectorChecksum(stored);
    if (faults_.badResponseChecksum) {
        stored[300] ^= 0x40;
    }
    if (faults_.garbleAnswer) {
        for (uint32_t i = 0; i < blockSize_; ++i) {
            stored[i] = uint8_t(stored[i] * 31 + i);
        }
        stored[0] = 0xEE;
    }
    // A new tag after each answer: a replayed command sector is not answered twice.
    tag_ = uint16_t(tag_ + 1);
    if (tag_ == 0) {
        tag_ = 1;
    }
}

int Firmware::scsi(sg_io_hdr_t* request, uint64_t totalBlocks) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint8_t* cdb = request->cmdp;
    if (cdb[0] != 0xEC) {
        return answerStandardCommand(request, totalBlocks);
    }
    if (faults_.transportError) {
        request->status = 0x02;  // whatever the device said never arrived whole
        request->host_status = 0x07;
        request->driver_status = 0;
        request->resid = int(request->dxfer_len);
        return 0;
    }
    if (faults_.directRefused || request->cmd_len != 12 || cdb[1] != 0 || cdb[2] != 2 ||
        request->dxfer_direction != SG_DXFER_FROM_DEV) {
        return checkCondition(request, kSenseIllegalRequest);
    }
    uint8_t response[dcp::kResponsePayloadSize];
    if (!answer(cdb + 4, response)) {
        return checkCondition(request, kSenseNotReady);
    }
    ++answered_;
    uint32_t n =
        request->dxfer_len < dcp::kDirectPayloadSize ? request->dxfer_len : dcp::kDirectPayloadSize;
    if (faults_.answerBytes >= 0 && uint32_t(faults_.answerBytes) < n) {
        n = uint32_t(faults_.answerBytes);
    }
    std::memcpy(request->dxferp, response, n);
    request->resid = int(request->dxfer_len - n);
    return good(request);
}

bool EchoHandler::handle(const uint8_t* request8, uint8_t* response490) {
    expected(request8, response490);
    return true;
}

void EchoHandler::expected(const uint8_t* request8, uint8_t* response490) {
    for (uint32_t i = 0; i < dcp::kResponsePayloadSize; ++i) {
        response490[i] = uint8_t(request8[i % 8] ^ (i * 13) ^ (i >> 8));
    }
}

}  // namespace corvane::sim
