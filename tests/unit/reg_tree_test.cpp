// The registry tree: the Win32 answers of the registry calls, and hive text
// that survives any damage and round-trips every byte.
#include "zq/reg_tree.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>

#include "zq/platform.h"

namespace zq::plat::common {
namespace {

std::vector<uint8_t> sz(std::string_view text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

std::vector<uint8_t> dword(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

void set(RegNode& key, std::string_view name, uint32_t type, const std::vector<uint8_t>& data) {
    ASSERT_EQ(reg_tree_set(key, name, type, data), kErrSuccess);
}

std::vector<std::string> value_names(const RegNode& key) {
    std::vector<std::string> names;
    for (const RegValue& v : key.values) {
        names.push_back(v.name);
    }
    return names;
}

bool same_tree(const RegNode& a, const RegNode& b) {
    if (a.values.size() != b.values.size() || a.keys.size() != b.keys.size()) {
        return false;
    }
    for (size_t i = 0; i < a.values.size(); ++i) {
        if (a.values[i].name != b.values[i].name || a.values[i].type != b.values[i].type ||
            a.values[i].data != b.values[i].data) {
            return false;
        }
    }
    for (auto ia = a.keys.begin(), ib = b.keys.begin(); ia != a.keys.end(); ++ia, ++ib) {
        if (ia->first != ib->first || !same_tree(ia->second, ib->second)) {
            return false;
        }
    }
    return true;
}

TEST(RegTree, QueryCopiesOnlyWhatFitsAndReportsTheSize) {
    RegNode key;
    set(key, "Port", kRegSz, sz("COM1"));
    set(key, "Speed", kRegDword, dword(9600));
    constexpr uint32_t kNoBuffer = 0xFFFFFFFF;
    struct Case {
        const char* name;
        uint32_t room;  // kNoBuffer: a buffer without storage, asking the size only
        uint32_t result;
        uint32_t size;
        std::vector<uint8_t> copied;
    };
    const Case cases[] = {
        {"Port", 5, kErrSuccess, 5, sz("COM1")}, {"PORT", 16, kErrSuccess, 5, sz("COM1")},
        {"Port", 4, kErrMoreData, 5, {}},        {"Port", 0, kErrMoreData, 5, {}},
        {"Port", kNoBuffer, kErrSuccess, 5, {}}, {"Speed", 4, kErrSuccess, 4, dword(9600)},
        {"Speed", 3, kErrMoreData, 4, {}},       {"Missing", 16, kErrFileNotFound, 0xABAB, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(c.room));
        std::array<uint8_t, 16> buffer;
        buffer.fill(0xAA);
        uint32_t type = 0xABAB;
        uint32_t size = 0xABAB;
        const std::span<uint8_t> dest =
            c.room == kNoBuffer ? std::span<uint8_t>() : std::span(buffer).first(c.room);
        EXPECT_EQ(reg_tree_query(key, c.name, &type, dest, &size), c.result);
        EXPECT_EQ(size, c.size);
        for (size_t i = 0; i < buffer.size(); ++i) {
            const uint8_t want = i < c.copied.size() ? c.copied[i] : 0xAA;
            EXPECT_EQ(buffer[i], want) << "byte " << i;
        }
    }
}

TEST(RegTree, SettingAgainKeepsPlaceAndWrittenCase) {
    RegNode key;
    set(key, "Alpha", kRegSz, sz("a"));
    set(key, "Beta", kRegSz, sz("b"));
    set(key, "Gamma", kRegSz, sz("c"));
    set(key, "BETA", kRegDword, dword(7));
    EXPECT_EQ(value_names(key), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
    uint32_t type = 0;
    std::array<uint8_t, 4> data{};
    uint32_t size = 0;
    EXPECT_EQ(reg_tree_query(key, "beta", &type, data, &size), kErrSuccess);
    EXPECT_EQ(type, kRegDword);
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.end()), dword(7));

    EXPECT_EQ(reg_tree_delete_value(key, "alpha"), kErrSuccess);
    EXPECT_EQ(reg_tree_delete_value(key, "alpha"), kErrFileNotFound);
    EXPECT_EQ(value_names(key), (std::vector<std::string>{"Beta", "Gamma"}));
}

TEST(RegTree, EnumValueGoesInCreationOrderWithWin32Buffers) {
    RegNode key;
    set(key, "Zeta", kRegSz, sz("last name, first value"));
    set(key, "Abc", kRegDword, dword(1));
    struct Case {
        uint32_t index;
        size_t name_room;
        size_t data_room;
        uint32_t result;
        const char* name;  // expected in the buffer when it fit
        uint32_t name_len;
        uint32_t data_len;
    };
    const Case cases[] = {
        {0, 16, 64, kErrSuccess, "Zeta", 4, 23},
        {1, 16, 64, kErrSuccess, "Abc", 3, 4},
        {1, 4, 64, kErrSuccess, "Abc", 3, 4},      // exactly room for the NUL
        {1, 3, 64, kErrMoreData, nullptr, 3, 4},   // no room for the NUL
        {0, 16, 22, kErrMoreData, "Zeta", 4, 23},  // data one byte short
        {2, 16, 64, kErrNoMoreItems, nullptr, 0xABAB, 0xABAB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("index " + std::to_string(c.index) + " rooms " + std::to_string(c.name_room) + "/" +
                     std::to_string(c.data_room));
        std::array<char, 16> name;
        name.fill('#');
        std::array<uint8_t, 64> data{};
        uint32_t name_len = 0xABAB;
        uint32_t data_len = 0xABAB;
        uint32_t type = 0;
        EXPECT_EQ(reg_tree_enum_value(key, c.index, std::span(name).first(c.name_room), &name_len, &type,
                                      std::span(data).first(c.data_room), &data_len),
                  c.result);
        EXPECT_EQ(name_len, c.name_len);
        EXPECT_EQ(data_len, c.data_len);
        if (c.name != nullptr) {
            EXPECT_STREQ(name.data(), c.name);
        } else {
            EXPECT_EQ(name[0], '#');
        }
        if (c.name_room < name.size()) {
            EXPECT_EQ(name[c.name_room], '#') << "written past the name buffer";
        }
    }
}

TEST(RegTree, EnumKeyGoesInNameOrderWithoutRegardToCase) {
    RegNode root;
    for (const char* path : {"gamma", "Alpha", "beta\\inner", "_under"}) {
        ASSERT_NE(reg_make(root, path), nullptr);
    }
    std::vector<std::string> names;
    std::array<char, 8> name{};
    uint32_t len = 0;
    uint32_t index = 0;
    while (reg_tree_enum_key(root, index, name, &len) == kErrSuccess) {
        names.emplace_back(name.data(), len);
        ++index;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma", "_under"}));
    EXPECT_EQ(reg_tree_enum_key(root, index, name, &len), kErrNoMoreItems);
    EXPECT_EQ(reg_tree_enum_key(root, 0, std::span(name).first(5), &len), kErrMoreData);  // "Alpha" + NUL
    EXPECT_EQ(len, 5u);
}

TEST(RegTree, DeleteKeyRefusesParentsAndMissingKeys) {
    RegNode root;
    ASSERT_NE(reg_make(root, "Software\\Velmora\\Provider"), nullptr);
    ASSERT_NE(reg_make(root, "Software\\Other"), nullptr);
    struct Step {
        const char* path;
        uint32_t result;
    };
    const Step steps[] = {
        {"Software\\Velmora", kErrAccessDenied},  // has a subkey
        {"Software\\Missing", kErrFileNotFound},
        {"Nowhere\\Provider", kErrFileNotFound},
        {"", kErrAccessDenied},
        {"software\\VELMORA\\provider", kErrSuccess},
        {"Software\\Velmora\\Provider", kErrFileNotFound},
        {"Software\\Velmora", kErrSuccess},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(reg_tree_delete_key(root, s.path), s.result) << s.path;
    }
    EXPECT_EQ(reg_find(root, "Software\\Velmora"), nullptr);
    EXPECT_NE(reg_find(root, "Software\\Other"), nullptr);
}

TEST(RegTree, PathsFollowWin32Rules) {
    RegNode root;
    RegNode* made = reg_make(root, "Software\\Velmora");
    ASSERT_NE(made, nullptr);
    const std::string long_level(255, 'k');
    std::string deep;
    for (int i = 0; i < 512; ++i) {
        deep += "d\\";
    }
    struct Case {
        std::string path;
        bool valid;
    };
    const Case cases[] = {
        {"SOFTWARE/velmora", true},
        {"Software\\Velmora\\", true},
        {"Software\\\\Velmora", false},
        {"\\Software", false},
        {"\\", false},
        {long_level, true},
        {long_level + "k", false},
        {deep, true},  // 512 levels, trailing separator
        {deep + "d", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        EXPECT_EQ(reg_make(root, c.path) != nullptr, c.valid);
        EXPECT_EQ(reg_find(root, c.path) != nullptr, c.valid);
    }
    EXPECT_EQ(reg_find(root, "software\\VELMORA"), made);
    EXPECT_EQ(reg_find(root, ""), &root);
    EXPECT_EQ(root.keys.find("SOFTWARE")->first, "Software");  // the first spelling stays
}

// The documented format, line by line.
TEST(RegHive, TextFormat) {
    RegNode root;
    RegNode* provider = reg_make(root, "SOFTWARE\\Velmora\\TSpi_6200\\Provider");
    set(*provider, "Port", kRegSz, sz("COM1"));
    set(*provider, "Speed", kRegDword, dword(9600));
    set(*provider, "Say \"hi\"", kRegSz, sz("C:\\dir\ttab\xe9"));
    set(*provider, "Blob", 3, {0x01, 0x02, 0xff});
    set(*provider, "Bare", kRegSz, {'n', 'o'});  // no NUL
    ASSERT_NE(reg_make(root, "SOFTWARE\\Empty"), nullptr);
    EXPECT_EQ(reg_serialize(root),
              "ZQREG 1\n"
              "[SOFTWARE]\n"
              "[SOFTWARE\\\\Empty]\n"
              "[SOFTWARE\\\\Velmora]\n"
              "[SOFTWARE\\\\Velmora\\\\TSpi_6200]\n"
              "[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Provider]\n"
              "\"Port\"=sz:\"COM1\"\n"
              "\"Speed\"=dword:00002580\n"
              "\"Say \\\"hi\\\"\"=sz:\"C:\\\\dir\\x09tab\\xe9\"\n"
              "\"Blob\"=hex(3):01,02,ff\n"
              "\"Bare\"=hex(1):6e,6f\n");
}

RegNode awkward_tree() {
    RegNode root;
    std::string every_byte;
    for (int b = 1; b < 256; ++b) {
        every_byte += static_cast<char>(b);
    }
    set(root, "", kRegSz, sz("default value of the root"));
    RegNode* odd = reg_make(root, "Key with ]\"[ and \x01\xff");
    set(*odd, every_byte, kRegSz, sz(every_byte));
    set(*odd, "nul inside", kRegSz, {'a', 0, 'b', 0});
    set(*odd, "empty sz", kRegSz, sz(""));
    set(*odd, "sz without data", kRegSz, {});
    set(*odd, "short dword", kRegDword, {1, 2, 3});
    set(*odd, "top type", 0xFFFFFFFF, {0});
    set(*odd, "none", kRegNone, {});
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    set(*odd, "binary", 3, all);
    reg_make(root, "A\\B\\C");
    set(*reg_make(root, "a\\b"), "Mid", kRegDword, dword(0xDEADBEEF));
    return root;
}

TEST(RegHive, EveryByteRoundTrips) {
    const RegNode tree = awkward_tree();
    const std::string text = reg_serialize(tree);
    const RegNode back = reg_parse(text);
    EXPECT_TRUE(same_tree(tree, back));
    EXPECT_EQ(reg_serialize(back), text);
}

TEST(RegHive, CrLfLinesReadTheSame) {
    const std::string text = reg_serialize(awkward_tree());
    std::string crlf;
    for (const char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    EXPECT_EQ(reg_serialize(reg_parse(crlf)), text);
}

TEST(RegHive, BadLinesAreSkippedAndTheRestKept) {
    const char* bad_lines[] = {
        "\"X\"=sz:\"unterminated",
        "\"X\"=sz:\"a\" trailing",
        "\"X\"=sz:\"bad \\q escape\"",
        "\"X\"=sz:\"short \\x4\"",
        "\"X\"=sz:\"ends in \\",
        "\"X\"=dword:123",
        "\"X\"=dword:0000000g",
        "\"X\"=dword:000000001",
        "\"X\"=hex(zz):00",
        "\"X\"=hex():00",
        "\"X\"=hex(123456789):00",
        "\"X\"=hex(3):0",
        "\"X\"=hex(3):00,",
        "\"X\"=hex(3):00,,01",
        "\"X\"=hex(3)00",
        "\"X\"=hex(3",
        "\"X\"=text:\"a\"",
        "\"X\"sz:\"a\"",
        "\"X\"=",
        "\"X",
        "X=sz:\"a\"",
        "garbage",
        "ZQREG 2",
        "",
    };
    for (const char* bad : bad_lines) {
        SCOPED_TRACE(bad);
        const std::string text =
            std::string("ZQREG 1\n[K]\n\"Before\"=dword:00000001\n") + bad + "\n\"After\"=dword:00000002\n";
        RegNode root = reg_parse(text);
        RegNode* key = reg_find(root, "K");
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(value_names(*key), (std::vector<std::string>{"Before", "After"}));
    }
}

TEST(RegHive, ValuesOfABadKeyLineGoNowhere) {
    const char* bad_keys[] = {"[K\\\\\\\\L]", "[\\\\K]", "[K", "[K\\q]", "[K\\x4]"};
    for (const char* bad : bad_keys) {
        SCOPED_TRACE(bad);
        RegNode root = reg_parse(std::string("ZQREG 1\n[K]\n\"Kept\"=dword:00000001\n") + bad +
                                 "\n\"Lost\"=dword:00000002\n[K\\\\L]\n\"Found\"=dword:00000003\n");
        ASSERT_NE(reg_find(root, "K"), nullptr);
        EXPECT_EQ(value_names(*reg_find(root, "K")), std::vector<std::string>{"Kept"});
        ASSERT_NE(reg_find(root, "K\\L"), nullptr);
        EXPECT_EQ(value_names(*reg_find(root, "K\\L")), std::vector<std::string>{"Found"});
        EXPECT_TRUE(root.values.empty());
    }
}

TEST(RegHive, ValueNamedTwiceKeepsTheLast) {
    RegNode root =
        reg_parse("ZQREG 1\n[K]\n\"A\"=dword:00000001\n\"B\"=dword:00000002\n\"a\"=dword:00000003\n");
    const RegNode* key = reg_find(root, "K");
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(value_names(*key), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(key->values[0].data, dword(3));
}

// A hive cut short anywhere still loads; cut at a line end it loads exactly
// the lines before the cut (but for a bare "[]", which is written only with
// the root's values).
TEST(RegHive, TruncatedHiveLoadsWhatItHolds) {
    const std::string text = reg_serialize(awkward_tree());
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        const std::string part = text.substr(0, cut);
        const std::string again = reg_serialize(reg_parse(part));
        if (cut >= 8 && text[cut - 1] == '\n' && !part.ends_with("\n[]\n")) {
            EXPECT_EQ(again, part) << "cut at " << cut;
        }
    }
}

// Whatever it reads, what it writes reads back the same.
TEST(RegHive, RandomTextNeverBreaksTheParser) {
    constexpr std::string_view alphabet = "[]\"\\\\x0f9Aa=:,()szdwordhex(1)\n\n\r \x01\xff";
    std::mt19937 random(6232);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<size_t> length(0, 300);
    for (int round = 0; round < 3000; ++round) {
        std::string text = round % 2 == 0 ? "ZQREG 1\n[K]\n\"" : "";
        for (size_t n = length(random); n > 0; --n) {
            text += alphabet[pick(random)];
        }
        const std::string once = reg_serialize(reg_parse(text));
        ASSERT_EQ(reg_serialize(reg_parse(once)), once) << "round " << round;
    }
}

TEST(RegHive, HugeLinesAreReadWhole) {
    RegNode root;
    std::string big;
    for (size_t i = 0; i < (1u << 20); ++i) {
        big += static_cast<char>(1 + i % 255);
    }
    set(*reg_make(root, "Big"), big.substr(0, 4000), kRegSz, sz(big));
    const std::string text = reg_serialize(root);
    EXPECT_TRUE(same_tree(reg_parse(text), root));
    // The same line without its end or its closing quote is dropped whole.
    RegNode cut = reg_parse(text.substr(0, text.size() - 2));
    ASSERT_NE(reg_find(cut, "Big"), nullptr);
    EXPECT_TRUE(reg_find(cut, "Big")->values.empty());
}

}  // namespace
}  // namespace zq::plat::common
