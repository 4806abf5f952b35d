// The adapter's link layer and the glue to the PBX and the set.
#include <algorithm>
#include <deque>

#include "model.h"
#include "pbx.h"
#include "zq/sim.h"
#include "zq/sim_describe.h"

namespace zq::sim {

namespace {

constexpr size_t kQueueFrames = 160;  // the longest answer is 128 segments
constexpr size_t kOutputBytes = 16384;
constexpr size_t kLogLines = 20000;
constexpr size_t kRequestKept = 8;
constexpr uint32_t kTimeoutChangeUnitMs = 10;

struct Outstanding {
    bool active = false;
    Frame frame;
    uint32_t sent_ms = 0;
    uint8_t resends = 0;
};

// The last TQLA request answered: the provider repeats a request whose
// acknowledgement it did not get, and a repeat must not be answered twice.
struct LastRequest {
    bool valid = false;
    uint16_t code = 0;
    uint8_t sequence = 0;
    uint8_t size = 0;
    std::array<uint8_t, kRequestKept> payload{};
};

enum class AckKind { Ack, Answer00, Answer20 };

}  // namespace

struct Sim {
    SetDescription set;
    AdapterConfig config;
    Faults faults;
    uint32_t now = 0;

    FrameAssembler rx;
    Reassembler rx_segments;  // segments from the provider
    Reassembler tx_segments;  // our own segments, reassembled for the log

    std::array<Frame, kQueueFrames> queue{};
    size_t queue_head = 0;
    size_t queue_count = 0;
    Outstanding outstanding;
    Frame last_written;
    bool link_up = false;

    uint32_t last_rx_ms = 0;
    bool silence_enquired = false;

    LastRequest last_request;
    uint8_t pbx_sequence = 0;

    std::array<uint8_t, kOutputBytes> out{};
    size_t out_size = 0;

    std::deque<std::string> log_all;
    std::deque<LogEntry> log_new;

