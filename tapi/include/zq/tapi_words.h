// TAPI's line and phone event values in words, for people reading what a
// provider reported (the hosts print them, the tests compare them).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "zq/tapi.h"

namespace zq::words {

struct BitName {
    uint32_t bit;
    const char* name;
};

inline constexpr std::array<BitName, 17> kCallStates{
    {{LINECALLSTATE_IDLE, "IDLE"},
     {LINECALLSTATE_OFFERING, "OFFERING"},
     {LINECALLSTATE_ACCEPTED, "ACCEPTED"},
     {LINECALLSTATE_DIALTONE, "DIALTONE"},
     {LINECALLSTATE_DIALING, "DIALING"},
     {LINECALLSTATE_RINGBACK, "RINGBACK"},
     {LINECALLSTATE_BUSY, "BUSY"},
     {LINECALLSTATE_SPECIALINFO, "SPECIALINFO"},
     {LINECALLSTATE_CONNECTED, "CONNECTED"},
     {LINECALLSTATE_PROCEEDING, "PROCEEDING"},
     {LINECALLSTATE_ONHOLD, "ONHOLD"},
     {LINECALLSTATE_CONFERENCED, "CONFERENCED"},
     {LINECALLSTATE_ONHOLDPENDCONF, "ONHOLDPENDCONF"},
     {LINECALLSTATE_ONHOLDPENDTRANSFER, "ONHOLDPENDTRANSFER"},
     {LINECALLSTATE_DISCONNECTED, "DISCONNECTED"},
     {LINECALLSTATE_UNKNOWN, "UNKNOWN"},
     {0, nullptr}}};

inline constexpr std::array<BitName, 9> kCallInfoStates{{{LINECALLINFOSTATE_CALLERID, "CALLERID"},
                                                         {LINECALLINFOSTATE_REASON, "REASON"},
                                                         {LINECALLINFOSTATE_REDIRECTIONID, "REDIRECTIONID"},
                                                         {LINECALLINFOSTATE_REDIRECTINGID, "REDIRECTINGID"},
                                                         {LINECALLINFOSTATE_CALLEDID, "CALLEDID"},
                                                         {LINECALLINFOSTATE_CONNECTEDID, "CONNECTEDID"},
                                                         {LINECALLINFOSTATE_APPSPECIFIC, "APPSPECIFIC"},
                                                         {LINECALLINFOSTATE_ORIGIN, "ORIGIN"},
                                                         {0, nullptr}}};

inline constexpr std::array<BitName, 7> kDevStates{{{LINEDEVSTATE_CONNECTED, "CONNECTED"},
                                                    {LINEDEVSTATE_DISCONNECTED, "DISCONNECTED"},
                                                    {LINEDEVSTATE_INSERVICE, "INSERVICE"},
                                                    {LINEDEVSTATE_OUTOFSERVICE, "OUTOFSERVICE"},
                                                    {LINEDEVSTATE_REINIT, "REINIT"},
                                                    {LINEDEVSTATE_OPEN, "OPEN"},
                                                    {0, nullptr}}};

inline constexpr std::array<BitName, 5> kPhoneStates{{{PHONESTATE_DISPLAY, "DISPLAY"},
                                                      {PHONESTATE_LAMP, "LAMP"},
                                                      {PHONESTATE_HANDSETHOOKSWITCH, "HOOKSWITCH"},
                                                      {PHONESTATE_RINGMODE, "RINGMODE"},
                                                      {0, nullptr}}};

// The names of the bits set in value, separated by '|'; bits without a name
// in hexadecimal.
template <size_t N>
std::string Bits(const std::array<BitName, N>& names, uint32_t value) {
    std::string text;
    for (const BitName& entry : names) {
        if (entry.name != nullptr && (value & entry.bit) != 0) {
            text += (text.empty() ? "" : "|") + std::string(entry.name);
            value &= ~entry.bit;
        }
    }
    if (value != 0 || text.empty()) {
        std::array<char, 16> hex{};
        std::snprintf(hex.data(), hex.size(), "0x%x", static_cast<unsigned>(value));
        text += (text.empty() ? "" : "|") + std::string(hex.data());
    }
    return text;
}

inline constexpr std::array<BitName, 32> kLineErrors{
    {{LINEERR_ALLOCATED, "ALLOCATED"},
     {LINEERR_DIALBILLING, "DIALBILLING"},
     {LINEERR_DIALPROMPT, "DIALPROMPT"},
     {LINEERR_INVALADDRESS, "INVALADDRESS"},
     {LINEERR_INVALADDRESSID, "INVALADDRESSID"},
     {LINEERR_INVALAPPHANDLE, "INVALAPPHANDLE"},
     {LINEERR_INVALBEARERMODE, "INVALBEARERMODE"},
     {LINEERR_INVALCALLHANDLE, "INVALCALLHANDLE"},
     {LINEERR_INVALCALLPARAMS, "INVALCALLPARAMS"},
     {LINEERR_INVALCALLSTATE, "INVALCALLSTATE"},
     {LINEERR_INVALCONSULTCALLHANDLE, "INVALCONSULTCALLHANDLE"},
     {LINEERR_INVALDEVICECLASS, "INVALDEVICECLASS"},
     {LINEERR_INVALDIGITMODE, "INVALDIGITMODE"},
     {LINEERR_INVALLINEHANDLE, "INVALLINEHANDLE"},
     {LINEERR_INVALMEDIAMODE, "INVALMEDIAMODE"},
     {LINEERR_INVALPARAM, "INVALPARAM"},
     {LINEERR_INVALPOINTER, "INVALPOINTER"},
     {LINEERR_INVALTRANSFERMODE, "INVALTRANSFERMODE"},
     {LINEERR_NOCONFERENCE, "NOCONFERENCE"},
     {LINEERR_NODEVICE, "NODEVICE"},
     {LINEERR_NODRIVER, "NODRIVER"},
     {LINEERR_NOMEM, "NOMEM"},
     {LINEERR_NOREQUEST, "NOREQUEST"},
     {LINEERR_NOTOWNER, "NOTOWNER"},
     {LINEERR_OPERATIONFAILED, "OPERATIONFAILED"},
     {LINEERR_OPERATIONUNAVAIL, "OPERATIONUNAVAIL"},
     {LINEERR_REINIT, "REINIT"},
     {LINEERR_RESOURCEUNAVAIL, "RESOURCEUNAVAIL"},
     {LINEERR_STRUCTURETOOSMALL, "STRUCTURETOOSMALL"},
     {LINEERR_TARGETNOTFOUND, "TARGETNOTFOUND"},
     {LINEERR_UNINITIALIZED, "UNINITIALIZED"},
     {LINEERR_USERUSERINFOTOOBIG, "USERUSERINFOTOOBIG"}}};

// A request's result: "ok" for 0, a LINEERR_ value by its name, anything
// else in hexadecimal.
inline std::string Result(LONG result) {
    if (result == 0)
        return "ok";
    for (const BitName& e : kLineErrors)
        if (static_cast<uint32_t>(result) == e.bit)
            return e.name;
    std::array<char, 16> hex{};
    std::snprintf(hex.data(), hex.size(), "0x%lx", static_cast<unsigned long>(static_cast<uint32_t>(result)));
    return hex.data();
}

inline std::string CallState(uint32_t state) {
    return Bits(kCallStates, state);
}

inline const char* DisconnectMode(uint32_t mode) {
    switch (mode) {
        case 0:
            return "";
        case LINEDISCONNECTMODE_NORMAL:
            return "NORMAL";
        case LINEDISCONNECTMODE_BUSY:
            return "BUSY";
        case LINEDISCONNECTMODE_NOANSWER:
            return "NOANSWER";
        case LINEDISCONNECTMODE_UNREACHABLE:
            return "UNREACHABLE";
        case LINEDISCONNECTMODE_BADADDRESS:
            return "BADADDRESS";
        default:
            return "other";
    }
}

// A line event as "call 0 OFFERING", "call 0 DISCONNECTED NORMAL",
// "call 30 CONFERENCED", "new call 0", "call 0 info CALLERID|CALLEDID",
// "line INSERVICE|CONNECTED", "line closed". `call` names the call the event
// is for (-1 for a line event).
inline std::string LineEvent(int call, uint32_t msg, uintptr_t p1, uintptr_t p2) {
    const std::string who = "call " + std::to_string(call);
    switch (msg) {
        case LINE_NEWCALL:
            return "new call " + std::to_string(p1);
        case LINE_CALLSTATE: {
            std::string text = who + " " + CallState(static_cast<uint32_t>(p1));
            if (p1 == LINECALLSTATE_DISCONNECTED)
                text += std::string(" ") + DisconnectMode(static_cast<uint32_t>(p2));
            return text;
        }
        case LINE_CALLINFO:
            return who + " info " + Bits(kCallInfoStates, static_cast<uint32_t>(p1));
        case LINE_LINEDEVSTATE:
            return "line " + Bits(kDevStates, static_cast<uint32_t>(p1));
        case LINE_ADDRESSSTATE:
            return "address " + std::to_string(p1) + " state " + std::to_string(p2);
        case LINE_CLOSE:
            return "line closed";
        default:
            return "line event " + std::to_string(msg);
    }
}

// PHONE_STATE as "phone LAMP 3", "phone HOOKSWITCH".
inline std::string PhoneState(uint32_t p1, uint32_t p2) {
    std::string text = "phone " + Bits(kPhoneStates, p1);
    if (p1 == PHONESTATE_LAMP)
        text += " " + std::to_string(p2);
    return text;
}

}  // namespace zq::words
