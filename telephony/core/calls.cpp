// The call functions. The asynchronous ones share one course: the handles
// resolved and the request (with the call it creates) reserved under the
// lock, the provider called without it, then the outcome settled; the
// request's LINE_REPLY comes from the completion procedure.
#include <cstddef>

#include "state.h"
#include "wide.h"

namespace zq::tapiapp {

namespace {

// What a request is made on, resolved under the lock.
struct Target {
    size_t app = kNone;
    size_t open = kNone;
    size_t device = kNone;
    size_t call = kNone;
    DWORD_PTR instance = 0;
    HDRVLINE hdLine = nullptr;
    HDRVCALL hdCall = nullptr;
};

enum class Creates : uint8_t {
    Nothing,
    Call,       // the provider always creates it
    MaybeCall,  // it may not: a forward's consultation call
};

// Written by a provider that creates no call where it may not.
const HDRVCALL kNoCall = reinterpret_cast<HDRVCALL>(UINTPTR_MAX);

LONG OnLine(HLINE hLine, Target* t) {
    const OpenSlot* open = FindOpen(hLine, &t->open);
    if (open == nullptr)
        return LINEERR_INVALLINEHANDLE;
    t->app = open->app;
    t->device = open->device;
    t->instance = open->instance;
    t->hdLine = g_core.devices[open->device].hdLine;
    return 0;
}

// A call the caller must own for what it asks.
LONG OnOwnedCall(HCALL hCall, Target* t, LONG invalid = LINEERR_INVALCALLHANDLE) {
    const CallHandleSlot* handle = FindCallHandle(hCall);
    if (handle == nullptr)
        return invalid;
    if (handle->privilege != LINECALLPRIVILEGE_OWNER)
        return LINEERR_NOTOWNER;
    const OpenSlot& open = g_core.opens[handle->open];
    const CallSlot& call = g_core.calls[handle->call];
    t->app = open.app;
    t->open = handle->open;
    t->device = call.device;
    t->call = handle->call;
    t->instance = open.instance;
    t->hdLine = g_core.devices[call.device].hdLine;
    t->hdCall = call.hdCall;
    return 0;
}

// Records the provider's outcome. A synchronous failure frees everything
// the request reserved (a reply it may have sent already is then never
// delivered); an accepted request keeps its slot until its reply is taken.
LONG Settle(size_t request, DRV_REQUESTID id, LONG result, Creates creates, HDRVCALL hdNew) {
    std::lock_guard lock(g_lock);
    RequestSlot& q = g_core.requests[request];
    if (!q.used || q.id != id)
        return result < 0 ? result : static_cast<LONG>(id);  // the application shut down meanwhile
    if (result < 0) {
        DropReservation(q);
        FreeRequest(request);
        g_messageCv.notify_all();
        return result;
    }
    q.returned = true;
    if (q.newCall != kNone) {
        if (creates == Creates::MaybeCall && (hdNew == kNoCall || hdNew == nullptr)) {
            DropReservation(q);
        } else {
            g_core.calls[q.newCall].hdCall = hdNew;
            g_core.calls[q.newCall].known = true;
        }
    }
    if (q.completed && q.result != 0)
        DropReservation(q);
    // A reply that came while the provider was still in its function has
    // been waiting at the head of the queue: the application is woken again.
    AppSlot& app = g_core.apps[q.app];
    if (q.completed && !app.queue.empty() && app.waker != nullptr && app.waker->set != nullptr)
        app.waker->set(app.wakerValue);
    g_messageCv.notify_all();
    return static_cast<LONG>(id);
}

// One asynchronous request. resolve fills the target under the lock (its
// error ends the request); available says whether the provider has the
// function; prepare(slot) may note more in the reserved request under the
// lock; call(id, htNew, &hdNew) asks the provider.
template <typename Resolve, typename Prepare, typename Call>
LONG Request(Resolve resolve, bool available, Creates creates, LPHCALL lphCall, Prepare prepare, Call call) {
    size_t request = kNone;
    DRV_REQUESTID id = 0;
    HTAPICALL htNew = nullptr;
    {
        std::lock_guard lock(g_lock);
        Target t;
        if (const LONG e = resolve(t); e != 0)
            return e;
        if (!available)
            return LINEERR_OPERATIONUNAVAIL;
        if (creates != Creates::Nothing && lphCall == nullptr)
            return LINEERR_INVALPOINTER;
        request = NewRequest(t.app, t.instance);
        if (request == kNone)
            return LINEERR_RESOURCEUNAVAIL;
        RequestSlot& q = g_core.requests[request];
        id = q.id;
        if (creates != Creates::Nothing) {
            const size_t c = NewCall(t.device);
            const size_t h = c == kNone ? kNone : NewCallHandle(c, t.open, LINECALLPRIVILEGE_OWNER);
            if (h == kNone) {
                if (c != kNone)
                    ReleaseSlot(g_core.calls[c]);
                FreeRequest(request);
                return LINEERR_RESOURCEUNAVAIL;
            }
            g_core.calls[c].appName = g_core.apps[t.app].name;
            q.fixup = Fixup::NewCall;
            q.newCall = c;
            q.newHandle = CallHandle(h);
            q.target = lphCall;
            htNew = TapiCall(c);
        }
        prepare(q);
    }
    HDRVCALL hdNew = kNoCall;
    const LONG result = call(id, htNew, &hdNew);
    return Settle(request, id, result, creates, hdNew);
}

template <typename Resolve, typename Call>
LONG Request(Resolve resolve, bool available, Creates creates, LPHCALL lphCall, Call call) {
    return Request(
        resolve, available, creates, lphCall, [](RequestSlot&) {}, call);
}

// The many requests on a call that create nothing.
template <typename Call>
LONG CallRequest(HCALL hCall, bool available, Call call) {
    HDRVCALL hdCall = nullptr;
    return Request(
        [&](Target& t) {
            const LONG e = OnOwnedCall(hCall, &t);
            hdCall = t.hdCall;
            return e;
        },
        available, Creates::Nothing, nullptr,
        [&](DRV_REQUESTID id, HTAPICALL, HDRVCALL*) { return call(id, hdCall); });
}

}  // namespace

}  // namespace zq::tapiapp

