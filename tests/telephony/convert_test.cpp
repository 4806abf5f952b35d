// A and W structures: every kind converted into a caller's buffer of each
// edge size with guard bytes after it, inputs whose sizes and offsets lie,
// and the application's call parameters and forward lists read no further
// than their dwTotalSize.
#include "core/convert.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace zq::tapiapp {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kGuard = 16;

uint32_t Dword(const Bytes& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

void PutDword(Bytes& b, size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}

Bytes WideBytes(std::u16string_view text) {
    Bytes b(text.size() * 2);
    std::memcpy(b.data(), text.data(), b.size());
    return b;
}

Bytes Narrow(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// One variable field of a W structure and what its A form must be.
struct FieldCase {
    size_t sizeAt;
    size_t offsetAt;
    Bytes wide;
    Bytes ansi;
};

struct KindCase {
    const char* name;
    StructKind kind;
    std::vector<FieldCase> fields;
    std::vector<std::pair<size_t, uint32_t>> values;  // fixed fields to set
};

// A W structure as the provider writes it: the fields appended after the
// fixed part in order.
Bytes BuildWide(const KindCase& c) {
    const uint32_t fixed = kFixedSize(c.kind);
    Bytes w(fixed, 0xA5);
    for (const auto& [at, value] : c.values)
        PutDword(w, at, value);
    for (const FieldCase& f : c.fields) {
        PutDword(w, f.sizeAt, static_cast<uint32_t>(f.wide.size()));
        PutDword(w, f.offsetAt, static_cast<uint32_t>(w.size()));
        w.insert(w.end(), f.wide.begin(), f.wide.end());
    }
    PutDword(w, 0, static_cast<uint32_t>(w.size()));
    PutDword(w, 4, static_cast<uint32_t>(w.size()));
    PutDword(w, 8, static_cast<uint32_t>(w.size()));
    return w;
}

// A forward entry (UNCOND to "5678", caller address "12") in W, its
// strings placed after the entry as the provider does.
Bytes ForwardW(uint32_t fieldOffset) {
    Bytes e(LINEFORWARD_SIZE, 0);
    PutDword(e, offsetof(LINEFORWARD, dwForwardMode), LINEFORWARDMODE_UNCOND);
    const Bytes caller = WideBytes(std::u16string_view(u"12\0", 3));
    const Bytes dest = WideBytes(std::u16string_view(u"5678\0", 5));
    PutDword(e, offsetof(LINEFORWARD, dwCallerAddressSize), static_cast<uint32_t>(caller.size()));
    PutDword(e, offsetof(LINEFORWARD, dwCallerAddressOffset), fieldOffset + LINEFORWARD_SIZE);
    PutDword(e, offsetof(LINEFORWARD, dwDestAddressSize), static_cast<uint32_t>(dest.size()));
    PutDword(e, offsetof(LINEFORWARD, dwDestAddressOffset),
             fieldOffset + LINEFORWARD_SIZE + static_cast<uint32_t>(caller.size()));
    e.insert(e.end(), caller.begin(), caller.end());
    e.insert(e.end(), dest.begin(), dest.end());
    return e;
}

std::vector<KindCase> Cases() {
    const auto text = [](std::u16string_view w, std::string_view a) {
        return std::pair{WideBytes(w), Narrow(a)};
    };
    auto [prov, provA] = text(std::u16string_view(u"Prov\0", 5), std::string_view("Prov\0", 5));
    auto [name, nameA] = text(std::u16string_view(u"L\u00EDnea \u260E\0", 8),
                              std::string_view("L\xC3\xADnea \xE2\x98\x8E\0", 11));
    auto [classes, classesA] =
        text(std::u16string_view(u"tapi/line\0comm\0\0", 16), std::string_view("tapi/line\0comm\0\0", 16));
    auto [addr, addrA] = text(std::u16string_view(u"1234\0", 5), std::string_view("1234\0", 5));
    auto [zoe, zoeA] = text(std::u16string_view(u"Zo\u00EB\0", 4), std::string_view("Zo\xC3\xAB\0", 5));
    const Bytes raw = {1, 2, 3, 0, 0xFF};
    // The forward entry lands right after the fixed part in both forms.
    const Bytes fwd = ForwardW(LINEADDRESSSTATUS_FIXED_SIZE);
    Bytes fwdA(fwd.begin(), fwd.begin() + LINEFORWARD_SIZE);
    PutDword(fwdA, offsetof(LINEFORWARD, dwCallerAddressSize), 3);
    PutDword(fwdA, offsetof(LINEFORWARD, dwCallerAddressOffset),
             LINEADDRESSSTATUS_FIXED_SIZE + LINEFORWARD_SIZE);
    PutDword(fwdA, offsetof(LINEFORWARD, dwDestAddressSize), 5);
    PutDword(fwdA, offsetof(LINEFORWARD, dwDestAddressOffset),
             LINEADDRESSSTATUS_FIXED_SIZE + LINEFORWARD_SIZE + 3);
    for (const char c : std::string_view("12\0"
                                         "5678\0",
                                         8))
        fwdA.push_back(static_cast<uint8_t>(c));

    return {
        {"devcaps",
         StructKind::DevCaps,
         {{offsetof(LINEDEVCAPS, dwProviderInfoSize), offsetof(LINEDEVCAPS, dwProviderInfoOffset), prov,
           provA},
          {offsetof(LINEDEVCAPS, dwLineNameSize), offsetof(LINEDEVCAPS, dwLineNameOffset), name, nameA},
          {offsetof(LINEDEVCAPS, dwDevSpecificSize), offsetof(LINEDEVCAPS, dwDevSpecificOffset), raw, raw},
          {offsetof(LINEDEVCAPS, dwDeviceClassesSize), offsetof(LINEDEVCAPS, dwDeviceClassesOffset), classes,
           classesA}},
         {{offsetof(LINEDEVCAPS, dwStringFormat), STRINGFORMAT_UNICODE}}},
        {"addresscaps",
         StructKind::AddressCaps,
         {{offsetof(LINEADDRESSCAPS, dwAddressSize), offsetof(LINEADDRESSCAPS, dwAddressOffset), addr,
           addrA}},
         {}},
        {"addressstatus",
         StructKind::AddressStatus,
         {{offsetof(LINEADDRESSSTATUS, dwForwardSize), offsetof(LINEADDRESSSTATUS, dwForwardOffset), fwd,
           fwdA},
          {offsetof(LINEADDRESSSTATUS, dwDevSpecificSize), offsetof(LINEADDRESSSTATUS, dwDevSpecificOffset),
           raw, raw}},
         {{offsetof(LINEADDRESSSTATUS, dwForwardNumEntries), 1}}},
        {"callinfo",
         StructKind::CallInfo,
         {{offsetof(LINECALLINFO, dwCallerIDSize), offsetof(LINECALLINFO, dwCallerIDOffset), addr, addrA},
          {offsetof(LINECALLINFO, dwCallerIDNameSize), offsetof(LINECALLINFO, dwCallerIDNameOffset), zoe,
           zoeA},
          {offsetof(LINECALLINFO, dwDisplaySize), offsetof(LINECALLINFO, dwDisplayOffset), raw, raw},
          {offsetof(LINECALLINFO, dwUserUserInfoSize), offsetof(LINECALLINFO, dwUserUserInfoOffset), zoe,
           zoe},
          {offsetof(LINECALLINFO, dwCommentSize), offsetof(LINECALLINFO, dwCommentOffset), prov, provA}},
         {}},
        {"varstring unicode",
         StructKind::VarString,
         {{offsetof(VARSTRING, dwStringSize), offsetof(VARSTRING, dwStringOffset), zoe, zoeA}},
         {{offsetof(VARSTRING, dwStringFormat), STRINGFORMAT_UNICODE}}},
        {"varstring binary",
         StructKind::VarString,
         {{offsetof(VARSTRING, dwStringSize), offsetof(VARSTRING, dwStringOffset), raw, raw}},
         {{offsetof(VARSTRING, dwStringFormat), STRINGFORMAT_BINARY}}},
    };
}

// The caller's buffer: `size` bytes of `fill`, then a guard.
struct Caller {
    Caller(uint32_t total, uint8_t pattern) : bytes(total + kGuard, pattern), size(total), fill(pattern) {}
    std::span<uint8_t> span() { return {bytes.data(), size}; }
    bool GuardIntact() const {
        for (size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != fill)
                return false;
        return true;
    }
    Bytes Field(size_t sizeAt, size_t offsetAt) const {
        const uint32_t n = Dword(bytes, sizeAt), at = Dword(bytes, offsetAt);
        if (n == 0 || at + n > size)
            return {};
        return Bytes(bytes.begin() + at, bytes.begin() + at + n);
    }
    Bytes bytes;
    uint32_t size;
    uint8_t fill;
};

TEST(ConvertTest, EveryKindAtEverySize) {
    for (const KindCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        const Bytes wide = BuildWide(c);
        const uint32_t fixed = kFixedSize(c.kind);
        Caller big(4096, 0);
        ASSERT_EQ(WideToAnsiStruct(c.kind, wide, big.span()), 0);
        const uint32_t needed = Dword(big.bytes, 4);
        EXPECT_EQ(Dword(big.bytes, 8), needed);
        for (const FieldCase& f : c.fields)
            EXPECT_EQ(big.Field(f.sizeAt, f.offsetAt), f.ansi);
        // Fixed fields are copied; a UTF-16 string format becomes ASCII.
        for (const auto& [at, value] : c.values) {
            EXPECT_EQ(Dword(big.bytes, at), value == STRINGFORMAT_UNICODE ? STRINGFORMAT_ASCII : value);
        }

        for (const uint32_t size : {0u, fixed - 1, fixed, needed - 1, needed}) {
            for (const uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
                SCOPED_TRACE(testing::Message() << "size " << size << " fill " << int{fill});
                Caller caller(size, fill);
                const LONG rc = WideToAnsiStruct(c.kind, wide, caller.span());
                EXPECT_TRUE(caller.GuardIntact());
                if (size < fixed) {
                    EXPECT_EQ(rc, static_cast<LONG>(LINEERR_STRUCTURETOOSMALL));
                    EXPECT_EQ(caller.bytes, Bytes(size + kGuard, fill));
                    continue;
                }
                ASSERT_EQ(rc, 0);
                EXPECT_EQ(Dword(caller.bytes, 0), size);
                EXPECT_EQ(Dword(caller.bytes, 4), needed);
                EXPECT_LE(Dword(caller.bytes, 8), size);
                // Every field is whole or absent, and all of them fit at the
                // needed size; at the fixed size none does.
                size_t present = 0;
                for (const FieldCase& f : c.fields) {
                    const Bytes got = caller.Field(f.sizeAt, f.offsetAt);
                    if (!got.empty()) {
                        EXPECT_EQ(got, f.ansi);
                        ++present;
                    }
                }
                EXPECT_EQ(present, size == needed  ? c.fields.size()
                                   : size == fixed ? 0
                                                   : c.fields.size() - 1);
            }
        }
    }
}

// Sizes and offsets that point outside the provider's buffer, into its
// fixed part, or wrap around: the field is left out, nothing is read
// outside `wide` (ASan), the other fields are converted.
TEST(ConvertTest, LyingOffsetsAreLeftOut) {
    struct Lie {
        const char* name;
        size_t at;  // the field to damage (in the callinfo case, its CallerIDName)
        uint32_t value;
    };
    const Lie lies[] = {
        {"size past the end", offsetof(LINECALLINFO, dwCallerIDNameSize), 0x1000},
        {"huge size", offsetof(LINECALLINFO, dwCallerIDNameSize), 0xFFFFFFFF},
        {"offset past the end", offsetof(LINECALLINFO, dwCallerIDNameOffset), 0xFFFFFFF0},
        {"offset in the fixed part", offsetof(LINECALLINFO, dwCallerIDNameOffset), 8},
    };
    const KindCase info = Cases()[3];
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.name);
        Bytes wide = BuildWide(info);
        PutDword(wide, lie.at, lie.value);
        Caller caller(1024, 0);
        ASSERT_EQ(WideToAnsiStruct(StructKind::CallInfo, wide, caller.span()), 0);
        EXPECT_EQ(Dword(caller.bytes, offsetof(LINECALLINFO, dwCallerIDNameSize)), 0u);
        EXPECT_EQ(Dword(caller.bytes, offsetof(LINECALLINFO, dwCallerIDNameOffset)), 0u);
        EXPECT_EQ(
            caller.Field(offsetof(LINECALLINFO, dwCallerIDSize), offsetof(LINECALLINFO, dwCallerIDOffset)),
            Narrow(std::string_view("1234\0", 5)));
    }

    // Forward entries: more than the field holds, or an entry's address
    // pointing out of the buffer.
    const KindCase status = Cases()[2];
    Bytes many = BuildWide(status);
    PutDword(many, offsetof(LINEADDRESSSTATUS, dwForwardNumEntries), 0x10000000);
    Bytes badDest = BuildWide(status);
    PutDword(badDest, LINEADDRESSSTATUS_FIXED_SIZE + offsetof(LINEFORWARD, dwDestAddressOffset), 0xFFFFFFFE);
    Caller caller(1024, 0);
    ASSERT_EQ(WideToAnsiStruct(StructKind::AddressStatus, many, caller.span()), 0);
    EXPECT_EQ(Dword(caller.bytes, offsetof(LINEADDRESSSTATUS, dwForwardSize)), 0u);
    ASSERT_EQ(WideToAnsiStruct(StructKind::AddressStatus, badDest, caller.span()), 0);
    const uint32_t entry = Dword(caller.bytes, offsetof(LINEADDRESSSTATUS, dwForwardOffset));
    ASSERT_NE(entry, 0u);
    EXPECT_EQ(Dword(caller.bytes, entry + offsetof(LINEFORWARD, dwDestAddressSize)), 0u);
    EXPECT_EQ(Dword(caller.bytes, entry + offsetof(LINEFORWARD, dwCallerAddressSize)), 3u);

    // A provider buffer shorter than the fixed part is refused.
    const Bytes wide = BuildWide(info);
    EXPECT_EQ(WideToAnsiStruct(StructKind::CallInfo, std::span(wide.data(), 100), caller.span()),
              static_cast<LONG>(LINEERR_OPERATIONFAILED));
}

