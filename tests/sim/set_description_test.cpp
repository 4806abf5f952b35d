// The set description file.
#include <random>

#include "sim_harness.h"

namespace zq::sim::test {
namespace {

TEST(SetDescription, DefaultSetIsATypicalMultilineSet) {
    SetDescription set;
    ParseError error;
    ASSERT_TRUE(parse_set_description(default_set_text(), &set, &error))
        << error.line << ": " << error.message;
    EXPECT_EQ(set.mcdu.text(), "2001");
    EXPECT_EQ(set.tqla_version, 3);
    EXPECT_EQ(set.device_type, 3);
    EXPECT_EQ(set.forward_status, 4);
    EXPECT_EQ(set.key_count, 4);
    EXPECT_EQ(set.special_count, 2);
    EXPECT_EQ(set.string_count, 3);
    EXPECT_EQ(set.softkey_count, 7);
    EXPECT_EQ(set.code_count, 7);
    for (size_t i = 0; i < set.softkey_count; ++i) {
        EXPECT_EQ(set.softkeys[i].id, i);
        EXPECT_LE(set.softkeys[i].text.size, 6) << "a soft-key label is cut to 6 characters";
    }
    for (size_t i = 0; i < set.code_count; ++i) {
        EXPECT_EQ(set.codes[i].id, i);
        EXPECT_LE(set.codes[i].text.size, 4) << "a service code holds 4 characters";
    }
}

// The call-model set exists so that no label is found inside another.
TEST(SetDescription, CallsSetLabelsAreDistinctAndItHasADirectory) {
    const SetDescription set = calls_set();
    std::vector<std::string_view> texts;
    for (size_t i = 0; i < set.softkey_count; ++i) {
        texts.push_back(set.softkeys[i].text.text());
    }
    for (size_t i = 0; i < set.string_count; ++i) {
        texts.push_back(set.strings[i].text.text());
    }
    ASSERT_EQ(texts.size(), 10u);
    for (size_t i = 0; i < texts.size(); ++i) {
        for (size_t j = 0; j < texts.size(); ++j) {
            EXPECT_TRUE(i == j || texts[i].find(texts[j]) == std::string_view::npos)
                << texts[j] << " inside " << texts[i];
        }
    }
    EXPECT_EQ(set.party_count, 7);
    EXPECT_EQ(set.extension_count, 1);
    EXPECT_EQ(set.special_count, 3);
}

TEST(SetDescription, EveryStatement) {
    const char* text =
        "# comment\n"
        "\n"
        "mcdu  4711  \n"
        "language 0x06\r\n"
        "tqla 2\n"
        "devtype 3\n"
        "enquiry 1\n"
        "forward 1 \"0 12\" 2\n"
        "aom 0 1 40\n"
        "aom 7 0 255\n"
        "key 1 Line one\n"
        "special 20 10 \"  Conf  \"\n"
        "string 2 \"a\\\"b\\\\c\\x85\"\n"
        "softkey 6 Transf\n"
        "code 4 #21\n"
        "per-answer 3\n"
        "per-answer special 1\n"
        "party 2005 \"Martin Paul\" answer 1500 hangup 9000\n"
        "party 2006 busy\n"
        "party 2004 Luc forward 2005\n"
        "party 2007 noanswer\n"
        "extension 2003 Roux Eva\n"
        "timing interdigit 4000\n"
        "events off\n"
        "event-order after-display\n"
        "dial-display append\n"
        "release-via-reserved 1\n"
        "ext-prefix-display 1\n";
    SetDescription set;
    ParseError error;
    ASSERT_TRUE(parse_set_description(text, &set, &error)) << error.line << ": " << error.message;
    EXPECT_EQ(set.mcdu.text(), "4711");
    EXPECT_EQ(set.language, 6);
    EXPECT_EQ(set.tqla_version, 2);
    EXPECT_EQ(set.enquiry_mode, 1);
    EXPECT_EQ(set.forward_status, 1);
    EXPECT_EQ(set.forward_destination.text(), "0 12");
    EXPECT_EQ(set.forward_type, 2);
    ASSERT_EQ(set.module_count, 2);
    EXPECT_EQ(set.modules[0].address, 0);
    EXPECT_TRUE(set.modules[0].aom20);
    EXPECT_EQ(set.modules[1].offset, 255);
    ASSERT_EQ(set.key_count, 1);
    EXPECT_EQ(set.keys[0].label.text(), "Line one");
    ASSERT_EQ(set.special_count, 1);
    EXPECT_EQ(set.specials[0].kind, 10);
    EXPECT_EQ(set.specials[0].label.text(), "  Conf  ");
    ASSERT_EQ(set.string_count, 1);
    EXPECT_EQ(set.strings[0].text.text(), "a\"b\\c\x85");
    EXPECT_EQ(set.codes[0].text.text(), "#21");
    EXPECT_EQ(set.per_answer[static_cast<size_t>(SetList::Key)], 3);
    EXPECT_EQ(set.per_answer[static_cast<size_t>(SetList::Special)], 1);
    ASSERT_EQ(set.party_count, 4);
    EXPECT_EQ(set.parties[0].name.text(), "Martin Paul");
    EXPECT_TRUE(set.parties[0].answer_given);
    EXPECT_EQ(set.parties[0].answer_ms, 1500u);
    EXPECT_EQ(set.parties[0].hangup_ms, 9000u);
    EXPECT_EQ(set.parties[1].name.size, 0) << "a behaviour keyword is not a name";
    EXPECT_EQ(set.parties[1].behaviour, PartyBehaviour::Busy);
    EXPECT_EQ(set.parties[2].name.text(), "Luc");
    EXPECT_EQ(set.parties[2].forward_to.text(), "2005");
    EXPECT_EQ(set.parties[3].behaviour, PartyBehaviour::NoAnswer);
    ASSERT_EQ(set.extension_count, 1);
    EXPECT_EQ(set.extensions[0].name.text(), "Roux Eva");
    EXPECT_EQ(set.answer_ms, 2000u);
    EXPECT_EQ(set.interdigit_ms, 4000u);
    EXPECT_TRUE(set.events_off && set.events_after_display && set.dial_append && set.release_via_reserved &&
                set.ext_prefix_display);
}

TEST(SetDescription, ErrorsNameTheirLine) {
    struct Case {
        const char* text;
        int line;
        const char* message;
    };
    const Case cases[] = {
        {"mcdu 1\nbogus 3\n", 2, "unknown statement 'bogus'"},
        {"tqla 4\n", 1, "the TQLA version must be a number from 1 to 3"},
        {"tqla 0\n", 1, "the TQLA version must be a number from 1 to 3"},
        {"language 256\n", 1, "the language must be a number from 0 to 255"},
        {"language -1\n", 1, "the language must be"},
        {"language 2 3\n", 1, "unexpected '3'"},
        {"devtype\n", 1, "the device type must be"},
        {"\n\nforward 5\n", 3, "the forwarding status must be a number from 0 to 4"},
        {"forward 0 \"12\n", 1, "missing closing quote"},
        {"aom 8 0 1\n", 1, "the module address must be"},
        {"aom 0 0 40\n", 1, "a module at address 0 needs the aom20 flag"},
        {"aom 1 2 40\n", 1, "the aom20 flag must be"},
        {"special 20 6 X\n", 1, "the kind must be a number from 7 to 10"},
        {"key x Label\n", 1, "the key number must be"},
        {"string 0 \"a\\qb\"\n", 1, "unknown escape"},
        {"string 0 \"ab\" c\n", 1, "unexpected 'c'"},
        {"per-answer code\n", 1, "the entries per answer must be"},
        {"softkey 1 0123456789012345678901234567890123456789012345678901234567890123456789\n", 1,
         "text longer than 64 bytes"},
        {"tqla 0x\n", 1, "the TQLA version must be"},
        {"party\n", 1, "the number is missing"},
        {"party 2005 \"A B\" answer\n", 1, "the answer delay must be milliseconds"},
        {"party 2005 answer 10 later 3\n", 1, "only 'hangup MS' may follow"},
        {"party 2005 Name ringing\n", 1, "unknown behaviour 'ringing'"},
        {"party 2005 forward\n", 1, "the forwarding number is missing"},
        {"timing answer 3600001\n", 1, "milliseconds from 0 to 3600000"},
        {"timing later 3\n", 1, "timing must be"},
        {"events sometimes\n", 1, "events must be 'auto' or 'off'"},
        {"release-via-reserved 2\n", 1, "release-via-reserved must be a number from 0 to 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SetDescription set;
        ParseError error;
        EXPECT_FALSE(parse_set_description(c.text, &set, &error));
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    }
}

TEST(SetDescription, ListsHaveTheirLimits) {
    std::string text;
    for (int i = 0; i <= 88; ++i) {
        text += "key " + std::to_string(i) + " K\n";
    }
    SetDescription set;
    ParseError error;
    EXPECT_FALSE(parse_set_description(text, &set, &error));
    EXPECT_EQ(error.line, 89);
    EXPECT_EQ(error.message, "more than 88 multiline keys");
}

TEST(SetDescription, MissingFileIsReported) {
    SetDescription set;
    ParseError error;
    EXPECT_FALSE(load_set_description("/nonexistent/zq.set", &set, &error));
    EXPECT_EQ(error.line, 0);
    EXPECT_NE(error.message.find("/nonexistent/zq.set"), std::string::npos);
}

TEST(SetDescription, GarbageNeverCrashes) {
    std::mt19937 random(3);
    const std::string base(default_set_text());
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 \"\\x\n\t-#*";
    for (int i = 0; i < 3000; ++i) {
        std::string text = base;
        for (int n = 0; n < 8; ++n) {
            const size_t at = random() % text.size();
            const char c = (i % 2 == 0) ? static_cast<char>(random()) : alphabet[random() % alphabet.size()];
            text[at] = c;
        }
        SetDescription set;
        ParseError error;
        if (!parse_set_description(text, &set, &error)) {
            EXPECT_GE(error.line, 1);
            EXPECT_FALSE(error.message.empty());
        }
    }
}

}  // namespace
}  // namespace zq::sim::test
