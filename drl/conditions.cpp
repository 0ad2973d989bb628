#include "drl/conditions.h"

#include "dcp/records.h"

namespace corvane::drl {

int raidLevel(uint32_t raidStatus) {
    switch (raidStatus) {
        case dcp::RaidNormal:
            return 0;
        case dcp::RaidDegraded:
        case dcp::RaidRebuilding:
            return 1;
        case dcp::RaidFailed:
        case dcp::RaidFailedMultipleSets:
            return 2;
        default:
            return -1;
    }
}

int bayLevel(bool present, uint32_t health) {
    if (!present) {
        return 0;
    }
    switch (health) {
        case dcp::HealthHealthy:
            return 0;
        case dcp::HealthFailureWarning:
            return 1;
        case dcp::HealthFailed:
            return 2;
        default:
            return -1;
    }
}

}  // namespace corvane::drl