using namespace zq::tapiapp;

extern "C" {

LONG WINAPI lineMakeCallA(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                          LPLINECALLPARAMS const lpCallParams) {
    ProviderCall provider;
    std::vector<uint8_t> params;
    if (lpCallParams != nullptr)
        if (const LONG e = AnsiToWideCallParams(lpCallParams, params); e != 0)
            return e;
    const WideArg dest(lpszDestAddress);
    const auto make = provider.api().lineMakeCall;
    HDRVLINE hdLine = nullptr;
    return Request(
        [&](Target& t) {
            const LONG e = OnLine(hLine, &t);
            hdLine = t.hdLine;
            return e;
        },
        make != nullptr, Creates::Call, lphCall,
        [&](DRV_REQUESTID id, HTAPICALL htCall, HDRVCALL* hdCall) {
            return make(id, hdLine, htCall, hdCall, dest.get(), dwCountryCode,
                        params.empty() ? nullptr : reinterpret_cast<LPLINECALLPARAMS>(params.data()));
        });
}

LONG WINAPI lineDialA(HCALL hCall, LPCSTR lpszDestAddress, DWORD dwCountryCode) {
    ProviderCall provider;
    if (lpszDestAddress == nullptr)
        return LINEERR_INVALPOINTER;
    const WideArg dest(lpszDestAddress);
    const auto dial = provider.api().lineDial;
    return CallRequest(hCall, dial != nullptr, [&](DRV_REQUESTID id, HDRVCALL hd) {
        return dial(id, hd, dest.get(), dwCountryCode);
    });
}

LONG WINAPI lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    ProviderCall provider;
    const auto drop = provider.api().lineDrop;
    return CallRequest(hCall, drop != nullptr, [&](DRV_REQUESTID id, HDRVCALL hd) {
        return drop(id, hd, lpsUserUserInfo, lpsUserUserInfo != nullptr ? dwSize : 0);
    });
}

LONG WINAPI lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    ProviderCall provider;
    const auto answer = provider.api().lineAnswer;
    {
        // The application that answers a call is the one it is known by.
        std::lock_guard lock(g_lock);
        if (const CallHandleSlot* h = FindCallHandle(hCall); h != nullptr) {
            CallSlot& call = g_core.calls[h->call];
            if (call.appName.empty())
                call.appName = g_core.apps[g_core.opens[h->open].app].name;
        }
    }
    return CallRequest(hCall, answer != nullptr, [&](DRV_REQUESTID id, HDRVCALL hd) {
        return answer(id, hd, lpsUserUserInfo, lpsUserUserInfo != nullptr ? dwSize : 0);
    });
}

