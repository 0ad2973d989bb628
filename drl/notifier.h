#pragma once

#include <cstdint>

#include "dcp/records.h"

namespace corvane::drl {

using DrlDevId = uint32_t;

enum DrlEventType : uint32_t {
    DeviceListChanged = 1,
    DeviceReturned = 2,
    AsyncCommResult = 3,
    RequestDone = 4,
};

class DrlEvent {
public:
    explicit DrlEvent(uint32_t t) : type(t) {}
    virtual ~DrlEvent() = default;
    uint32_t type;
};

// A periodic request's answer (AsyncCommResult), or the outcome of a request run once
// (RequestDone: `result` says how it went, and `response` is null unless it is Ok).
// `response` belongs to the core and lives only for the call.
class DrlEventAsyncComm : public DrlEvent {
public:
    DrlEventAsyncComm(uint32_t id, DrlDevId dev, const dcp::DcpResponse* r,
                      uint32_t eventType = AsyncCommResult, uint32_t outcome = 0)
        : DrlEvent(eventType), commId(id), devId(dev), response(r), result(outcome) {}
    uint32_t commId;
    DrlDevId devId;
    const dcp::DcpResponse* response;
    uint32_t result;
};

// Observer of the core. notify runs on the worker while it holds its list lock: copy what
// you keep and return; never add or remove notifiers or periodic requests from inside.
class DrlNotifier {
public:
    virtual ~DrlNotifier() = default;
    virtual void notify(const DrlEvent& event) = 0;
};

}  // namespace corvane::drl