    Model model;  // the set and the PBX's calls
};

namespace {

void log(Sim& sim, std::string text) {
    if (sim.log_all.size() >= kLogLines) {
        sim.log_all.pop_front();
    }
    if (sim.log_new.size() >= kLogLines) {
        sim.log_new.pop_front();
    }
    sim.log_all.push_back(text);
    sim.log_new.push_back(LogEntry{sim.now, std::move(text)});
}

void log_frame(Sim& sim, Direction direction, std::span<const uint8_t> frame, std::string_view note = {}) {
    std::string text = direction_prefix(direction);
    text += describe_message(direction, frame_type(frame), frame_body(frame));
    if (!note.empty()) {
        text += " ";
        text += note;
    }
    log(sim, std::move(text));
}

// ------------------------------------------------------------------ writing

void write_raw(Sim& sim, std::span<const uint8_t> bytes) {
    if (sim.faults.silent) {
        log(sim, "adapter: silent, " + std::to_string(bytes.size()) + " bytes not written");
        return;
    }
    const size_t room = sim.out.size() - sim.out_size;
    const size_t n = std::min(room, bytes.size());
    std::copy_n(bytes.begin(), n, sim.out.begin() + static_cast<std::ptrdiff_t>(sim.out_size));
    sim.out_size += n;
    if (n < bytes.size()) {
        log(sim, "adapter: output full, " + std::to_string(bytes.size() - n) + " bytes dropped");
    }
}

// Writes a frame with the faults that apply to everything written.
void write_frame(Sim& sim, const Frame& frame, std::string_view note = {}) {
    sim.last_written = frame;
    Frame wire = frame;
    std::string what(note);
    if (sim.faults.bad_checksum && wire.size > 0) {
        ++wire.bytes[wire.size - 1];
        what += what.empty() ? "(wrong checksum)" : " (wrong checksum)";
    }
    if (sim.faults.cut_frames_after > 0 && sim.faults.cut_frames_after < wire.size) {
        wire.size = sim.faults.cut_frames_after;
        what += (what.empty() ? "(cut after " : " (cut after ") + std::to_string(wire.size) + " bytes)";
    }
    log_frame(sim, Direction::FromAdapter, frame.view(), what);
    write_raw(sim, wire.view());
}

bool is_nack(const Frame& frame) {
    if (frame.size == 0 || frame_type(frame.view()) != kTypeLinkControl) {
        return false;
    }
    const auto body = frame_body(frame.view());
    return !body.empty() &&
           (body[0] == kLcNackLength || body[0] == kLcNackChecksum || body[0] == kLcNackSync);
}

void write_link_control(Sim& sim, uint8_t code) {
    write_frame(sim, link_control_frame(code));
}

// Our own segments, put together again so the log shows the message.
void log_sent_segments(Sim& sim, const Frame& frame) {
    if (frame_type(frame.view()) != kTypeSegment) {
        return;
    }
    const SegmentResult result = reassembler_add(sim.tx_segments, frame_body(frame.view()));
    const auto message = reassembled_message(sim.tx_segments);
    if (result == SegmentResult::Complete && !message.empty() && message[0] == kTypeTqla) {
        log(sim, std::string(direction_prefix(Direction::FromAdapter)) + describe_tqla(message.subspan(1)) +
                     " (sent in segments)");
    }
}

// ------------------------------------------------------- data frames, stop-and-wait

void try_send_next(Sim& sim) {
    if (sim.faults.silent || !sim.link_up || sim.outstanding.active || sim.queue_count == 0) {
        return;
    }
    sim.outstanding = Outstanding{true, sim.queue[sim.queue_head], sim.now, 0};
    sim.queue_head = (sim.queue_head + 1) % kQueueFrames;
    --sim.queue_count;
    write_frame(sim, sim.outstanding.frame);
    log_sent_segments(sim, sim.outstanding.frame);
}

bool queue_room(Sim& sim, size_t frames) {
    if (kQueueFrames - sim.queue_count >= frames) {
        return true;
    }
    log(sim, "adapter: queue full, " + std::to_string(frames) + " frames dropped");
    return false;
}

void queue_frame(Sim& sim, const Frame& frame) {
    if (!queue_room(sim, 1)) {
        return;
    }
    sim.queue[(sim.queue_head + sim.queue_count) % kQueueFrames] = frame;
    ++sim.queue_count;
    try_send_next(sim);
}

void queue_message(Sim& sim, std::span<const uint8_t> message) {
    const size_t count = tqla_frame_count(message.size());
    if (count == 0 || !queue_room(sim, count)) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        Frame frame;
        tqla_frame(message, i, &frame);
        queue_frame(sim, frame);
    }
}

void acknowledged(Sim& sim, AckKind how) {
    if (!sim.outstanding.active) {
        return;
    }
    const uint8_t type = frame_type(sim.outstanding.frame.view());
    const bool matches = how == AckKind::Ack || (how == AckKind::Answer00 && type == kTypeAnswer00) ||
                         (how == AckKind::Answer20 && type == kTypeAnswer20);
    if (!matches) {
        return;
    }
    sim.outstanding = Outstanding{};
    try_send_next(sim);
}

void resend_outstanding(Sim& sim) {
    Outstanding& o = sim.outstanding;
    if (o.resends >= sim.config.max_resends) {
        log(sim, "adapter: frame given up after " + std::to_string(o.resends) + " resends");
        o = Outstanding{};
        try_send_next(sim);
        return;
    }
    ++o.resends;
    o.sent_ms = sim.now;
    write_frame(sim, o.frame, "(resend " + std::to_string(o.resends) + ")");
}

// ACK for a data frame from the provider, or what a fault puts in its
// place. false when the frame is rejected.
bool accept_data_frame(Sim& sim) {
    const uint8_t nack = sim.faults.nack_instead_of_ack;
    if (nack != 0) {
        write_link_control(sim, nack);
        return false;
    }
    if (sim.faults.no_ack) {
        log(sim, "adapter: ACK withheld");
        return true;
    }
    write_link_control(sim, kLcAck);
    return true;
}

// ------------------------------------------------------------------ the PBX

bool repeated_request(const LastRequest& last, const TqlaHeader& header, std::span<const uint8_t> payload) {
    const size_t kept = std::min(payload.size(), kRequestKept);
    return last.valid && last.code == header.code && last.sequence == header.sequence &&
           last.size == payload.size() &&
           std::equal(payload.begin(), payload.begin() + kept, last.payload.begin());
}

void remember_request(LastRequest& last, const TqlaHeader& header, std::span<const uint8_t> payload) {
    last = LastRequest{
        true, header.code, header.sequence, static_cast<uint8_t>(std::min<size_t>(payload.size(), 255)), {}};
    std::copy_n(payload.begin(), std::min(payload.size(), kRequestKept), last.payload.begin());
}

void on_tqla(Sim& sim, std::span<const uint8_t> message) {
    TqlaHeader header;
    std::span<const uint8_t> payload;
    if (!tqla_parse(message, &header, &payload)) {
        log(sim, "PBX: malformed TQLA message ignored");
        return;
    }
    if (repeated_request(sim.last_request, header, payload)) {
        log(sim, "PBX: repeated request, not answered again");
        return;
    }
    remember_request(sim.last_request, header, payload);
    TqlaMessage answer;
    if (!pbx_answer(sim.set, header, payload, &answer)) {
        log(sim, "PBX: no answer to " + describe_tqla(message));
        return;
    }
    queue_message(sim, answer.view());
}

void on_segment(Sim& sim, std::span<const uint8_t> body) {
    switch (reassembler_add(sim.rx_segments, body)) {
        case SegmentResult::Pending:
            return;
        case SegmentResult::OutOfOrder:
            log(sim, "adapter: segment out of order, dropped");
            return;
        case SegmentResult::Malformed:
            log(sim, "adapter: malformed segmented message, dropped");
            return;
        case SegmentResult::Complete:
            break;
    }
    const auto message = reassembled_message(sim.rx_segments);
    if (message.empty() || message[0] != kTypeTqla) {
        log(sim, "adapter: reassembled message is not TQLA, dropped");
        return;
    }
    log(sim, std::string(direction_prefix(Direction::FromProvider)) + describe_tqla(message.subspan(1)) +
                 " (reassembled)");
    on_tqla(sim, message.subspan(1));
}

// ------------------------------------------------------------ from the provider

void on_link_control(Sim& sim, std::span<const uint8_t> body) {
    if (body.empty()) {
        return;
    }
    switch (body[0]) {
        case kLcAck:
            acknowledged(sim, AckKind::Ack);
            return;
        case kLcPollReady:
            if (!sim.link_up) {
                sim.link_up = true;
                log(sim, "adapter: link up");
            }
            write_link_control(sim, kLcPollReady);
            try_send_next(sim);
            return;
        case kLcSpecialFunction:
            write_link_control(sim, kLcSpecialFunction);
            return;
        case kLcConfiguration: {
            // A provider that starts over asks its first request again,
            // and that one is answered.
            sim.last_request = LastRequest{};
            const AdapterConfig& c = sim.config;
            const std::array<uint8_t, 6> body_out{kLcConfiguration, c.version_major, c.version_minor,
                                                  c.parameter,      c.capabilities,  c.option};
            Frame frame;
            make_frame(kTypeLinkControl, body_out, &frame);
            write_frame(sim, frame);
            if (c.idle_display && c.trace_mode) {
                sim_show_text(&sim, 0, 0, model_line0(&sim));
            }
            return;
        }
        case kLcTimeoutChange: {
            const uint8_t value = body.size() > 1 ? body[1] : 0;
            if (value != 0) {
                sim.config.ack_wait_ms = value * kTimeoutChangeUnitMs;
            }
            write_frame(sim, link_control_frame(kLcTimeoutChange, value));
            return;
        }
        case kLcNackLength:
        case kLcNackChecksum:
            if (is_nack(sim.last_written)) {
                // Both ends would send their NACK again for ever, as the
                // provider answers a NACK with its own last frame: the
                // provider's queue sends its frame again by itself.
                log(sim, "adapter: NACK after our NACK, not answered");
                return;
            }
            if (sim.last_written.size > 0) {
                if (sim.outstanding.active) {
                    sim.outstanding.sent_ms = sim.now;
                }
                write_frame(sim, sim.last_written, "(last frame again)");
            }
            return;
        case kLcNackSync:
            // The provider's receiver starts afresh and took none of the
            // frame in flight: a repeated segment it already had gets this
            // answer, and so does anything sent while it opened its port.
            // That frame is given up; the rest of the queue still goes.
            assembler_reset(sim.rx);
            reassembler_reset(sim.rx_segments);
            if (sim.outstanding.active) {
                log(sim, "adapter: frame in flight given up, the provider lost synchronisation");
                sim.outstanding = Outstanding{};
                try_send_next(sim);
            }
            return;
        case kLcAbort:
            assembler_reset(sim.rx);
            return;
        default:
            log(sim, "adapter: link control not expected from the provider, ignored");
            return;
    }
}

void on_data(Sim& sim, uint8_t type, std::span<const uint8_t> body, bool contained);

// Messages [s][type][s - 1 bytes] one after the other.
void open_super_frame(Sim& sim, std::span<const uint8_t> body) {
    size_t at = 0;
    while (at < body.size()) {
        const size_t s = body[at];
        if (s == 0 || s + 1 > body.size() - at) {
            log(sim, "adapter: super frame malformed at byte " + std::to_string(at) + ", rest dropped");
            return;
        }
        const uint8_t type = body[at + 1];
        const auto inner = body.subspan(at + 2, s - 1);
        log(sim, std::string("  in super frame: ") + describe_message(Direction::FromProvider, type, inner));
        if (type == kTypeLinkControl) {
            on_link_control(sim, inner);
        } else {
            on_data(sim, type, inner, true);
        }
        at += s + 1;
    }
}

void on_data(Sim& sim, uint8_t type, std::span<const uint8_t> body, bool contained) {
    switch (type) {
        case kTypeTqla:
            on_tqla(sim, body);
            return;
        case kTypeSegment:
            on_segment(sim, body);
            return;
        case kTypeKeyMessage:
            model_provider_key(&sim, body);
            return;
        case kTypeSuper:
        case kTypeSuperOld:
            if (contained) {
                log(sim, "adapter: super frame inside a container not opened");
            } else {
                open_super_frame(sim, body);
            }
            return;
        default:
            return;  // answers: logged, nothing more to do
    }
}

bool is_data_type(uint8_t type) {
    switch (type) {
        case kTypeTqla:
        case kTypeSegment:
        case kTypeKeyMessage:
        case kTypeAnswer0E:
        case kTypeSuper:
        case kTypeSuperOld:
            return true;
        default:
            return false;
    }
}

// [3 bytes of a link-control frame: L, 0x60, code][a data frame without
// its checksum: L, type, body].
void on_piggy_back(Sim& sim, std::span<const uint8_t> body) {
    if (body.size() < 5 || body[1] != kTypeLinkControl || body[3] == 0 ||
        static_cast<size_t>(body[3]) + 4 != body.size()) {
        log(sim, "adapter: piggy-back frame malformed, dropped");
        return;
    }
    const auto control = body.subspan(2, 1);
    const uint8_t type = body[4];
    const auto data = body.subspan(5);
    log(sim, "  link control part: " + describe_message(Direction::FromProvider, kTypeLinkControl, control));
    log(sim, "  data part: " + describe_message(Direction::FromProvider, type, data));
    if (type == kTypeLinkControl) {
        // A queued poll, configuration request or time-out change: its own
        // answer acknowledges it.
        on_link_control(sim, control);
        on_link_control(sim, data);
        return;
    }
    const bool accepted = accept_data_frame(sim);
    on_link_control(sim, control);
    if (accepted) {
        on_data(sim, type, data, false);
    }
}

void on_frame(Sim& sim, std::span<const uint8_t> frame) {
    const uint8_t type = frame_type(frame);
    const auto body = frame_body(frame);
    if (sim.faults.silent) {
        log_frame(sim, Direction::FromProvider, frame, "[ignored: silent]");
        return;
    }
    log_frame(sim, Direction::FromProvider, frame);
    if (type == kTypeLinkControl) {
        on_link_control(sim, body);
    } else if (type == kTypePiggyBack) {
        on_piggy_back(sim, body);
    } else if (type == kTypeAnswer00) {
        acknowledged(sim, AckKind::Answer00);
    } else if (type == kTypeAnswer20) {
        acknowledged(sim, AckKind::Answer20);
    } else if (is_data_type(type)) {
        if (accept_data_frame(sim)) {
            on_data(sim, type, body, false);
        }
    } else {
        log(sim, "adapter: unknown frame type, not acknowledged");
    }
}

void drop_stale_partial(Sim& sim) {
    if (!assembler_collecting(sim.rx) || sim.now - sim.rx.last_byte_ms < sim.config.partial_frame_ms) {
        return;
    }
    log(sim, "provider -> adapter: partial frame " + hex_bytes(assembler_frame(sim.rx)) + " dropped");
    assembler_reset(sim.rx);
    if (!sim.faults.silent) {
        write_link_control(sim, kLcNackLength);
    }
}

// ------------------------------------------------------------ set messages

void send_trace(Sim& sim, uint8_t header, std::span<const uint8_t> address, std::span<const uint8_t> body) {
    std::array<uint8_t, kMaxFrameBody> bytes{};
    if (address.size() + body.size() > bytes.size()) {
        log(sim, "adapter: set message too long, not sent");
        return;
    }
    std::copy(address.begin(), address.end(), bytes.begin());
    std::copy(body.begin(), body.end(), bytes.begin() + static_cast<std::ptrdiff_t>(address.size()));
    Frame frame;
    make_frame(header, {bytes.data(), address.size() + body.size()}, &frame);
    if (!sim.config.trace_mode) {
        log(sim, "adapter: trace mode off, not passed on: " +
                     describe_message(Direction::FromAdapter, header, frame_body(frame.view())));
        return;
    }
    queue_frame(sim, frame);
}

}  // namespace

