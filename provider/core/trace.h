// The provider's trace log: a level mask, a wsprintf-style formatter that
// gives the same line on every system, and two rotating files below the
// Windows directory.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace zq {

// Trace levels: bits of the mask; level 0 is always written.
inline constexpr uint32_t TRACE_ERROR = 0;
inline constexpr uint32_t TRACE_TSPI = 1;
inline constexpr uint32_t TRACE_TX = 2;
inline constexpr uint32_t TRACE_RX = 4;
inline constexpr uint32_t TRACE_CUT = 6;
inline constexpr uint32_t TRACE_DISPLAY = 8;
inline constexpr uint32_t TRACE_CALL = 16;
inline constexpr uint32_t TRACE_CONFIG = 32;
inline constexpr uint32_t TRACE_REGISTRY = 64;

inline constexpr size_t TRACE_MESSAGE_MAX = 1024;
inline constexpr int TRACE_LINES_PER_FILE = 2000;

// One argument of a trace call. Integers and handles are taken as their low
// 32 bits, as wsprintf reads them; strings are bounded views.
struct TraceArg {
    enum class Kind { None, Int, Str, WStr };
    Kind kind = Kind::None;
    uint32_t value = 0;
    std::string_view str;
    std::u16string_view wstr;

    TraceArg() = default;
    template <typename T>
    requires(std::is_integral_v<T> || std::is_enum_v<T>) TraceArg(T v)
        : kind(Kind::Int), value(static_cast<uint32_t>(v)) {}
    TraceArg(const char* s) : kind(Kind::Str), str(s ? std::string_view(s) : std::string_view("(null)")) {}
    TraceArg(char* s) : TraceArg(static_cast<const char*>(s)) {}
    TraceArg(std::string_view s) : kind(Kind::Str), str(s) {}
    TraceArg(const std::string& s) : kind(Kind::Str), str(s) {}
    TraceArg(const char16_t* s)
        : kind(Kind::WStr), wstr(s ? std::u16string_view(s) : std::u16string_view()) {}
    TraceArg(std::u16string_view s) : kind(Kind::WStr), wstr(s) {}
    // A fixed buffer prints up to its first NUL, never past its end.
    template <size_t N>
    TraceArg(const std::array<char, N>& a) : kind(Kind::Str), str(a.data(), Bounded(a.data(), N)) {}
    template <size_t N>
    TraceArg(const std::array<char16_t, N>& a) : kind(Kind::WStr), wstr(a.data(), Bounded(a.data(), N)) {}
    // TAPI's WCHAR is wchar_t where the SDK is used (two bytes there).
    template <size_t N>
    requires(sizeof(wchar_t) == sizeof(char16_t)) TraceArg(const std::array<wchar_t, N>& a)
        : kind(Kind::WStr), wstr(reinterpret_cast<const char16_t*>(a.data()), Bounded(a.data(), N)) {}
    template <typename T>
    requires(!std::is_same_v<std::remove_cv_t<T>, char> && !std::is_same_v<std::remove_cv_t<T>, char16_t>)
        TraceArg(T* p)
        : kind(Kind::Int), value(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p))) {}

    template <typename C>
    static size_t Bounded(const C* s, size_t n) {
        size_t i = 0;
        while (i < n && s[i] != 0)
            ++i;
        return i;
    }
};

// The wsprintf subset used by the traces: %d %i %u %x %X %c %s %S %%, with
// flags '-', '0', '#', a width, a precision and the 'l'/'h' size prefixes.
// A missing or mismatched argument prints nothing harmful. The result is cut
// to TRACE_MESSAGE_MAX characters.
std::string FormatTrace(std::string_view format, std::span<const TraceArg> args);

bool TraceEnabled(uint32_t level);
void TspTraceArgs(uint32_t level, std::string_view format, std::span<const TraceArg> args);

template <typename... A>
void TspTrace(uint32_t level, std::string_view format, const A&... a) {
    if (!TraceEnabled(level))
        return;
    const std::array<TraceArg, sizeof...(A) + 1> args{TraceArg(a)..., TraceArg()};
    TspTraceArgs(level, format, std::span<const TraceArg>(args.data(), sizeof...(A)));
}

// Reads "Debug_Mode"\"DebugOutput" and returns the mask.
uint32_t ReadDebugMode();

// Library attach and detach of the trace: debug mutex and mask.
void TraceAttach();
void TraceDetach();
uint32_t TraceMask();

// Starts a new trace as at library load (tests).
void TraceResetForTest(uint32_t mask);

}  // namespace zq