LONG WINAPI lineHold(HCALL hCall) {
    ProviderCall provider;
    const auto hold = provider.api().lineHold;
    return CallRequest(hCall, hold != nullptr, [&](DRV_REQUESTID id, HDRVCALL hd) { return hold(id, hd); });
}

LONG WINAPI lineUnhold(HCALL hCall) {
    ProviderCall provider;
    const auto unhold = provider.api().lineUnhold;
    return CallRequest(hCall, unhold != nullptr,
                       [&](DRV_REQUESTID id, HDRVCALL hd) { return unhold(id, hd); });
}

LONG WINAPI lineRedirectA(HCALL hCall, LPCSTR lpszDestAddress, DWORD dwCountryCode) {
    ProviderCall provider;
    if (lpszDestAddress == nullptr)
        return LINEERR_INVALPOINTER;
    const WideArg dest(lpszDestAddress);
    const auto redirect = provider.api().lineRedirect;
    return CallRequest(hCall, redirect != nullptr, [&](DRV_REQUESTID id, HDRVCALL hd) {
        return redirect(id, hd, dest.get(), dwCountryCode);
    });
}

LONG WINAPI lineBlindTransferA(HCALL hCall, LPCSTR lpszDestAddress, DWORD dwCountryCode) {
    ProviderCall provider;
    if (lpszDestAddress == nullptr)
        return LINEERR_INVALPOINTER;
    const WideArg dest(lpszDestAddress);
    const auto transfer = provider.api().lineBlindTransfer;
    return CallRequest(hCall, transfer != nullptr, [&](DRV_REQUESTID id, HDRVCALL hd) {
        return transfer(id, hd, dest.get(), dwCountryCode);
    });
}

LONG WINAPI lineCompleteCall(HCALL hCall, LPDWORD lpdwCompletionID, DWORD dwCompletionMode,
                             DWORD dwMessageID) {
    ProviderCall provider;
    if (lpdwCompletionID == nullptr)
        return LINEERR_INVALPOINTER;
    const auto complete = provider.api().lineCompleteCall;
    HDRVCALL hdCall = nullptr;
    LPDWORD completionId = nullptr;
    return Request(
        [&](Target& t) {
            const LONG e = OnOwnedCall(hCall, &t);
            hdCall = t.hdCall;
            return e;
        },
        complete != nullptr, Creates::Nothing, nullptr,
        [&](RequestSlot& q) {
            // The provider writes the identifier into the request; the
            // caller gets it with the reply.
            q.fixup = Fixup::CompletionId;
            q.completionTarget = lpdwCompletionID;
            completionId = &q.completionId;
        },
        [&](DRV_REQUESTID id, HTAPICALL, HDRVCALL*) {
            return complete(id, hdCall, completionId, dwCompletionMode, dwMessageID);
        });
}

LONG WINAPI lineParkA(HCALL hCall, DWORD dwParkMode, LPCSTR lpszDirAddress, LPVARSTRING lpNonDirAddress) {
    ProviderCall provider;
    const auto park = provider.api().linePark;
    const WideArg address(lpszDirAddress);
    DWORD total = 0;
    if (dwParkMode == LINEPARKMODE_NONDIRECTED) {
        if (lpNonDirAddress == nullptr)
            return LINEERR_INVALPOINTER;
        total = ReadDword(lpNonDirAddress, 0);
        if (total < kFixedSize(StructKind::VarString))
            return LINEERR_STRUCTURETOOSMALL;
    }
    HDRVCALL hdCall = nullptr;
    LPVARSTRING wide = nullptr;
    return Request(
        [&](Target& t) {
            const LONG e = OnOwnedCall(hCall, &t);
            hdCall = t.hdCall;
            return e;
        },
        park != nullptr, Creates::Nothing, nullptr,
        [&](RequestSlot& q) {
            // The provider fills a wide copy, converted into the caller's
            // VARSTRING with the reply.
            if (total == 0)
                return;
            q.fixup = Fixup::Park;
            q.wide = Scratch(total);
            q.parkTarget = lpNonDirAddress;
            wide = reinterpret_cast<LPVARSTRING>(q.wide.data());
        },
        [&](DRV_REQUESTID id, HTAPICALL, HDRVCALL*) {
            return park(id, hdCall, dwParkMode, address.get(), wide);
        });
}