// ------------------------------------------------------------------ public

Sim* sim_create(const SetDescription& set) {
    Sim* sim = new Sim;
    sim->set = set;
    model_init(sim->model);
    return sim;
}

Model& sim_model(Sim* sim) {
    return sim->model;
}

const Model& sim_model(const Sim* sim) {
    return sim->model;
}

uint32_t sim_now(const Sim* sim) {
    return sim->now;
}

void sim_note(Sim* sim, std::string text) {
    log(*sim, std::move(text));
}

const SetDescription& sim_set_const(const Sim* sim) {
    return sim->set;
}

void sim_destroy(Sim* sim) {
    delete sim;
}

void sim_receive(Sim* sim, std::span<const uint8_t> bytes, uint32_t now_ms) {
    sim->now = now_ms;
    drop_stale_partial(*sim);
    if (bytes.empty()) {
        return;
    }
    sim->last_rx_ms = now_ms;
    sim->silence_enquired = false;
    for (const uint8_t byte : bytes) {
        switch (assembler_feed(sim->rx, byte, now_ms)) {
            case FeedResult::Complete:
                on_frame(*sim, assembler_frame(sim->rx));
                break;
            case FeedResult::BadChecksum:
                log(*sim, "provider -> adapter: wrong checksum in " + hex_bytes(assembler_frame(sim->rx)));
                if (!sim->faults.silent) {
                    write_link_control(*sim, kLcNackChecksum);
                }
                break;
            case FeedResult::Ignored:
                log(*sim, "provider -> adapter: byte 00 between frames skipped");
                break;
            case FeedResult::Pending:
                break;
        }
    }
}

