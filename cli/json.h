#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::cli {

// One JSON object on one line. Text fields of the devices are Latin-1 and are converted,
// so the output is always valid UTF-8.
class JsonObject {
public:
    JsonObject& add(const char* name, const std::string& latin1Text);
    JsonObject& add(const char* name, const char* latin1Text);
    JsonObject& add(const char* name, uint64_t value);
    JsonObject& add(const char* name, bool value);
    JsonObject& add(const char* name, const std::vector<std::string>& latin1Texts);
    JsonObject& add(const char* name, const std::vector<uint8_t>& bytes);
    // Text that is UTF-8 already (paths, mount points); bytes that are not become U+FFFD.
    JsonObject& addUtf8(const char* name, const std::string& utf8Text);
    JsonObject& addUtf8(const char* name, const std::vector<std::string>& utf8Texts);
    // value is already JSON
    JsonObject& addRaw(const char* name, const std::string& value);
    std::string str() const { return "{" + body_ + "}"; }

    JsonObject& add(const char* name, uint32_t value) { return add(name, uint64_t(value)); }
    JsonObject& add(const char* name, int value) = delete;

private:
    void key(const char* name);
    std::string body_;
};

// A JSON string literal of Latin-1 text.
std::string jsonString(const std::string& latin1Text);
// A JSON string literal of UTF-8 text.
std::string jsonUtf8String(const std::string& utf8Text);

}  // namespace corvane::cli
