#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvane {

// Typed values addressed by a group and a key, both free text. A value read back under
// another type than it was written with counts as absent.
class KVStore {
public:
    virtual ~KVStore() = default;

    virtual void setBool(const std::string& group, const std::string& key, bool value) = 0;
    virtual void setString(const std::string& group, const std::string& key, std::string value) = 0;
    virtual void setUInt8(const std::string& group, const std::string& key, uint8_t value) = 0;
    virtual void setInt8(const std::string& group, const std::string& key, int8_t value) = 0;
    virtual void setUInt16(const std::string& group, const std::string& key, uint16_t value) = 0;
    virtual void setInt16(const std::string& group, const std::string& key, int16_t value) = 0;
    virtual void setUInt32(const std::string& group, const std::string& key, uint32_t value) = 0;
    virtual void setInt32(const std::string& group, const std::string& key, int32_t value) = 0;
    virtual void setUInt64(const std::string& group, const std::string& key, uint64_t value) = 0;
    virtual void setInt64(const std::string& group, const std::string& key, int64_t value) = 0;

    // The stored value, or defaultValue when it is absent.
    virtual bool getBool(const std::string& group, const std::string& key, bool defaultValue);
    virtual std::string getString(const std::string& group, const std::string& key,
                                  std::string defaultValue);
    virtual uint8_t getUInt8(const std::string& group, const std::string& key,
                             uint8_t defaultValue);
    virtual int8_t getInt8(const std::string& group, const std::string& key, int8_t defaultValue);
    virtual uint16_t getUInt16(const std::string& group, const std::string& key,
                               uint16_t defaultValue);
    virtual int16_t getInt16(const std::string& group, const std::string& key,
                             int16_t defaultValue);
    virtual uint32_t getUInt32(const std::string& group, const std::string& key,
                               uint32_t defaultValue);
    virtual int32_t getInt32(const std::string& group, const std::string& key,
                             int32_t defaultValue);
    virtual uint64_t getUInt64(const std::string& group, const std::string& key,
                               uint64_t defaultValue);
    virtual int64_t getInt64(const std::string& group, const std::string& key,
                             int64_t defaultValue);

    // True with the value in out, or false with out untouched.
    virtual bool readBool(const std::string& group, const std::string& key, bool& out) = 0;
    virtual bool readString(const std::string& group, const std::string& key, std::string& out) = 0;
    virtual bool readUInt8(const std::string& group, const std::string& key, uint8_t& out) = 0;
    virtual bool readInt8(const std::string& group, const std::string& key, int8_t& out) = 0;
    virtual bool readUInt16(const std::string& group, const std::string& key, uint16_t& out) = 0;
    virtual bool readInt16(const std::string& group, const std::string& key, int16_t& out) = 0;
    virtual bool readUInt32(const std::string& group, const std::string& key, uint32_t& out) = 0;
    virtual bool readInt32(const std::string& group, const std::string& key, int32_t& out) = 0;
    virtual bool readUInt64(const std::string& group, const std::string& key, uint64_t& out) = 0;
    virtual bool readInt64(const std::string& group, const std::string& key, int64_t& out) = 0;

    // True when the file was written.
    virtual bool save() = 0;
    // Why the last save failed (the autosave of a set included), with the file's path;
    // empty when it succeeded.
    virtual std::string saveError() const { return {}; }
};

// Opens the store kept in fileName, creating the file when it is missing or unreadable.
// A file that is not XML, or is larger than 16 MB, is first renamed to fileName + ".bad"
// (replacing an older one). Null when the file can be neither read nor written, or a
// damaged one cannot be moved aside. With autoSave every set writes the
// file. The caller owns the store.
KVStore* createXmlKVStore(const std::string& fileName, bool autoSave);

class settings_error : public std::runtime_error {
public:
    explicit settings_error(const std::string& path);
};

// The application's store, "DRL.xml" in the settings folder (see folder.h), opened on
// first use with autoSave. Throws settings_error when it cannot be opened; the next call
// tries again.
KVStore& settings();

// Destroys the application's store, which writes its file a last time. A later settings()
// opens the file again.
void releaseSettings();

}  // namespace corvane
