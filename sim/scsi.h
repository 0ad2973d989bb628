#pragma once

#include <scsi/sg.h>

#include <cstdint>

namespace corvane::sim {

// Sense keys the emulator reports with CHECK CONDITION.
constexpr uint8_t kSenseNotReady = 0x02;
constexpr uint8_t kSenseMediumError = 0x03;
constexpr uint8_t kSenseIllegalRequest = 0x05;
// The host status of a command the kernel timed out.
constexpr uint16_t kDidTimeOut = 0x03;

// Completes an SG_IO request as the kernel does for a command that reached the device.
int good(sg_io_hdr_t* request);
int checkCondition(sg_io_hdr_t* request, uint8_t senseKey);
// What any disk answers: VERIFY(10) and VERIFY(16) within the disk; everything else is
// an illegal request.
int answerStandardCommand(sg_io_hdr_t* request, uint64_t totalBlocks);

}  // namespace corvane::sim