LONG WINAPI linePickupA(HLINE hLine, DWORD dwAddressID, LPHCALL lphCall, LPCSTR lpszDestAddress,
                        LPCSTR lpszGroupID) {
    ProviderCall provider;
    const auto pickup = provider.api().linePickup;
    const WideArg dest(lpszDestAddress);
    const WideArg group(lpszGroupID);
    HDRVLINE hdLine = nullptr;
    return Request(
        [&](Target& t) {
            const LONG e = OnLine(hLine, &t);
            hdLine = t.hdLine;
            return e;
        },
        pickup != nullptr, Creates::Call, lphCall,
        [&](DRV_REQUESTID id, HTAPICALL htCall, HDRVCALL* hdCall) {
            return pickup(id, hdLine, dwAddressID, htCall, hdCall, dest.get(), group.get());
        });
}

LONG WINAPI lineUnparkA(HLINE hLine, DWORD dwAddressID, LPHCALL lphCall, LPCSTR lpszDestAddress) {
    ProviderCall provider;
    if (lpszDestAddress == nullptr)
        return LINEERR_INVALPOINTER;
    const auto unpark = provider.api().lineUnpark;
    const WideArg dest(lpszDestAddress);
    HDRVLINE hdLine = nullptr;
    return Request(
        [&](Target& t) {
            const LONG e = OnLine(hLine, &t);
            hdLine = t.hdLine;
            return e;
        },
        unpark != nullptr, Creates::Call, lphCall,
        [&](DRV_REQUESTID id, HTAPICALL htCall, HDRVCALL* hdCall) {
            return unpark(id, hdLine, dwAddressID, htCall, hdCall, dest.get());
        });
}

LONG WINAPI lineForwardA(HLINE hLine, DWORD bAllAddresses, DWORD dwAddressID,
                         LPLINEFORWARDLIST const lpForwardList, DWORD dwNumRingsNoAnswer,
                         LPHCALL lphConsultCall, LPLINECALLPARAMS const lpCallParams) {
    ProviderCall provider;
    std::vector<uint8_t> list, params;
    if (lpForwardList != nullptr)
        if (const LONG e = AnsiToWideForwardList(lpForwardList, list); e != 0)
            return e;
    if (lpCallParams != nullptr)
        if (const LONG e = AnsiToWideCallParams(lpCallParams, params); e != 0)
            return e;
    const auto forward = provider.api().lineForward;
    HDRVLINE hdLine = nullptr;
    return Request(
        [&](Target& t) {
            const LONG e = OnLine(hLine, &t);
            hdLine = t.hdLine;
            return e;
        },
        forward != nullptr, Creates::MaybeCall, lphConsultCall,
        [&](DRV_REQUESTID id, HTAPICALL htCall, HDRVCALL* hdCall) {
            return forward(id, hdLine, bAllAddresses, dwAddressID,
                           list.empty() ? nullptr : reinterpret_cast<LPLINEFORWARDLIST>(list.data()),
                           dwNumRingsNoAnswer, htCall, hdCall,
                           params.empty() ? nullptr : reinterpret_cast<LPLINECALLPARAMS>(params.data()));
        });
}

LONG WINAPI lineSetupTransferA(HCALL hCall, LPHCALL lphConsultCall, LPLINECALLPARAMS const lpCallParams) {
    ProviderCall provider;
    std::vector<uint8_t> params;
    if (lpCallParams != nullptr)
        if (const LONG e = AnsiToWideCallParams(lpCallParams, params); e != 0)
            return e;
    const auto setup = provider.api().lineSetupTransfer;
    HDRVCALL hdCall = nullptr;
    return Request(
        [&](Target& t) {
            const LONG e = OnOwnedCall(hCall, &t);
            hdCall = t.hdCall;
            return e;
        },
        setup != nullptr, Creates::Call, lphConsultCall,
        [&](DRV_REQUESTID id, HTAPICALL htCall, HDRVCALL* hdNew) {
            return setup(id, hdCall, htCall, hdNew,
                         params.empty() ? nullptr : reinterpret_cast<LPLINECALLPARAMS>(params.data()));
        });
}

