// The in-memory platform backend of the component tests.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "zq/ini_text.h"
#include "zq/memplat.h"
#include "zq/platform.h"
#include "zq/reg_tree.h"

namespace zq::plat {

struct SerialPort {
    std::string name;
};

struct RegKey {
    RegRoot root = RegRoot::LocalMachine;
    std::string path;
    bool predefined = false;
};

struct File {
    std::string path;
};

}  // namespace zq::plat

namespace zq::memplat {
namespace {

using namespace zq::plat;
using Clock = std::chrono::steady_clock;

struct FakePort {
    bool open = false;
    uint32_t openError = 0;
    uint32_t configureError = 0;
    uint32_t writeError = 0;
    uint32_t rtsError = 0;
    uint32_t outQueue = 0;
    uint32_t lineRate = 0;      // bytes per second; 0: written bytes leave at once
    uint32_t sending = 0;       // bytes written and not yet on the line
    uint32_t sendingSince = 0;  // the clock when `sending` was last counted
    bool rts = false;
    SerialSettings settings;
    std::deque<uint8_t> rx;
    std::vector<std::vector<uint8_t>> writes;
};

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return u;
}

// File paths compare as Windows compares them.
std::string NormPath(std::string_view p) {
    std::string u = Upper(p);
    std::replace(u.begin(), u.end(), '/', '\\');
    return u;
}

std::string PortKey(std::string_view name) {
    std::string u = Upper(name);
    if (u.rfind("\\\\.\\", 0) == 0)
        u = u.substr(4);
    return u;
}

struct World {
    std::mutex m;
    uint32_t now = 0;
    uint32_t waitDivisor = 100;
    std::map<std::string, FakePort> ports;
    common::RegNode hklm, hkcu;
    int regWrites = 0;
    uint32_t regFail = 0;
    int regFailAfter = 0;                         // calls that still succeed once regFail is set
    int regFailed = 0;                            // calls failed by regFail
    std::map<std::string, std::string> profiles;  // by upper-case file name
    std::map<std::string, std::pair<std::string, std::string>> files;  // norm path -> (path, text)
    std::set<std::string> dirs;
    bool failOpen = false;
    std::vector<Box> boxes;
    std::function<int(const Box&)> boxHandler;
};

World& W() {
    static World w;
    return w;
}

common::RegNode& RootNode(RegRoot r) {
    return r == RegRoot::LocalMachine ? W().hklm : W().hkcu;
}

std::chrono::milliseconds Scaled(uint32_t ms) {
    if (ms == kInfinite)
        return std::chrono::hours(1);
    const uint32_t d = std::max<uint32_t>(1, W().waitDivisor);
    return std::chrono::milliseconds(std::max<uint32_t>(1, ms / d));
}

// ---- threads' message queues (the thread timer)
struct MsgQueue {
    uint32_t threadId = 0;
    uint32_t timerId = 0;
    TimerProc proc = nullptr;
    int pending = 0;
    int processed = 0;
    bool wake = false;
};

std::mutex g_qm;
std::atomic<int> g_threadsRunning{0};
std::condition_variable g_qcv;
std::map<uint32_t, MsgQueue> g_queues;  // by thread id
std::atomic<uint32_t> g_nextTimerId{1};
std::atomic<uint32_t> g_nextThreadId{1};
thread_local uint32_t t_threadId = 0;

uint32_t ThisThreadId() {
    if (t_threadId == 0)
        t_threadId = g_nextThreadId++;
    return t_threadId;
}

void WakeAllQueues() {
    std::lock_guard lk(g_qm);
    for (auto& [id, q] : g_queues)
        q.wake = true;
    g_qcv.notify_all();
}

}  // namespace

void reset() {
    World& w = W();
    {
        std::lock_guard lk(w.m);
        w.now = 0;
        w.waitDivisor = 100;
        w.ports.clear();
        // The standard keys every Windows registry has.
        w.hklm = {};
        w.hkcu = {};
        common::reg_make(w.hklm, "SOFTWARE");
        common::reg_make(w.hkcu, "Software");
        w.regWrites = 0;
        w.regFail = 0;
        w.regFailAfter = 0;
        w.regFailed = 0;
        w.profiles.clear();
        w.files.clear();
        w.dirs.clear();
        w.failOpen = false;
        w.boxes.clear();
        w.boxHandler = nullptr;
    }
    std::lock_guard lk(g_qm);
    g_queues.clear();
}

