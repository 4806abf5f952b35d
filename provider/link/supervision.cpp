#include "link/supervision.h"

#include <array>
#include <string>

#include "callmodel/calls.h"
#include "callmodel/display.h"
#include "callmodel/tables.h"
#include "core/config.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "tapi/dispatch.h"
#include "tapi/events.h"
#include "tapi/keys.h"
#include "tapi/makecall.h"
#include "tapi/transfer.h"
#include "zq/platform.h"

namespace zq {

Supervision g_superv;

namespace {

constexpr int kMaxReadsPerTick = 64;

bool PortDidOpen() {
    return !g_port.openFailed;
}

// Everything the worker does after a lost link: the calls are gone, the
// queue is emptied and the port opened again.
void RestartAfterLinkLoss() {
    TspTrace(TRACE_ERROR, "Perte de connexion - Tentative de redemarrage");
    AllCallReset();
    FifoClear();
    g_superv.pollCounter = 0;
    if (!g_dl.ConfigComplete)
        g_superv.configWaitCount = 0;
    g_superv.traceWaitCount = 0;
    RestartSerialLink();
}

void ReadPort() {
    ClearPortError();
    for (int reads = 0; reads < kMaxReadsPerTick; ++reads) {
        const uint32_t room = static_cast<uint32_t>(RX_BUFFER_SIZE) - g_rx.rxFill;
        uint32_t got = 0;
        const uint32_t err =
            plat::serial_read(g_port.hcd, std::span<uint8_t>(g_rx.rxBuf.data() + g_rx.rxFill, room), &got);
        if (err != plat::kErrSuccess && err != plat::kErrIoPending) {
            ClearPortError();
            break;
        }
        g_rx.rxFill += got;
        // Only bytes that came count as receiving, and from the read that
        // brought them: kept bytes waiting for the end of a frame must be
        // able to time out, and not at once after a silence.
        if (got > 0)
            g_rx.lastReceiveTime = plat::time_ms();
        if (g_rx.rxFill > 0)
            g_rx.rxFill = ProcessInput({g_rx.rxBuf.data(), g_rx.rxFill});
        if (got == 0)
            break;
    }
}

// The set's "CancelFreqVocale" soft key, pressed when it shows.
void SoftKeyRelease() {
    if (const int position = SoftKeyPosition(SK_STOP_DTMF); position != 0)
        PressSoftKey(position);
    g_superv.softKeyRelease = false;
    g_superv.softKeyCount = 0;
}

void OfferWithoutCallerData() {
    const int cref = g_superv.IncomingCref;
    TspTrace(TRACE_CALL, "- Etat:OFFERING - Ref:%d", cref);
    TspTrace(TRACE_CALL, "2 sec - pas d'info sur l'appelant");
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, cref);
    if (cref >= 0 && cref < MAX_CALLS) {
        const uint32_t key = g_line.calls.Touch[static_cast<size_t>(cref)];
        if (key >= 1 && key <= MAX_TOUCH && g_line.TouchTable[key].Kind == KEY_MULTILIGNE) {
            const int count = std::min(g_line.lists.MultiLineKeys.count, MAX_MULTILINE);
            for (int i = 0; i < count; ++i) {
                if (g_set.WaitInfo[static_cast<size_t>(i)] == -1) {
                    g_set.WaitInfo[static_cast<size_t>(i)] = cref;
                    break;
                }
            }
        }
    }
    g_superv.IncomingCref = -1;
    g_superv.OfferWaitCount = 0;
}

void ProceedingTimeOut() {
    g_superv.proceedingWatch = false;
    g_superv.proceedingCount = 0;
    g_superv.traceWaitArmed = false;
    for (int cref = 0; cref < MAX_CALLS; ++cref) {
        if (g_line.calls.lineCallState[static_cast<size_t>(cref)] != LINECALLSTATE_PROCEEDING)
            continue;
        const uint32_t key = g_line.calls.Touch[static_cast<size_t>(cref)];
        if (key >= 1 && key <= MAX_TOUCH && g_line.TouchTable[key].IconState != ACTIV_ICON) {
            TspTrace(TRACE_CALL, "Time out:Icone:%d éteint - Etat:IDLE - Ref:%d", key, cref);
            ClearCall(cref);
        }
        break;
    }
}

void ReportMakeCallProgress() {
    const int cref = g_superv.progressCref;
    g_superv.progressReport = false;
    if (g_dialToneReport) {
        DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_DIALTONE, 0, cref);
        TspTrace(TRACE_CALL, "DoLineEvent\t(LINE_CALLSTATE, \tLINECALLSTATE_DIALTONE, 0, cref:%lx)", cref);
    }
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_DIALING, 0, cref);
    TspTrace(TRACE_CALL, "DoLineEvent(LINE_CALLSTATE,  LINECALLSTATE_DIALING, 0, cref:%lx)", cref);
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_PROCEEDING, 0, cref);
    TspTrace(TRACE_CALL, "DoLineEvent(LINE_CALLSTATE,  LINECALLSTATE_PROCEEDING, 0, cref:%lx)", cref);
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_RINGBACK, 0, cref);
    TspTrace(TRACE_CALL, "DoLineEvent(LINE_CALLSTATE,  LINECALLSTATE_RINGBACK, 0, cref:%lx)", cref);
}

