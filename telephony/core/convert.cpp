#include "convert.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace zq::tapiapp {

static_assert(offsetof(LINEDEVCAPS, dwDeviceClassesOffset) + sizeof(DWORD) == LINEDEVCAPS_FIXED_SIZE);
static_assert(offsetof(LINEADDRESSCAPS, dwAvailableMediaModes) + sizeof(DWORD) == LINEADDRESSCAPS_FIXED_SIZE);
static_assert(offsetof(LINEADDRESSSTATUS, dwDevSpecificOffset) + sizeof(DWORD) ==
              LINEADDRESSSTATUS_FIXED_SIZE);
static_assert(offsetof(LINECALLINFO, dwReceivingFlowspecOffset) + sizeof(DWORD) == LINECALLINFO_FIXED_SIZE);
static_assert(sizeof(VARSTRING) == VARSTRING_FIXED_SIZE);
static_assert(offsetof(LINECALLPARAMS, dwCallingPartyIDOffset) + sizeof(DWORD) == LINECALLPARAMS_FIXED_SIZE);
static_assert(offsetof(LINEFORWARDLIST, ForwardList) == LINEFORWARDLIST_FIXED_SIZE);
static_assert(offsetof(LINEFORWARD, dwDestAddressOffset) + sizeof(DWORD) == LINEFORWARD_SIZE);

namespace {

using Bytes = std::vector<uint8_t>;

LONG Err(uint32_t code) {
    return static_cast<LONG>(code);
}

// The offsets of a DWORD size field and of its DWORD offset field.
struct Pair {
    uint32_t size;
    uint32_t offset;
};

#define ZQ_PAIR(S, name)                                           \
    Pair {                                                         \
        offsetof(S, dw##name##Size), offsetof(S, dw##name##Offset) \
    }

// How a field's bytes become the A structure's.
enum class Conv : uint8_t {
    Text,         // UTF-16 text, NULs included
    Raw,          // bytes copied as they are
    TextEntries,  // `count` texts of a fixed width (the field at `entry`)
    Entries,      // `count` records of `entry` bytes, each with the strings `inner`
};

struct Field {
    Pair at;
    Conv conv = Conv::Text;
    uint32_t count = 0;
    uint32_t entry = 0;
    std::span<const Pair> inner{};
};

// LINECALLTREATMENTENTRY: dwCallTreatmentID, then its name's size and offset.
constexpr uint32_t kCallTreatmentEntrySize = 12;
constexpr std::array<Pair, 1> kCallTreatmentStrings = {{{4, 8}}};
constexpr std::array<Pair, 2> kForwardStrings = {
    {ZQ_PAIR(LINEFORWARD, CallerAddress), ZQ_PAIR(LINEFORWARD, DestAddress)}};

constexpr auto kDevCaps = std::to_array<Field>({
    {ZQ_PAIR(LINEDEVCAPS, ProviderInfo)},
    {ZQ_PAIR(LINEDEVCAPS, SwitchInfo)},
    {ZQ_PAIR(LINEDEVCAPS, LineName)},
    {ZQ_PAIR(LINEDEVCAPS, TerminalCaps), Conv::Raw},
    {ZQ_PAIR(LINEDEVCAPS, TerminalText), Conv::TextEntries, offsetof(LINEDEVCAPS, dwNumTerminals),
     offsetof(LINEDEVCAPS, dwTerminalTextEntrySize)},
    {ZQ_PAIR(LINEDEVCAPS, DevSpecific), Conv::Raw},
    {ZQ_PAIR(LINEDEVCAPS, DeviceClasses)},
});

constexpr auto kAddressCaps = std::to_array<Field>({
    {ZQ_PAIR(LINEADDRESSCAPS, Address)},
    {ZQ_PAIR(LINEADDRESSCAPS, DevSpecific), Conv::Raw},
    {ZQ_PAIR(LINEADDRESSCAPS, CompletionMsgText), Conv::TextEntries,
     offsetof(LINEADDRESSCAPS, dwNumCompletionMessages),
     offsetof(LINEADDRESSCAPS, dwCompletionMsgTextEntrySize)},
    {ZQ_PAIR(LINEADDRESSCAPS, CallTreatmentList), Conv::Entries,
     offsetof(LINEADDRESSCAPS, dwNumCallTreatments), kCallTreatmentEntrySize, kCallTreatmentStrings},
    {ZQ_PAIR(LINEADDRESSCAPS, DeviceClasses)},
});

constexpr auto kAddressStatus = std::to_array<Field>({
    {ZQ_PAIR(LINEADDRESSSTATUS, Forward), Conv::Entries, offsetof(LINEADDRESSSTATUS, dwForwardNumEntries),
     LINEFORWARD_SIZE, kForwardStrings},
    {ZQ_PAIR(LINEADDRESSSTATUS, TerminalModes), Conv::Raw},
    {ZQ_PAIR(LINEADDRESSSTATUS, DevSpecific), Conv::Raw},
});

// The parties, names and texts are converted; the display, the user-user
// information and the other data stay bytes.
constexpr auto kCallInfo = std::to_array<Field>({
    {ZQ_PAIR(LINECALLINFO, CallerID)},
    {ZQ_PAIR(LINECALLINFO, CallerIDName)},
    {ZQ_PAIR(LINECALLINFO, CalledID)},
    {ZQ_PAIR(LINECALLINFO, CalledIDName)},
    {ZQ_PAIR(LINECALLINFO, ConnectedID)},
    {ZQ_PAIR(LINECALLINFO, ConnectedIDName)},
    {ZQ_PAIR(LINECALLINFO, RedirectionID)},
    {ZQ_PAIR(LINECALLINFO, RedirectionIDName)},
    {ZQ_PAIR(LINECALLINFO, RedirectingID)},
    {ZQ_PAIR(LINECALLINFO, RedirectingIDName)},
    {ZQ_PAIR(LINECALLINFO, AppName)},
    {ZQ_PAIR(LINECALLINFO, DisplayableAddress)},
    {ZQ_PAIR(LINECALLINFO, CalledParty)},
    {ZQ_PAIR(LINECALLINFO, Comment)},
    {ZQ_PAIR(LINECALLINFO, Display), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, UserUserInfo), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, HighLevelComp), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, LowLevelComp), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, ChargingInfo), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, TerminalModes), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, DevSpecific), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, CallData), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, SendingFlowspec), Conv::Raw},
    {ZQ_PAIR(LINECALLINFO, ReceivingFlowspec), Conv::Raw},
});

