// The trace formatter gives the same text as the wsprintf subset the traces
// use, whatever it is given.
#include <gtest/gtest.h>

#include "core/trace.h"

namespace zq {
namespace {

std::string F(std::string_view fmt, std::initializer_list<TraceArg> args) {
    return FormatTrace(fmt, std::span<const TraceArg>(args.begin(), args.size()));
}

TEST(TraceFormat, Conversions) {
    struct Case {
        std::string expect;
        std::string got;
    };
    const std::array<char, 6> fixed{'C', 'O', 'M', '1', '\0', 'X'};
    const std::array<char, 3> unterminated{'A', 'B', 'C'};
    const Case cases[] = {
        {"-1", F("%d", {0xFFFFFFFFu})},
        {"4294967295", F("%lu", {-1})},
        {"ffffffff", F("%lx", {-1})},
        {"FF", F("%X", {255})},
        {"0x1f", F("%#x", {31})},
        {"05", F("%02d", {5})},
        {"-05", F("%03d", {-5})},
        {"007b", F("%04x", {0x7b})},
        {"3.05", F("%d.%.02d", {3, 5})},
        {"0", F("%0lx", {0})},
        {"[ab   ]", F("[%-5s]", {"ab"})},
        {"[   ab]", F("[%5s]", {"ab"})},
        {"abc", F("%.3s", {"abcdef"})},
        {"COM1", F("%s", {fixed})},
        {"ABC", F("%s", {unterminated})},
        {"VELMORA_ZQ_6200", F("%S", {std::u16string_view(u"VELMORA_ZQ_6200")})},
        {"caf\xe9?", F("%S", {std::u16string_view(u"caf\u00e9\u20ac")})},
        {"x", F("%c", {'x'})},
        {"100%", F("%d%%", {100})},
        {"(null)", F("%s", {static_cast<const char*>(nullptr)})},
        {"a=0 b=(null)", F("a=%d b=%s", {})},
        {"(null)", F("%s", {42})},
        {"0", F("%d", {"text"})},
        {"tail", F("tail%", {})},
        {"q", F("%q", {})},
        {"1 2", F("%hd %ld", {1, 2})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.expect);
}

TEST(TraceFormat, PointersAndHandlesPrintTheirLow32Bits) {
    int x = 0;
    const auto v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&x));
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    EXPECT_EQ(F("%lx", {&x}), buf);
}

TEST(TraceFormat, OutputIsCutAt1024Characters) {
    const std::string big(3000, 'a');
    EXPECT_EQ(F("%s", {big}).size(), TRACE_MESSAGE_MAX);
    EXPECT_EQ(F("%2000d", {1}).size(), TRACE_MESSAGE_MAX);
    EXPECT_EQ(F("%99999999999999999999d", {1}).size(), TRACE_MESSAGE_MAX);
    EXPECT_EQ(FormatTrace(std::string(5000, 'z'), {}).size(), TRACE_MESSAGE_MAX);
}

TEST(TraceFormat, PercentSignsInArgumentsAreNotFormattedAgain) {
    EXPECT_EQ(F("msg %s", {"50%d %s"}), "msg 50%d %s");
}

}  // namespace
}  // namespace zq
