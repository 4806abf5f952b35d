#include "core/lifecycle.h"

#include <array>
#include <cstring>

#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "tapi/events.h"

namespace zq {

ProviderState g_provider;
LineRecord g_line;
SetTables g_set;
LineSettings g_lineSettings;

namespace {

bool IsLineRecord(const void* handle) {
    return handle == static_cast<const void*>(&g_line);
}

// Every open after the first since load starts from a clean line record.
// While the other device keeps the worker running the record stays as it
// is: clearing it would pull the tables from under the worker and forget
// the other device's TAPI handles.
// A worker that ended by itself (its port could not be used) is forgotten,
// so that the next open starts a new one: TAPI does not close a line whose
// open failed.
void ForgetEndedWorker() {
    if (g_provider.serialThread == nullptr ||
        plat::thread_wait(g_provider.serialThread, 0) != plat::Wait::Object0)
        return;
    plat::thread_close(g_provider.serialThread);
    g_provider.serialThread = nullptr;
    g_provider.serialThreadId = 0;
    g_provider.worker.reset();
}

void ReinitForReopen() {
    ForgetEndedWorker();
    if (++g_provider.openCount > 1 && g_provider.serialThread == nullptr) {
        InitLineRecord(g_provider.permanentProviderId, g_provider.hProvider, g_line.dwDeviceID,
                       g_line.dwPhoneDeviceID, g_line.lpfnCompletionProc);
    }
}

}  // namespace

void ProviderAttach(void* instance) {
    g_provider.moduleInstance = instance;
    TraceAttach();
}

void ProviderDetach() {
    g_provider.moduleInstance = nullptr;
    TraceDetach();
}

LONG WAITLINEMUTEX() {
    if (g_provider.lineMutex.load() == nullptr) {
        // Created free and then waited for like any other time, so that
        // the caller owns it even when another thread (the worker's first
        // tick) or another process made it at the same moment.
        TspTrace(TRACE_ERROR, "MutexLine creation");
        plat::Mutex* created = nullptr;
        const uint32_t err = plat::mutex_create("SP62LineMutex", false, &created);
        if (err != plat::kErrSuccess || created == nullptr) {
            TspTrace(TRACE_ERROR, "MutexLine not created error %d", err);
            return static_cast<LONG>(LINEERR_NODRIVER);
        }
        plat::Mutex* none = nullptr;
        if (!g_provider.lineMutex.compare_exchange_strong(none, created))
            plat::mutex_close(created);
    }
    const plat::Wait w = plat::mutex_wait(g_provider.lineMutex.load(), LINE_MUTEX_WAIT_MS);
    if (w == plat::Wait::Abandoned)
        TspTrace(TRACE_ERROR, "WAITLINEMUTEX PRB WAIT_ABANDONED");
    if (w == plat::Wait::Timeout)
        TspTrace(TRACE_ERROR, "WAITLINEMUTEX PRB WAIT_TIMEOUT");
    return static_cast<LONG>(w);
}

LONG REL_LINE_MUTEX(LONG result) {
    const uint32_t err = plat::mutex_release(g_provider.lineMutex.load());
    if (err != plat::kErrSuccess)
        TspTrace(TRACE_ERROR, "REL_LINE_MUTEX PRB %lx", err);
    return result;
}

LONG StartSerialThread() {
    ForgetEndedWorker();
    if (g_provider.serialThread != nullptr)
        return 1;
    if (g_provider.readyEvent != nullptr)
        plat::event_close(g_provider.readyEvent);
    g_provider.readyEvent = nullptr;
    uint32_t err = plat::event_create("SP62Evt_Serial_Ready", &g_provider.readyEvent);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_ERROR, "EvtSerialReady not created error %d", err);
        return static_cast<LONG>(LINEERR_NODRIVER);
    }
    g_provider.worker = std::make_shared<WorkerControl>();
    g_provider.worker->generation = ++g_provider.generation;
    auto* control = new std::shared_ptr<WorkerControl>(g_provider.worker);
    err =
        plat::thread_create(SerialThreadProc, control, &g_provider.serialThread, &g_provider.serialThreadId);
    if (err != plat::kErrSuccess) {
        delete control;
        g_provider.worker.reset();
        const std::array<TraceArg, 1> args{TraceArg(err)};
        ErrorBox(FormatTrace("Error in creating Serial thread: %d", args));
        TspTrace(TRACE_ERROR, "Thread serial didn't start error %d", err);
        g_provider.serialThread = nullptr;
        return static_cast<LONG>(LINEERR_NODRIVER);
    }
    const plat::Wait w = plat::event_wait(g_provider.readyEvent, READY_WAIT_MS);
    if (w != plat::Wait::Object0) {
        TspTrace(TRACE_ERROR, "Wait Thread serial Ready KO %ld ", static_cast<uint32_t>(w));
        return static_cast<LONG>(LINEERR_NODRIVER);
    }
    TspTrace(TRACE_ERROR, "Wait Thread serial Ready OK");
    WAITLINEMUTEX();
    return 0;
}