void sim_tick(Sim* sim, uint32_t now_ms) {
    sim->now = now_ms;
    model_tick(sim);
    drop_stale_partial(*sim);
    if (sim->faults.silent) {
        return;
    }
    if (sim->outstanding.active && now_ms - sim->outstanding.sent_ms >= sim->config.ack_wait_ms) {
        resend_outstanding(*sim);
    }
    const uint32_t silence = sim->faults.enquiry_after_silence_ms;
    if (silence > 0 && !sim->silence_enquired && now_ms - sim->last_rx_ms >= silence) {
        sim->silence_enquired = true;
        sim_write_enquiries(sim, sim->faults.enquiries_per_write);
    }
    try_send_next(*sim);
}

std::vector<uint8_t> sim_take_output(Sim* sim) {
    std::vector<uint8_t> bytes(sim->out.begin(),
                               sim->out.begin() + static_cast<std::ptrdiff_t>(sim->out_size));
    sim->out_size = 0;
    return bytes;
}

AdapterConfig& sim_adapter(Sim* sim) {
    return sim->config;
}

Faults& sim_faults(Sim* sim) {
    return sim->faults;
}

SetDescription& sim_set(Sim* sim) {
    return sim->set;
}

std::vector<std::string> sim_log(const Sim* sim) {
    return {sim->log_all.begin(), sim->log_all.end()};
}

