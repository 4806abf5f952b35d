#include "link/tqla.h"

#include <algorithm>
#include <array>

#include "callmodel/pbxevents.h"
#include "callmodel/tables.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"

namespace zq {
namespace {

using Handler = void (*)(uint8_t seq, std::span<const uint8_t> payload);

struct TqlaEntry {
    uint16_t code;
    const char* name;
    Handler handler;
    bool needsVersion2;  // call events of a PBX that speaks version 2 or later
};

constexpr std::array<TqlaEntry, 15> kTqlaTable = {{
    {TQLA_DEVICE_ASSOC_ACK, "DEVICE_ASSOC_ACK", TqlaDeviceAssocAck, false},
    {TQLA_KEY_ACK, "KEY_ACK", TqlaKeyAck, false},
    {TQLA_KEY_INFO_ACK, "KEY_INFO_ACK", TqlaKeyInfoAck, false},
    {TQLA_STRING_ACK, "STRING_ACK", TqlaStringAck, false},
    {TQLA_STRING_INFO_ACK, "STRING_INFO_ACK", TqlaStringInfoAck, false},
    {TQLA_SK_ACK, "SK_ACK", TqlaSkAck, false},
    {TQLA_SK_INFO_ACK, "SK_INFO_ACK", TqlaSkInfoAck, false},
    {TQLA_CODE_ACK, "CODE_ACK", TqlaCodeAck, false},
    {TQLA_CODE_INFO_ACK, "CODE_INFO_ACK", TqlaCodeInfoAck, false},
    {TQLA_EVENT_INCOMING_CHANGE, "EVENT_INCOMING_CHANGE", TqlaEventIncomingChange, true},
    {TQLA_EVENT_OUTGOING_CALL, "EVENT_OUTGOING_CALL", TqlaEventOutgoingCall, true},
    {TQLA_EVENT_CONNECTED_CALL, "EVENT_CONNECTED_CALL", TqlaEventConnectedCall, true},
    {TQLA_EVENT_TRANSFERED_CALL, "TA_M_EVENT_TRANSFERED_CALL", TqlaEventTransferedCall, false},
    {TQLA_KEY_SPE_ACK, "KEY_SPE_ACK", TqlaKeySpeAck, false},
    {TQLA_KEY_SPE_INFO_ACK, "KEY_SPE_INFO_ACK", TqlaKeySpeInfoAck, false},
}};

constexpr size_t kSegmentData = 16;

// A frame goes out now when the gap after a link-control frame has passed;
// otherwise it waits in the queue for the next kick.
void QueueOrSend(const Frame& f) {
    if (f.size == 0)
        return;
    if (L2TimeoutElapsed())
        PostZQMsg(f.span());
    else
        FifoPut(f.span());
}

}  // namespace

void DispatchTQLAMsg(std::span<const uint8_t> message) {
    if (TraceEnabled(TRACE_CONFIG))
        TspTrace(TRACE_CONFIG, "TAPI_TQLA MSG: %s", HexDump(message));
    if (message.size() < TQLA_HEADER) {
        TspTrace(TRACE_ERROR, "TAPI_TQLA MSG too short: %d bytes", message.size());
        return;
    }
    // The message's own length decides where it ends; it may not claim
    // more bytes than carried it.
    const size_t length = size_t{message[0]} << 8 | message[1];
    if (length < TQLA_HEADER || length > message.size()) {
        TspTrace(TRACE_ERROR, "TAPI_TQLA MSG length %d carried in %d bytes - dropped", length,
                 message.size());
        return;
    }
    const uint16_t code = static_cast<uint16_t>(message[3] << 8 | message[4]);
    const uint8_t seq = message[5];
    const std::span<const uint8_t> payload = message.subspan(TQLA_HEADER, length - TQLA_HEADER);
    const auto it = std::find_if(kTqlaTable.begin(), kTqlaTable.end(),
                                 [&](const TqlaEntry& e) { return e.code == code; });
    if (it == kTqlaTable.end()) {
        TspTrace(TRACE_ERROR, "Unknown TAPI-TQLA msg received: %s", HexDump(message));
        return;
    }
    if (code == TQLA_DEVICE_ASSOC_ACK) {
        g_lineSettings.TqlaVersion = message[2];
        TspTrace(TRACE_CONFIG, "TAPI_TQLA MSG: DEVICE_ASSOC_ACK (TAPI_TQLA_Ver %d)", message[2]);
    } else {
        TspTrace(TRACE_CONFIG, "TAPI_TQLA MSG: %s", it->name);
    }
    if (it->needsVersion2 && g_lineSettings.TqlaVersion <= 1) {
        TspTrace(TRACE_CONFIG, "TAPI_TQLA %s ignored - TAPI_TQLA_Ver %d", it->name,
                 g_lineSettings.TqlaVersion);
        return;
    }
    it->handler(seq, payload);
}

size_t BuildTQLARequest(uint8_t code, std::span<const uint8_t> payload, std::span<uint8_t> out) {
    if (code >= g_dl.requestCounters.size() || out.size() < TQLA_HEADER + payload.size() ||
        payload.size() > 255 - TQLA_HEADER)
        return 0;
    const uint16_t counter = ++g_dl.requestCounters[code];
    out[0] = 0;
    out[1] = static_cast<uint8_t>(payload.size() + TQLA_HEADER);
    out[2] = TQLA_VERSION_SENT;
    out[3] = 0;
    out[4] = code;
    out[5] = static_cast<uint8_t>(counter);
    std::copy(payload.begin(), payload.end(), out.begin() + TQLA_HEADER);
    return TQLA_HEADER + payload.size();
}

void SendTQLAMsg(std::span<const uint8_t> message) {
    const size_t n = message.size() >= 2 ? (size_t{message[0]} << 8 | message[1]) : 0;
    if (n == 0 || n > message.size()) {
        ErrorBox("ZQ message length problem");
        return;
    }
    if (n < kSegmentData) {
        QueueOrSend(BuildFrame(FT_TQLA, message.first(n)));
        return;
    }
    const size_t k = n / kSegmentData + (n % kSegmentData != 0 ? 1 : 0);
    // A segmented message longer than 127 segments cannot be announced.
    if (k > 128) {
        ErrorBox("ZQ message length problem");
        return;
    }
    for (size_t i = 0; i < k; ++i) {
        std::array<uint8_t, 4 + kSegmentData> body{};
        FrameWriter w{body};
        const size_t follow = k - 1 - i;
        if (i == 0) {
            w.Put(static_cast<uint8_t>(0x80 + follow));
            w.Put(static_cast<uint8_t>((n + 1) >> 8));
            w.Put(static_cast<uint8_t>(n + 1));
            w.Put(FT_TQLA);
        } else {
            w.Put(static_cast<uint8_t>(follow));
        }
        w.Put(message.subspan(i * kSegmentData, std::min(kSegmentData, n - i * kSegmentData)));
        QueueOrSend(BuildFrame(FT_SEGMENT, {body.data(), w.n}));
    }
}

void SendTQLARequest(uint8_t code) {
    std::array<uint8_t, TQLA_MAX_REQUEST> msg{};
    const size_t n = BuildTQLARequest(code, {}, msg);
    if (n != 0)
        SendTQLAMsg({msg.data(), n});
}

void SendTQLARequest(uint8_t code, uint8_t parameter) {
    std::array<uint8_t, TQLA_MAX_REQUEST> msg{};
    const std::array<uint8_t, 1> payload{parameter};
    const size_t n = BuildTQLARequest(code, payload, msg);
    if (n != 0)
        SendTQLAMsg({msg.data(), n});
}

}  // namespace zq