LONG WINAPI lineCompleteTransfer(HCALL hCall, HCALL hConsultCall, LPHCALL lphConfCall, DWORD dwTransferMode) {
    ProviderCall provider;
    if (dwTransferMode != LINETRANSFERMODE_TRANSFER && dwTransferMode != LINETRANSFERMODE_CONFERENCE)
        return LINEERR_INVALTRANSFERMODE;
    const bool conference = dwTransferMode == LINETRANSFERMODE_CONFERENCE;
    const auto complete = provider.api().lineCompleteTransfer;
    HDRVCALL hdCall = nullptr, hdConsult = nullptr;
    return Request(
        [&](Target& t) {
            Target consult;
            LONG e = OnOwnedCall(hCall, &t);
            if (e == 0)
                e = OnOwnedCall(hConsultCall, &consult, LINEERR_INVALCONSULTCALLHANDLE);
            hdCall = t.hdCall;
            hdConsult = consult.hdCall;
            return e;
        },
        complete != nullptr, conference ? Creates::Call : Creates::Nothing, lphConfCall,
        [&](DRV_REQUESTID id, HTAPICALL htConf, HDRVCALL* hdConf) {
            return complete(id, hdCall, hdConsult, htConf, conference ? hdConf : nullptr, dwTransferMode);
        });
}

LONG WINAPI lineDevSpecific(HLINE hLine, DWORD dwAddressID, HCALL hCall, LPVOID lpParams, DWORD dwSize) {
    ProviderCall provider;
    const auto specific = provider.api().lineDevSpecific;
    HDRVLINE hdLine = nullptr;
    HDRVCALL hdCall = nullptr;
    return Request(
        [&](Target& t) {
            LONG e = OnLine(hLine, &t);
            hdLine = t.hdLine;
            if (e == 0 && hCall != 0) {
                Target call;
                e = OnOwnedCall(hCall, &call);
                hdCall = call.hdCall;
            }
            return e;
        },
        specific != nullptr, Creates::Nothing, nullptr,
        [&](DRV_REQUESTID id, HTAPICALL, HDRVCALL*) {
            // The buffer stays the caller's until the reply.
            return specific(id, hdLine, dwAddressID, hdCall, lpParams, lpParams != nullptr ? dwSize : 0);
        });
}

LONG WINAPI lineGenerateDigitsA(HCALL hCall, DWORD dwDigitMode, LPCSTR lpszDigits, DWORD dwDuration) {
    ProviderCall provider;
    const auto generate = provider.api().lineGenerateDigits;
    HDRVCALL hdCall = nullptr;
    DWORD endToEnd = 0;
    {
        std::lock_guard lock(g_lock);
        Target t;
        if (const LONG e = OnOwnedCall(hCall, &t); e != 0)
            return e;
        if (dwDigitMode != LINEDIGITMODE_PULSE && dwDigitMode != LINEDIGITMODE_DTMF)
            return LINEERR_INVALDIGITMODE;
        if (generate == nullptr)
            return LINEERR_OPERATIONUNAVAIL;
        hdCall = t.hdCall;
        endToEnd = ++g_core.lastEndToEndId;
    }
    const WideArg digits(lpszDigits);
    return generate(hdCall, endToEnd, dwDigitMode, digits.get(), dwDuration);
}

LONG WINAPI lineDeallocateCall(HCALL hCall) {
    ProviderCall provider;
    HDRVCALL hdCall = nullptr;
    bool close = false;
    {
        std::lock_guard lock(g_lock);
        size_t h = kNone;
        const CallHandleSlot* handle = FindCallHandle(hCall, &h);
        if (handle == nullptr)
            return LINEERR_INVALCALLHANDLE;
        const CallSlot& call = g_core.calls[handle->call];
        // The sole owner of a call still going cannot let go of it.
        if (handle->privilege == LINECALLPRIVILEGE_OWNER && call.state != 0 &&
            call.state != LINECALLSTATE_IDLE) {
            int owners = 0;
            for (const CallHandleSlot& other : g_core.handles)
                owners +=
                    other.used && other.call == handle->call && other.privilege == LINECALLPRIVILEGE_OWNER;
            if (owners == 1)
                return LINEERR_INVALCALLSTATE;
        }
        close = FreeCallHandle(h, &hdCall);
    }
    if (close && provider.api().lineCloseCall != nullptr)
        provider.api().lineCloseCall(hdCall);
    return 0;
}

}  // extern "C"
