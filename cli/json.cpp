#include "cli/json.h"

#include <cstdio>

#include "dcp/payload.h"

namespace corvane::cli {

std::string jsonString(const std::string& latin1Text) {
    const std::string utf8 = dcp::latin1ToUtf8(latin1Text);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    return out + "\"";
}

void JsonObject::key(const char* name) {
    if (!body_.empty()) {
        body_ += ",";
    }
    body_ += "\"";
    body_ += name;
    body_ += "\":";
}

JsonObject& JsonObject::add(const char* name, const std::string& latin1Text) {
    key(name);
    body_ += jsonString(latin1Text);
    return *this;
}

JsonObject& JsonObject::add(const char* name, const char* latin1Text) {
    return add(name, std::string(latin1Text));
}

JsonObject& JsonObject::add(const char* name, uint64_t value) {
    key(name);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::add(const char* name, bool value) {
    key(name);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::add(const char* name, const std::vector<std::string>& latin1Texts) {
    key(name);
    body_ += "[";
    for (size_t i = 0; i < latin1Texts.size(); ++i) {
        body_ += (i ? "," : "") + jsonString(latin1Texts[i]);
    }
    body_ += "]";
    return *this;
}

JsonObject& JsonObject::add(const char* name, const std::vector<uint8_t>& bytes) {
    key(name);
    body_ += "[";
    for (size_t i = 0; i < bytes.size(); ++i) {
        body_ += (i ? "," : "") + std::to_string(bytes[i]);
    }
    body_ += "]";
    return *this;
}

JsonObject& JsonObject::addRaw(const char* name, const std::string& value) {
    key(name);
    body_ += value;
    return *this;
}

}  // namespace corvane::cli