std::vector<LogEntry> sim_take_log(Sim* sim) {
    std::vector<LogEntry> entries(std::make_move_iterator(sim->log_new.begin()),
                                  std::make_move_iterator(sim->log_new.end()));
    sim->log_new.clear();
    return entries;
}

bool sim_link_up(const Sim* sim) {
    return sim->link_up;
}

void sim_restart_adapter(Sim* sim) {
    assembler_reset(sim->rx);
    reassembler_reset(sim->rx_segments);
    reassembler_reset(sim->tx_segments);
    sim->queue_head = 0;
    sim->queue_count = 0;
    sim->outstanding = Outstanding{};
    sim->link_up = false;
    sim->last_request = LastRequest{};
    log(*sim, "adapter: restarted");
}

size_t sim_frames_pending(const Sim* sim) {
    return sim->queue_count + (sim->outstanding.active ? 1 : 0);
}

void sim_send_device_assoc_ack(Sim* sim) {
    TqlaMessage message;
    if (pbx_device_assoc_ack(sim->set, sim->pbx_sequence++, &message)) {
        queue_message(*sim, message.view());
    } else {
        log(*sim, "PBX: DEVICE_ASSOC_ACK does not fit in a message, not sent");
    }
}

void sim_send_tqla(Sim* sim, uint16_t code, std::span<const uint8_t> payload) {
    TqlaMessage message;
    tqla_begin(message, sim->set.tqla_version, code, sim->pbx_sequence++);
    tqla_put_bytes(message, payload);
    if (tqla_finish(message)) {
        queue_message(*sim, message.view());
    } else {
        log(*sim, "PBX: TQLA payload too long, not sent");
    }
}