LONG StopSerialThread() {
    if (g_provider.serialThread == nullptr)
        return 0;
    TspTrace(TRACE_TSPI, "StopSerialThread Request");
    REL_LINE_MUTEX(0);
    if (g_provider.worker != nullptr)
        g_provider.worker->stop = true;
    const plat::Wait w = plat::thread_wait(g_provider.serialThread, STOP_WAIT_MS);
    if (w == plat::Wait::Abandoned)
        TspTrace(TRACE_ERROR, "StopSerialThread Prb WAIT_ABANDONED SerialThread");
    if (w == plat::Wait::Timeout)
        TspTrace(TRACE_ERROR, "StopSerialThread Prb WAIT_TIMEOUT SerialThread");
    // The request stays with the worker it was made to, even one that has
    // not ended yet; the next worker gets a fresh one.
    g_provider.worker.reset();
    plat::thread_close(g_provider.serialThread);
    g_provider.serialThread = nullptr;
    g_provider.serialThreadId = 0;
    WAITLINEMUTEX();
    return 0;
}

uint32_t SerialThreadProc(void* arg) {
    std::shared_ptr<WorkerControl> control;
    if (arg != nullptr) {
        auto* given = static_cast<std::shared_ptr<WorkerControl>*>(arg);
        control = std::move(*given);
        delete given;
    }
    if (control == nullptr)
        control = std::make_shared<WorkerControl>();
    ResetLinkState();
    const std::string_view port = TextOf(g_line.PortName);
    if (port.size() != 4 || port[3] < '1' || port[3] > '4')
        return 0;

    plat::SerialPort* hcd = SerialOpenComms(port, TextOf(g_line.Speed));
    TspTrace(TRACE_TSPI, "Tentative d'ouverture du port - hcd:%x", hcd);
    if (hcd == nullptr) {
        const uint32_t err = g_port.openError;
        g_port.openFailed = true;
        g_line.lineDevState = 0;
        TspTrace(TRACE_ERROR, "LastError %ld", err);
        plat::event_set(g_provider.readyEvent);
        if (err == plat::kErrAccessDenied) {
            SendCompletion(static_cast<LONG>(LINEERR_ALLOCATED));
            ErrorBox("Serial Port conflict - Check it and try again\n\nAccess denied");
        } else if (err == plat::kErrIrqBusy) {
            SendCompletion(static_cast<LONG>(LINEERR_ALLOCATED));
            ErrorBox("Serial Port conflict - Check it and try again\n\nIrq Busy");
        } else {
            SendCompletion(static_cast<LONG>(LINEERR_OPERATIONFAILED));
            ErrorBox("Serial Port Problem - Check it and try again \n\nAccess Failed");
        }
        return 0;
    }
    plat::event_set(g_provider.readyEvent);

    while (!control->stop) {
        if (!plat::message_dispatch_next())
            break;
    }
    // A worker that outlived its stop while a newer one runs leaves the
    // port and the queue to the newer one.
    if (control->generation != g_provider.generation) {
        TspTrace(TRACE_ERROR, " Serial Thread replaced - ends without closing hcd %lx", g_port.hcd);
        return 0;
    }
    TspTrace(TRACE_ERROR, " Serial Thread after main loop hcd %lx", g_port.hcd);
    FifoClear();
    SerialCloseComms();
    TspTrace(TRACE_ERROR, "Final return Serial Thread hcd %lx", g_port.hcd);
    return 0;
}

