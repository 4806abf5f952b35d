// The call window: the call records and the call list, the enabling of
// the controls, the placing of outgoing calls (translation, the emergency
// warning, dial-modifier prompts), the call commands, and the handling of
// call states, call information and request completions.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/redial.h"
#include "core/telephony.h"
#include "zq/tapi.h"

namespace zq::dialer {

// Controls of the main window.
inline constexpr int ID_NUMBER = 201;
inline constexpr int ID_MESSAGE = 1103;
inline constexpr int ID_DIAL = 1;
inline constexpr int ID_KEYPAD_FIRST = 202;  // "1".."9", "0", "*", "#"
inline constexpr int ID_KEYPAD_LAST = 213;
inline constexpr int ID_SPEED_FIRST = 214;
inline constexpr int ID_SPEED_LAST = 223;
inline constexpr int ID_CALL_LIST = 2024;
inline constexpr int ID_ANSWER = 2018;
inline constexpr int ID_DROP = 2019;
inline constexpr int ID_HOLD = 2020;
inline constexpr int ID_UNHOLD = 2021;
inline constexpr int ID_TRANSFER = 2022;
inline constexpr int ID_CONF = 2023;
inline constexpr int ID_PARK = 2025;
inline constexpr int ID_RECALL = 2026;
inline constexpr int ID_INTRUSION = 2027;
inline constexpr int ID_DTMF = 2028;
inline constexpr int ID_UNPARK = 2;
inline constexpr int ID_PICKUP = 3;
inline constexpr int ID_REDIRECT = 4;
inline constexpr int ID_FORWARD_TYPE = 1106;
inline constexpr int ID_FORWARD_DEST = 1086;
inline constexpr int ID_FORWARD = 1105;
inline constexpr int ID_MINI_MESSAGE = 1098;
inline constexpr int ID_VOICE_COUNT = 1111;
inline constexpr int ID_TEXT_COUNT = 1112;

inline constexpr int MAX_CALL_SLOTS = 8;
// A held call that is offered again.
inline constexpr DWORD REOFFERING = 0x10000;
// The number combo's edit part holds at most this many characters.
inline constexpr size_t kMaxNumberChars = 63;

inline constexpr char kProceedingCallText[] = " Operation not availaible\nThere is a proceeding call\n ";
inline constexpr char kProceedingCallCaption[] = "Dialer Error";
inline constexpr char kTooManyCallsText[] = "Resource Problem - Too much active calls";
inline constexpr char kInvalidStateText[] = "invalide call state";
inline constexpr char kInvalidStateCaption[] = "Error";
inline constexpr char kDtmfErrorText[] = "DTMF Generation Unavailable or Error.";
inline constexpr char kEmergencyText[] =
    "Using your current Location and Calling Card selection, dialing this number could result in an "
    "emergency "
    "services call to '911'. Are you sure you want to dial the call?";
inline constexpr char kLineInUseText[] =
    "The Preferred Line and Address are in use by another application or device on the line. Your call can "
    "not "
    "be placed at this time.";
inline constexpr char kLineInUseText2[] = "Please try your call again later.";
inline constexpr char kForwardTypes[4][16] = {"Unconditional", "On Busy", "Do Not Disturb", "No Forwarding"};

struct CallSlot {
    HCALL call = 0;   // 0xFFFFFFFF at start-up, 0 after a call ended
    DWORD state = 0;  // LINECALLSTATE_*, REOFFERING or 0
    DWORD prevState = 0;
    std::time_t start = 0;  // connected; 0: never
    std::time_t end = 0;
    FixedText<80> number;
    FixedText<80> callbackNumber;  // replaces the number in the log
    FixedText<40> name;
    FixedText<80> calledNumber;
    FixedText<80> message;  // the call's user-user information
    bool incoming = false;
    bool ownCall = false;
    bool transferred = false;
    bool linked = false;  // placed through DialRequest
    LONG pendingRequest = 0;
    // The line opened for this call when it was placed; closed once the
    // call is IDLE (closing it earlier would lose the call's events).
    HLINE ownLine = 0;
};

// The number as it goes through TranslateNumber.
struct Translation {
    FixedText<80> number;  // in: as typed; out: the dialable string
    FixedText<80> typed;   // before translation
    FixedText<80> canonical;
    FixedText<80> displayable;
    DWORD results = 0;  // LINETRANSLATERESULT_*
};

enum class DialState { None, Placing, DropAsked, DropIssued };

// The call the dialer is placing: name and message follow the fixed call
// parameters in one block of the size given in dwTotalSize.
inline constexpr size_t kCalledPartyBytes = 40;
inline constexpr size_t kUserUserBytes = 40;
inline constexpr size_t kCallParamsSize = sizeof(LINECALLPARAMS) + kCalledPartyBytes + kUserUserBytes;

struct DialRequest {
    DialState state = DialState::None;
    DWORD callState = LINECALLSTATE_IDLE;
    LONG pendingRequest = 0;
    int lineIndex = -1;
    DWORD address = 0;
    HLINE line = 0;  // opened for this call, callback instance = this record
    HCALL call = 0;
    int slot = -1;  // -1: another program's media call, not in the list
    Translation number;
    bool translate = true;
    // Assisted telephony: the requesting window and its request.
    bool forOtherProgram = false;
    HWND requester = nullptr;
    WPARAM requestId = 0;
    bool secure = false;
    // A dial-modifier prompt is open; what follows the modifier. Continue
    // before the make-call request completed dials it at the completion.
    bool promptOpen = false;
    bool continueAtReply = false;
    std::string promptRest;
    alignas(8) std::array<uint8_t, kCallParamsSize> params{};
};

struct CallWindow {
    std::array<CallSlot, MAX_CALL_SLOTS> slots{};
    // CallListOrder: row r shows slot order[r].
    std::array<int, MAX_CALL_SLOTS> order{};
    int rows = 0;
    int selected = -1;  // selected row
    bool callInProgress = false;
    int dialingSlot = -1;
    int lastHeldSlot = -1;
    HCALL confCall = 0;
    // Calls that entered CONFERENCED from ONHOLD or CONNECTED.
    std::array<int, 2> confSlots{-1, -1};
    int confConnectedSlot = -1;
    int confCount = 0;
    bool confWindow = false;
    HCALL forwardConsult = 0;
    DWORD completionId = 0;
    HCALL dtmfCall = 0;
    // The transfer/conference choice window.
    bool choiceOpen = false;
    bool choiceConference = false;
    int choiceActive = -1;
    std::vector<int> choiceHeld;
    RedialList redial;
};

CallWindow& Calls();
DialRequest& Request();
// All slots cleared (handles -1), no rows, DialRequest none.
void ClearCalls();
// The callback instance of the lines opened for DialRequest.
DWORD_PTR RequestInstance();
// An own call (being placed, or placed and not yet IDLE) exists.
bool OwnCallActive();

// ---- pure parts

// "- Offering -" .. "- Reoffering -".
std::string_view StateLabel(DWORD state);
// " party\tlabel", the party shortened with "..." to fit the column.
std::string RowText(std::string_view name, std::string_view number, std::string_view label,
                    const std::function<int(std::string_view)>& width, int columnWidth);

struct ButtonInputs {
    DWORD addressFeatures = 0;
    bool selected = false;
    DWORD callFeatures = 0;
    size_t numberLength = 0;
};
// The controls UpdateButtons manages, and those of them that are enabled.
std::span<const int> ManagedControls();
std::vector<int> EnabledControls(const ButtonInputs& in);

std::string LettersToDigits(std::string_view number);
// Empty when the number has no canonical form.
std::string MakeCanonical(std::string_view number, std::string_view areaCode);
// The first three digits are 9, 1, 1.
bool IsEmergencyNumber(std::string_view dialable);

// A DIAL... result and the number: the part to send now (modifier replaced
// by ';'), the rest, and the prompt; nullopt for other results or when the
// modifier is missing.
struct PromptSplit {
    std::string send;
    std::string rest;
    std::string_view prompt;
};
std::optional<PromptSplit> SplitAtModifier(std::string_view number, LONG result);

// Keypad key ID 202..213 to its character ('\0' for others).
char KeypadChar(int id);
// The character in place of the selection [selStart, selEnd); the text
// unchanged when the result would be longer than kMaxNumberChars.
struct KeypadResult {
    std::string text;
    size_t caret = 0;
};
KeypadResult KeypadInsert(std::string_view text, size_t selStart, size_t selEnd, char key);

// "Voice: ..." and "Text: ..." from the device-specific buffer.
std::pair<std::string, std::string> MessageWaitingTexts(std::span<const uint8_t> buffer);
bool ForwardButtonEnabled(std::string_view type, std::string_view destination);
// A LINEFORWARDLIST for the type; the destination follows the structure.
std::vector<uint8_t> BuildForwardList(std::string_view type, std::string_view destination);

// ---- operations

// Reads the address and call status and enables the controls.
void UpdateButtons();
// The current line's address offers to place a call now: what enables Dial.
bool MakeCallAllowed();
// Dial button, speed dial, log window, assisted make-call request.
bool StartDial(std::string_view number, std::string_view name, std::string_view message);
// Another program's media-call request, answered with TAPI_REPLY.
struct AssistedRequest {
    HWND window = nullptr;
    WPARAM requestId = 0;
    bool secure = false;  // asked for and offered by the address
};
// Places DialRequest's call on line and address for slot, or for another
// program's request (slot -1). false: not placed, the attempt cleaned up
// and reported.
bool PlaceCall(std::string_view number, std::string_view name, std::string_view message, int lineIndex,
               DWORD address, int slot, const AssistedRequest* assisted);
// 0, kTranslateCancelled, or a LINEERR_ code (shown unless quiet).
inline constexpr LONG kTranslateCancelled = 1;
LONG TranslateNumber(Translation& t, int lineIndex, bool quiet);
LONG DialWithPrompts();
void RefreshCallParty(HCALL call, DWORD infoStates);
void OnCallState(HCALL call, DWORD_PTR instance, DWORD state, DWORD detail, DWORD privilege);
void OnReply(LONG requestId, LONG result);
// Assisted telephony's drop request from window and its request ID.
void OnDropRequest(HWND window, WPARAM requestId);
// After lineShutdown: every call is gone; rows are removed and logged.
void ForgetCalls();
void ShowMessageWaiting(const LineEntry& line);
void ShowForwardState();

// ---- the user's commands
void OnDialButton();
void OnSelectRow(int row);
void OnAnswer();
void OnHold();
void OnUnhold();
void OnDrop();
void OnIntrusion();
void OnRecall();
void OnPark();
void OnTransfer();
void OnConference();
void OnUnpark();
void OnPickup();
void OnRedirect();
void OnForward();
// The forward type or destination changed: "Forward" enabled or not.
void OnForwardControlsChanged();
void OnDtmf();
void DtmfKey(char key);
void DtmfQuit();

enum class PromptAnswer { Continue, HangUp, ChangeOptions };
void DialingPromptAnswer(PromptAnswer answer);
// The choice window's button with row `index` of its "to:" list.
void TransferChoiceAnswer(int index);
void TransferChoiceClosed();
void ConferenceCancelAll();
void ConferenceDisconnect();

}  // namespace zq::dialer