void sim_show_text(Sim* sim, uint8_t line, uint8_t column, std::string_view text, uint8_t mode) {
    if (line > 1) {
        log(*sim, "adapter: display line " + std::to_string(line) + " does not exist, not sent");
        return;
    }
    std::array<uint8_t, kMaxFrameBody - 1> body{};
    if (text.size() + 3 > body.size()) {
        log(*sim, "adapter: display text too long, not sent");
        return;
    }
    body[0] = static_cast<uint8_t>(0x27 + line);
    body[1] = mode;
    body[2] = column;
    std::copy(text.begin(), text.end(), body.begin() + 3);
    model_note_pbx_to_set(sim->model, {body.data(), text.size() + 3});
    send_trace(*sim, kTypeTracePbxToSet, {}, {body.data(), text.size() + 3});
}

void sim_show_icon(Sim* sim, uint8_t key, uint16_t icon) {
    const std::array<uint8_t, 4> body{0x47, key, static_cast<uint8_t>(icon & 0xFF),
                                      static_cast<uint8_t>(icon >> 8)};
    model_note_pbx_to_set(sim->model, body);
    send_trace(*sim, kTypeTracePbxToSet, {}, body);
}

void sim_show_module_icon(Sim* sim, uint8_t address, uint8_t key, uint16_t icon) {
    const std::array<uint8_t, 1> prefix{address};
    const std::array<uint8_t, 4> body{0x47, key, static_cast<uint8_t>(icon & 0xFF),
                                      static_cast<uint8_t>(icon >> 8)};
    model_note_module(sim->model, sim->set, address, body);
    send_trace(*sim, kTypeTracePbxToModule, prefix, body);
}