void set_time(uint32_t ms) {
    std::lock_guard lk(W().m);
    W().now = ms;
}
void advance(uint32_t ms) {
    std::lock_guard lk(W().m);
    W().now += ms;
}
void set_wait_divisor(uint32_t divisor) {
    std::lock_guard lk(W().m);
    W().waitDivisor = divisor;
}

template <typename F>
static void WithPort(std::string_view name, F f) {
    std::lock_guard lk(W().m);
    f(W().ports[PortKey(name)]);
}

void port_add(std::string_view name) {
    WithPort(name, [](FakePort&) {});
}
void port_remove(std::string_view name) {
    std::lock_guard lk(W().m);
    W().ports.erase(PortKey(name));
}
void port_set_open_error(std::string_view name, uint32_t err) {
    WithPort(name, [&](FakePort& p) { p.openError = err; });
}
void port_set_configure_error(std::string_view name, uint32_t err) {
    WithPort(name, [&](FakePort& p) { p.configureError = err; });
}
void port_set_write_error(std::string_view name, uint32_t err) {
    WithPort(name, [&](FakePort& p) { p.writeError = err; });
}
void port_set_rts_error(std::string_view name, uint32_t err) {
    WithPort(name, [&](FakePort& p) { p.rtsError = err; });
}
void port_set_out_queue(std::string_view name, uint32_t bytes) {
    WithPort(name, [&](FakePort& p) { p.outQueue = bytes; });
}
void port_set_line_rate(std::string_view name, uint32_t bytesPerSecond) {
    WithPort(name, [&](FakePort& p) { p.lineRate = bytesPerSecond; });
}
void port_feed(std::string_view name, const std::vector<uint8_t>& bytes) {
    WithPort(name, [&](FakePort& p) { p.rx.insert(p.rx.end(), bytes.begin(), bytes.end()); });
}
std::vector<std::vector<uint8_t>> port_take_writes(std::string_view name) {
    std::vector<std::vector<uint8_t>> out;
    WithPort(name, [&](FakePort& p) { out.swap(p.writes); });
    return out;
}
bool port_is_open(std::string_view name) {
    bool open = false;
    WithPort(name, [&](FakePort& p) { open = p.open; });
    return open;
}
bool port_rts(std::string_view name) {
    bool rts = false;
    WithPort(name, [&](FakePort& p) { rts = p.rts; });
    return rts;
}
SerialSettings port_settings(std::string_view name) {
    SerialSettings s;
    WithPort(name, [&](FakePort& p) { s = p.settings; });
    return s;
}

