#include "sim/scsi.h"

#include <cstring>

namespace corvane::sim {

int good(sg_io_hdr_t* request) {
    request->status = 0;
    request->masked_status = 0;
    request->host_status = 0;
    request->driver_status = 0;
    request->sb_len_wr = 0;
    request->info = 0;
    return 0;
}

int checkCondition(sg_io_hdr_t* request, uint8_t senseKey) {
    request->status = 0x02;
    request->masked_status = 0x01;
    request->host_status = 0;
    request->driver_status = 0x08;  // sense present
    request->resid = int(request->dxfer_len);
    uint8_t sense[18] = {0x70, 0, senseKey, 0, 0, 0, 0, 10};
    sense[12] = senseKey == 0x05 ? 0x20 : 0x04;  // invalid opcode / not ready
    const unsigned n = request->mx_sb_len < sizeof sense ? request->mx_sb_len : sizeof sense;
    if (request->sbp && n > 0) {
        std::memcpy(request->sbp, sense, n);
    }
    request->sb_len_wr = static_cast<unsigned char>(request->sbp ? n : 0);
    request->info = SG_INFO_CHECK;
    return 0;
}

int answerStandardCommand(sg_io_hdr_t* request, uint64_t totalBlocks) {
    const uint8_t* cdb = request->cmdp;
    uint64_t first = 0;
    uint64_t count = 0;
    if (cdb[0] == 0x2F && request->cmd_len >= 10) {
        for (int i = 0; i < 4; ++i) {
            first = (first << 8) | cdb[2 + i];
        }
        count = (uint64_t(cdb[7]) << 8) | cdb[8];
    } else if (cdb[0] == 0x8F && request->cmd_len >= 16) {
        for (int i = 0; i < 8; ++i) {
            first = (first << 8) | cdb[2 + i];
        }
        for (int i = 0; i < 4; ++i) {
            count = (count << 8) | cdb[10 + i];
        }
    } else {
        return checkCondition(request, kSenseIllegalRequest);
    }
    if (first >= totalBlocks || count > totalBlocks - first) {
        return checkCondition(request, kSenseIllegalRequest);
    }
    request->resid = 0;
    return good(request);
}

}  // namespace corvane::sim
