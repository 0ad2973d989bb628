#include <limits>
#include <vector>

#include "support.h"

using corvane::KVStore;

namespace {

using KVStoreFile = SettingsTest;

TEST_F(KVStoreFile, FreshFileHoldsTheDeclarationAndSetsAddGroupsAndStates) {
    auto store = open("DRL.xml");
    ASSERT_TRUE(store);
    EXPECT_EQ(readText(path("DRL.xml")), "<?xml version=\"1.0\" ?>\n");
    store->setBool("main_window", "flag", true);
    store->setString("main_window/tbv_devs", "0", "x");
    store->setString("main_window", "w", "wide");
    store->setInt8("main_window", "w", -5);
    store->setUInt8("g", "u8", 200);
    store->setUInt64("g", "u64", std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(outline(path("DRL.xml")),
              "?1.0,, GROUP{KEY=main_window}[STATE{KEY=flag,TYPE=BOOL,VALUE=1} "
              "STATE{KEY=w,TYPE=INT8,VALUE=-5}] "
              "GROUP{KEY=main_window/tbv_devs}[STATE{KEY=0,TYPE=STR,VALUE=x}] "
              "GROUP{KEY=g}[STATE{KEY=u8,TYPE=UINT8,VALUE=200} "
              "STATE{KEY=u64,TYPE=UINT64,VALUE=18446744073709551615}]");
    EXPECT_NE(readText(path("DRL.xml")).find("<STATE KEY=\"flag\" TYPE=\"BOOL\" VALUE=\"1\" />"),
              std::string::npos);
}

TEST_F(KVStoreFile, HandEditedFileIsSearchedByKeyAttributesAndNotRepaired) {
    const std::string edited =
        "<GROUP><STATE KEY=\"k\" TYPE=\"INT32\" VALUE=\"1\" /></GROUP>\n"
        "<OTHER KEY=\"g\"><STATE KEY=\"k\" TYPE=\"INT32\" VALUE=\"2\" /></OTHER>\n"
        "<GROUP KEY=\"g\"><ITEM TYPE=\"INT32\" VALUE=\"3\" /><ITEM VALUE=\"0\" KEY=\"k\" "
        "TYPE=\"INT32\" /><STATE KEY=\"k\" TYPE=\"INT32\" VALUE=\"5\" /></GROUP>\n"
        "<GROUP KEY=\"g\"><STATE KEY=\"k2\" TYPE=\"INT32\" VALUE=\"6\" /></GROUP>\n"
        "<GROUP KEY=\"h\"><STATE KEY=\"t\" VALUE=\"1\" /><STATE KEY=\"v\" TYPE=\"INT32\" "
        "/></GROUP>";
    writeText(path("DRL.xml"), edited);
    auto store = open("DRL.xml");
    EXPECT_EQ(readText(path("DRL.xml")), edited);
    EXPECT_EQ(store->getInt32("g", "k", -1), 0);
    EXPECT_EQ(store->getInt32("g", "k2", -1) + store->getInt32("h", "t", -1) +
                  store->getInt32("h", "v", -1),
              -3);
    // Only the first keyed child of the first matching group changes, in place.
    std::string expected = outline(path("DRL.xml"));
    expected.replace(expected.find("ITEM{VALUE=0"), 12, "ITEM{VALUE=9");
    store->setInt32("g", "k", 9);
    EXPECT_EQ(outline(path("DRL.xml")), expected);
}

TEST_F(KVStoreFile, AwkwardTextsRoundTripThroughTheFile) {
    const char* const utf8[] = {"a&b<c>\"d'e", "&#x41;&amp;", "Gr\xC3\xB6\xC3\x9F", "\n\t\r", " "};
    std::vector<std::string> texts(std::begin(utf8), std::end(utf8));
    texts.insert(texts.end(), {"", "caf\xE9", "\xE9\"x", "\xC3"});  // the last three not UTF-8
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string& text = texts[i];
        const std::string name = "t" + std::to_string(i) + ".xml";
        open(name)->setString(text, text, text);
        EXPECT_EQ(open(name)->getString(text, text, "absent"), text) << i;
        if (i < 6) {
            EXPECT_EQ(outline(path(name)), "?1.0,, GROUP{KEY=" + text + "}[STATE{KEY=" + text +
                                               ",TYPE=STR,VALUE=" + text + "}]");
        }
    }
}

// The value of key read as type, or "absent" when the read left out alone and the get
// gave its default.
template <class T>
std::string probe(KVStore& store, const std::string& key,
                  bool (KVStore::*read)(const std::string&, const std::string&, T&),
                  T (KVStore::*get)(const std::string&, const std::string&, T)) {
    T out = T(42);
    const bool found = (store.*read)("g", key, out);
    EXPECT_EQ((store.*get)("g", key, T(42)), out) << key;
    return found ? std::to_string(+out) : out == T(42) ? "absent" : "absent, out changed";
}

std::string probe(KVStore& store, const std::string& type, const std::string& key) {
    if (type == "BOOL")
        return probe(store, key, &KVStore::readBool, &KVStore::getBool);
    if (type == "UINT8")
        return probe(store, key, &KVStore::readUInt8, &KVStore::getUInt8);
    if (type == "INT8")
        return probe(store, key, &KVStore::readInt8, &KVStore::getInt8);
    if (type == "UINT16")
        return probe(store, key, &KVStore::readUInt16, &KVStore::getUInt16);
    if (type == "INT16")
        return probe(store, key, &KVStore::readInt16, &KVStore::getInt16);
    if (type == "UINT32")
        return probe(store, key, &KVStore::readUInt32, &KVStore::getUInt32);
    if (type == "INT32")
        return probe(store, key, &KVStore::readInt32, &KVStore::getInt32);
    if (type == "UINT64")
        return probe(store, key, &KVStore::readUInt64, &KVStore::getUInt64);
    return probe(store, key, &KVStore::readInt64, &KVStore::getInt64);
}

TEST_F(KVStoreFile, StoredTextsAreAcceptedOnlyWhenTheyFitTheType) {
    struct Row {
        const char* type;
        const char* text;
        const char* expected;
        const char* readAs = nullptr;  // another type than the file's
    };
    const std::vector<Row> rows = {
        {"BOOL", "1", "1"},
        {"BOOL", "2", "absent"},
        {"BOOL", "true", "absent"},
        {"BOOL", "1", "absent", "UINT8"},
        {"UINT8", "255", "255"},
        {"UINT8", "256", "absent"},
        {"UINT8", "05", "5"},
        {"UINT8", "+5", "5"},
        {"UINT8", "-0", "absent"},
        {"UINT8", "5", "absent", "INT8"},
        {"INT8", "-128", "-128"},
        {"INT8", "128", "absent"},
        {"UINT16", "65535", "65535"},
        {"UINT16", "-1", "absent"},
        {"INT16", "32768", "absent"},
        {"UINT32", "4294967296", "absent"},
        {"UINT32", "-1", "absent"},
        {"INT32", " 5", "absent"},
        {"INT32", "5 ", "absent"},
        {"INT32", "", "absent"},
        {"INT32", "-0", "0"},
        {"INT32", "0x10", "absent"},
        {"INT32", "2147483648", "absent"},
        {"UINT64", "18446744073709551615", "18446744073709551615"},
        {"UINT64", "18446744073709551616", "absent"},
        {"UINT64", "-1", "absent"},
        {"INT64", "-9223372036854775808", "-9223372036854775808"},
        {"INT64", "9223372036854775808", "absent"},
        {"INT64", "1e3", "absent"},
    };
    std::string file = "<GROUP KEY=\"g\">\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        file += "<STATE KEY=\"" + std::to_string(i) + "\" TYPE=\"" + rows[i].type + "\" VALUE=\"" +
                rows[i].text + "\" />\n";
    }
    writeText(path("DRL.xml"), file + "</GROUP>\n");
    auto store = open("DRL.xml");
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string type = rows[i].readAs ? rows[i].readAs : rows[i].type;
        EXPECT_EQ(probe(*store, type, std::to_string(i)), rows[i].expected)
            << rows[i].type << " \"" << rows[i].text << "\" read as " << type;
    }
    EXPECT_EQ(probe(*store, "INT32", "no such key"), "absent");
}

}  // namespace