void sim_press_key(Sim* sim, uint8_t key) {
    const std::array<uint8_t, 2> body{0x20, key};
    send_trace(*sim, kTypeTraceSetToPbx, {}, body);
}

void sim_press_digit(Sim* sim, uint8_t digit) {
    const std::array<uint8_t, 2> body{0x03, digit};
    send_trace(*sim, kTypeTraceSetToPbx, {}, body);
}

void sim_press_module_key(Sim* sim, uint8_t address, uint8_t key) {
    const std::array<uint8_t, 1> prefix{address};
    const std::array<uint8_t, 2> body{0x20, key};
    send_trace(*sim, kTypeTraceModuleToPbx, prefix, body);
}

void sim_pbx_to_set(Sim* sim, std::span<const uint8_t> body) {
    model_note_pbx_to_set(sim->model, body);
    send_trace(*sim, kTypeTracePbxToSet, {}, body);
}

void sim_set_to_pbx(Sim* sim, std::span<const uint8_t> body) {
    send_trace(*sim, kTypeTraceSetToPbx, {}, body);
}

void sim_pbx_to_module(Sim* sim, uint8_t address, std::span<const uint8_t> body) {
    model_note_module(sim->model, sim->set, address, body);
    const std::array<uint8_t, 1> prefix{address};
    send_trace(*sim, kTypeTracePbxToModule, prefix, body);
}

void sim_module_to_pbx(Sim* sim, uint8_t address, std::span<const uint8_t> body) {
    const std::array<uint8_t, 1> prefix{address};
    send_trace(*sim, kTypeTraceModuleToPbx, prefix, body);
}

void sim_queue_frame(Sim* sim, uint8_t type, std::span<const uint8_t> body) {
    Frame frame;
    if (!make_frame(type, body, &frame)) {
        log(*sim, "adapter: frame body too long, not sent");
        return;
    }
    queue_frame(*sim, frame);
}

void sim_write_frame(Sim* sim, uint8_t type, std::span<const uint8_t> body) {
    Frame frame;
    if (!make_frame(type, body, &frame)) {
        log(*sim, "adapter: frame body too long, not sent");
        return;
    }
    write_frame(*sim, frame);
}

void sim_write_link_control(Sim* sim, uint8_t code) {
    write_link_control(*sim, code);
}

void sim_write_enquiries(Sim* sim, uint8_t count) {
    for (uint8_t i = 0; i < count; ++i) {
        write_link_control(*sim, kLcAckEnquiry);
    }
}

void sim_write_bytes(Sim* sim, std::span<const uint8_t> bytes) {
    log(*sim, "adapter -> provider: bytes " + hex_bytes(bytes));
    write_raw(*sim, bytes);
}

}  // namespace zq::sim
