// Private-profile text: what WritePrivateProfileString leaves in the file
// and what GetPrivateProfileString finds there.
#include "zq/ini_text.h"

#include <gtest/gtest.h>

namespace zq::plat::common {
namespace {

TEST(IniText, WriteLeavesTheFileAsWindowsWould) {
    struct Case {
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    };
    const Case cases[] = {
        {"", "Config", "Port", "COM1", "[Config]\r\nPort=COM1\r\n"},
        {"[Config]\r\nPort=COM1\r\n", "Config", "Speed", "9600", "[Config]\r\nPort=COM1\r\nSpeed=9600\r\n"},
        // Replaced in place, names matched without case, the written case kept.
        {"[Config]\r\nPort=COM1\r\nSpeed=9600\r\n", "CONFIG", "port", "COM2",
         "[Config]\r\nPort=COM2\r\nSpeed=9600\r\n"},
        {"[ Config ]\r\n  Port = COM1 \r\n", "config", "PORT", "COM3", "[ Config ]\r\nPort=COM3\r\n"},
        // A new section after a blank line; a new key before the blank that
        // parts its section from the next.
        {"[A]\r\nx=1\r\n", "B", "y", "2", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n"},
        {"[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n", "A", "z", "3", "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n"},
        {"[A]\r\n\r\n[B]\r\n", "A", "z", "3", "[A]\r\nz=3\r\n\r\n[B]\r\n"},
        // Comments, and keys that only look alike, stay.
        {"; note\r\n[A]\r\n;x=1\r\nxx=1\r\nx=1\r\n", "A", "x", "2",
         "; note\r\n[A]\r\n;x=1\r\nxx=1\r\nx=2\r\n"},
        // A file of LF lines keeps them; a last line without its end gets one.
        {"[A]\nx=1\n", "A", "x", "5", "[A]\nx=5\n"},
        {"[A]\r\nx=1", "A", "y", "2", "[A]\r\nx=1\r\ny=2\r\n"},
        {"[A]\r\nx=1\r\n", "A", "x", "", "[A]\r\nx=\r\n"},
        {"[A]\r\nx=1\r\n", "A", "x", "a=b;c", "[A]\r\nx=a=b;c\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.before << " + [" << c.section << "] " << c.key << "=" << c.value);
        EXPECT_EQ(ini_write_string(c.before, c.section, c.key, c.value), c.after);
    }
}

TEST(IniText, EntriesThatWouldBreakTheFileAreRefused) {
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"A", "x", "1\r\n[Injected]"},
        {"A", "x", "1\n"},
        {"A\n", "x", "1"},
        {"A", "x\r", "1"},
        {"A]", "x", "1"},
        {"", "x", "1"},
        {"  ", "x", "1"},
        {"A", "", "1"},
        {"A", "  ", "1"},
        {"A", "x=y", "1"},
        {"A", ";x", "1"},
        {"A", "[x", "1"},
    };
    const std::string before = "[A]\r\nx=0\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "[" << c.section << "] " << c.key << "=" << c.value);
        EXPECT_FALSE(ini_valid_entry(c.section, c.key, c.value));
        EXPECT_EQ(ini_write_string(before, c.section, c.key, c.value), before);
    }
    EXPECT_TRUE(ini_valid_entry("Config", "Port", "COM1"));
}

TEST(IniText, DeleteSectionTakesItsKeysAndNothingElse) {
    const std::string two = "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n";
    struct Case {
        std::string before;
        const char* section;
        std::string after;
    };
    const Case cases[] = {
        {two, "a", "[B]\r\ny=2\r\n"},
        {two, "B", "[A]\r\nx=1\r\n"},
        {"[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n\r\n[C]\r\n", "b", "[A]\r\nx=1\r\n\r\n[C]\r\n"},
        {two, "C", two},
        {"[A]\r\nx=1\r\n[B]\r\ny=2\r\n[a]\r\nz=3\r\n", "A", "[B]\r\ny=2\r\n"},  // every copy
        {"", "A", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before + " - " + c.section);
        EXPECT_EQ(ini_delete_section(c.before, c.section), c.after);
    }
}

// Deleting and writing again, as the provider does with its configuration,
// does not let the file grow.
TEST(IniText, RewritingASectionKeepsTheFileStable) {
    std::string text = ini_write_string("", "A", "x", "1");
    text = ini_write_string(text, "B", "y", "2");
    const std::string first = text;
    for (int round = 0; round < 3; ++round) {
        text = ini_delete_section(text, "A");
        text = ini_write_string(text, "A", "x", "1");
        text = ini_delete_section(text, "B");
        text = ini_write_string(text, "B", "y", "2");
    }
    EXPECT_EQ(text, "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    EXPECT_EQ(text, first);
}

TEST(IniText, ReadFindsTheValueOrNothing) {
    const std::string text =
        "; x=comment\r\n"
        "[Config]\r\n"
        "Port = COM1  \r\n"
        "Quoted=\" padded \"\r\n"
        "Single='one'\r\n"
        "Half=\"open\r\n"
        "Empty=\r\n"
        "NoEquals\r\n"
        "Port=second\r\n"
        "[Other]\r\n"
        "Only=here\r\n"
        "[config]\r\n"
        "Late=ignored\r\n";
    struct Case {
        const char* section;
        const char* key;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"Config", "Port", "COM1"},  {"CONFIG", "port", "COM1"},   {"Config", "Quoted", " padded "},
        {"Config", "Single", "one"}, {"Config", "Half", "\"open"}, {"Config", "Empty", ""},
        {"Config", "NoEquals", {}},  {"Config", "Only", {}},       {"Other", "Only", "here"},
        {"Missing", "Port", {}},     {"Config", "Late", {}},       {"Config", "; x", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "[" << c.section << "] " << c.key);
        EXPECT_EQ(ini_read_string(text, c.section, c.key), c.value);
    }
}

}  // namespace
}  // namespace zq::plat::common
