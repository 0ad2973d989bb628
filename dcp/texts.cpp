#include "dcp/texts.h"

#include "dcp/records.h"

namespace corvane::dcp {

const char* configurationText(uint32_t configuration) {
    return configuration == kConfigurationRaid5 ? "RAID-5" : "Unknown";
}

const char* raidStatusText(uint32_t raidStatus) {
    switch (raidStatus) {
        case RaidNormal:
            return "Normal";
        case RaidDegraded:
            return "Degraded";
        case RaidRebuilding:
            return "Rebuilding";
        case RaidFailed:
            return "Failed";
        case RaidFailedMultipleSets:
            return "Failed (Multiple RAID sets present)";
    }
    return "Status Unknown";
}

const char* healthText(uint32_t health) {
    switch (health) {
        case HealthHealthy:
            return "Drive Healthy";
        case HealthFailureWarning:
            return "Drive Failure Warning";
        case HealthFailed:
            return "Drive Failed";
    }
    return "Drive Health Unknown";
}

const char* initResultText(uint32_t result) {
    switch (result) {
        case InitInitialized:
            return "Initialized";
        case InitFailed:
            return "Initialization Failed";
        case InitInvalidConfiguration:
            return "Invalid/Unsupported Configuration";
        case InitInvalidDriveSet:
            return "Invalid/Unsupported Drive Set";
    }
    return "Unknown";
}

const char* rebuildResultText(uint32_t result) {
    switch (result) {
        case RebuildInProgress:
            return "Rebuild in Progress";
        case RebuildFailed:
            return "Rebuild Failed";
        case RebuildInvalidDriveSet:
            return "Invalid/Unsupported Drive Set";
    }
    return "Unknown";
}

const char* operationText(uint32_t operation) {
    switch (operation) {
        case TypeInitConfiguration:
            return "RAID Initialization";
        case TypeRebuild:
            return "RAID Rebuild";
    }
    return "Unknown";
}

const char* phaseText(uint32_t phase) {
    switch (phase) {
        case PhasePreparing:
            return "Preparing";
        case PhaseProgressing:
            return "Progressing";
        case PhaseCompleted:
            return "Completed";
        case PhaseFailed:
            return "Failed";
        case PhaseDiskTooSmall:
            return "Disk Too Small";
    }
    return "Unknown";
}

const char* capacityModeText(uint32_t capacityMode) {
    switch (capacityMode) {
        case 0:
            return "Limit Capacity to 2.2TB (best OS compatibility)";
        case 1:
            return "Limit Capacity to Multiple of 2.2TB (prevents most data corruption)";
        case 2:
            return "Maximize Capacity (use with caution)";
    }
    return nullptr;
}

}  // namespace corvane::dcp