// The port could not be opened again after a link loss: it is tried again
// at every tick, and the user is told once.
void PortBlocked() {
    if (g_superv.linkLossEpisode) {
        TspTrace(TRACE_ERROR, "Serial Port blocked - new opening of %s", g_line.PortName);
        RestartSerialLink();
        if (PortIsOpen())
            return;
    }
    if (g_superv.blockedBoxShown)
        return;
    g_superv.blockedBoxShown = true;
    ErrorBox("Serial Port blocked");
}

// The configuration did not come in time: the provider stops and says why.
void ConfigurationTimeOut(int count) {
    g_superv.stoppedNoConfig = true;
    g_line.lineDevState = 0;
    AllCallReset();
    if (count == CONFIG_WAIT_ASSOC_LIMIT) {
        TspTrace(TRACE_ERROR, "Config dynamic not received: WaitConfigCount %ld LIMIT %d Cas 1", count,
                 CONFIG_WAIT_ASSOC_LIMIT);
        RecordLastAction("failed :Config dynamic :Device association ack not received");
        DoNoDynConf();
        if (WorkerReplaced())
            return;
    } else {
        TspTrace(TRACE_ERROR, "Config dynamic not received: WaitConfigCount %ld LIMIT %d Cas 2", count,
                 CONFIG_WAIT_ASSOC_LIMIT);
        if (g_lineSettings.TqlaVersion > 1 && g_dl.DevType != 3) {
            TspTrace(TRACE_ERROR, "MessageBox Poste non QR7");
            RecordLastAction("failed :Not a QR7(3861) set");
            ErrorBox("     Set Configuration Error\n\nYour set is not a 3861/3862 Velmora set");
        } else if (g_dl.NewMultiLineCount != 0) {
            RecordLastAction("failed :Config dynamic not received");
            DoNoDynConf();
            if (WorkerReplaced())
                return;
        } else {
            TspTrace(TRACE_ERROR, "MessageBox Poste MONO");
            RecordLastAction("failed :Not a multiline set");
            ErrorBox("     Set Configuration Error\n\nYour set has not a multiline config");
        }
    }
    DoLineEvent(LINE_CLOSE, 0, 0, -1);
}

