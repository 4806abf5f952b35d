// The dialer's connection to telephony: the line application, the table of
// line devices, the choice of the line and address the user works with,
// the assisted-telephony registration, the line callback's dispatch, the
// work deferred to idle time and the texts of TAPI result codes.
// Everything runs on the user-interface thread.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zq/tapi.h"

namespace zq::dialer {

inline constexpr DWORD kApiVersion = 0x00020000;
// StartTelephony's own results besides 0 and the LINEERR_ codes.
inline constexpr LONG kNoLineDevice = 1;
inline constexpr LONG kLineClosed = 2;
inline constexpr LONG ERR_NO_PREFERRED_LINE = static_cast<LONG>(0x80000100);

inline constexpr char kAppName[] = "ZQDialer32";
inline constexpr char kAppCaption[] = "Velmora Dialer";
inline constexpr char kWarningCaption[] = "Velmora Dialer Warning";
inline constexpr char kReplyCaption[] = "zqdial32";
inline constexpr char kLocationsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";

inline constexpr char kFirstRunText[] =
    "Velmora Dialer is running for the first time. It needs to know your country code, area code and  other "
    "location information which you have maybe not yet configured from the Telephon Control Panel.";
inline constexpr char kReinitText[] =
    "The Windows Telephony System is in a state where Velmora Dialer is unable to successfully initialize. "
    "Please quit all other telephony applications and retry.";
inline constexpr char kRegisterFailedText[] =
    "Velmora Dialer was unable to register to handle requests from other applications to place calls. Please "
    "use the Telephony Control Panel to repair your Telephony configuration file.";
inline constexpr char kIgnoredMessageText[] = "lineCallbackFunc message ignored\n";

// The LINEERR_REINIT question is asked again after this long.
inline constexpr uint32_t kReinitAskPeriodMs = 5000;
// Line devices and addresses looked at; more are ignored.
inline constexpr int kMaxLineDevices = 32;
inline constexpr DWORD kMaxAddresses = 64;
// A TAPI structure larger than this is refused with LINEERR_NOMEM.
inline constexpr uint32_t kMaxTapiStructSize = 64 * 1024;
inline constexpr size_t kDevSpecificSize = 300;
inline constexpr size_t kParkAddressSize = 280;

// First fetch sizes of the variable-size structures.
inline constexpr uint32_t kDevCapsFirst = 1252;
inline constexpr uint32_t kAddressCapsFirst = 1228;
inline constexpr uint32_t kTranslateCapsFirst = 1044;
inline constexpr uint32_t kTranslateOutputFirst = 1040;
inline constexpr uint32_t kCallInfoFirst = 1324;
inline constexpr uint32_t kAddressStatusFirst = 1064;
inline constexpr uint32_t kCallStatusFirst = 1056;

// A text field of N bytes: at most N - 1 characters, always terminated.
template <size_t N>
struct FixedText {
    std::array<char, N> c{};