// Strings the provider could not fit are still counted in dwNeededSize,
// at their largest A size, so that a caller who grows to it gets them.
TEST(ConvertTest, NeededCoversWhatTheProviderLeftOut) {
    KindCase c = Cases()[3];
    Bytes wide = BuildWide(c);
    PutDword(wide, 4, static_cast<uint32_t>(wide.size()) + 200);
    Caller caller(2048, 0);
    ASSERT_EQ(WideToAnsiStruct(StructKind::CallInfo, wide, caller.span()), 0);
    EXPECT_GE(Dword(caller.bytes, 4), Dword(caller.bytes, 8) + 300);
}

TEST(ConvertTest, Utf8AndUtf16) {
    struct Case {
        std::string_view utf8;
        std::u16string_view utf16;
        bool roundTrip;
    };
    const Case cases[] = {
        {"abc", u"abc", true},
        {std::string_view("a\0b", 3), std::u16string_view(u"a\0b", 3), true},
        {"\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC", true},
        {"\xF0\x9F\x98\x80", u"\U0001F600", true},
        {"\xFF", u"\uFFFD", false},
        {"\xC0\x80", u"\uFFFD\uFFFD", false},                      // overlong NUL
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},            // a surrogate
        {"\xE2\x82", u"\uFFFD\uFFFD", false},                      // cut short
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},  // past U+10FFFF
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.utf16);
        if (c.roundTrip) {
            EXPECT_EQ(WideToUtf8(c.utf16), c.utf8);
        }
    }
    EXPECT_EQ(WideToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(WideToUtf8(u"x\xDC00"), "x\xEF\xBF\xBD");
}