// One tick, with the line mutex held; returns early where the tick ends.
void Tick() {
    if (g_superv.stoppedConfigError || g_superv.stoppedNoConfig)
        return;
    if (g_superv.FwdGuard != 0)
        --g_superv.FwdGuard;

    const int waited = g_superv.configWaitCount;
    if ((waited == CONFIG_WAIT_ASSOC_LIMIT && !g_dl.AssocAck) || waited == CONFIG_WAIT_LIMIT) {
        ConfigurationTimeOut(waited);
        return;
    }

    if (g_superv.traceWaitArmed && PortDidOpen() && !g_superv.linkLossEpisode) {
        if (g_rx.traceModeSeen) {
            g_superv.traceWaitArmed = false;
        } else if (++g_superv.traceWaitCount == g_superv.traceWaitLimit) {
            TspTrace(TRACE_ERROR, "TIMEOUT Bad VEX/PC No Trace mode: WaitTrace %d limit %d",
                     g_superv.traceWaitCount, g_superv.traceWaitLimit);
            g_superv.stoppedConfigError = true;
            g_line.lineDevState = 0;
            g_superv.traceWaitArmed = false;
            RecordLastAction("failed :Bad VEX/PC trace mode");
            ErrorBox("     Set Configuration Error\n\nLXC setup error - Bad VEX/PC mode");
            AllCallReset();
            DoLineEvent(LINE_CLOSE, 0, 0, -1);
            return;
        }
    }

    ++g_superv.pollCounter;
    if (!g_dl.ConfigComplete)
        ++g_superv.configWaitCount;

    if (g_superv.setDataPending && PreviousDownloadExists())
        g_superv.setDataPending = LoadSetData() != 0;

    if (g_superv.stringDefError && PreviousDownloadExists() && g_dl.ConfigComplete) {
        g_superv.stoppedConfigError = true;
        g_line.lineDevState = 0;
        g_superv.stringDefError = false;
        ErrorBox("Velmora Service Provider internal error\n\nBad string definition");
        return;
    }

    if (!g_superv.setDataPending && g_superv.deferredMakeCall && g_dl.ReadyForCalls) {
        g_superv.deferredMakeCall = false;
        if (DoMakeCall(g_superv.crefRequestMakeCall, REQ_MAKECALL, true) == 0) {
            g_superv.progressReport = true;
            g_superv.progressCref = g_superv.crefRequestMakeCall;
            g_dialToneReport = true;
        }
    }

    if (g_superv.proceedingWatch && g_dl.ConfigComplete && PortDidOpen() && !g_superv.linkLossEpisode &&
        g_rx.traceModeSeen && ++g_superv.proceedingCount == PROCEEDING_LIMIT)
        ProceedingTimeOut();

    if (g_superv.progressReport)
        ReportMakeCallProgress();

    TransferWatchTick();

    if (g_superv.softKeyRelease && ++g_superv.softKeyCount == SOFTKEY_RELEASE_LIMIT)
        SoftKeyRelease();

    if (g_superv.IncomingCref != -1 && ++g_superv.OfferWaitCount == OFFER_WAIT_LIMIT)
        OfferWithoutCallerData();

    if (g_rx.collecting && ++g_rx.inactivity > INACTIVITY_LIMIT) {
        TspTrace(TRACE_ERROR, "Inactivity - flush rx queue");
        g_rx.collecting = false;
        g_rx.inactivity = 0;
        g_superv.pollCounter = 0;
        ResetComPort(3);
        SendL2Msg(kNackChecksumFrame.span());
    }

    if (g_port.resendPending) {
        TspTrace(TRACE_ERROR, "Try to resend last l2");
        std::array<uint8_t, RESEND_SIZE> frame = g_port.resend;
        SendL2Msg({frame.data(), g_port.resendLen});
        g_port.resendPending = false;
        return;
    }

    if (g_rx.inputCounter == -1) {
        if (g_superv.pollCounter == g_superv.pollPeriod) {
            if (!g_dl.ConfigComplete)
                g_superv.configWaitCount = 0;
            if (!PortIsOpen()) {
                PortBlocked();
                return;
            }
            PostZQMsg(kPollFrame.span());
        } else if (g_superv.pollCounter > g_superv.pollPeriod + LINK_LOSS_MARGIN) {
            RestartAfterLinkLoss();
            if (!g_superv.linkLossEpisode) {
                g_superv.linkLossEpisode = true;
                if (g_line.lineDevState == 2) {
                    DoLineEvent(LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_DISCONNECTED, 0,
                                -1);
                    g_line.lineDevState = 0;
                }
                DoV24Trouble();
                if (WorkerReplaced())
                    return;
                DoLineEvent(LINE_CLOSE, 0, 0, -1);
                RecordLastAction("failed :V24 Trouble");
            }
            return;
        }
    }

    if (!PortIsOpen()) {
        PortBlocked();
        return;
    }
    ReadPort();

    if (g_port.sendHoldOff != 0) {
        if (++g_port.sendHoldOff > HOLDOFF_LIMIT)
            g_port.sendHoldOff = 0;
        else
            return;
    }
    if (FifoCount() > 0)
        PostZQMsg();
}

}  // namespace