    void set(std::string_view text) {
        text = text.substr(0, std::min(text.find('\0'), N - 1));
        std::memcpy(c.data(), text.data(), text.size());
        c[text.size()] = '\0';
    }
    std::string_view view() const {
        return {c.data(), static_cast<size_t>(std::find(c.begin(), c.end(), '\0') - c.begin())};
    }
    std::string str() const { return std::string(view()); }
    bool empty() const { return c[0] == '\0'; }
};

// One line device, in device order.
struct LineEntry {
    DWORD numAddresses = 0;
    bool voice = false;
    DWORD apiVersion = 0;
    HLINE line = 0;  // 0: not open
    FixedText<128> name;
    // From LINE_ADDRESSSTATE: mode of the first forward entry (0: none).
    DWORD forwardMode = 0;
    FixedText<80> forwardDest;
    // The device-specific query and its buffer (first word 300 when asked).
    LONG devSpecificRequest = 0;
    alignas(4) std::array<uint8_t, kDevSpecificSize> devSpecific{};
    // Pending requests of the call window (0: none).
    LONG parkRequest = 0;
    LONG intrudeRequest = 0;
    LONG callbackRequest = 0;
    LONG forwardRequest = 0;
    LONG pickupRequest = 0;
    LONG unparkRequest = 0;
    LONG redirectRequest = 0;
    // The park's non-directed address, written when the park completes.
    alignas(4) std::array<uint8_t, kParkAddressSize> parkAddress{};
};

struct TelephonyState {
    HINSTANCE instance = nullptr;
    HLINEAPP app = 0;
    DWORD numDevs = 0;
    int currentLine = -1;
    DWORD currentAddress = 0;
    DWORD cardId = 0xFFFFFFFF;
    bool translationAvailable = false;
    FixedText<128> locationName;
    FixedText<4> areaCode;
    FixedText<128> cardName;
    FixedText<5> prefix;
    bool initialised = false;
    bool reinitPending = false;
    bool makeCallPending = false;
    bool mediaCallPending = false;
    bool makeCallRegistered = false;
    bool mediaCallRegistered = false;
    bool replyPending = false;
    // The LineTable: entries 0 .. lineCount - 1 are the devices.
    int lineCount = 0;
    std::array<LineEntry, kMaxLineDevices> lines{};
};

TelephonyState& Telephony();
// Back to the state of a process that has just started.
void ResetTelephony();
// The current line's entry, nullptr while none is chosen.
LineEntry* CurrentLine();
// The entry of device index, nullptr when out of range.
LineEntry* LineAt(int index);

// ---- variable-size TAPI structures

// A structure as TAPI filled it. Every read is checked against the buffer
// and its dwUsedSize; what lies outside reads as zero or as empty.
struct TapiBuffer {
    std::vector<uint8_t> bytes;
};

// Fetches a structure that starts with dwTotalSize, dwNeededSize: a first
// buffer of firstSize bytes, then, while dwNeededSize exceeds it, one of
// dwNeededSize bytes. A size over kMaxTapiStructSize, a provider that keeps
// asking for more, or no memory give LINEERR_NOMEM.
LONG FetchTapiStruct(TapiBuffer& buf, uint32_t firstSize, const std::function<LONG(void*)>& fetch);
// The fixed part as T (zero where the buffer is shorter).
template <class T>
T HeaderOf(const TapiBuffer& buf) {
    T value{};
    if (!buf.bytes.empty())
        std::memcpy(&value, buf.bytes.data(), std::min(sizeof value, buf.bytes.size()));
    return value;
}
// A T at byte offset `at`, false when it does not lie within the used part.
bool ReadAt(const TapiBuffer& buf, uint64_t at, void* out, size_t size);
// The text of a size/offset pair (up to the first NUL), cut to max
// characters; empty when it does not lie within the used part.
std::string TextAt(const TapiBuffer& buf, DWORD size, DWORD offset, size_t max);

// One entry of the location list.
struct LocationInfo {
    DWORD permanentId = 0;
    DWORD countryCode = 0;
    std::string name;      // at most 127 characters
    std::string cityCode;  // at most 3
};
// The location list and calling cards of LINETRANSLATECAPS, as far as
// they lie within the structure's used part.
struct TranslateCapsInfo {
    DWORD currentLocationId = 0;
    std::vector<LocationInfo> locations;               // in list order
    std::vector<std::pair<DWORD, std::string>> cards;  // permanent ID, name
};
LONG ReadTranslateCaps(DWORD apiVersion, TranslateCapsInfo& info);
// The entry of the current location; nullptr when it is not in the list.
const LocationInfo* CurrentLocation(const TranslateCapsInfo& info);
// LINEADDRESSSTATUS of the line's address 0.
LONG ReadAddressStatus(const LineEntry& line, TapiBuffer& status);
// dwAddress of LINEADDRESSCAPS, or "Address %d" when it is empty.
LONG ReadAddressName(int lineIndex, DWORD address, std::string& name);

// ---- operations

// Start-up after the main window is shown and the shell has read the
// international settings and the log switches: the call slots cleared, the
// first-run check, StartTelephony, LoadLocationAndCard, the counters
// query, the registration, the buttons. false: a fatal message was shown
// and everything released; the application ends.
bool StartDialer(HINSTANCE instance);
// The Locations key has "NumEntries"; otherwise the first-run message and
// the location dialog (false).
bool FirstRunCheck();
// 0, a LINEERR_ code, kNoLineDevice or ERR_NO_PREFERRED_LINE.
LONG StartTelephony(HINSTANCE instance);
LONG LoadLocationAndCard();
// true when both request modes are in the wanted state.
bool RegisterAsRecipient(bool enable);
// Deregisters (when asked), closes every open line, lineShutdown.
void StopTelephony(bool deregister = true);
// The device-specific counters query on the current line.
void QueryDevSpecific();

// The TAPI callback that StartTelephony registers.
void CALLBACK lineCallbackFunc(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                               DWORD_PTR dwParam2, DWORD_PTR dwParam3);
// Each time the message loop becomes idle, and on WM_USER.
void IdleWork();

// ---- messages

// String-table IDs of the texts (ErrorMessageId's results).
enum ErrorId : int {
    IDS_NO_VOICE_LINE = 1,
    IDS_LINE_CLOSED,
    IDS_LINE_BUSY,
    IDS_INCOMPATIBLE,
    IDS_INI_CORRUPT,
    IDS_INVALID_ADDRESS,
    IDS_INVALID_CALL_STATE,
    IDS_MODEM_INSTALLED,
    IDS_NO_DRIVER,
    IDS_NO_MEMORY,
    IDS_OPERATION_FAILED,
    IDS_ADDRESS_BLOCKED,
    IDS_BILLING_REJECTED,
    IDS_MULTIPLE_INSTANCE,
    IDS_NO_PREFERRED_LINE,
    IDS_INTERNAL_ERROR,
};
int ErrorMessageId(LONG code);
std::string_view ErrorMessageText(int id);
// Non-fatal presentation: caption "Velmora Dialer Warning".
void ShowError(LONG code);
void ShowWarning(std::string_view text);
// A LINE_REPLY error: plain box, caption "zqdial32".
void ShowReplyError(LONG code);
// Fatal presentation: the message, StopTelephony, the windows released.
void FatalError(LONG code);

// UTF-16 (up to its first NUL) to UTF-8.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace zq::dialer