void InitLineRecord(uint32_t permanentProviderId, HPROVIDER hProvider, uint32_t lineDeviceId,
                    uint32_t phoneDeviceId, ASYNC_COMPLETION completionProc) {
    g_line = LineRecord{};
    g_line.lpfnCompletionProc = completionProc;
    g_line.dwDeviceID = lineDeviceId;
    g_line.hProvider = hProvider;
    g_line.dwPhoneDeviceID = phoneDeviceId;
    g_line.lineDevState = 1;
    g_line.dial = DialSettings{2000, 95, 95, 60000};
    g_line.cref = -1;
    g_line.consultcref = -1;
    ResetEventState();
    InitForwarding();

    LoadIniStrings(permanentProviderId);
    if (TextOf(g_line.PortName).size() != 4) {
        TspTrace(TRACE_ERROR, "Pb - pas de port spécifié dans le telephon.ini -> providerconfig");
        TSPI_providerConfig(static_cast<HWND>(plat::active_window()), permanentProviderId);
        LoadIniStrings(permanentProviderId);
        if (TextOf(g_line.PortName).size() != 4) {
            TspTrace(TRACE_ERROR, "pas de choix à provider config -> on stoppe le SP");
            TSPI_providerShutdown(0, permanentProviderId);
        }
    }
}

}  // namespace zq

using namespace zq;

