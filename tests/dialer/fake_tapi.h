// A scripted TAPI table and a recording window for the dialer's core: the
// devices, calls and answers a test sets up, every line function call
// written to a log, completions delivered when the test says so.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/telephony.h"
#include "core/view.h"

namespace zq::dialer::test {

struct FakeDevice {
    std::string name;
    bool voice = true;
    std::vector<std::string> addresses = {"Main"};
    LONG openResult = 0;
    bool nameOutOfBounds = false;  // dwLineNameOffset past dwUsedSize
};

struct FakeCall {
    DWORD features = 0;
    std::string callerName;
    std::string callerNumber;
    std::string calledName;
    std::string calledNumber;
    std::string connectedNumber;
    DWORD origin = 0;
    std::u16string userUserInfo;
};

struct FakeTapi {
    std::vector<FakeDevice> devices;
    DWORD addressFeatures = LINEADDRFEATURE_MAKECALL;
    std::map<HCALL, FakeCall> calls;
    // Answers of a function, in turn, by name; afterwards 0 (a new request
    // ID for the asynchronous ones).
    std::map<std::string, std::deque<LONG>> script;
    // Locations: the current one's country and city code, the card names.
    DWORD countryCode = 33;
    std::string cityCode = "1";
    std::vector<std::string> cards = {"None (Direct Dial)"};
    // Locations listed before the current one; entries counted in
    // dwNumLocations that the structure does not hold.
    std::vector<std::string> otherLocations;
    DWORD missingLocations = 0;
    // lineTranslateAddress: dialable string per input (else the input).
    std::map<std::string, std::string> dialable;
    // lineGetIDA: the device ID bytes of each address of the current line.
    std::vector<std::string> deviceIds;
    LINEREQMAKECALL makeCallRequest{};
    LINEREQMEDIACALL mediaCallRequest{};
    // Every call, as "function arguments".
    std::vector<std::string> log;
    // The call parameters of the last lineMakeCallA, dwTotalSize bytes.
    std::vector<uint8_t> lastParams;
    std::vector<HLINE> openLines;
    // lineSetStatusMessages' line and address states, by line.
    std::map<HLINE, std::pair<DWORD, DWORD>> statusMessages;
    std::map<std::string, LONG> requests;  // the last request ID by function
    bool secure = false;                   // addresses offer secure calls
    LONG nextRequest = 100;
    HCALL nextCall = 0x500;
    HLINE nextLine = 0x10;
    // Requests whose call handle is written when they complete.
    std::map<LONG, std::pair<HCALL*, HCALL>> handles;
};

FakeTapi& Fake();
// Fresh fake state and in-memory platform, the table installed, the core's
// state cleared.
void InstallFakeTapi();
bool Logged(const std::string& entry);
// The request ID of the last asynchronous request of the function.
LONG LastRequest(const std::string& function);
// The completion of a request (its call handle written first), as TAPI.
void Reply(LONG requestId, LONG result = 0);
void CallState(HCALL call, DWORD state, DWORD detail = 0, DWORD_PTR instance = 0);

struct Box {
    std::string text;
    std::string caption;
    uint32_t flags = 0;
};

// The window as the core drew it.
struct Screen {
    std::vector<Box> boxes;
    std::deque<int> answers;  // message-box answers in turn; IDOK after
    std::vector<std::string> rows;
    int selected = -1;
    std::map<int, bool> enabled;
    std::map<int, std::string> texts;
    std::vector<std::string> events;  // the other hooks, in words
    uint32_t pumpAdvanceMs = 0;       // clock advance per pumped message
    std::time_t now = 1000;
};
Screen& Scr();
bool Event(const std::string& entry);

}  // namespace zq::dialer::test