// The application's structures in buffers of exactly dwTotalSize bytes:
// ASan sees any read past them.
Bytes CallParams(uint32_t total) {
    Bytes p(total, 0);
    PutDword(p, 0, total);
    PutDword(p, offsetof(LINECALLPARAMS, dwMediaMode), LINEMEDIAMODE_INTERACTIVEVOICE);
    const std::string_view name("Zo\xC3\xAB\0", 5);
    std::memcpy(p.data() + 176, name.data(), name.size());
    PutDword(p, offsetof(LINECALLPARAMS, dwCalledPartySize), 5);
    PutDword(p, offsetof(LINECALLPARAMS, dwCalledPartyOffset), 176);
    const std::string_view uui("hi\xFF\0", 4);
    std::memcpy(p.data() + 184, uui.data(), uui.size());
    PutDword(p, offsetof(LINECALLPARAMS, dwUserUserInfoSize), 4);
    PutDword(p, offsetof(LINECALLPARAMS, dwUserUserInfoOffset), 184);
    return p;
}

TEST(ConvertTest, CallParamsToWide) {
    struct Case {
        const char* name;
        uint32_t total;
        size_t at;
        uint32_t value;
        LONG rc;
    };
    const Case cases[] = {
        {"valid", 188, 0, 188, 0},
        {"smaller than 2.0", 175, 0, 175, static_cast<LONG>(LINEERR_STRUCTURETOOSMALL)},
        {"string past dwTotalSize", 188, offsetof(LINECALLPARAMS, dwCalledPartySize), 13,
         static_cast<LONG>(LINEERR_INVALPOINTER)},
        {"offset wrapping", 188, offsetof(LINECALLPARAMS, dwUserUserInfoOffset), 0xFFFFFFFE,
         static_cast<LONG>(LINEERR_INVALPOINTER)},
        {"offset in the fixed part", 188, offsetof(LINECALLPARAMS, dwCommentSize), 4,
         static_cast<LONG>(LINEERR_INVALPOINTER)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes in = CallParams(std::max<uint32_t>(c.total, 188));
        in.resize(c.total);
        PutDword(in, c.at, c.value);
        std::vector<uint8_t> out{1, 2, 3};
        EXPECT_EQ(AnsiToWideCallParams(reinterpret_cast<const LINECALLPARAMS*>(in.data()), out), c.rc);
        if (c.rc != 0) {
            EXPECT_TRUE(out.empty());
            continue;
        }
        EXPECT_EQ(Dword(out, 0), out.size());
        EXPECT_EQ(Dword(out, offsetof(LINECALLPARAMS, dwMediaMode)),
                  uint32_t{LINEMEDIAMODE_INTERACTIVEVOICE});
        const uint32_t nameAt = Dword(out, offsetof(LINECALLPARAMS, dwCalledPartyOffset));
        ASSERT_EQ(Dword(out, offsetof(LINECALLPARAMS, dwCalledPartySize)), 8u);
        EXPECT_EQ(Bytes(out.begin() + nameAt, out.begin() + nameAt + 8),
                  WideBytes(std::u16string_view(u"Zo\u00EB\0", 4)));
        const uint32_t uuiAt = Dword(out, offsetof(LINECALLPARAMS, dwUserUserInfoOffset));
        ASSERT_EQ(Dword(out, offsetof(LINECALLPARAMS, dwUserUserInfoSize)), 4u);
        EXPECT_EQ(Bytes(out.begin() + uuiAt, out.begin() + uuiAt + 4),
                  Narrow(std::string_view("hi\xFF\0", 4)));
    }
    std::vector<uint8_t> out;
    EXPECT_EQ(AnsiToWideCallParams(nullptr, out), static_cast<LONG>(LINEERR_INVALPOINTER));
}

TEST(ConvertTest, ForwardListToWide) {
    const auto list = [](uint32_t entries, uint32_t destOffset) {
        Bytes l(LINEFORWARDLIST_FIXED_SIZE + LINEFORWARD_SIZE + 4, 0);
        PutDword(l, 0, static_cast<uint32_t>(l.size()));
        PutDword(l, offsetof(LINEFORWARDLIST, dwNumEntries), entries);
        const size_t e = LINEFORWARDLIST_FIXED_SIZE;
        PutDword(l, e + offsetof(LINEFORWARD, dwForwardMode), LINEFORWARDMODE_BUSY);
        PutDword(l, e + offsetof(LINEFORWARD, dwDestAddressSize), 4);
        PutDword(l, e + offsetof(LINEFORWARD, dwDestAddressOffset), destOffset);
        std::memcpy(l.data() + e + LINEFORWARD_SIZE, "123", 4);
        return l;
    };
    const uint32_t goodAt = LINEFORWARDLIST_FIXED_SIZE + LINEFORWARD_SIZE;
    struct Case {
        const char* name;
        Bytes in;
        LONG rc;
    };
    const Case cases[] = {
        {"valid", list(1, goodAt), 0},
        {"no entries", list(0, goodAt), 0},
        {"more entries than fit", list(2, goodAt), static_cast<LONG>(LINEERR_INVALPARAM)},
        {"address past dwTotalSize", list(1, goodAt + 1), static_cast<LONG>(LINEERR_INVALPOINTER)},
        {"address inside the entries", list(1, 8), static_cast<LONG>(LINEERR_INVALPOINTER)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> out;
        ASSERT_EQ(AnsiToWideForwardList(reinterpret_cast<const LINEFORWARDLIST*>(c.in.data()), out), c.rc);
        if (c.rc != 0 || Dword(c.in, offsetof(LINEFORWARDLIST, dwNumEntries)) == 0)
            continue;
        const size_t e = LINEFORWARDLIST_FIXED_SIZE;
        EXPECT_EQ(Dword(out, 0), out.size());
        EXPECT_EQ(Dword(out, e + offsetof(LINEFORWARD, dwForwardMode)), uint32_t{LINEFORWARDMODE_BUSY});
        const uint32_t at = Dword(out, e + offsetof(LINEFORWARD, dwDestAddressOffset));
        ASSERT_EQ(Dword(out, e + offsetof(LINEFORWARD, dwDestAddressSize)), 8u);
        EXPECT_EQ(Bytes(out.begin() + at, out.begin() + at + 8), WideBytes(std::u16string_view(u"123\0", 4)));
        EXPECT_EQ(Dword(out, e + offsetof(LINEFORWARD, dwCallerAddressSize)), 0u);
    }
    Bytes tiny(4, 0);
    PutDword(tiny, 0, 4);
    std::vector<uint8_t> out;
    EXPECT_EQ(AnsiToWideForwardList(reinterpret_cast<const LINEFORWARDLIST*>(tiny.data()), out),
              static_cast<LONG>(LINEERR_STRUCTURETOOSMALL));
}

}  // namespace
}  // namespace zq::tapiapp