void reg_put_string(RegRoot root, std::string_view path, std::string_view name, std::string_view value) {
    std::lock_guard lk(W().m);
    common::RegNode* node = common::reg_make(RootNode(root), path);
    if (node == nullptr)
        return;
    std::vector<uint8_t> data(value.begin(), value.end());
    data.push_back(0);
    common::reg_tree_set(*node, name, kRegSz, data);
}
void reg_put_dword(RegRoot root, std::string_view path, std::string_view name, uint32_t value) {
    std::lock_guard lk(W().m);
    common::RegNode* node = common::reg_make(RootNode(root), path);
    if (node == nullptr)
        return;
    const std::vector<uint8_t> data{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                    static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    common::reg_tree_set(*node, name, kRegDword, data);
}
std::optional<std::string> reg_get_string(RegRoot root, std::string_view path, std::string_view name) {
    std::lock_guard lk(W().m);
    common::RegNode* node = common::reg_find(RootNode(root), path);
    if (node == nullptr)
        return std::nullopt;
    for (const common::RegValue& v : node->values) {
        if (Upper(v.name) != Upper(name))
            continue;
        std::string s(v.data.begin(), v.data.end());
        if (!s.empty() && s.back() == '\0')
            s.pop_back();
        return s;
    }
    return std::nullopt;
}
bool reg_key_exists(RegRoot root, std::string_view path) {
    std::lock_guard lk(W().m);
    return common::reg_find(RootNode(root), path) != nullptr;
}
int reg_write_count() {
    std::lock_guard lk(W().m);
    return W().regWrites;
}
void reg_fail_all(uint32_t err) {
    reg_fail_after(0, err);
}
void reg_fail_after(int calls, uint32_t err) {
    std::lock_guard lk(W().m);
    W().regFail = err;
    W().regFailAfter = calls;
    W().regFailed = 0;
}
int reg_failed_calls() {
    std::lock_guard lk(W().m);
    return W().regFailed;
}

std::optional<std::string> profile_text(std::string_view file) {
    std::lock_guard lk(W().m);
    auto it = W().profiles.find(Upper(file));
    if (it == W().profiles.end())
        return std::nullopt;
    return it->second;
}
std::optional<std::string> file_text(std::string_view path) {
    std::lock_guard lk(W().m);
    auto it = W().files.find(NormPath(path));
    if (it == W().files.end())
        return std::nullopt;
    return it->second.second;
}
void file_put(std::string_view path, std::string_view text) {
    std::lock_guard lk(W().m);
    W().files[NormPath(path)] = {std::string(path), std::string(text)};
}
std::vector<std::string> file_list() {
    std::lock_guard lk(W().m);
    std::vector<std::string> out;
    for (auto& [k, v] : W().files)
        out.push_back(v.first);
    return out;
}
void file_fail_open(bool fail) {
    std::lock_guard lk(W().m);
    W().failOpen = fail;
}

std::vector<Box> boxes() {
    std::lock_guard lk(W().m);
    return W().boxes;
}
void set_box_handler(std::function<int(const Box&)> handler) {
    std::lock_guard lk(W().m);
    W().boxHandler = std::move(handler);
}

bool timer_running() {
    std::lock_guard lk(g_qm);
    return std::any_of(g_queues.begin(), g_queues.end(), [](auto& e) { return e.second.proc != nullptr; });
}

int threads_running() {
    return g_threadsRunning.load();
}

bool run_ticks(int n) {
    for (int i = 0; i < n; ++i) {
        advance(100);
        std::unique_lock lk(g_qm);
        auto it =
            std::find_if(g_queues.begin(), g_queues.end(), [](auto& e) { return e.second.proc != nullptr; });
        if (it == g_queues.end())
            return false;
        const uint32_t tid = it->first;
        MsgQueue& q = it->second;
        const int target = q.processed + q.pending + 1;
        ++q.pending;
        g_qcv.notify_all();
        const bool done = g_qcv.wait_for(lk, std::chrono::seconds(20), [&] {
            auto jt = g_queues.find(tid);
            return jt == g_queues.end() || jt->second.processed >= target || jt->second.proc == nullptr;
        });
        if (!done)
            return false;
    }
    return true;
}

}  // namespace zq::memplat

