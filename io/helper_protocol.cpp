#include "io/helper_protocol.h"

#include <cstring>

namespace corvane::io::helper {
namespace {

class Writer {
public:
    explicit Writer(std::vector<uint8_t>* out) : out_(out) {}
    void u8(uint8_t v) { out_->push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void bytes(const uint8_t* p, size_t n) { out_->insert(out_->end(), p, p + n); }

private:
    void put(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            out_->push_back(uint8_t(v >> (8 * i)));
        }
    }
    std::vector<uint8_t>* out_;
};

// The caller checked the length of the fixed part first.
class Reader {
public:
    explicit Reader(const uint8_t* p) : p_(p) {}
    uint8_t u8() { return *p_++; }
    uint16_t u16() { return uint16_t(get(2)); }
    uint32_t u32() { return uint32_t(get(4)); }
    uint64_t u64() { return get(8); }
    void bytes(uint8_t* out, size_t n) {
        std::memcpy(out, p_, n);
        p_ += n;
    }

private:
    uint64_t get(int n) {
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) {
            v = (v << 8) | p_[i];
        }
        p_ += n;
        return v;
    }
    const uint8_t* p_;
};

}  // namespace

std::vector<uint8_t> encode(const Request& r) {
    std::vector<uint8_t> out;
    out.reserve(kRequestFixed + r.data.size());
    Writer w(&out);
    w.u8(uint8_t(r.op));
    w.u32(r.handle);
    w.u32(r.arg);
    w.u64(r.offset);
    w.u32(r.count);
    w.u8(r.cdbLength);
    w.bytes(r.cdb, sizeof r.cdb);
    w.u32(uint32_t(r.direction));
    w.u32(r.timeoutMs);
    w.bytes(r.data.data(), r.data.size());
    return out;
}

std::vector<uint8_t> encode(const Answer& a) {
    std::vector<uint8_t> out;
    out.reserve(kAnswerFixed + a.data.size());
    Writer w(&out);
    w.u8(uint8_t(a.op));
    w.u32(uint32_t(a.error));
    w.u32(a.value);
    w.u64(a.value64);
    w.u8(a.status);
    w.u8(a.maskedStatus);
    w.u8(a.msgStatus);
    w.u8(a.senseLength);
    w.u16(a.hostStatus);
    w.u16(a.driverStatus);
    w.u32(uint32_t(a.resid));
    w.u32(a.duration);
    w.u32(a.info);
    w.bytes(a.sense, sizeof a.sense);
    w.bytes(a.data.data(), a.data.size());
    return out;
}

bool decode(const uint8_t* body, size_t size, Request* out) {
    if (!body || size < kRequestFixed || size > kMaxRequestBody) {
        return false;
    }
    Reader r(body);
    Request q;
    q.op = Op(r.u8());
    q.handle = r.u32();
    q.arg = r.u32();
    q.offset = r.u64();
    q.count = r.u32();
    q.cdbLength = r.u8();
    r.bytes(q.cdb, sizeof q.cdb);
    q.direction = int32_t(r.u32());
    q.timeoutMs = r.u32();
    q.data.assign(body + kRequestFixed, body + size);
    *out = std::move(q);
    return true;
}

bool decode(const uint8_t* body, size_t size, Answer* out) {
    if (!body || size < kAnswerFixed || size > kMaxAnswerBody) {
        return false;
    }
    Reader r(body);
    Answer a;
    a.op = Op(r.u8());
    a.error = int32_t(r.u32());
    a.value = r.u32();
    a.value64 = r.u64();
    a.status = r.u8();
    a.maskedStatus = r.u8();
    a.msgStatus = r.u8();
    a.senseLength = r.u8();
    a.hostStatus = r.u16();
    a.driverStatus = r.u16();
    a.resid = int32_t(r.u32());
    a.duration = r.u32();
    a.info = r.u32();
    r.bytes(a.sense, sizeof a.sense);
    if (a.senseLength > kSenseBytes) {
        return false;
    }
    a.data.assign(body + kAnswerFixed, body + size);
    *out = std::move(a);
    return true;
}

std::vector<uint8_t> frame(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    out.reserve(4 + body.size());
    Writer w(&out);
    w.u32(uint32_t(body.size()));
    w.bytes(body.data(), body.size());
    return out;
}

const char* opName(Op op) {
    switch (op) {
        case Op::Hello:
            return "hello";
        case Op::Open:
            return "open";
        case Op::OpenPath:
            return "open-path";
        case Op::Close:
            return "close";
        case Op::BlockSize:
            return "block-size";
        case Op::Size:
            return "size";
        case Op::Scsi:
            return "scsi";
        case Op::Read:
            return "read";
        case Op::Write:
            return "write";
        case Op::Flush:
            return "flush";
        case Op::Lock:
            return "lock";
        case Op::Unlock:
            return "unlock";
    }
    return "unknown";
}

}  // namespace corvane::io::helper
