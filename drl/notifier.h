#pragma once

#include <cstdint>

#include "dcp/records.h"

namespace corvane::drl {

using DrlDevId = uint32_t;

enum DrlEventType : uint32_t {
    DeviceListChanged = 1,
    DeviceReturned = 2,
    AsyncCommResult = 3,
};

class DrlEvent {
public:
    explicit DrlEvent(uint32_t t) : type(t) {}
    virtual ~DrlEvent() = default;
    uint32_t type;
};

// A periodic request's answer; `response` belongs to the core and lives only for the call.
class DrlEventAsyncComm : public DrlEvent {
public:
    DrlEventAsyncComm(uint32_t id, DrlDevId dev, const dcp::DcpResponse* r)
        : DrlEvent(AsyncCommResult), commId(id), devId(dev), response(r) {}
    uint32_t commId;
    DrlDevId devId;
    const dcp::DcpResponse* response;
};

// Observer of the core. notify runs on the worker while it holds its list lock: copy what
// you keep and return; never add or remove notifiers or periodic requests from inside.
class DrlNotifier {
public:
    virtual ~DrlNotifier() = default;
    virtual void notify(const DrlEvent& event) = 0;
};

}  // namespace corvane::drl