void ResetLinkState() {
    g_port.hcd = nullptr;
    g_port.openFailed = false;
    g_port.openError = 0;
    g_port.timerId = 0;
    g_port.lastSentLen = 0;
    g_port.resendLen = 0;
    g_port.resendPending = false;
    g_port.l2Sent = false;
    g_port.sendHoldOff = 0;
    g_port.superAllowed = false;
    g_port.piggyAllowed = false;
    FifoClear();
    g_fifo.write = 0;
    g_fifo.read = 0;
    g_fifo.unackedKicks = 0;
    g_fifo.aborts = 0;
    g_rx = ReceiveState{};
    g_superv = Supervision{};
    ResetDownloadState();
    for (AomEntry& aom : g_set.AomTable)
        aom = AomEntry{false, 255, false, 255};
    ReadLastAction();
}

void SerialTimerProc() {
    // A message box's modal loop dispatches this thread's timer messages:
    // a tick is never run inside another one (the boxes would stack up).
    static thread_local bool inTick = false;
    if (inTick)
        return;
    inTick = true;
    WAITLINEMUTEX();
    // A forgotten worker's last timer message changes nothing.
    if (!WorkerReplaced()) {
        Tick();
        NoteWorkerResources();
    }
    REL_LINE_MUTEX(0);
    inTick = false;
}

int ErrorBox(std::string_view text) {
    return plat::message_box(text, "Velmora 6200 SP Error",
                             plat::kMbOk | plat::kMbIconHand | plat::kMbSystemModal | plat::kMbTaskModal |
                                 plat::kMbDefaultDesktopOnly);
}

int DoV24Trouble() {
    TspTrace(TRACE_ERROR, "V24 trouble hinst %lx", g_provider.moduleInstance);
    plat::message_beep(plat::kMbIconHand);
    NoteWorkerResources();
    REL_LINE_MUTEX(0);
    const int result = ErrorBox(
        "Hardware Problem - Please check:\n\n - the cable,\n - the PC serial port,\n - the LXC "
        "card.\n\nTrying to "
        "restart ... Click Ok to abort");
    WAITLINEMUTEX();
    TspTrace(TRACE_ERROR, "MessageBox returns %lx IDOK %lx IDHELP %lx", result, plat::kIdOk, plat::kIdHelp);
    return 0;
}

int DoNoDynConf() {
    TspTrace(TRACE_ERROR, "Dynamic Config not received - SP stopped");
    plat::message_beep(plat::kMbIconHand);
    NoteWorkerResources();
    REL_LINE_MUTEX(0);
    ErrorBox(
        "No response from PBX !\nThe Velmora Service Provider cannot run...\n\n- Check your PBX version.\n - "
        "Check "
        "your LXC setup.");
    WAITLINEMUTEX();
    TspTrace(TRACE_ERROR, "Dynamic Config not received DialogBox return %ld", 0);
    return 0;
}

// Written only when it changes: a download that ends as the last one did
// leaves the registry untouched.
void RecordLastAction(std::string_view text) {
    std::array<char, LAST_ACTION_SIZE> stored{};
    if (ReadProviderValue("Dynamic_Set_Conf", "LastAction", "", stored) > 0 && TextOf(stored) == text)
        return;
    WriteProviderValue("Dynamic_Set_Conf", "LastAction", text);
}

}  // namespace zq