constexpr std::array<Field, 1> kVarStringText = {{{ZQ_PAIR(VARSTRING, String)}}};
constexpr std::array<Field, 1> kVarStringRaw = {{{ZQ_PAIR(VARSTRING, String), Conv::Raw}}};

// The application's call parameters: addresses, names and the device class
// are text; the rest is data the provider reads as bytes.
constexpr auto kCallParams = std::to_array<Field>({
    {ZQ_PAIR(LINECALLPARAMS, OrigAddress)},
    {ZQ_PAIR(LINECALLPARAMS, DisplayableAddress)},
    {ZQ_PAIR(LINECALLPARAMS, CalledParty)},
    {ZQ_PAIR(LINECALLPARAMS, Comment)},
    {ZQ_PAIR(LINECALLPARAMS, UserUserInfo), Conv::Raw},
    {ZQ_PAIR(LINECALLPARAMS, HighLevelComp), Conv::Raw},
    {ZQ_PAIR(LINECALLPARAMS, LowLevelComp), Conv::Raw},
    {ZQ_PAIR(LINECALLPARAMS, DevSpecific), Conv::Raw},
    {ZQ_PAIR(LINECALLPARAMS, TargetAddress)},
    {ZQ_PAIR(LINECALLPARAMS, SendingFlowspec), Conv::Raw},
    {ZQ_PAIR(LINECALLPARAMS, ReceivingFlowspec), Conv::Raw},
    {ZQ_PAIR(LINECALLPARAMS, DeviceClass)},
    {ZQ_PAIR(LINECALLPARAMS, DeviceConfig), Conv::Raw},
    {ZQ_PAIR(LINECALLPARAMS, CallData), Conv::Raw},
    {ZQ_PAIR(LINECALLPARAMS, CallingPartyID)},
});

