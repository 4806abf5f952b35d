// The telephony library's core through its application functions: a small
// scripted provider for handles, request completion and event routing, and
// the real provider against the simulator's set in virtual time for whole
// calls, everything taken with lineGetMessage.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "callmodel/calls.h"
#include "core/convert.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/tapiapp.h"
#include "core/trace.h"
#include "link/setconfig.h"
#include "superv_support.h"
#include "zq/memplat.h"
#include "zq/sim.h"
#include "zq/tapi.h"
#include "zq/tapi_words.h"

namespace zq::test {
namespace {

using tapiapp::ProviderApi;

constexpr DWORD kVersion = 0x00020000;
constexpr DWORD kPrefill = 0xDEADBEEF;

// ------------------------------------------------------------ words

std::string Privilege(DWORD_PTR p) {
    return p == LINECALLPRIVILEGE_OWNER ? " owner" : p == LINECALLPRIVILEGE_MONITOR ? " monitor" : "";
}

std::string Words(const LINEMESSAGE& m) {
    switch (m.dwMessageID) {
        case LINE_REPLY:
            return "reply " + words::Result(static_cast<LONG>(m.dwParam2));
        case LINE_CALLSTATE:
            return "call " + words::CallState(static_cast<uint32_t>(m.dwParam1)) + Privilege(m.dwParam3);
        case LINE_APPNEWCALL:
            return "new call" + Privilege(m.dwParam3);
        case LINE_CALLINFO:
            return "info " + words::Bits(words::kCallInfoStates, static_cast<uint32_t>(m.dwParam1));
        case LINE_LINEDEVSTATE:
            return "line " + words::Bits(words::kDevStates, static_cast<uint32_t>(m.dwParam1));
        case LINE_CLOSE:
            return "close";
        case LINE_REQUEST:
            return "request";
        default:
            return "message " + std::to_string(m.dwMessageID);
    }
}

struct App {
    HLINEAPP handle = 0;
    std::vector<LINEMESSAGE> messages;  // every message taken so far

    // Takes what is queued; their words.
    std::vector<std::string> Drain() {
        std::vector<std::string> words;
        LINEMESSAGE m{};
        while (lineGetMessage(handle, &m, 0) == 0) {
            messages.push_back(m);
            words.push_back(Words(m));
        }
        return words;
    }
};

LONG Initialize(App* app, DWORD* devices = nullptr) {
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    DWORD count = 0, version = kVersion;
    return lineInitializeExA(&app->handle, nullptr, nullptr, "core test",
                             devices != nullptr ? devices : &count, &version, &params);
}

// ------------------------------------------------ the scripted provider

// How the scripted provider answers a request.
enum class Answer { Later, Inside, Twice, FailSync, InsideThenFail };

struct Scripted {
    ASYNC_COMPLETION completion = nullptr;
    LINEEVENT event = nullptr;
    HTAPILINE htLine = nullptr;
    HTAPICALL htCall = nullptr;
    DRV_REQUESTID lastId = 0;
    Answer answer = Answer::Later;
    int attaches = 0, detaches = 0, shutdowns = 0, requests = 0, closeCalls = 0, lineOpens = 0,
        lineCloses = 0;
};
Scripted g_scripted;

LONG Respond(DRV_REQUESTID id) {
    ++g_scripted.requests;
    g_scripted.lastId = id;
    switch (g_scripted.answer) {
        case Answer::Later:
            return static_cast<LONG>(id);
        case Answer::Inside:
            g_scripted.completion(id, 0);
            return static_cast<LONG>(id);
        case Answer::Twice:
            g_scripted.completion(id, 0);
            g_scripted.completion(id, 0);
            return static_cast<LONG>(id);
        case Answer::FailSync:
            return static_cast<LONG>(LINEERR_CALLUNAVAIL);
        case Answer::InsideThenFail:
            g_scripted.completion(id, 0);
            return static_cast<LONG>(LINEERR_OPERATIONFAILED);
    }
    return 0;
}

const ProviderApi kScriptedApi = [] {
    ProviderApi api;
    api.providerEnumDevices = [](DWORD, LPDWORD lines, LPDWORD phones, HPROVIDER, LINEEVENT,
                                 PHONEEVENT) -> LONG {
        *lines = 1;
        *phones = 0;
        return 0;
    };
    api.providerInit = [](DWORD, DWORD, DWORD, DWORD, DWORD_PTR, DWORD_PTR, ASYNC_COMPLETION completion,
                          LPDWORD options) -> LONG {
        g_scripted.completion = completion;
        *options = LINETSPIOPTION_NONREENTRANT;
        return 0;
    };
    api.providerShutdown = [](DWORD, DWORD) -> LONG {
        ++g_scripted.shutdowns;
        return 0;
    };
    api.lineOpen = [](DWORD, HTAPILINE htLine, LPHDRVLINE hdLine, DWORD, LINEEVENT event) -> LONG {
        ++g_scripted.lineOpens;
        g_scripted.htLine = htLine;
        g_scripted.event = event;
        *hdLine = reinterpret_cast<HDRVLINE>(uintptr_t{0x10});
        return 0;
    };
    api.lineClose = [](HDRVLINE) -> LONG {
        ++g_scripted.lineCloses;
        return 0;
    };
    api.lineCloseCall = [](HDRVCALL) -> LONG {
        ++g_scripted.closeCalls;
        return 0;
    };
    api.lineMakeCall = [](DRV_REQUESTID id, HDRVLINE, HTAPICALL htCall, LPHDRVCALL hdCall, LPCWSTR, DWORD,
                          LPLINECALLPARAMS) -> LONG {
        g_scripted.htCall = htCall;
        *hdCall = reinterpret_cast<HDRVCALL>(uintptr_t{0x20});
        return Respond(id);
    };
    api.lineDrop = [](DRV_REQUESTID id, HDRVCALL, LPCSTR, DWORD) -> LONG { return Respond(id); };
    api.attach = [] { ++g_scripted.attaches; };
    api.detach = [] { ++g_scripted.detaches; };
    return api;
}();

class ScriptedTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_scripted = Scripted{};
        tapiapp::UseProvider(&kScriptedApi);
        ASSERT_EQ(Initialize(&app), 0);
        ASSERT_EQ(lineOpenA(app.handle, 0, &line, kVersion, 0, 7, LINECALLPRIVILEGE_OWNER,
                            LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
                  0);
    }
    void TearDown() override {
        for (App* a : {&app, &other})
            if (a->handle != 0)
                lineShutdown(a->handle);
        tapiapp::UseProvider(nullptr);
    }

