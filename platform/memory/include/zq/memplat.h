// Control of the in-memory platform backend used by the component tests:
// a fake serial port, a manual clock, an in-memory registry, INI files and
// files, message boxes and the worker's tick, driven from the test.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zq/platform.h"

namespace zq::memplat {

// Clears everything: ports, registry, files, boxes, clock (0), handlers.
void reset();

// ---- clock
void set_time(uint32_t ms);
void advance(uint32_t ms);
// Real waits of the backend (events, threads, mutexes) last 1/divisor of
// the time asked for, so a 20 s time-out takes 200 ms of real time.
void set_wait_divisor(uint32_t divisor);

// ---- serial ports: "COM1".."COM9"
void port_add(std::string_view name);
void port_remove(std::string_view name);
void port_set_open_error(std::string_view name, uint32_t err);
void port_set_configure_error(std::string_view name, uint32_t err);
void port_set_write_error(std::string_view name, uint32_t err);
void port_set_rts_error(std::string_view name, uint32_t err);
// A fixed output queue size reported by ClearCommError (bytes waiting to go).
void port_set_out_queue(std::string_view name, uint32_t bytes);
// When not 0, the port sends at this many bytes per second of virtual time,
// as a UART does: what is written counts in the output queue until the
// clock has let it go (9600 baud, 8N2: 873).
void port_set_line_rate(std::string_view name, uint32_t bytesPerSecond);
// Bytes from the adapter, read by the provider's next reads.
void port_feed(std::string_view name, const std::vector<uint8_t>& bytes);
// Every write since the last take, one entry per write.
std::vector<std::vector<uint8_t>> port_take_writes(std::string_view name);
bool port_is_open(std::string_view name);
bool port_rts(std::string_view name);
plat::SerialSettings port_settings(std::string_view name);

// ---- registry
void reg_put_string(plat::RegRoot root, std::string_view path, std::string_view name, std::string_view value);
void reg_put_dword(plat::RegRoot root, std::string_view path, std::string_view name, uint32_t value);
std::optional<std::string> reg_get_string(plat::RegRoot root, std::string_view path, std::string_view name);
bool reg_key_exists(plat::RegRoot root, std::string_view path);
// Every registry write (set, delete) counted since reset.
int reg_write_count();
// Make every registry call fail with this error (0 restores).
void reg_fail_all(uint32_t err);
// The same after `calls` more calls have succeeded (a key deleted by
// another process in the middle of a reading); counts the failed calls.
void reg_fail_after(int calls, uint32_t err);
int reg_failed_calls();

// ---- INI files and files (paths as the provider builds them)
std::optional<std::string> profile_text(std::string_view file);
std::optional<std::string> file_text(std::string_view path);
void file_put(std::string_view path, std::string_view text);
std::vector<std::string> file_list();
// Make file opening fail (true) or work again (false).
void file_fail_open(bool fail);

// ---- message boxes
struct Box {
    std::string text;
    std::string caption;
    uint32_t flags = 0;
};
std::vector<Box> boxes();
// Replaces the default handler (which answers IDOK at once).
void set_box_handler(std::function<int(const Box&)> handler);

// ---- the worker's tick
// Runs n ticks of the thread timer on the thread that owns it, one after
// the other, advancing the clock by the timer period before each. Returns
// false when no thread has a timer or a tick did not finish in time.
bool run_ticks(int n);
bool timer_running();
// Threads started by the provider that have not yet returned from their
// procedure (a forgotten worker included).
int threads_running();

}  // namespace zq::memplat