#undef ZQ_PAIR

// Callers check that the four bytes lie inside.
uint32_t Dword(std::span<const uint8_t> bytes, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.subspan(at, sizeof v).data(), sizeof v);
    return v;
}

void PutDword(std::span<uint8_t> bytes, size_t at, uint32_t v) {
    std::memcpy(bytes.subspan(at, sizeof v).data(), &v, sizeof v);
}

// Every one of these structures starts with dwTotalSize, dwNeededSize and
// dwUsedSize.
constexpr size_t kTotalAt = 0;
constexpr size_t kNeededAt = 4;
constexpr size_t kUsedAt = 8;

// Binary data starts on a 4-byte boundary; A text anywhere.
uint64_t StartOf(Conv conv, uint64_t at) {
    return conv == Conv::Text ? at : (at + 3) / 4 * 4;
}

// The `size` bytes at `offset` when they lie in the variable part of
// `bytes`; empty otherwise.
std::span<const uint8_t> Region(std::span<const uint8_t> bytes, uint32_t fixed, uint32_t size,
                                uint32_t offset) {
    if (size == 0 || offset < fixed || offset > bytes.size() || size > bytes.size() - offset)
        return {};
    return bytes.subspan(offset, size);
}

std::u16string Units(std::span<const uint8_t> bytes) {
    std::u16string units(bytes.size() / sizeof(char16_t), u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * sizeof(char16_t));
    return units;
}