    // A call made with the provider answering as told; where its handle
    // is written at the reply (the caller's memory until then).
    HCALL* MakeCall(Answer answer, LONG* returned = nullptr) {
        g_scripted.answer = answer;
        HCALL* call = &made.emplace_back(kPrefill);
        const LONG r = lineMakeCallA(line, call, "2005", 0, nullptr);
        if (returned != nullptr)
            *returned = r;
        return call;
    }

    void Event(DWORD msg, DWORD_PTR p1, DWORD_PTR p2 = 0, HTAPICALL htCall = nullptr) {
        g_scripted.event(g_scripted.htLine, htCall, msg, p1, p2, 0);
    }

    App app, other;
    HLINE line = 0;
    std::deque<HCALL> made;
};

// Every function refuses a stale handle, one of another kind and zero with
// its own error, and asks the provider nothing.
TEST_F(ScriptedTest, StaleAndForeignHandlesAreRefused) {
    App gone;
    ASSERT_EQ(Initialize(&gone), 0);
    ASSERT_EQ(lineShutdown(gone.handle), 0);
    HLINE closed = 0;
    ASSERT_EQ(lineOpenA(app.handle, 0, &closed, kVersion, 0, 0, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
              0);
    ASSERT_EQ(lineClose(closed), 0);
    const HCALL* call = MakeCall(Answer::Inside);
    const HCALL* deallocated = MakeCall(Answer::Inside);
    app.Drain();
    ASSERT_EQ(lineDeallocateCall(*deallocated), 0);

    enum Kind { AppHandle, LineHandle, CallHandle };
    struct Row {
        const char* name;
        Kind kind;
        std::function<LONG(uint32_t)> call;
    };
    HCALL out = 0;
    LINEMESSAGE message{};
    DWORD dw = 0;
    LINEEXTENSIONID extension{};
    VARSTRING varstring{};
    varstring.dwTotalSize = sizeof varstring;
    LINEDEVCAPS devCaps{};
    devCaps.dwTotalSize = sizeof devCaps;
    LINECALLSTATUS status{};
    status.dwTotalSize = sizeof status;
    LINECALLINFO info{};
    info.dwTotalSize = sizeof info;
    LINEADDRESSSTATUS addressStatus{};
    addressStatus.dwTotalSize = sizeof addressStatus;
    LINEREQMAKECALL request{};
    const std::vector<Row> rows = {
        {"lineShutdown", AppHandle, [](uint32_t h) { return lineShutdown(h); }},
        {"lineGetMessage", AppHandle, [&](uint32_t h) { return lineGetMessage(h, &message, 0); }},
        {"lineNegotiateAPIVersion", AppHandle,
         [&](uint32_t h) { return lineNegotiateAPIVersion(h, 0, kVersion, kVersion, &dw, &extension); }},
        {"lineOpenA", AppHandle,
         [&](uint32_t h) {
             return lineOpenA(h, 0, &out, kVersion, 0, 0, LINECALLPRIVILEGE_OWNER,
                              LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
         }},
        {"lineGetDevCapsA", AppHandle,
         [&](uint32_t h) { return lineGetDevCapsA(h, 0, kVersion, 0, &devCaps); }},
        {"lineRegisterRequestRecipient", AppHandle,
         [](uint32_t h) { return lineRegisterRequestRecipient(h, 0, LINEREQUESTMODE_MAKECALL, 1); }},
        {"lineGetRequestA", AppHandle,
         [&](uint32_t h) { return lineGetRequestA(h, LINEREQUESTMODE_MAKECALL, &request); }},
        {"lineClose", LineHandle, [](uint32_t h) { return lineClose(h); }},
        {"lineGetStatusMessages", LineHandle, [&](uint32_t h) { return lineGetStatusMessages(h, &dw, &dw); }},
        {"lineSetStatusMessages", LineHandle, [](uint32_t h) { return lineSetStatusMessages(h, 0, 0); }},
        {"lineGetAddressStatusA", LineHandle,
         [&](uint32_t h) { return lineGetAddressStatusA(h, 0, &addressStatus); }},
        {"lineMakeCallA", LineHandle, [&](uint32_t h) { return lineMakeCallA(h, &out, "1", 0, nullptr); }},
        {"linePickupA", LineHandle, [&](uint32_t h) { return linePickupA(h, 0, &out, "1", nullptr); }},
        {"lineUnparkA", LineHandle, [&](uint32_t h) { return lineUnparkA(h, 0, &out, "1"); }},
        {"lineForwardA", LineHandle,
         [&](uint32_t h) { return lineForwardA(h, 1, 0, nullptr, 0, &out, nullptr); }},
        {"lineDevSpecific", LineHandle, [&](uint32_t h) { return lineDevSpecific(h, 0, 0, &dw, sizeof dw); }},
        {"lineGetIDA line", LineHandle,
         [&](uint32_t h) { return lineGetIDA(h, 0, 0, LINECALLSELECT_LINE, &varstring, "tapi/line"); }},
        {"lineGetCallStatus", CallHandle, [&](uint32_t h) { return lineGetCallStatus(h, &status); }},
        {"lineGetCallInfoA", CallHandle, [&](uint32_t h) { return lineGetCallInfoA(h, &info); }},
        {"lineDialA", CallHandle, [](uint32_t h) { return lineDialA(h, "1", 0); }},
        {"lineDrop", CallHandle, [](uint32_t h) { return lineDrop(h, nullptr, 0); }},
        {"lineAnswer", CallHandle, [](uint32_t h) { return lineAnswer(h, nullptr, 0); }},
        {"lineHold", CallHandle, [](uint32_t h) { return lineHold(h); }},
        {"lineUnhold", CallHandle, [](uint32_t h) { return lineUnhold(h); }},
        {"lineRedirectA", CallHandle, [](uint32_t h) { return lineRedirectA(h, "1", 0); }},
        {"lineBlindTransferA", CallHandle, [](uint32_t h) { return lineBlindTransferA(h, "1", 0); }},
        {"lineSetupTransferA", CallHandle, [&](uint32_t h) { return lineSetupTransferA(h, &out, nullptr); }},
        {"lineCompleteTransfer", CallHandle,
         [&](uint32_t h) { return lineCompleteTransfer(h, *call, &out, LINETRANSFERMODE_TRANSFER); }},
        {"lineCompleteCall", CallHandle,
         [&](uint32_t h) { return lineCompleteCall(h, &dw, LINECALLCOMPLMODE_CALLBACK, 0); }},
        {"lineParkA", CallHandle,
         [&](uint32_t h) { return lineParkA(h, LINEPARKMODE_DIRECTED, "1", nullptr); }},
        {"lineGenerateDigitsA", CallHandle,
         [](uint32_t h) { return lineGenerateDigitsA(h, LINEDIGITMODE_DTMF, "1", 0); }},
        {"lineDeallocateCall", CallHandle, [](uint32_t h) { return lineDeallocateCall(h); }},
        {"lineGetIDA call", CallHandle,
         [&](uint32_t h) { return lineGetIDA(0, 0, h, LINECALLSELECT_CALL, &varstring, "tapi/line"); }},
    };
    const std::vector<uint32_t> bad[] = {
        {gone.handle, line, *call, 0, kPrefill},
        {closed, app.handle, *call, 0, kPrefill},
        {*deallocated, app.handle, line, 0, kPrefill},
    };
    const LONG expected[] = {static_cast<LONG>(LINEERR_INVALAPPHANDLE),
                             static_cast<LONG>(LINEERR_INVALLINEHANDLE),
                             static_cast<LONG>(LINEERR_INVALCALLHANDLE)};
    const int requests = g_scripted.requests;
    for (const Row& row : rows)
        for (const uint32_t handle : bad[row.kind])
            EXPECT_EQ(row.call(handle), expected[row.kind]) << row.name << " with " << std::hex << handle;
    EXPECT_EQ(g_scripted.requests, requests);
    EXPECT_EQ(lineCompleteTransfer(*call, *deallocated, &out, LINETRANSFERMODE_TRANSFER),
              static_cast<LONG>(LINEERR_INVALCONSULTCALLHANDLE));
    // A function the provider lacks, on a live call; a setup dialog of a
    // device it lacks, then of a provider without a user-interface half.
    EXPECT_EQ(lineHold(*call), static_cast<LONG>(LINEERR_OPERATIONUNAVAIL));
    EXPECT_EQ(lineConfigDialogA(1, nullptr, "tapi/line"), static_cast<LONG>(LINEERR_BADDEVICEID));
    EXPECT_EQ(lineConfigDialogA(0, nullptr, "tapi/line"), static_cast<LONG>(LINEERR_OPERATIONUNAVAIL));
    EXPECT_TRUE(app.Drain().empty());
}

// Each accepted request gets exactly one LINE_REPLY, before the states the
// provider reports after completing it; a request refused at once gets
// none and leaves no call; the new call's handle is written at the reply.
TEST_F(ScriptedTest, RequestsCompleteExactlyOnceAndBeforeTheirCallsStates) {
    struct Case {
        const char* name;
        Answer answer;
        LONG result;  // the completion of a request answered later
        bool accepted;
        std::vector<std::string> words;
    };
    const std::vector<Case> cases = {
        {"completed later", Answer::Later, 0, true, {"reply ok", "call DIALTONE owner", "call DIALING"}},
        {"completed inside the call",
         Answer::Inside,
         0,
         true,
         {"reply ok", "call DIALTONE owner", "call DIALING"}},
        {"completed twice", Answer::Twice, 0, true, {"reply ok", "call DIALTONE owner", "call DIALING"}},
        {"failed later",
         Answer::Later,
         static_cast<LONG>(LINEERR_RESOURCEUNAVAIL),
         true,
         {"reply RESOURCEUNAVAIL"}},
        {"refused", Answer::FailSync, 0, false, {}},
        {"completed, then refused", Answer::InsideThenFail, 0, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_scripted.htCall = nullptr;
        LONG returned = 0;
        const HCALL* call = MakeCall(c.answer, &returned);
        if (c.answer == Answer::Later) {
            // From another thread, as the provider's worker does.
            const DRV_REQUESTID id = g_scripted.lastId;
            std::thread([&] { g_scripted.completion(id, c.result); }).join();
        }
        // The call's states as the provider reports them after the reply;
        // a call whose request failed is unknown.
        Event(LINE_CALLSTATE, LINECALLSTATE_DIALTONE, 0, g_scripted.htCall);
        Event(LINE_CALLSTATE, LINECALLSTATE_DIALING, 0, g_scripted.htCall);
        if (c.answer != Answer::Later)
            g_scripted.completion(g_scripted.lastId, 0);  // late and unknown: ignored
        EXPECT_EQ(returned > 0, c.accepted) << returned;
        const std::vector<std::string> words = app.Drain();
        EXPECT_EQ(words, c.words);
        if (c.accepted && c.result == 0) {
            EXPECT_EQ(app.messages.back().hDevice, *call);
            EXPECT_EQ(app.messages[app.messages.size() - 3].dwParam1, static_cast<DWORD_PTR>(returned));
            Event(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, g_scripted.htCall);
            const int closed = g_scripted.closeCalls;
            EXPECT_EQ(lineDeallocateCall(*call), 0);
            EXPECT_EQ(g_scripted.closeCalls, closed + 1);
        } else {
            EXPECT_EQ(*call, kPrefill);
        }
        app.Drain();
    }
}

// Status messages go to the opens that asked for them; REINIT goes to
// every application and cannot be masked. Initialisation is then refused
// until every application has shut down, and the provider is loaded
// afresh.
TEST_F(ScriptedTest, StatusFilteringAndReinit) {
    ASSERT_EQ(Initialize(&other), 0);
    HLINE otherLine = 0;
    ASSERT_EQ(lineOpenA(other.handle, 0, &otherLine, kVersion, 0, 9, LINECALLPRIVILEGE_MONITOR, 0, nullptr),
              0);
    EXPECT_EQ(g_scripted.lineOpens, 1);  // one TSPI open, shared
    ASSERT_EQ(lineSetStatusMessages(line, LINEDEVSTATE_INSERVICE, 0), 0);
    Event(LINE_LINEDEVSTATE, LINEDEVSTATE_INSERVICE | LINEDEVSTATE_CONNECTED);
    EXPECT_EQ(app.Drain(), std::vector<std::string>{"line INSERVICE"});
    EXPECT_TRUE(other.Drain().empty());

    // A call the provider creates: the owner open gets it, the monitor too.
    HTAPICALL htCall = nullptr;
    g_scripted.event(g_scripted.htLine, nullptr, static_cast<DWORD>(LINE_NEWCALL), 0x30,
                     reinterpret_cast<DWORD_PTR>(&htCall), 0);
    ASSERT_NE(htCall, nullptr);
    Event(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, htCall);
    EXPECT_EQ(app.Drain(), (std::vector<std::string>{"new call owner", "call OFFERING owner"}));
    EXPECT_EQ(other.Drain(), (std::vector<std::string>{"new call monitor", "call OFFERING monitor"}));
    EXPECT_EQ(lineDrop(static_cast<HCALL>(other.messages[0].dwParam2), nullptr, 0),
              static_cast<LONG>(LINEERR_NOTOWNER));

    g_scripted.event(nullptr, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 0, 0);
    for (App* a : {&app, &other}) {
        EXPECT_EQ(a->Drain(), std::vector<std::string>{"line REINIT"});
        EXPECT_EQ(a->messages.back().hDevice, 0u);
        EXPECT_EQ(a->messages.back().dwCallbackInstance, 0u);
    }
    App late;
    EXPECT_EQ(Initialize(&late), static_cast<LONG>(LINEERR_REINIT));
    ASSERT_EQ(lineShutdown(app.handle), 0);
    app.handle = 0;
    EXPECT_EQ(Initialize(&late), static_cast<LONG>(LINEERR_REINIT));
    EXPECT_EQ(g_scripted.shutdowns, 0);
    ASSERT_EQ(lineShutdown(other.handle), 0);
    other.handle = 0;
    EXPECT_EQ(g_scripted.closeCalls, 1);
    EXPECT_EQ(g_scripted.lineCloses, 1);
    EXPECT_EQ(g_scripted.shutdowns, 1);
    EXPECT_EQ(g_scripted.detaches, 1);
    ASSERT_EQ(Initialize(&app), 0);
    EXPECT_EQ(g_scripted.attaches, 2);
}

// A line the provider closed by itself is closed in the provider before it
// opens again, and before the provider shuts down: the event came on its
// worker, which the close stops.
TEST_F(ScriptedTest, ALineTheProviderClosedIsClosedOnItsNextOpenOrShutdown) {
    for (const bool reopen : {true, false}) {
        SCOPED_TRACE(reopen ? "reopened" : "shut down");
        const int closes = g_scripted.lineCloses, opens = g_scripted.lineOpens;
        Event(LINE_CLOSE, 0);
        EXPECT_EQ(app.Drain(), std::vector<std::string>{"close"});
        EXPECT_EQ(g_scripted.lineCloses, closes);
        if (reopen) {
            ASSERT_EQ(lineOpenA(app.handle, 0, &line, kVersion, 0, 1, LINECALLPRIVILEGE_OWNER,
                                LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
                      0);
            EXPECT_EQ(g_scripted.lineCloses, closes + 1);
            EXPECT_EQ(g_scripted.lineOpens, opens + 1);
        } else {
            ASSERT_EQ(lineShutdown(app.handle), 0);
            app.handle = 0;
            EXPECT_EQ(g_scripted.lineCloses, closes + 1);
            EXPECT_EQ(g_scripted.shutdowns, 1);
        }
    }
}

// A MAKECALL request from tapiRequestMakeCallA reaches this process's
// registered recipient as LINE_REQUEST, once.
TEST_F(ScriptedTest, AssistedTelephonyInProcess) {
    EXPECT_EQ(tapiRequestMakeCallA("2005", "Mail", "Bob", "about lunch"), TAPIERR_NOREQUESTRECIPIENT);
    ASSERT_EQ(lineRegisterRequestRecipient(app.handle, 42, LINEREQUESTMODE_MAKECALL, 1), 0);
    EXPECT_EQ(tapiRequestMakeCallA(std::string(80, '1').c_str(), "", "", ""), TAPIERR_INVALDESTADDRESS);
    ASSERT_EQ(tapiRequestMakeCallA("2005", "Mail", "Bob", "about lunch"), 0);
    EXPECT_EQ(app.Drain(), std::vector<std::string>{"request"});
    EXPECT_EQ(app.messages.back().dwCallbackInstance, 42u);
    EXPECT_EQ(app.messages.back().dwParam1, static_cast<DWORD_PTR>(LINEREQUESTMODE_MAKECALL));
    LINEREQMAKECALL request{};
    ASSERT_EQ(lineGetRequestA(app.handle, LINEREQUESTMODE_MAKECALL, &request), 0);
    EXPECT_STREQ(request.szDestAddress, "2005");
    EXPECT_STREQ(request.szAppName, "Mail");
    EXPECT_STREQ(request.szCalledParty, "Bob");
    EXPECT_STREQ(request.szComment, "about lunch");
    EXPECT_EQ(lineGetRequestA(app.handle, LINEREQUESTMODE_MAKECALL, &request),
              static_cast<LONG>(LINEERR_NOREQUEST));
    ASSERT_EQ(lineRegisterRequestRecipient(app.handle, 42, LINEREQUESTMODE_MAKECALL, 0), 0);
    EXPECT_EQ(tapiRequestMakeCallA("2005", "Mail", "Bob", "about lunch"), TAPIERR_NOREQUESTRECIPIENT);
}

// ------------------------------------------------ the provider list

constexpr char kProvidersKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";

std::optional<std::string> ListValue(const std::string& name) {
    return memplat::reg_get_string(plat::RegRoot::LocalMachine, kProvidersKey, name);
}

// What is refused changes nothing; a file listed already is recognised
// whatever its folder and case; the list comes whole or not at all; a
// provider whose file is gone can still be removed, and the list closes up
// behind it with the identifiers kept.
TEST(ProviderList, RefusalsListingAndRemoval) {
    memplat::reset();
    const auto lm = plat::RegRoot::LocalMachine;
    const char* files[] = {"zq_6232.tsp", "other.tsp", "C:\\x\\third.tsp"};
    const DWORD ids[] = {1, 4, 7};
    for (int i = 0; i < 3; ++i) {
        memplat::reg_put_string(lm, kProvidersKey, "ProviderFileName" + std::to_string(i), files[i]);
        memplat::reg_put_dword(lm, kProvidersKey, "ProviderID" + std::to_string(i), ids[i]);
    }
    memplat::reg_put_dword(lm, kProvidersKey, "NumProviders", 3);
    memplat::reg_put_dword(lm, kProvidersKey, "NextProviderID", 8);

    DWORD id = kPrefill;
    LINEPROVIDERLIST small{};
    small.dwTotalSize = sizeof small - 1;
    struct Row {
        const char* name;
        std::function<LONG()> call;
        DWORD expected;
    };
    const std::vector<Row> rows = {
        {"add, no file", [&] { return lineAddProviderA(nullptr, nullptr, &id); }, LINEERR_INVALPOINTER},
        {"add W, no file", [&] { return lineAddProviderW(nullptr, nullptr, &id); }, LINEERR_INVALPOINTER},
        {"add, no identifier", [] { return lineAddProviderA("new.tsp", nullptr, nullptr); },
         LINEERR_INVALPOINTER},
        {"add, empty name", [&] { return lineAddProviderA("", nullptr, &id); }, LINEERR_INVALPARAM},
        {"add again, other case", [&] { return lineAddProviderA("ZQ_6232.TSP", nullptr, &id); },
         LINEERR_NOMULTIPLEINSTANCE},
        {"add again, other folder", [&] { return lineAddProviderA("D:\\other.tsp", nullptr, &id); },
         LINEERR_NOMULTIPLEINSTANCE},
        {"add again, W",
         [&] { return lineAddProviderW(reinterpret_cast<LPCWSTR>(u"third.tsp"), nullptr, &id); },
         LINEERR_NOMULTIPLEINSTANCE},
        // Nothing loads on this backend: the provider never said yes.
        {"add, not loadable", [&] { return lineAddProviderA("missing.tsp", nullptr, &id); },
         LINEERR_OPERATIONFAILED},
        {"remove unknown", [] { return lineRemoveProvider(5, nullptr); }, LINEERR_INVALPARAM},
        {"list, no structure", [] { return lineGetProviderListA(kVersion, nullptr); }, LINEERR_INVALPOINTER},
        {"list, too small", [&] { return lineGetProviderListA(kVersion, &small); },
         LINEERR_STRUCTURETOOSMALL},
        {"list, before 1.4", [&] { return lineGetProviderListW(0x00010003, &small); },
         LINEERR_INCOMPATIBLEAPIVERSION},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.call(), static_cast<LONG>(row.expected)) << row.name;
    EXPECT_EQ(id, kPrefill);
    EXPECT_EQ(ListValue("ProviderFileName3"), std::nullopt);

    // Too small for the entries: only the fixed part, with the size needed.
    LINEPROVIDERLIST fixed{};
    fixed.dwTotalSize = sizeof fixed;
    ASSERT_EQ(lineGetProviderListA(kVersion, &fixed), 0);
    EXPECT_EQ(fixed.dwNumProviders, 0u);
    EXPECT_EQ(fixed.dwUsedSize, sizeof fixed);
    const DWORD needed = sizeof fixed + 3 * sizeof(LINEPROVIDERENTRY) + 12 + 10 + 15;
    EXPECT_EQ(fixed.dwNeededSize, needed);
    for (const bool wide : {false, true}) {
        constexpr size_t kGuard = 8;
        const DWORD total = wide ? needed * 2 : needed;
        std::vector<uint8_t> buffer(total + kGuard, 0xA5);
        auto* list = reinterpret_cast<LPLINEPROVIDERLIST>(buffer.data());
        list->dwTotalSize = total;
        ASSERT_EQ(wide ? lineGetProviderListW(0x00030001, list) : lineGetProviderListA(kVersion, list), 0);
        ASSERT_EQ(list->dwNumProviders, 3u);
        ASSERT_LE(list->dwUsedSize, total);
        for (size_t i = 0; i < 3; ++i) {
            LINEPROVIDERENTRY e{};
            std::memcpy(&e, buffer.data() + list->dwProviderListOffset + i * sizeof e, sizeof e);
            EXPECT_EQ(e.dwPermanentProviderID, ids[i]);
            ASSERT_LE(e.dwProviderFilenameOffset + e.dwProviderFilenameSize, list->dwUsedSize);
            const uint8_t* name = buffer.data() + e.dwProviderFilenameOffset;
            std::string text;
            for (size_t c = 0; c + 1 < e.dwProviderFilenameSize / (wide ? 2 : 1); ++c)
                text.push_back(static_cast<char>(name[wide ? 2 * c : c]));
            EXPECT_EQ(text, files[i]);
        }
        EXPECT_EQ(std::vector<uint8_t>(buffer.end() - kGuard, buffer.end()),
                  std::vector<uint8_t>(kGuard, 0xA5));
    }

    ASSERT_EQ(lineRemoveProvider(4, nullptr), 0);
    EXPECT_EQ(ListValue("ProviderFileName1"), "C:\\x\\third.tsp");
    EXPECT_EQ(ListValue("ProviderFileName2"), std::nullopt);
    LINEPROVIDERLIST after{};
    after.dwTotalSize = sizeof after;
    ASSERT_EQ(lineGetProviderListA(kVersion, &after), 0);
    EXPECT_EQ(after.dwNeededSize, sizeof after + 2 * sizeof(LINEPROVIDERENTRY) + 12 + 15);
    EXPECT_EQ(lineRemoveProvider(4, nullptr), static_cast<LONG>(LINEERR_INVALPARAM));
    memplat::reset();
}

// ------------------------------------------ the real provider and the set

int g_anchor;

const ProviderApi kRealApi = [] {
    ProviderApi api;
    api.providerEnumDevices = TSPI_providerEnumDevices;
    api.providerInit = TSPI_providerInit;
    api.providerShutdown = TSPI_providerShutdown;
    api.lineNegotiateTSPIVersion = TSPI_lineNegotiateTSPIVersion;
    api.lineOpen = TSPI_lineOpen;
    api.lineClose = TSPI_lineClose;
    api.lineSetStatusMessages = TSPI_lineSetStatusMessages;
    api.lineGetDevCaps = TSPI_lineGetDevCaps;
    api.lineGetAddressCaps = TSPI_lineGetAddressCaps;
    api.lineGetAddressStatus = TSPI_lineGetAddressStatus;
    api.lineGetCallStatus = TSPI_lineGetCallStatus;
    api.lineGetCallInfo = TSPI_lineGetCallInfo;
    api.lineGetCallAddressID = TSPI_lineGetCallAddressID;
    api.lineGetID = TSPI_lineGetID;
    api.lineMakeCall = TSPI_lineMakeCall;
    api.lineDial = TSPI_lineDial;
    api.lineDrop = TSPI_lineDrop;
    api.lineAnswer = TSPI_lineAnswer;
    api.lineHold = TSPI_lineHold;
    api.lineUnhold = TSPI_lineUnhold;
    api.linePickup = TSPI_linePickup;
    api.lineForward = TSPI_lineForward;
    api.lineSetupTransfer = TSPI_lineSetupTransfer;
    api.lineCompleteTransfer = TSPI_lineCompleteTransfer;
    api.lineBlindTransfer = TSPI_lineBlindTransfer;
    api.lineGenerateDigits = TSPI_lineGenerateDigits;
    api.lineCloseCall = TSPI_lineCloseCall;
    api.attach = [] {
        FreshProcess();
        TraceResetForTest(0);
        ProviderAttach(&g_anchor);
    };
    api.detach = ProviderDetach;
    return api;
}();

class SetCallTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        tapiapp::UseProvider(&kRealApi);
        DWORD devices = 0;
        ASSERT_EQ(Initialize(&app, &devices), 0);
        ASSERT_EQ(devices, 1u);
        ASSERT_EQ(lineOpenA(app.handle, 0, &line, kVersion, 0, 5, LINECALLPRIVILEGE_OWNER,
                            LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
                  0);
        ASSERT_GE(wire.TicksUntil([] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; }, 600), 0);
        ASSERT_TRUE(wire.Ticks(20));
        app.Drain();
    }
    void TearDown() override {
        if (app.handle != 0) {
            EXPECT_EQ(lineShutdown(app.handle), 0);
        }
        tapiapp::UseProvider(nullptr);
        ProviderTest::TearDown();
    }

    // Ticks until the application has heard `word`; everything heard.
    std::vector<std::string> Until(const std::string& word, int limit = 200) {
        std::vector<std::string> heard;
        for (int i = 0; i < limit; ++i) {
            for (const std::string& w : app.Drain())
                heard.push_back(w);
            if (std::find(heard.begin(), heard.end(), word) != heard.end())
                return heard;
            if (!wire.Ticks(1))
                break;
        }
        ADD_FAILURE() << "never heard " << word;
        return heard;
    }

    void Sim(const char* command) {
        uint32_t wait = 0;
        std::string error;
        ASSERT_TRUE(sim::sim_run_command(wire.sim, command, &wait, &error)) << error;
        wire.Pump();
    }

    SimWire wire{SetFrom(sim::default_set_text())};
    App app;
    HLINE line = 0;
};

// What a client asks before it calls: versions, the device's and the
// address's capabilities with UTF-8 strings inside dwTotalSize, the
// address status, the line's device identifier.
TEST_F(SetCallTest, LineQueries) {
    DWORD version = 0;
    LINEEXTENSIONID extension{};
    ASSERT_EQ(lineNegotiateAPIVersion(app.handle, 0, 0x00010004, 0x00030000, &version, &extension), 0);
    EXPECT_EQ(version, kVersion);
    EXPECT_EQ(lineNegotiateAPIVersion(app.handle, 1, kVersion, kVersion, &version, &extension),
              static_cast<LONG>(LINEERR_BADDEVICEID));

    constexpr DWORD kTotal = 600;
    constexpr size_t kGuard = 16;
    std::vector<uint8_t> buffer(kTotal + kGuard, 0xA5);
    auto* caps = reinterpret_cast<LPLINEDEVCAPS>(buffer.data());
    caps->dwTotalSize = kTotal;
    ASSERT_EQ(lineGetDevCapsA(app.handle, 0, kVersion, 0, caps), 0);
    EXPECT_GE(caps->dwNumAddresses, 1u);
    ASSERT_GT(caps->dwLineNameSize, 1u);
    ASSERT_LE(caps->dwLineNameOffset + caps->dwLineNameSize, kTotal);
    const std::string name(reinterpret_cast<const char*>(buffer.data() + caps->dwLineNameOffset),
                           caps->dwLineNameSize - 1);
    EXPECT_EQ(name.find('\0'), std::string::npos) << name;
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(std::vector<uint8_t>(buffer.end() - kGuard, buffer.end()), std::vector<uint8_t>(kGuard, 0xA5));
    caps->dwTotalSize = tapiapp::LINEDEVCAPS_FIXED_SIZE - 1;
    EXPECT_EQ(lineGetDevCapsA(app.handle, 0, kVersion, 0, caps),
              static_cast<LONG>(LINEERR_STRUCTURETOOSMALL));

    auto* address = reinterpret_cast<LPLINEADDRESSCAPS>(buffer.data());
    address->dwTotalSize = kTotal;
    ASSERT_EQ(lineGetAddressCapsA(app.handle, 0, 0, kVersion, 0, address), 0);
    EXPECT_NE(address->dwCallFeatures, 0u);
    auto* status = reinterpret_cast<LPLINEADDRESSSTATUS>(buffer.data());
    status->dwTotalSize = kTotal;
    ASSERT_EQ(lineGetAddressStatusA(line, 0, status), 0);
    EXPECT_NE(status->dwAddressFeatures & LINEADDRFEATURE_MAKECALL, 0u);

    auto* id = reinterpret_cast<LPVARSTRING>(buffer.data());
    id->dwTotalSize = 64;
    ASSERT_EQ(lineGetIDA(line, 0, 0, LINECALLSELECT_LINE, id, "tapi/line"), 0);
    EXPECT_EQ(id->dwStringFormat, static_cast<DWORD>(STRINGFORMAT_BINARY));
    ASSERT_EQ(id->dwStringSize, sizeof(DWORD));
    DWORD device = kPrefill;
    std::memcpy(&device, buffer.data() + id->dwStringOffset, sizeof device);
    EXPECT_EQ(device, 0u);
}

TEST_F(SetCallTest, CallMadeAnsweredByThePartyAndDropped) {
    HCALL call = 0;
    const LONG id = lineMakeCallA(line, &call, "2005", 0, nullptr);
    ASSERT_GT(id, 0);
    std::vector<std::string> heard = Until("call RINGBACK");
    EXPECT_EQ(heard, (std::vector<std::string>{"reply ok", "call DIALTONE owner", "call DIALING",
                                               "call PROCEEDING", "call RINGBACK"}));
    EXPECT_NE(call, 0u);
    Sim("answer");
    heard = Until("info CONNECTEDID");
    EXPECT_EQ(heard, (std::vector<std::string>{"info CALLEDID", "call CONNECTED", "info CONNECTEDID"}));

    std::vector<uint8_t> buffer(1024, 0xFF);
    auto* info = reinterpret_cast<LPLINECALLINFO>(buffer.data());
    info->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetCallInfoA(call, info), 0);
    EXPECT_EQ(info->hLine, line);
    EXPECT_EQ(info->dwNumOwners, 1u);
    EXPECT_EQ(info->dwNumMonitors, 0u);
    ASSERT_GT(info->dwAppNameSize, 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data() + info->dwAppNameOffset), "core test");
    LINECALLSTATUS status{};
    status.dwTotalSize = sizeof status;
    ASSERT_EQ(lineGetCallStatus(call, &status), 0);
    EXPECT_EQ(status.dwCallState, static_cast<DWORD>(LINECALLSTATE_CONNECTED));
    EXPECT_EQ(status.dwCallPrivilege, static_cast<DWORD>(LINECALLPRIVILEGE_OWNER));
    EXPECT_EQ(lineDeallocateCall(call), static_cast<LONG>(LINEERR_INVALCALLSTATE));

    ASSERT_GT(lineDrop(call, nullptr, 0), 0);
    heard = Until("reply ok");
    EXPECT_EQ(heard, (std::vector<std::string>{"call DISCONNECTED", "call IDLE", "reply ok"}));
    for (const LINEMESSAGE& m : app.messages) {
        if (m.dwMessageID == LINE_CALLSTATE) {
            EXPECT_EQ(m.hDevice, call);
        }
    }
    EXPECT_EQ(lineDeallocateCall(call), 0);
    EXPECT_EQ(lineGetCallStatus(call, &status), static_cast<LONG>(LINEERR_INVALCALLHANDLE));
}

TEST_F(SetCallTest, IncomingCallAnswered) {
    Sim("call 1 2005");
    std::vector<std::string> heard = Until("info CALLERID|REASON|CALLEDID|ORIGIN");
    EXPECT_EQ(heard, (std::vector<std::string>{"new call owner", "call OFFERING owner",
                                               "info CALLERID|REASON|CALLEDID|ORIGIN"}));
    const LINEMESSAGE& added = app.messages[app.messages.size() - 3];
    ASSERT_EQ(added.dwMessageID, static_cast<DWORD>(LINE_APPNEWCALL));
    EXPECT_EQ(added.hDevice, line);
    EXPECT_EQ(added.dwCallbackInstance, 5u);
    const HCALL call = static_cast<HCALL>(added.dwParam2);
    EXPECT_EQ(app.messages.back().hDevice, call);
    ASSERT_GT(lineAnswer(call, nullptr, 0), 0);
    heard = Until("info CONNECTEDID");
    EXPECT_EQ(heard, (std::vector<std::string>{"reply ok", "call CONNECTED", "info CONNECTEDID"}));
    ASSERT_GT(lineHold(call), 0);
    heard = Until("call ONHOLD");
    ASSERT_GT(lineUnhold(call), 0);
    std::vector<std::string> more = Until("call CONNECTED");
    heard.insert(heard.end(), more.begin(), more.end());
    EXPECT_EQ(heard, (std::vector<std::string>{"reply ok", "call ONHOLD", "reply ok", "call CONNECTED"}));
    ASSERT_GT(lineDrop(call, nullptr, 0), 0);
    Until("call IDLE");
    EXPECT_EQ(lineDeallocateCall(call), 0);
}

}  // namespace
}  // namespace zq::test
