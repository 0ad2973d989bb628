#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dcp/records.h"
#include "dcp/result.h"
#include "drl/notifier.h"

namespace corvane::os {
class DeviceListener;
}

namespace corvane::drl {

// The devices attached to this machine, their requests and their observers. Every
// operation may be called from any thread and answers a DrlResult.
class CvnStorageManager {
public:
    virtual ~CvnStorageManager() = default;

    // A new notifier is told DeviceListChanged at once, on the caller's thread.
    virtual uint32_t addNotifier(DrlNotifier* notifier) = 0;
    // Once this returns the notifier hears nothing more.
    virtual uint32_t removeNotifier(DrlNotifier* notifier) = 0;
    virtual uint32_t getDevices(std::vector<DrlDevId>* devices) = 0;
    virtual void rescan() = 0;
    // Runs one request on the caller's thread; on Ok *response is a new object that the
    // caller deletes, on failure it is untouched.
    virtual uint32_t execute(DrlDevId device, const dcp::DcpRequest* request,
                             dcp::DcpResponse** response) = 0;
    // Repeats a request of type 1 to 4 every intervalMs on the worker. Never waits for the
    // worker's running requests: the worker takes it up at its next round.
    virtual uint32_t startAsyncComm(DrlDevId device, const dcp::DcpRequest* request,
                                    uint32_t intervalMs, uint32_t* commId) = 0;
    // Runs a request of type 1 to 4 once on the worker, ahead of the periodic ones (at most
    // one exchange later), and reports it as a RequestDone event with its commId whether it
    // succeeded or not. A sleeping worker wakes for it.
    virtual uint32_t executeAsync(DrlDevId device, const dcp::DcpRequest* request,
                                  uint32_t* commId) = 0;
    // Once this returns no result of the request reaches an observer; it waits at most for
    // a delivery under way, never for an exchange.
    virtual uint32_t stopAsyncComm(uint32_t commId) = 0;

    // A running core, or null when its listener, locks or worker cannot be had.
    static CvnStorageManager* create();
    // The same with a listener of the caller's choice (tests, the command-line tool).
    static CvnStorageManager* create(std::shared_ptr<os::DeviceListener> listener);
};

}  // namespace corvane::drl
