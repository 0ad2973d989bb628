#include "io/helper_protocol.h"

#include <algorithm>
#include <cstring>

namespace corvane::io::helper {
namespace {

void put(std::vector<uint8_t>* out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) {
        out->push_back(uint8_t(v >> (8 * i)));
    }
}

uint64_t get(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

}  // namespace

std::vector<uint8_t> encode(const Request& r) {
    std::vector<uint8_t> out(kRequestBody, 0);
    out[0] = uint8_t(r.op);
    out[1] = r.disk;
    std::memcpy(out.data() + 4, r.payload, kPayloadBytes);
    return out;
}

bool decode(const uint8_t* body, size_t size, Request* out) {
    if (size != kRequestBody || body[2] != 0 || body[3] != 0) {
        return false;
    }
    out->op = Op(body[0]);
    out->disk = body[1];
    std::memcpy(out->payload, body + 4, kPayloadBytes);
    return true;
}

std::vector<uint8_t> encode(const Answer& a) {
    std::vector<uint8_t> out;
    out.reserve(kAnswerFixed + a.data.size());
    put(&out, uint8_t(a.op), 1);
    put(&out, uint32_t(a.error), 4);
    put(&out, a.result, 4);
    put(&out, a.value, 4);
    put(&out, a.value64, 8);
    out.insert(out.end(), a.data.begin(), a.data.end());
    return out;
}

bool decode(const uint8_t* body, size_t size, Answer* out) {
    if (size < kAnswerFixed || size > kMaxAnswerBody) {
        return false;
    }
    Answer a;
    a.op = Op(body[0]);
    a.error = int32_t(get(body + 1, 4));
    a.result = uint32_t(get(body + 5, 4));
    a.value = uint32_t(get(body + 9, 4));
    a.value64 = get(body + 13, 8);
    const size_t data = size - kAnswerFixed;
    const bool exchanged = a.op == Op::Exchange && a.error == 0 && a.result == 0;
    if ((a.op == Op::Exchange && data != (exchanged ? kResponseBytes : 0)) ||
        (a.op != Op::Exchange && a.op != Op::Volumes && data != 0)) {
        return false;
    }
    a.data.assign(body + kAnswerFixed, body + size);
    *out = std::move(a);
    return true;
}

bool splitVolumes(const std::vector<uint8_t>& data, std::vector<std::string>* out) {
    if (!data.empty() && data.back() != 0) {
        return false;
    }
    std::vector<std::string> names;
    for (auto at = data.begin(); at != data.end();) {
        const auto end = std::find(at, data.end(), uint8_t(0));
        if (end == at) {
            return false;  // an empty name
        }
        names.emplace_back(at, end);
        at = end + 1;
    }
    *out = std::move(names);
    return true;
}

std::vector<uint8_t> frame(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out;
    out.reserve(4 + body.size());
    put(&out, uint32_t(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

const char* opName(Op op) {
    switch (op) {
        case Op::Hello:
            return "hello";
        case Op::Geometry:
            return "geometry";
        case Op::Exchange:
            return "exchange";
        case Op::Volumes:
            return "volumes";
    }
    return "unknown request";
}

}  // namespace corvane::io::helper
