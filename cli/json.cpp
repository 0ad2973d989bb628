#include "cli/json.h"

#include <cstdio>

#include "dcp/payload.h"

namespace corvane::cli {

namespace {

// Well-formed UTF-8 as it is; every byte of an ill-formed sequence becomes U+FFFD.
std::string wellFormed(const std::string& text) {
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = text[i];
        size_t length = c < 0x80             ? 1
                        : (c & 0xE0) == 0xC0 ? 2
                        : (c & 0xF0) == 0xE0 ? 3
                        : (c & 0xF8) == 0xF0 ? 4
                                             : 0;
        uint32_t code = length == 1   ? c
                        : length == 2 ? (c & 0x1F)
                        : length == 3 ? (c & 0x0F)
                                      : (c & 0x07);
        for (size_t j = 1; length > 1 && j < length; ++j) {
            if (i + j >= text.size() || (text[i + j] & 0xC0) != 0x80) {
                length = 0;
            } else {
                code = (code << 6) | (text[i + j] & 0x3F);
            }
        }
        if (length == 0 || (length > 1 && (code < smallest[length] || code > 0x10FFFF ||
                                           (code >= 0xD800 && code <= 0xDFFF)))) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

}  // namespace

std::string jsonString(const std::string& latin1Text) {
    return jsonUtf8String(dcp::latin1ToUtf8(latin1Text));
}

std::string jsonUtf8String(const std::string& utf8Text) {
    const std::string utf8 = wellFormed(utf8Text);
    std::string out = "\"";
    for (size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = utf8[i];
        // U+0080..U+009F: terminals take some of them for the start of an escape sequence.
        if (c == 0xC2 && i + 1 < utf8.size() && (unsigned char)utf8[i + 1] < 0xA0) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", (unsigned char)utf8[++i]);
            out += buf;
            continue;
        }
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

JsonObject& JsonObject::addUtf8(const char* name, const std::string& utf8Text) {
    key(name);
    body_ += jsonUtf8String(utf8Text);
    return *this;
}

JsonObject& JsonObject::addUtf8(const char* name, const std::vector<std::string>& utf8Texts) {
    key(name);
    body_ += "[";
    for (size_t i = 0; i < utf8Texts.size(); ++i) {
        body_ += (i ? "," : "") + jsonUtf8String(utf8Texts[i]);
    }
    body_ += "]";
    return *this;
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