void Append(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

// A fixed-width W text of `width` bytes as an A text of width / 2 bytes,
// cut before a UTF-8 sequence that does not fit and padded with NULs.
void AppendEntryText(Bytes& out, std::string_view text, uint32_t width) {
    size_t n = std::min<size_t>(text.size(), width);
    while (n > 0 && n < text.size() && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80)
        --n;
    Append(out, text.substr(0, n));
    out.resize(out.size() + (width - n), 0);
}

// The A form of one field of the W structure, to be placed at `start`;
// false when the field is empty or does not lie inside `wide`. Fields of
// `head` that describe the A form (an entry width) are set here.
bool ConvertField(const Field& f, std::span<const uint8_t> wide, uint32_t fixed, uint64_t start,
                  NarrowFn narrow, std::span<uint8_t> head, Bytes& out) {
    const std::span<const uint8_t> src =
        Region(wide, fixed, Dword(head, f.at.size), Dword(head, f.at.offset));
    if (src.empty())
        return false;
    switch (f.conv) {
        case Conv::Text:
            Append(out, narrow(Units(src)));
            break;
        case Conv::Raw:
            out.assign(src.begin(), src.end());
            break;
        case Conv::TextEntries: {
            const uint32_t count = Dword(head, f.count);
            const uint32_t width = Dword(head, f.entry);
            if (count == 0 || width < sizeof(char16_t) || uint64_t{count} * width > src.size())
                return false;
            for (uint32_t i = 0; i < count; ++i)
                AppendEntryText(out, narrow(Units(src.subspan(size_t{i} * width, width))), width / 2);
            PutDword(head, f.entry, width / 2);
            break;
        }
        case Conv::Entries: {
            const uint32_t count = Dword(head, f.count);
            if (count == 0 || uint64_t{count} * f.entry > src.size())
                return false;
            out.assign(src.begin(), src.begin() + static_cast<ptrdiff_t>(size_t{count} * f.entry));
            for (uint32_t i = 0; i < count; ++i) {
                const size_t base = size_t{i} * f.entry;
                for (const Pair& p : f.inner) {
                    const std::span<const uint8_t> text =
                        Region(wide, fixed, Dword(out, base + p.size), Dword(out, base + p.offset));
                    PutDword(out, base + p.size, 0);
                    PutDword(out, base + p.offset, 0);
                    const std::string narrowed = text.empty() ? std::string() : narrow(Units(text));
                    const uint64_t at = start + out.size();
                    if (narrowed.empty() || at + narrowed.size() > std::numeric_limits<uint32_t>::max())
                        continue;
                    PutDword(out, base + p.size, static_cast<uint32_t>(narrowed.size()));
                    PutDword(out, base + p.offset, static_cast<uint32_t>(at));
                    Append(out, narrowed);
                }
            }
            break;
        }
    }
    return !out.empty();
}

// What the strings the provider could not fit into `wide` need at most as A
// text: a UTF-16 unit becomes at most three bytes, plus alignment.
uint64_t MissingBound(std::span<const uint8_t> wide, size_t fields) {
    const uint32_t needed = Dword(wide, kNeededAt);
    const uint32_t used = Dword(wide, kUsedAt);
    if (needed <= used)
        return 0;
    return (uint64_t{needed - used} * 3 + 1) / 2 + 3 * fields;
}

std::span<const Field> FieldsOf(StructKind kind, std::span<const uint8_t> head) {
    switch (kind) {
        case StructKind::DevCaps:
            return kDevCaps;
        case StructKind::AddressCaps:
            return kAddressCaps;
        case StructKind::AddressStatus:
            return kAddressStatus;
        case StructKind::CallInfo:
            return kCallInfo;
        case StructKind::VarString:
            if (Dword(head, offsetof(VARSTRING, dwStringFormat)) == STRINGFORMAT_UNICODE)
                return kVarStringText;
            return kVarStringRaw;
    }
    return {};
}

// The offset of the field that names the strings' format, if the structure
// has one.
std::optional<size_t> FormatField(StructKind kind) {
    if (kind == StructKind::DevCaps)
        return offsetof(LINEDEVCAPS, dwStringFormat);
    if (kind == StructKind::VarString)
        return offsetof(VARSTRING, dwStringFormat);
    return std::nullopt;
}

// An A text of the caller's, up to its first NUL, as W text with a NUL.
Bytes WidenText(std::span<const uint8_t> src, WidenFn widen) {
    const auto end = std::find(src.begin(), src.end(), uint8_t{0});
    const std::string_view text(reinterpret_cast<const char*>(src.data()),
                                static_cast<size_t>(end - src.begin()));
    std::u16string wide = widen(text);
    wide.push_back(u'\0');
    Bytes out(wide.size() * sizeof(char16_t));
    std::memcpy(out.data(), wide.data(), out.size());
    return out;
}

// Appends the W form of field `f` of `record` (a part of `in`, whose
// variable data starts at `fixed`) to `out`, and points the same field of
// `out`, `at` bytes in, to it. False when the field lies outside `in`.
bool WidenField(std::span<const uint8_t> in, uint32_t fixed, std::span<const uint8_t> record, const Field& f,
                size_t at, WidenFn widen, Bytes& out) {
    const uint32_t size = Dword(record, f.at.size);
    PutDword(out, at + f.at.size, 0);
    PutDword(out, at + f.at.offset, 0);
    if (size == 0)
        return true;
    const std::span<const uint8_t> src = Region(in, fixed, size, Dword(record, f.at.offset));
    if (src.empty())
        return false;
    const Bytes data = f.conv == Conv::Text ? WidenText(src, widen) : Bytes(src.begin(), src.end());
    // W data starts on a 4-byte boundary, text included.
    out.resize(StartOf(Conv::Raw, out.size()), 0);
    PutDword(out, at + f.at.size, static_cast<uint32_t>(data.size()));
    PutDword(out, at + f.at.offset, static_cast<uint32_t>(out.size()));
    out.insert(out.end(), data.begin(), data.end());
    return true;
}

// The caller's structure, read as bytes no further than its dwTotalSize.
std::span<const uint8_t> CallerBytes(const void* structure) {
    const auto* raw = static_cast<const uint8_t*>(structure);
    DWORD total = 0;
    std::memcpy(&total, raw, sizeof total);
    return {raw, total};
}

}  // namespace