extern "C" {

LONG WINAPI TSPI_providerInstall(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TspTrace(TRACE_TSPI, "Entering TSPI_providerInstall(%x,%lx)", hwndOwner, dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerRemove(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TspTrace(TRACE_TSPI, "Entering TSPI_providerRemove(%x,%lx)", hwndOwner, dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerConfig(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TspTrace(TRACE_TSPI, "Entering TSPI_providerConfig(%x,%lx)", hwndOwner, dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                     HPROVIDER hProvider, LINEEVENT /*lpfnLineCreateProc*/,
                                     PHONEEVENT /*lpfnPhoneCreateProc*/) {
    TspTrace(TRACE_TSPI, "TSPI_providerEnumDevices ppID %lx,lines %lx phones %lx)", dwPermanentProviderID,
             lpdwNumLines != nullptr ? *lpdwNumLines : 0u, lpdwNumPhones != nullptr ? *lpdwNumPhones : 0u);
    g_provider.permanentProviderId = dwPermanentProviderID;
    g_provider.hProvider = hProvider;
    if (lpdwNumLines != nullptr)
        *lpdwNumLines = 1;
    if (lpdwNumPhones != nullptr)
        *lpdwNumPhones = 1;
    return 0;
}

LONG WINAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                              DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                              ASYNC_COMPLETION lpfnCompletionProc, LPDWORD lpdwTSPIOptions) {
    TspTrace(TRACE_TSPI, "TSPI_providerInit(%lx,%lx,%lx,%lx,%lx,%lx,%lx)", dwTSPIVersion,
             dwPermanentProviderID, dwLineDeviceIDBase, dwPhoneDeviceIDBase, dwNumLines, dwNumPhones,
             lpfnCompletionProc);
    if (lpdwTSPIOptions != nullptr)
        *lpdwTSPIOptions = LINETSPIOPTION_NONREENTRANT;
    g_provider.permanentProviderId = dwPermanentProviderID;
    InitLineRecord(dwPermanentProviderID, g_provider.hProvider, dwLineDeviceIDBase, dwPhoneDeviceIDBase,
                   lpfnCompletionProc);
    return 0;
}

LONG WINAPI TSPI_providerShutdown(DWORD dwTSPIVersion, DWORD dwPermanentProviderID) {
    TspTrace(TRACE_TSPI, "Entering TSPI_providerShutdown(%lx %lx)", dwTSPIVersion, dwPermanentProviderID);
    StopSerialThread();
    g_provider.reinitRequired = false;
    if (plat::Mutex* m = g_provider.lineMutex.exchange(nullptr); m != nullptr)
        plat::mutex_close(m);
    return 0;
}

LONG WINAPI TSPI_providerFreeDialogInstance(HDRVDIALOGINSTANCE hdDlgInst) {
    TspTrace(TRACE_CALL, "TSPI_providerFreeDialogInstance %lx", hdDlgInst);
    return 0;
}

LONG WINAPI TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD dwTSPIVersion,
                          LINEEVENT lpfnEventProc) {
    TspTrace(TRACE_TSPI, "TSPI_lineOpen(%lx,%lx,%lx,%lx,%lx)", dwDeviceID, htLine, lphdLine, dwTSPIVersion,
             lpfnEventProc);
    if (dwDeviceID != g_line.dwDeviceID)
        return static_cast<LONG>(LINEERR_BADDEVICEID);
    ReinitForReopen();
    if (g_provider.reinitRequired)
        return static_cast<LONG>(LINEERR_REINIT);
    g_line.lpfnEventProc = lpfnEventProc;
    g_line.htLine = htLine;
    if (lphdLine != nullptr)
        *lphdLine = LineHandle();
    StartSerialThread();
    if (PortIsOpen())
        return REL_LINE_MUTEX(0);
    TspTrace(TRACE_ERROR, "End TSPI_lineOpen Pb");
    return REL_LINE_MUTEX(static_cast<LONG>(LINEERR_ALLOCATED));
}

LONG WINAPI TSPI_lineClose(HDRVLINE hdLine) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineClose(%lx)", hdLine);
    if (!IsLineRecord(hdLine))
        return REL_LINE_MUTEX(static_cast<LONG>(LINEERR_INVALLINEHANDLE));
    StopSerialThread();
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_phoneOpen(DWORD dwDeviceID, HTAPIPHONE htPhone, LPHDRVPHONE lphdPhone, DWORD dwTSPIVersion,
                           PHONEEVENT lpfnEventProc) {
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneOpen(%lx,%lx,%lx,%lx)", dwDeviceID, htPhone, lphdPhone,
             dwTSPIVersion);
    if (dwDeviceID != g_line.dwPhoneDeviceID)
        return static_cast<LONG>(PHONEERR_BADDEVICEID);
    ReinitForReopen();
    if (g_provider.reinitRequired)
        return static_cast<LONG>(PHONEERR_REINIT);
    g_line.lpfnPhoneEventProc = lpfnEventProc;
    g_line.htPhone = htPhone;
    g_line.phoneOpen = true;
    if (lphdPhone != nullptr)
        *lphdPhone = PhoneHandle();
    StartSerialThread();
    if (PortIsOpen())
        return REL_LINE_MUTEX(0);
    TspTrace(TRACE_ERROR, "End TSPI_phoneOpen Pb");
    return REL_LINE_MUTEX(static_cast<LONG>(PHONEERR_ALLOCATED));
}

LONG WINAPI TSPI_phoneClose(HDRVPHONE hdPhone) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneClose (%lx)", hdPhone);
    if (!IsLineRecord(hdPhone))
        return REL_LINE_MUTEX(static_cast<LONG>(PHONEERR_INVALPHONEHANDLE));
    g_line.phoneOpen = false;
    StopSerialThread();
    return REL_LINE_MUTEX(0);
}

}  // extern "C"
