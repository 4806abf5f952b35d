// The simulator of the PC interface adapter, the PBX and the set: the other
// end of the provider's serial line.
//
// The adapter answers the provider's link-control frames, acknowledges its
// data frames and sends its own data frames stop-and-wait (one outstanding,
// resent when not acknowledged in time). Behind it the PBX answers the
// configuration download from a SetDescription and, in trace mode, the
// messages between the PBX and the set are passed on in trace headers.
//
// Time is the caller's: every call carries "now" in milliseconds, so tests
// run in virtual time and zqsim runs on the monotonic clock. Bytes from the
// provider go in through sim_receive(); bytes for it are collected and taken
// with sim_take_output(). Every frame is logged in words.
//
// The adapter passes data frames only while its link is up: from the
// provider's first poll (60 01) until the adapter restarts.
//
// Behind the adapter the set and the PBX keep calls (zq/sim_calls.h): the
// key messages the provider sends reach the set, which answers with icons,
// displays and TQLA call events. The raw set messages below only show or
// trace; they change no call.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zq/sim_calls.h"
#include "zq/sim_set.h"
#include "zq/sim_wire.h"

namespace zq::sim {

struct Sim;

// How the adapter presents itself; a test may change it at any time.
struct AdapterConfig {
    // The configuration response 60 11: version, parameter byte,
    // capabilities (kCapSuperFrames, kCapPiggyBack) and option byte.
    uint8_t version_major = 3;
    uint8_t version_minor = 7;
    uint8_t parameter = 25;
    uint8_t capabilities = kCapSuperFrames | kCapPiggyBack;
    uint8_t option = 0;
    // PBX <-> set messages are passed on in trace headers only when on.
    bool trace_mode = true;
    // After the configuration response the PBX writes the directory number
    // on display line 0, which shows the provider that trace mode is on.
    bool idle_display = true;
    // A data frame not acknowledged in this time is sent again, at most
    // max_resends times, then given up. The time-out change 60 12 xx sets
    // it to xx * 10 ms.
    uint32_t ack_wait_ms = 300;
    uint8_t max_resends = 10;
    // A frame from the provider not completed in this time is dropped and
    // answered with NACK 60 83.
    uint32_t partial_frame_ms = 300;
};

// Misbehaviour on purpose; each a switch that stays as set.
struct Faults {
    bool silent = false;        // reads and logs, but answers and sends nothing
    bool bad_checksum = false;  // every frame written has a wrong checksum
    bool no_ack = false;        // data frames are taken but never acknowledged
    // 0x83, 0x84 or 0x85: sent in place of every ACK; the frame is rejected.
    uint8_t nack_instead_of_ack = 0;
    // Every frame written stops after this many bytes (0: whole frames).
    uint8_t cut_frames_after = 0;
    // After this long without a byte from the provider, write
    // enquiries_per_write acknowledgement enquiries 60 87 in one write
    // (once per silence; 0: never).
    uint32_t enquiry_after_silence_ms = 0;
    uint8_t enquiries_per_write = 1;
};

struct LogEntry {
    uint32_t ms = 0;
    std::string text;
};

Sim* sim_create(const SetDescription& set);
void sim_destroy(Sim* sim);

// Bytes the provider wrote, received at now_ms.
void sim_receive(Sim* sim, std::span<const uint8_t> bytes, uint32_t now_ms);
// Time passes: resends, partial-frame and silence time-outs.
void sim_tick(Sim* sim, uint32_t now_ms);
// The bytes written for the provider since the last call, in order.
std::vector<uint8_t> sim_take_output(Sim* sim);

AdapterConfig& sim_adapter(Sim* sim);
Faults& sim_faults(Sim* sim);
// The set the PBX describes; changes show in the next answers.
SetDescription& sim_set(Sim* sim);

// Every line logged so far (the most recent 20000), and the lines logged
// since the last sim_take_log() with their times, removed from that queue.
std::vector<std::string> sim_log(const Sim* sim);
std::vector<LogEntry> sim_take_log(Sim* sim);

bool sim_link_up(const Sim* sim);
// The adapter starts again (power lost, reset): what it was receiving and
// every queued frame are lost, and its link is down until the next poll.
void sim_restart_adapter(Sim* sim);
// Data frames waiting, the outstanding one included.
size_t sim_frames_pending(const Sim* sim);

// ------------------------------------------------------------------ PBX side

// A DEVICE_ASSOC_ACK from the current set description, unasked (the PBX
// sends one after a forwarding change).
void sim_send_device_assoc_ack(Sim* sim);
// Any TQLA message (call events 23, 24, 25, 28 …) with the set's version
// byte and the PBX's next sequence number; segmented when 16 bytes or more.
void sim_send_tqla(Sim* sim, uint16_t code, std::span<const uint8_t> payload);

// --------------------------------------------------------- set messages
// Each goes out in its trace header, and only in trace mode.

// Display text on line 0 or 1 from column; mode: operation in bits 0-1
// (0 clear the line first, 1 overwrite, 2 append), bit 7 more to follow.
void sim_show_text(Sim* sim, uint8_t line, uint8_t column, std::string_view text, uint8_t mode = 0);
// Icon word of a key of the set (low byte first on the wire).
void sim_show_icon(Sim* sim, uint8_t key, uint16_t icon);
// Icon word of key `key` of the add-on module at `address` (0x63 header).
void sim_show_module_icon(Sim* sim, uint8_t address, uint8_t key, uint16_t icon);
// The user presses a key of the set, or a digit 0..9, 10 for *, 11 for #.
void sim_press_key(Sim* sim, uint8_t key);
void sim_press_digit(Sim* sim, uint8_t digit);
void sim_press_module_key(Sim* sim, uint8_t address, uint8_t key);
// Raw message bodies (from the message type byte on) in the four headers.
void sim_pbx_to_set(Sim* sim, std::span<const uint8_t> body);
void sim_set_to_pbx(Sim* sim, std::span<const uint8_t> body);
void sim_pbx_to_module(Sim* sim, uint8_t address, std::span<const uint8_t> body);
void sim_module_to_pbx(Sim* sim, uint8_t address, std::span<const uint8_t> body);

// ------------------------------------------------------------ link level

// A data frame of any type, sent stop-and-wait. Types 0x00 and 0x20 count
// as acknowledged by the provider's answers 01 00 FF and 01 20 DF.
void sim_queue_frame(Sim* sim, uint8_t type, std::span<const uint8_t> body);
// A frame written at once and not waited for (unknown types, link control
// such as 60 86 ABORT, 60 02 poll).
void sim_write_frame(Sim* sim, uint8_t type, std::span<const uint8_t> body);
void sim_write_link_control(Sim* sim, uint8_t code);
// `count` acknowledgement enquiries 02 60 87 17 in one write.
void sim_write_enquiries(Sim* sim, uint8_t count);
// Any bytes, as they are (partial frames, noise).
void sim_write_bytes(Sim* sim, std::span<const uint8_t> bytes);

}  // namespace zq::sim