LONG WideToAnsiStruct(StructKind kind, std::span<const uint8_t> wide, std::span<uint8_t> caller,
                      NarrowFn narrow) {
    const uint32_t fixed = kFixedSize(kind);
    if (caller.size() < fixed)
        return Err(LINEERR_STRUCTURETOOSMALL);
    if (wide.size() < fixed)
        return Err(LINEERR_OPERATIONFAILED);
    Bytes head(wide.begin(), wide.begin() + fixed);
    const std::span<const Field> fields = FieldsOf(kind, head);
    uint64_t needed = fixed;
    uint64_t used = fixed;
    for (const Field& f : fields) {
        Bytes out;
        const uint64_t start = StartOf(f.conv, needed);
        const bool present = ConvertField(f, wide, fixed, start, narrow, head, out);
        PutDword(head, f.at.size, 0);
        PutDword(head, f.at.offset, 0);
        if (!present)
            continue;
        needed = start + out.size();
        if (needed > caller.size())
            continue;
        std::fill(caller.begin() + static_cast<ptrdiff_t>(used),
                  caller.begin() + static_cast<ptrdiff_t>(start), 0);
        std::copy(out.begin(), out.end(), caller.begin() + static_cast<ptrdiff_t>(start));
        PutDword(head, f.at.size, static_cast<uint32_t>(out.size()));
        PutDword(head, f.at.offset, static_cast<uint32_t>(start));
        used = needed;
    }
    needed += MissingBound(wide, fields.size());
    if (const auto format = FormatField(kind); format && Dword(head, *format) == STRINGFORMAT_UNICODE)
        PutDword(head, *format, STRINGFORMAT_ASCII);
    PutDword(head, kTotalAt, static_cast<uint32_t>(caller.size()));
    PutDword(head, kNeededAt,
             static_cast<uint32_t>(std::min<uint64_t>(needed, std::numeric_limits<uint32_t>::max())));
    PutDword(head, kUsedAt, static_cast<uint32_t>(used));
    std::copy(head.begin(), head.end(), caller.begin());
    return 0;
}

LONG AnsiToWideCallParams(const LINECALLPARAMS* in, std::vector<uint8_t>& out, WidenFn widen) {
    out.clear();
    if (in == nullptr)
        return Err(LINEERR_INVALPOINTER);
    const std::span<const uint8_t> bytes = CallerBytes(in);
    if (bytes.size() < LINECALLPARAMS_FIXED_SIZE)
        return Err(LINEERR_STRUCTURETOOSMALL);
    out.assign(bytes.begin(), bytes.begin() + LINECALLPARAMS_FIXED_SIZE);
    for (const Field& f : kCallParams) {
        if (!WidenField(bytes, LINECALLPARAMS_FIXED_SIZE, bytes, f, 0, widen, out)) {
            out.clear();
            return Err(LINEERR_INVALPOINTER);
        }
    }
    PutDword(out, kTotalAt, static_cast<uint32_t>(out.size()));
    return 0;
}

LONG AnsiToWideForwardList(const LINEFORWARDLIST* in, std::vector<uint8_t>& out, WidenFn widen) {
    out.clear();
    if (in == nullptr)
        return Err(LINEERR_INVALPOINTER);
    const std::span<const uint8_t> bytes = CallerBytes(in);
    if (bytes.size() < LINEFORWARDLIST_FIXED_SIZE)
        return Err(LINEERR_STRUCTURETOOSMALL);
    const uint32_t count = Dword(bytes, offsetof(LINEFORWARDLIST, dwNumEntries));
    const uint64_t entriesEnd = LINEFORWARDLIST_FIXED_SIZE + uint64_t{count} * LINEFORWARD_SIZE;
    if (entriesEnd > bytes.size())
        return Err(LINEERR_INVALPARAM);
    const auto fixed = static_cast<uint32_t>(entriesEnd);
    out.assign(bytes.begin(), bytes.begin() + fixed);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = LINEFORWARDLIST_FIXED_SIZE + size_t{i} * LINEFORWARD_SIZE;
        const std::span<const uint8_t> entry = bytes.subspan(at, LINEFORWARD_SIZE);
        for (const Pair& p : kForwardStrings) {
            if (!WidenField(bytes, fixed, entry, Field{p}, at, widen, out)) {
                out.clear();
                return Err(LINEERR_INVALPOINTER);
            }
        }
    }
    PutDword(out, kTotalAt, static_cast<uint32_t>(out.size()));
    return 0;
}

}  // namespace zq::tapiapp
