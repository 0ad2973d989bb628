#include "settings/kvstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <boost/lexical_cast.hpp>
#include <boost/numeric/conversion/cast.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <typeinfo>

#include "os/os.h"
#include "settings/atomicfile.h"

namespace corvane {

bool KVStore::getBool(const std::string& group, const std::string& key, bool defaultValue) {
    bool value;
    return readBool(group, key, value) ? value : defaultValue;
}

std::string KVStore::getString(const std::string& group, const std::string& key,
                               std::string defaultValue) {
    std::string value;
    return readString(group, key, value) ? value : defaultValue;
}

uint8_t KVStore::getUInt8(const std::string& group, const std::string& key, uint8_t defaultValue) {
    uint8_t value;
    return readUInt8(group, key, value) ? value : defaultValue;
}

int8_t KVStore::getInt8(const std::string& group, const std::string& key, int8_t defaultValue) {
    int8_t value;
    return readInt8(group, key, value) ? value : defaultValue;
}

uint16_t KVStore::getUInt16(const std::string& group, const std::string& key,
                            uint16_t defaultValue) {
    uint16_t value;
    return readUInt16(group, key, value) ? value : defaultValue;
}

int16_t KVStore::getInt16(const std::string& group, const std::string& key, int16_t defaultValue) {
    int16_t value;
    return readInt16(group, key, value) ? value : defaultValue;
}

uint32_t KVStore::getUInt32(const std::string& group, const std::string& key,
                            uint32_t defaultValue) {
    uint32_t value;
    return readUInt32(group, key, value) ? value : defaultValue;
}

int32_t KVStore::getInt32(const std::string& group, const std::string& key, int32_t defaultValue) {
    int32_t value;
    return readInt32(group, key, value) ? value : defaultValue;
}

uint64_t KVStore::getUInt64(const std::string& group, const std::string& key,
                            uint64_t defaultValue) {
    uint64_t value;
    return readUInt64(group, key, value) ? value : defaultValue;
}

int64_t KVStore::getInt64(const std::string& group, const std::string& key, int64_t defaultValue) {
    int64_t value;
    return readInt64(group, key, value) ? value : defaultValue;
}

namespace {

const std::string kGroup = "GROUP";
const std::string kState = "STATE";
const std::string kKey = "KEY";
const std::string kType = "TYPE";
const std::string kValue = "VALUE";

// lexical_cast would treat the 8-bit types as characters, so every type narrower than 32
// bits goes through int32.
template <class T>
std::string numberText(T value) {
    if constexpr (sizeof(T) < sizeof(int32_t)) {
        return boost::lexical_cast<std::string>(int32_t(value));
    } else {
        return boost::lexical_cast<std::string>(value);
    }
}

// Throws a std::bad_cast when text is not a number of type T.
template <class T>
T parseNumber(const std::string& text) {
    // lexical_cast wraps "-1" around to the largest unsigned value.
    if (std::is_unsigned_v<T> && !text.empty() && text[0] == '-') {
        throw std::bad_cast();
    }
    if constexpr (sizeof(T) < sizeof(int32_t)) {
        return boost::numeric_cast<T>(boost::lexical_cast<int32_t>(text));
    } else {
        return boost::lexical_cast<T>(text);
    }
}

bool hasKey(const TiXmlElement* element, const std::string& name) {
    const std::string* key = element->Attribute(kKey);
    return key && *key == name;
}

TiXmlElement* findGroup(TiXmlDocument& document, const std::string& group) {
    for (TiXmlElement* e = document.FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (e->ValueStr() == kGroup && hasKey(e, group)) {
            return e;
        }
    }
    return nullptr;
}

TiXmlElement* findKey(TiXmlElement* group, const std::string& key) {
    for (TiXmlElement* e = group->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (hasKey(e, key)) {
            return e;
        }
    }
    return nullptr;
}

TiXmlElement* appendKeyed(TiXmlNode* parent, const std::string& element, const std::string& key) {
    auto* child = new TiXmlElement(element);
    child->SetAttribute(kKey, key);
    parent->LinkEndChild(child);
    return child;
}

bool isUtf8(const std::string& bytes) {
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = bytes[i];
        size_t length;
        uint32_t code;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (bytes.size() - i < length) {
            return false;
        }
        for (size_t j = 1; j < length; ++j) {
            const unsigned char next = bytes[i + j];
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// Bigger than any store of a few dozen values; reading such a file took seconds and
// gigabytes, so it counts as damaged.
constexpr off_t kLargestFile = off_t(16) << 20;

enum class Loaded { Ok, Unreadable, Damaged };

Loaded loadDocument(TiXmlDocument& document, const std::string& fileName) {
    int fd = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return Loaded::Unreadable;
    }
    // The library sizes its buffer by seeking to the end, which a folder or a pipe does
    // not survive.
    struct stat status;
    FILE* file = nullptr;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return Loaded::Unreadable;
    }
    if (status.st_size > kLargestFile) {
        ::close(fd);
        return Loaded::Damaged;
    }
    if (!(file = ::fdopen(fd, "rb"))) {
        ::close(fd);
        return Loaded::Unreadable;
    }
    std::string bytes;
    char chunk[4096];
    size_t got;
    while (bytes.size() <= size_t(kLargestFile) &&
           (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    const bool readError = std::ferror(file) != 0;
    // Without an encoding in the declaration the library reads UTF-8, where a stray byte
    // of another encoding can swallow the closing quote after it. The store writes such
    // bytes as they were given, so read them back one by one.
    const TiXmlEncoding encoding = isUtf8(bytes) ? TIXML_DEFAULT_ENCODING : TIXML_ENCODING_LEGACY;
    std::rewind(file);
    const bool loaded =
        !readError && bytes.size() <= size_t(kLargestFile) && document.LoadFile(file, encoding);
    std::fclose(file);
    if (loaded) {
        return Loaded::Ok;
    }
    // An empty file holds nothing to keep.
    return readError || bytes.empty() ? Loaded::Unreadable : Loaded::Damaged;
}

// Byte for byte what the library writes to a file.
bool writeDocument(const TiXmlDocument& document, const std::string& fileName) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* memory = ::open_memstream(&buffer, &size);
    if (!memory) {
        return false;
    }
    const bool printed = document.SaveFile(memory) && !std::ferror(memory);
    const bool closed = std::fclose(memory) == 0;
    std::string text = printed && closed ? std::string(buffer, size) : std::string();
    std::free(buffer);
    return printed && closed && replaceFile(fileName, text);
}

class XmlKVStore : public KVStore {
public:
    XmlKVStore() = default;
    ~XmlKVStore() override;
    XmlKVStore(const XmlKVStore&) = delete;
    XmlKVStore& operator=(const XmlKVStore&) = delete;

    bool open(const std::string& name, bool save);

    void setBool(const std::string& group, const std::string& key, bool value) override {
        set(group, key, "BOOL", value ? "1" : "0");
    }
    void setString(const std::string& group, const std::string& key, std::string value) override {
        set(group, key, "STR", value);
    }
    void setUInt8(const std::string& group, const std::string& key, uint8_t value) override {
        set(group, key, "UINT8", numberText(value));
    }
    void setInt8(const std::string& group, const std::string& key, int8_t value) override {
        set(group, key, "INT8", numberText(value));
    }
    void setUInt16(const std::string& group, const std::string& key, uint16_t value) override {
        set(group, key, "UINT16", numberText(value));
    }
    void setInt16(const std::string& group, const std::string& key, int16_t value) override {
        set(group, key, "INT16", numberText(value));
    }
    void setUInt32(const std::string& group, const std::string& key, uint32_t value) override {
        set(group, key, "UINT32", numberText(value));
    }
    void setInt32(const std::string& group, const std::string& key, int32_t value) override {
        set(group, key, "INT32", numberText(value));
    }
    void setUInt64(const std::string& group, const std::string& key, uint64_t value) override {
        set(group, key, "UINT64", numberText(value));
    }
    void setInt64(const std::string& group, const std::string& key, int64_t value) override {
        set(group, key, "INT64", numberText(value));
    }

    bool readBool(const std::string& group, const std::string& key, bool& out) override;
    bool readString(const std::string& group, const std::string& key, std::string& out) override;
    bool readUInt8(const std::string& group, const std::string& key, uint8_t& out) override {
        return readNumber(group, key, "UINT8", out);
    }
    bool readInt8(const std::string& group, const std::string& key, int8_t& out) override {
        return readNumber(group, key, "INT8", out);
    }
    bool readUInt16(const std::string& group, const std::string& key, uint16_t& out) override {
        return readNumber(group, key, "UINT16", out);
    }
    bool readInt16(const std::string& group, const std::string& key, int16_t& out) override {
        return readNumber(group, key, "INT16", out);
    }
    bool readUInt32(const std::string& group, const std::string& key, uint32_t& out) override {
        return readNumber(group, key, "UINT32", out);
    }
    bool readInt32(const std::string& group, const std::string& key, int32_t& out) override {
        return readNumber(group, key, "INT32", out);
    }
    bool readUInt64(const std::string& group, const std::string& key, uint64_t& out) override {
        return readNumber(group, key, "UINT64", out);
    }
    bool readInt64(const std::string& group, const std::string& key, int64_t& out) override {
        return readNumber(group, key, "INT64", out);
    }

    bool save() override;
    std::string saveError() const override;

private:
    void set(const std::string& group, const std::string& key, const std::string& type,
             const std::string& text);
    // The VALUE text of the key when it is stored under this type. Caller holds storeLock.
    const std::string* valueText(const std::string& group, const std::string& key,
                                 const std::string& type);

    template <class T>
    bool readNumber(const std::string& group, const std::string& key, const std::string& type,
                    T& out) {
        os::MutexLock lock(storeLock);
        const std::string* text = valueText(group, key, type);
        if (!text) {
            return false;
        }
        try {
            out = parseNumber<T>(*text);
            return true;
        } catch (const std::bad_cast&) {
            return false;
        }
    }

    std::unique_ptr<TiXmlDocument> document;
    os::MutexHandle storeLock = nullptr;
    std::string fileName;
    bool autoSave = false;
    std::string lastSaveError;
};

XmlKVStore::~XmlKVStore() {
    if (storeLock) {
        save();
        os::closeHandle(storeLock);
    }
}

bool XmlKVStore::open(const std::string& name, bool save) {
    // A link at the file is refused, not replaced: it may be the user's own, and what it
    // points to is never read or written.
    struct stat status;
    if (::lstat(name.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        return false;
    }
    if (storeLock || os::createMutex(&storeLock) != os::Ok) {
        return false;
    }
    document = std::make_unique<TiXmlDocument>();
    const Loaded loaded = loadDocument(*document, name);
    if (loaded != Loaded::Ok) {
        // A damaged file may still hold settings someone wants back: it is kept beside
        // the fresh one (one generation). When it cannot be kept, it is not replaced.
        if (loaded == Loaded::Damaged && !moveAside(name, ".bad")) {
            document.reset();
            os::closeHandle(storeLock);
            storeLock = nullptr;
            return false;
        }
        document = std::make_unique<TiXmlDocument>();
        document->LinkEndChild(new TiXmlDeclaration("1.0", "", ""));
        if (!writeDocument(*document, name)) {
            document.reset();
            os::closeHandle(storeLock);
            storeLock = nullptr;
            return false;
        }
    }
    fileName = name;
    autoSave = save;
    return true;
}

void XmlKVStore::set(const std::string& group, const std::string& key, const std::string& type,
                     const std::string& text) {
    os::MutexLock lock(storeLock);
    TiXmlElement* groupElement = findGroup(*document, group);
    if (!groupElement) {
        groupElement = appendKeyed(document.get(), kGroup, group);
    }
    TiXmlElement* state = findKey(groupElement, key);
    if (!state) {
        state = appendKeyed(groupElement, kState, key);
    }
    state->SetAttribute(kType, type);
    state->SetAttribute(kValue, text);
    if (autoSave) {
        save();
    }
}

const std::string* XmlKVStore::valueText(const std::string& group, const std::string& key,
                                         const std::string& type) {
    TiXmlElement* groupElement = findGroup(*document, group);
    TiXmlElement* state = groupElement ? findKey(groupElement, key) : nullptr;
    if (!state) {
        return nullptr;
    }
    const std::string* storedType = state->Attribute(kType);
    if (!storedType || *storedType != type) {
        return nullptr;
    }
    return state->Attribute(kValue);
}

bool XmlKVStore::readBool(const std::string& group, const std::string& key, bool& out) {
    os::MutexLock lock(storeLock);
    const std::string* text = valueText(group, key, "BOOL");
    if (!text) {
        return false;
    }
    try {
        const int32_t number = boost::lexical_cast<int32_t>(*text);
        if (number != 0 && number != 1) {
            return false;
        }
        out = number == 1;
        return true;
    } catch (const std::bad_cast&) {
        return false;
    }
}

bool XmlKVStore::readString(const std::string& group, const std::string& key, std::string& out) {
    os::MutexLock lock(storeLock);
    const std::string* text = valueText(group, key, "STR");
    if (!text) {
        return false;
    }
    out = *text;
    return true;
}

// Locks although the setters already hold the lock when they call it: a save called on its
// own must not print the document while another thread changes it.
bool XmlKVStore::save() {
    os::MutexLock lock(storeLock);
    errno = 0;
    if (writeDocument(*document, fileName)) {
        lastSaveError.clear();
        return true;
    }
    lastSaveError = "Could not save settings file at \"" + fileName + "\"" +
                    (errno ? std::string(": ") + std::strerror(errno) : std::string()) + ".";
    return false;
}

std::string XmlKVStore::saveError() const {
    os::MutexLock lock(storeLock);
    return lastSaveError;
}

}  // namespace

KVStore* createXmlKVStore(const std::string& fileName, bool autoSave) {
    auto store = std::make_unique<XmlKVStore>();
    if (!store->open(fileName, autoSave)) {
        return nullptr;
    }
    return store.release();
}

}  // namespace corvane