// ============================================================ the interface
namespace zq::plat {

using memplat::Box;
using memplat::W;

// ---------------------------------------------------------------- serial

uint32_t serial_open(std::string_view name, SerialPort** port) {
    *port = nullptr;
    std::lock_guard lk(W().m);
    auto it = W().ports.find(memplat::PortKey(name));
    if (it == W().ports.end())
        return kErrFileNotFound;
    memplat::FakePort& p = it->second;
    if (p.openError != 0)
        return p.openError;
    if (p.open)
        return kErrAccessDenied;
    p.open = true;
    *port = new SerialPort{it->first};
    return kErrSuccess;
}

template <typename F>
static uint32_t OnPort(SerialPort* port, F f) {
    if (port == nullptr)
        return kErrInvalidHandle;
    std::lock_guard lk(W().m);
    auto it = W().ports.find(port->name);
    if (it == W().ports.end() || !it->second.open)
        return kErrInvalidHandle;
    return f(it->second);
}

uint32_t serial_configure(SerialPort* port, const SerialSettings& settings) {
    return OnPort(port, [&](memplat::FakePort& p) {
        if (p.configureError != 0)
            return p.configureError;
        p.settings = settings;
        return kErrSuccess;
    });
}
uint32_t serial_set_timeouts(SerialPort* port) {
    return OnPort(port, [](memplat::FakePort&) { return kErrSuccess; });
}
uint32_t serial_set_rts(SerialPort* port, bool raised) {
    return OnPort(port, [&](memplat::FakePort& p) {
        if (p.rtsError != 0)
            return p.rtsError;
        p.rts = raised;
        return kErrSuccess;
    });
}
// What the line rate has sent since the bytes were last counted; called
// with the world's lock held.
static void DrainLine(memplat::FakePort& p) {
    if (p.lineRate == 0 || p.sending == 0) {
        p.sendingSince = W().now;
        return;
    }
    const uint64_t sent = uint64_t{W().now - p.sendingSince} * p.lineRate / 1000;
    if (sent >= p.sending) {
        p.sending = 0;
        p.sendingSince = W().now;
        return;
    }
    p.sending -= static_cast<uint32_t>(sent);
    // Only the time the whole bytes took is used up.
    p.sendingSince += static_cast<uint32_t>(sent * 1000 / p.lineRate);
}

uint32_t serial_clear_error(SerialPort* port, CommStatus* status) {
    return OnPort(port, [&](memplat::FakePort& p) {
        DrainLine(p);
        if (status != nullptr)
            *status = CommStatus{0, static_cast<uint32_t>(p.rx.size()), std::max(p.outQueue, p.sending)};
        return kErrSuccess;
    });
}
uint32_t serial_flush(SerialPort* port) {
    return OnPort(port, [](memplat::FakePort&) { return kErrSuccess; });
}
uint32_t serial_read(SerialPort* port, std::span<uint8_t> dest, uint32_t* got) {
    *got = 0;
    return OnPort(port, [&](memplat::FakePort& p) {
        const size_t n = std::min(dest.size(), p.rx.size());
        std::copy_n(p.rx.begin(), n, dest.begin());
        p.rx.erase(p.rx.begin(), p.rx.begin() + static_cast<std::ptrdiff_t>(n));
        *got = static_cast<uint32_t>(n);
        return kErrSuccess;
    });
}
uint32_t serial_write(SerialPort* port, std::span<const uint8_t> bytes) {
    return OnPort(port, [&](memplat::FakePort& p) {
        if (p.writeError != 0)
            return p.writeError;
        DrainLine(p);
        if (p.lineRate != 0)
            p.sending += static_cast<uint32_t>(bytes.size());
        p.writes.emplace_back(bytes.begin(), bytes.end());
        return kErrSuccess;
    });
}
void serial_close(SerialPort* port) {
    if (port == nullptr)
        return;
    {
        std::lock_guard lk(W().m);
        auto it = W().ports.find(port->name);
        if (it != W().ports.end()) {
            it->second.open = false;
            it->second.rts = false;
        }
    }
    delete port;
}

// ---------------------------------------------------------------- registry

RegKey* reg_root(RegRoot root) {
    static RegKey lm{RegRoot::LocalMachine, "", true};
    static RegKey cu{RegRoot::CurrentUser, "", true};
    return root == RegRoot::LocalMachine ? &lm : &cu;
}

static std::string JoinPath(const RegKey* parent, std::string_view sub) {
    if (parent->path.empty())
        return std::string(sub);
    if (sub.empty())
        return parent->path;
    return parent->path + "\\" + std::string(sub);
}

// With W().m held: the error of a registry call made to fail, or 0.
static uint32_t InjectedRegFailure() {
    if (W().regFail == 0)
        return 0;
    if (W().regFailAfter > 0) {
        --W().regFailAfter;
        return 0;
    }
    W().regFailed = std::min(W().regFailed + 1, INT32_MAX - 1);
    return W().regFail;
}

uint32_t reg_open_key(RegKey* parent, std::string_view subkey, RegKey** out) {
    *out = nullptr;
    if (parent == nullptr)
        return kErrInvalidHandle;
    std::lock_guard lk(W().m);
    if (const uint32_t err = InjectedRegFailure(); err != 0)
        return err;
    const std::string path = JoinPath(parent, subkey);
    if (common::reg_find(memplat::RootNode(parent->root), path) == nullptr)
        return kErrFileNotFound;
    *out = new RegKey{parent->root, path, false};
    return kErrSuccess;
}

uint32_t reg_create_key(RegKey* parent, std::string_view subkey, RegKey** out) {
    *out = nullptr;
    if (parent == nullptr)
        return kErrInvalidHandle;
    std::lock_guard lk(W().m);
    if (const uint32_t err = InjectedRegFailure(); err != 0)
        return err;
    const std::string path = JoinPath(parent, subkey);
    if (common::reg_make(memplat::RootNode(parent->root), path) == nullptr)
        return kErrInvalidParameter;
    *out = new RegKey{parent->root, path, false};
    return kErrSuccess;
}

void reg_close_key(RegKey* key) {
    if (key != nullptr && !key->predefined)
        delete key;
}

template <typename F>
static uint32_t OnKey(RegKey* key, F f) {
    if (key == nullptr)
        return kErrInvalidHandle;
    std::lock_guard lk(W().m);
    if (const uint32_t err = InjectedRegFailure(); err != 0)
        return err;
    common::RegNode* node = common::reg_find(memplat::RootNode(key->root), key->path);
    if (node == nullptr)
        return kErrFileNotFound;
    return f(*node);
}

uint32_t reg_query_value(RegKey* key, std::string_view name, uint32_t* type, std::span<uint8_t> dest,
                         uint32_t* size) {
    return OnKey(key, [&](common::RegNode& n) { return common::reg_tree_query(n, name, type, dest, size); });
}
uint32_t reg_set_string(RegKey* key, std::string_view name, std::string_view text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return OnKey(key, [&](common::RegNode& n) {
        ++W().regWrites;
        return common::reg_tree_set(n, name, kRegSz, data);
    });
}
uint32_t reg_set_dword(RegKey* key, std::string_view name, uint32_t value) {
    const std::vector<uint8_t> data{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                    static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return OnKey(key, [&](common::RegNode& n) {
        ++W().regWrites;
        return common::reg_tree_set(n, name, kRegDword, data);
    });
}
uint32_t reg_delete_value(RegKey* key, std::string_view name) {
    return OnKey(key, [&](common::RegNode& n) {
        ++W().regWrites;
        return common::reg_tree_delete_value(n, name);
    });
}
uint32_t reg_enum_value(RegKey* key, uint32_t index, std::span<char> name, uint32_t* name_len, uint32_t* type,
                        std::span<uint8_t> data, uint32_t* data_len) {
    return OnKey(key, [&](common::RegNode& n) {
        return common::reg_tree_enum_value(n, index, name, name_len, type, data, data_len);
    });
}
uint32_t reg_enum_key(RegKey* key, uint32_t index, std::span<char> name, uint32_t* name_len) {
    return OnKey(key,
                 [&](common::RegNode& n) { return common::reg_tree_enum_key(n, index, name, name_len); });
}
uint32_t reg_delete_key(RegKey* parent, std::string_view subkey) {
    return OnKey(parent, [&](common::RegNode& n) {
        ++W().regWrites;
        return common::reg_tree_delete_key(n, subkey);
    });
}

// ---------------------------------------------------------------- profiles

bool profile_write_string(std::string_view file, std::string_view section, std::string_view key,
                          std::string_view value) {
    if (!common::ini_valid_entry(section, key, value))
        return false;
    std::lock_guard lk(W().m);
    std::string& text = W().profiles[memplat::Upper(file)];
    text = common::ini_write_string(text, section, key, value);
    return true;
}
bool profile_delete_section(std::string_view file, std::string_view section) {
    std::lock_guard lk(W().m);
    std::string& text = W().profiles[memplat::Upper(file)];
    text = common::ini_delete_section(text, section);
    return true;
}
std::vector<std::pair<std::string, std::string>> profile_read_section(std::string_view file,
                                                                      std::string_view section) {
    std::lock_guard lk(W().m);
    auto it = W().profiles.find(memplat::Upper(file));
    if (it == W().profiles.end())
        return {};
    return common::ini_read_section(it->second, section);
}
uint32_t profile_read_string(std::string_view file, std::string_view section, std::string_view key,
                             std::string_view dflt, std::span<char> dest) {
    std::string value(dflt);
    {
        std::lock_guard lk(W().m);
        auto it = W().profiles.find(memplat::Upper(file));
        if (it != W().profiles.end()) {
            if (auto v = common::ini_read_string(it->second, section, key))
                value = *v;
        }
    }
    if (dest.empty())
        return 0;
    const size_t n = std::min(value.size(), dest.size() - 1);
    std::copy_n(value.data(), n, dest.data());
    dest[n] = '\0';
    return static_cast<uint32_t>(n);
}

// ---------------------------------------------------------------- files

std::string windows_directory() {
    return "C:\\WINDOWS";
}
std::string system_directory() {
    return "C:\\WINDOWS\\system32";
}

uint32_t file_create_directory(std::string_view path) {
    std::lock_guard lk(W().m);
    W().dirs.insert(memplat::NormPath(path));
    return kErrSuccess;
}
uint32_t file_delete(std::string_view path) {
    std::lock_guard lk(W().m);
    return W().files.erase(memplat::NormPath(path)) != 0 ? kErrSuccess : kErrFileNotFound;
}
uint32_t file_rename(std::string_view from, std::string_view to) {
    std::lock_guard lk(W().m);
    auto& files = W().files;
    auto it = files.find(memplat::NormPath(from));
    if (it == files.end())
        return kErrFileNotFound;
    if (files.count(memplat::NormPath(to)) != 0)
        return kErrAlreadyExists;
    files[memplat::NormPath(to)] = {std::string(to), it->second.second};
    files.erase(it);
    return kErrSuccess;
}
File* file_open_write(std::string_view path, bool truncate) {
    std::lock_guard lk(W().m);
    if (W().failOpen)
        return nullptr;
    auto& entry = W().files[memplat::NormPath(path)];
    entry.first = std::string(path);
    if (truncate)
        entry.second.clear();
    return new File{memplat::NormPath(path)};
}
bool file_write(File* file, std::string_view bytes) {
    if (file == nullptr)
        return false;
    std::lock_guard lk(W().m);
    W().files[file->path].second += bytes;
    return true;
}
void file_flush(File*) {}
void file_close(File* file) {
    delete file;
}

uint32_t file_size(std::string_view path, uint64_t* size) {
    *size = 0;
    std::lock_guard lk(W().m);
    if (W().failOpen)
        return kErrAccessDenied;
    auto it = W().files.find(memplat::NormPath(path));
    if (it == W().files.end())
        return kErrFileNotFound;
    *size = it->second.second.size();
    return kErrSuccess;
}
uint32_t file_read_at(std::string_view path, uint64_t offset, std::span<uint8_t> dest, size_t* got) {
    *got = 0;
    std::lock_guard lk(W().m);
    if (W().failOpen)
        return kErrAccessDenied;
    auto it = W().files.find(memplat::NormPath(path));
    if (it == W().files.end())
        return kErrFileNotFound;
    const std::string& text = it->second.second;
    if (offset >= text.size())
        return kErrSuccess;
    const std::string_view part = std::string_view(text).substr(static_cast<size_t>(offset), dest.size());
    std::copy(part.begin(), part.end(), dest.begin());
    *got = part.size();
    return kErrSuccess;
}
uint32_t file_write_tail(std::string_view path, uint64_t offset, std::string_view bytes) {
    std::lock_guard lk(W().m);
    if (W().failOpen)
        return kErrAccessDenied;
    auto it = W().files.find(memplat::NormPath(path));
    if (it == W().files.end())
        return kErrFileNotFound;
    std::string& text = it->second.second;
    if (offset > text.size())
        return kErrInvalidParameter;
    text.resize(static_cast<size_t>(offset));
    text += bytes;
    return kErrSuccess;
}

// ---------------------------------------------------- threads and synchronisation

struct Thread {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool detached = false;  // the record is freed by the thread itself
    std::thread t;
};

uint32_t thread_create(ThreadProc proc, void* arg, Thread** out, uint32_t* thread_id) {
    std::atomic<uint32_t> id{0};
    Thread* raw = new Thread;
    ++memplat::g_threadsRunning;
    raw->t = std::thread([raw, proc, arg, &id] {
        id = memplat::ThisThreadId();
        id.notify_one();
        proc(arg);
        {
            std::lock_guard lk(memplat::g_qm);
            memplat::g_queues.erase(memplat::ThisThreadId());
            memplat::g_qcv.notify_all();
        }
        --memplat::g_threadsRunning;
        bool selfDelete = false;
        {
            std::lock_guard lk(raw->m);
            raw->done = true;
            raw->cv.notify_all();
            selfDelete = raw->detached;
        }
        if (selfDelete)
            delete raw;
    });
    id.wait(0);
    *out = raw;
    if (thread_id != nullptr)
        *thread_id = id;
    return kErrSuccess;
}

Wait thread_wait(Thread* thread, uint32_t timeout_ms) {
    if (thread == nullptr)
        return Wait::Failed;
    memplat::WakeAllQueues();
    std::unique_lock lk(thread->m);
    return thread->cv.wait_for(lk, memplat::Scaled(timeout_ms), [&] { return thread->done; }) ? Wait::Object0
                                                                                              : Wait::Timeout;
}

void thread_close(Thread* thread) {
    if (thread == nullptr)
        return;
    {
        std::lock_guard lk(thread->m);
        if (!thread->done) {
            // Still running: it goes on by itself and frees its record.
            thread->detached = true;
            thread->t.detach();
            return;
        }
    }
    thread->t.join();
    delete thread;
}

uint32_t current_thread_id() {
    return memplat::ThisThreadId();
}

struct Event {
    std::mutex m;
    std::condition_variable cv;
    bool signalled = false;
};

uint32_t event_create(std::string_view, Event** out) {
    *out = new Event;
    return kErrSuccess;
}
void event_set(Event* event) {
    if (event == nullptr)
        return;
    std::lock_guard lk(event->m);
    event->signalled = true;
    event->cv.notify_one();
}
Wait event_wait(Event* event, uint32_t timeout_ms) {
    if (event == nullptr)
        return Wait::Failed;
    std::unique_lock lk(event->m);
    if (!event->cv.wait_for(lk, memplat::Scaled(timeout_ms), [&] { return event->signalled; }))
        return Wait::Timeout;
    event->signalled = false;
    return Wait::Object0;
}
void event_close(Event* event) {
    delete event;
}

struct Mutex {
    std::string name;
    int refs = 1;
    std::mutex m;
    std::condition_variable cv;
    uint32_t owner = 0;
    int count = 0;
    bool abandoned = false;
};

namespace {
std::mutex g_nameMutex;
std::map<std::string, Mutex*> g_named;
std::vector<std::unique_ptr<Mutex>> g_closedMutexes;

// Mutexes owned by this thread; released as abandoned when it ends.
struct OwnedMutexes {
    std::vector<Mutex*> held;
    ~OwnedMutexes() {
        for (Mutex* mx : held) {
            std::lock_guard lk(mx->m);
            if (mx->owner == memplat::ThisThreadId()) {
                mx->owner = 0;
                mx->count = 0;
                mx->abandoned = true;
                mx->cv.notify_all();
            }
        }
    }
};
thread_local OwnedMutexes t_owned;
}  // namespace

uint32_t mutex_create(std::string_view name, bool initially_owned, Mutex** out) {
    Mutex* mx = nullptr;
    {
        std::lock_guard lk(g_nameMutex);
        auto it = name.empty() ? g_named.end() : g_named.find(std::string(name));
        if (it != g_named.end()) {
            mx = it->second;
            ++mx->refs;
            *out = mx;
            return kErrSuccess;  // opened, not owned, as CreateMutex does
        }
        mx = new Mutex;
        mx->name = std::string(name);
        if (!name.empty())
            g_named[mx->name] = mx;
    }
    if (initially_owned) {
        mx->owner = memplat::ThisThreadId();
        mx->count = 1;
        t_owned.held.push_back(mx);
    }
    *out = mx;
    return kErrSuccess;
}

Wait mutex_wait(Mutex* mx, uint32_t timeout_ms) {
    if (mx == nullptr)
        return Wait::Failed;
    const uint32_t me = memplat::ThisThreadId();
    std::unique_lock lk(mx->m);
    if (mx->owner == me) {
        ++mx->count;
        return Wait::Object0;
    }
    if (!mx->cv.wait_for(lk, memplat::Scaled(timeout_ms), [&] { return mx->owner == 0; }))
        return Wait::Timeout;
    mx->owner = me;
    mx->count = 1;
    t_owned.held.push_back(mx);
    if (mx->abandoned) {
        mx->abandoned = false;
        return Wait::Abandoned;
    }
    return Wait::Object0;
}

uint32_t mutex_release(Mutex* mx) {
    if (mx == nullptr)
        return kErrInvalidHandle;
    std::lock_guard lk(mx->m);
    if (mx->owner != memplat::ThisThreadId())
        return 288;  // ERROR_NOT_OWNER
    if (--mx->count == 0) {
        mx->owner = 0;
        auto& held = t_owned.held;
        auto it = std::find(held.begin(), held.end(), mx);
        if (it != held.end())
            held.erase(it);
        mx->cv.notify_all();
    }
    return kErrSuccess;
}

void mutex_close(Mutex* mx) {
    if (mx == nullptr)
        return;
    std::lock_guard lk(g_nameMutex);
    if (--mx->refs > 0)
        return;
    if (!mx->name.empty())
        g_named.erase(mx->name);
    // Kept alive: a thread may still be waiting on it.
    g_closedMutexes.emplace_back(mx);
}

// ---------------------------------------------------------------- time

uint32_t time_ms() {
    std::lock_guard lk(W().m);
    return W().now;
}

LocalTime local_time() {
    return LocalTime{2026, 12, 8, 10, 20, 30};
}

uint32_t timer_start(uint32_t, TimerProc proc) {
    if (proc == nullptr)
        return 0;
    std::lock_guard lk(memplat::g_qm);
    memplat::MsgQueue& q = memplat::g_queues[memplat::ThisThreadId()];
    q.threadId = memplat::ThisThreadId();
    q.timerId = memplat::g_nextTimerId++;
    q.proc = proc;
    memplat::g_qcv.notify_all();
    return q.timerId;
}

void timer_kill(uint32_t id) {
    std::lock_guard lk(memplat::g_qm);
    for (auto& [tid, q] : memplat::g_queues) {
        if (q.timerId == id) {
            q.proc = nullptr;
            q.timerId = 0;
            q.processed += q.pending;
            q.pending = 0;
        }
    }
    memplat::g_qcv.notify_all();
}

bool message_dispatch_next() {
    const uint32_t me = memplat::ThisThreadId();
    std::unique_lock lk(memplat::g_qm);
    memplat::g_queues[me].threadId = me;
    memplat::g_qcv.wait(lk, [&] {
        auto& q = memplat::g_queues[me];
        return q.wake || q.pending > 0;
    });
    memplat::MsgQueue& q = memplat::g_queues[me];
    if (q.pending == 0) {
        q.wake = false;
        return true;
    }
    --q.pending;
    TimerProc proc = q.proc;
    lk.unlock();
    if (proc != nullptr)
        proc();
    lk.lock();
    ++memplat::g_queues[me].processed;
    memplat::g_qcv.notify_all();
    return true;
}

// ---------------------------------------------------------------- the user

int message_box(std::string_view text, std::string_view caption, uint32_t flags) {
    Box box{std::string(text), std::string(caption), flags};
    std::function<int(const Box&)> handler;
    {
        std::lock_guard lk(W().m);
        W().boxes.push_back(box);
        handler = W().boxHandler;
    }
    return handler ? handler(box) : kIdOk;
}

void message_beep(uint32_t) {}
void* active_window() {
    return nullptr;
}

bool open_help_page(std::string_view, std::string_view) {
    return false;
}

// ------------------------------------------------------------------ modules

// Nothing is loaded in memory: the tests link their provider in.
uint32_t module_load(std::string_view, Module** out) {
    *out = nullptr;
    return kErrNotSupported;
}

uint32_t module_load_copy(std::string_view path, Module** out) {
    return module_load(path, out);
}

ModuleProc module_symbol(Module*, std::string_view) {
    return nullptr;
}

void module_free(Module*) {}

std::string file_beside_module(const void*, std::string_view) {
    return {};
}

}  // namespace zq::plat
