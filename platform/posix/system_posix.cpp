// Threads, events, mutexes with the Windows named-mutex semantics, the
// clock, the tick loop, the message box and module loading on POSIX.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "posix_internal.h"
#include "zq/platform.h"
#include "zq/platform_posix.h"

namespace zq::plat {

namespace {

// Waits on cv until ready() or the time-out; false on time-out.
template <typename Ready>
bool wait_until_ready(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint32_t timeout_ms,
                      Ready ready) {
    if (timeout_ms == kInfinite) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
}

int64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void sleep_until_ns(int64_t deadline) {
    const timespec at{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

}  // namespace

// ------------------------------------------------------------------- threads

struct ThreadShared {
    std::mutex lock;
    std::condition_variable changed;
    bool started = false;
    bool done = false;
    pthread_t thread{};
    bool joined = false;  // or detached: nobody joins it again
    uint32_t id = 0;
    ThreadProc proc = nullptr;
    void* arg = nullptr;
};

// The handle; the running thread holds the shared part too, so either can
// go first. A wait that sees the thread end also joins it, so that the
// thread has left the library's code when the wait returns (a library
// unloaded after stopping its threads must not still be running); a
// handle closed before that detaches it.
struct Thread {
    std::shared_ptr<ThreadShared> shared;
};

uint32_t current_thread_id() {
    thread_local const auto id = static_cast<uint32_t>(::gettid());
    return id;
}

namespace {
void abandon_owned_mutexes();

void* thread_main(void* raw) {
    std::shared_ptr<ThreadShared> shared = std::move(*static_cast<std::shared_ptr<ThreadShared>*>(raw));
    delete static_cast<std::shared_ptr<ThreadShared>*>(raw);
    {
        const std::lock_guard guard(shared->lock);
        shared->id = current_thread_id();
        shared->started = true;
    }
    shared->changed.notify_all();
    shared->proc(shared->arg);
    // Before "done", so a waiter that saw the thread end also sees its
    // mutexes abandoned.
    abandon_owned_mutexes();
    {
        const std::lock_guard guard(shared->lock);
        shared->done = true;
    }
    shared->changed.notify_all();
    return nullptr;
}
}  // namespace

uint32_t thread_create(ThreadProc proc, void* arg, Thread** out, uint32_t* thread_id) {
    if (proc == nullptr || out == nullptr) {
        return kErrInvalidParameter;
    }
    *out = nullptr;
    auto shared = std::make_shared<ThreadShared>();
    shared->proc = proc;
    shared->arg = arg;
    auto* start = new std::shared_ptr<ThreadShared>(shared);
    pthread_t tid{};
    const int err = ::pthread_create(&tid, nullptr, thread_main, start);
    if (err != 0) {
        delete start;
        return err == EAGAIN ? kErrNotEnoughMemory : posix::win32_from_errno(err);
    }
    std::unique_lock lock(shared->lock);
    shared->thread = tid;
    shared->changed.wait(lock, [&] { return shared->started; });
    if (thread_id != nullptr) {
        *thread_id = shared->id;
    }
    *out = new Thread{std::move(shared)};
    return kErrSuccess;
}

Wait thread_wait(Thread* thread, uint32_t timeout_ms) {
    if (thread == nullptr) {
        return Wait::Failed;
    }
    ThreadShared& shared = *thread->shared;
    std::unique_lock lock(shared.lock);
    if (!wait_until_ready(lock, shared.changed, timeout_ms, [&] { return shared.done; })) {
        return Wait::Timeout;
    }
    if (!shared.joined) {
        shared.joined = true;
        ::pthread_join(shared.thread, nullptr);  // it is past its last step: at once
    }
    return Wait::Object0;
}

void thread_close(Thread* thread) {
    if (thread == nullptr) {
        return;
    }
    {
        const std::lock_guard guard(thread->shared->lock);
        if (!thread->shared->joined) {
            thread->shared->joined = true;
            ::pthread_detach(thread->shared->thread);
        }
    }
    delete thread;
}

// -------------------------------------------------------------------- events

// Names are not shared: the provider's events live in one process.
struct Event {
    std::mutex lock;
    std::condition_variable signalled_cv;
    bool signalled = false;
};

uint32_t event_create(std::string_view /*name*/, Event** out) {
    if (out == nullptr) {
        return kErrInvalidParameter;
    }
    *out = new Event;
    return kErrSuccess;
}

void event_set(Event* event) {
    if (event == nullptr) {
        return;
    }
    {
        const std::lock_guard guard(event->lock);
        event->signalled = true;
    }
    event->signalled_cv.notify_one();
}

Wait event_wait(Event* event, uint32_t timeout_ms) {
    if (event == nullptr) {
        return Wait::Failed;
    }
    std::unique_lock lock(event->lock);
    if (!wait_until_ready(lock, event->signalled_cv, timeout_ms, [&] { return event->signalled; })) {
        return Wait::Timeout;
    }
    event->signalled = false;  // auto-reset: one waiter per set
    return Wait::Object0;
}

void event_close(Event* event) {
    delete event;
}

// ------------------------------------------------------------------- mutexes

struct Mutex {
    std::string name;
    uint32_t handles = 1;  // open handles; the name goes with the last one
    uint32_t refs = 1;     // handles, plus one while owned; under names_lock()
    std::mutex lock;
    std::condition_variable released;
    uint32_t owner = 0;  // thread id; 0 when free
    uint32_t count = 0;  // recursive acquisitions
    bool abandoned = false;
};

namespace {

// Lock order: a Mutex's lock before g_names_lock. Both are constant
// initialised, so the library's load and unload code can use them before
// and after the other static objects exist; the list is freed with its
// last name, so an unloaded library leaves nothing behind.
std::mutex g_names_lock;
std::vector<Mutex*>* g_named = nullptr;

std::mutex& names_lock() {
    return g_names_lock;
}

Mutex* find_named(std::string_view name) {
    if (g_named == nullptr) {
        return nullptr;
    }
    auto it = std::find_if(g_named->begin(), g_named->end(), [&](Mutex* m) { return m->name == name; });
    return it == g_named->end() ? nullptr : *it;
}

void add_named(Mutex* mutex) {
    if (g_named == nullptr) {
        g_named = new std::vector<Mutex*>;
    }
    g_named->push_back(mutex);
}

void remove_named(Mutex* mutex) {
    if (g_named == nullptr) {
        return;
    }
    std::erase(*g_named, mutex);
    if (g_named->empty()) {
        delete g_named;
        g_named = nullptr;
    }
}

void add_ref(Mutex* mutex) {
    const std::lock_guard guard(names_lock());
    ++mutex->refs;
}

// The last reference goes after the last handle, so the name is gone.
void drop_ref(Mutex* mutex) {
    {
        const std::lock_guard guard(names_lock());
        if (--mutex->refs != 0) {
            return;
        }
    }
    delete mutex;
}

// The mutexes a thread owns; a thread that ends without releasing them
// leaves them abandoned. Kept through a thread-specific key rather than a
// thread_local object with a destructor: such an object would keep the
// provider library loaded after its last dlclose, so that a later load
// found the old state instead of a fresh one. The key goes when the
// library is unloaded.
using OwnedMutexes = std::vector<Mutex*>;

void abandon(OwnedMutexes& held) {
    for (Mutex* mutex : held) {
        {
            const std::lock_guard guard(mutex->lock);
            mutex->owner = 0;
            mutex->count = 0;
            mutex->abandoned = true;
        }
        mutex->released.notify_one();
        drop_ref(mutex);
    }
    held.clear();
}

void owned_at_thread_end(void* held) {
    auto* owned = static_cast<OwnedMutexes*>(held);
    abandon(*owned);
    delete owned;
}

struct OwnedKey {
    pthread_key_t key{};
    OwnedKey() { ::pthread_key_create(&key, owned_at_thread_end); }
    ~OwnedKey() { ::pthread_key_delete(key); }
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;
};
// Made on first use: the library's load code may take a mutex before the
// other static objects of this file exist.
pthread_key_t owned_key() {
    static const OwnedKey key;
    return key.key;
}

OwnedMutexes& owned() {
    auto* held = static_cast<OwnedMutexes*>(::pthread_getspecific(owned_key()));
    if (held == nullptr) {
        held = new OwnedMutexes;
        ::pthread_setspecific(owned_key(), held);
    }
    return *held;
}

// A thread's list lives only while it owns a mutex, so that no list is
// left behind for a thread that outlives the library.
void forget_owned(Mutex* mutex) {
    auto* held = static_cast<OwnedMutexes*>(::pthread_getspecific(owned_key()));
    if (held == nullptr)
        return;
    std::erase(*held, mutex);
    if (held->empty()) {
        ::pthread_setspecific(owned_key(), nullptr);
        delete held;
    }
}

void abandon_owned_mutexes() {
    if (auto* held = static_cast<OwnedMutexes*>(::pthread_getspecific(owned_key()))) {
        abandon(*held);
    }
}

// With mutex->lock held and the mutex free.
Wait take_ownership(Mutex* mutex) {
    mutex->owner = current_thread_id();
    mutex->count = 1;
    const Wait result = mutex->abandoned ? Wait::Abandoned : Wait::Object0;
    mutex->abandoned = false;
    add_ref(mutex);
    owned().push_back(mutex);
    return result;
}

}  // namespace

uint32_t mutex_create(std::string_view name, bool initially_owned, Mutex** out) {
    if (out == nullptr) {
        return kErrInvalidParameter;
    }
    Mutex* mutex = nullptr;
    {
        const std::lock_guard guard(names_lock());
        if (Mutex* existing = name.empty() ? nullptr : find_named(name)) {
            // As CreateMutex: the existing mutex, and the initial owner is ignored.
            ++existing->handles;
            ++existing->refs;
            *out = existing;
            return kErrSuccess;
        }
        mutex = new Mutex;
        mutex->name = std::string(name);
        if (!name.empty()) {
            add_named(mutex);
        }
    }
    if (initially_owned) {
        const std::lock_guard guard(mutex->lock);
        take_ownership(mutex);
    }
    *out = mutex;
    return kErrSuccess;
}

Wait mutex_wait(Mutex* mutex, uint32_t timeout_ms) {
    if (mutex == nullptr) {
        return Wait::Failed;
    }
    std::unique_lock lock(mutex->lock);
    if (mutex->owner == current_thread_id()) {
        ++mutex->count;
        return Wait::Object0;
    }
    if (!wait_until_ready(lock, mutex->released, timeout_ms, [&] { return mutex->owner == 0; })) {
        return Wait::Timeout;
    }
    return take_ownership(mutex);
}

uint32_t mutex_release(Mutex* mutex) {
    if (mutex == nullptr) {
        return kErrInvalidHandle;
    }
    {
        const std::lock_guard guard(mutex->lock);
        if (mutex->owner != current_thread_id()) {
            return posix::kErrNotOwner;
        }
        if (--mutex->count != 0) {
            return kErrSuccess;
        }
        mutex->owner = 0;
    }
    mutex->released.notify_one();
    forget_owned(mutex);
    drop_ref(mutex);
    return kErrSuccess;
}

// As on Windows, the last handle takes the name with it: a later create
// makes a new, free mutex even when a thread still owns this one.
void mutex_close(Mutex* mutex) {
    if (mutex == nullptr) {
        return;
    }
    {
        const std::lock_guard guard(names_lock());
        if (--mutex->handles == 0) {
            remove_named(mutex);
        }
    }
    drop_ref(mutex);
}

// ---------------------------------------------------------- time and the tick

uint32_t time_ms() {
    return static_cast<uint32_t>(monotonic_ns() / 1000000);
}

LocalTime local_time() {
    const time_t now = ::time(nullptr);
    tm parts{};
    ::localtime_r(&now, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

namespace {

// SetTimer's shortest period.
constexpr uint32_t kMinTimerMs = 10;
constexpr int64_t kIdleWaitNs = 100 * int64_t{1000000};

// The calling thread's timer: one per thread, on absolute deadlines of
// CLOCK_MONOTONIC so the ticks do not drift.
struct TickTimer {
    uint32_t id = 0;  // 0: none
    TimerProc proc = nullptr;
    int64_t period_ns = 0;
    int64_t deadline_ns = 0;
};

thread_local TickTimer t_timer;
std::atomic<uint32_t> g_next_timer_id{1};

}  // namespace

uint32_t timer_start(uint32_t period_ms, TimerProc proc) {
    if (proc == nullptr) {
        return 0;
    }
    uint32_t id = g_next_timer_id.fetch_add(1);
    if (id == 0) {
        id = g_next_timer_id.fetch_add(1);
    }
    const int64_t period = int64_t{std::max(period_ms, kMinTimerMs)} * 1000000;
    t_timer = TickTimer{id, proc, period, monotonic_ns() + period};
    return id;
}

void timer_kill(uint32_t id) {
    if (id != 0 && t_timer.id == id) {
        t_timer = TickTimer{};
    }
}

bool message_dispatch_next() {
    if (t_timer.id == 0) {
        sleep_until_ns(monotonic_ns() + kIdleWaitNs);
        return true;
    }
    sleep_until_ns(t_timer.deadline_ns);
    const int64_t now = monotonic_ns();
    t_timer.deadline_ns += t_timer.period_ns;
    if (t_timer.deadline_ns <= now) {
        // More than a period late: the missed ticks are this one, as Windows
        // merges WM_TIMER messages; the next keeps to the grid.
        t_timer.deadline_ns += ((now - t_timer.deadline_ns) / t_timer.period_ns + 1) * t_timer.period_ns;
    }
    t_timer.proc();  // may start or kill the timer
    return true;
}

// ------------------------------------------------------------------ the user

namespace {
std::atomic<MessageBoxHandler> g_message_box_handler{nullptr};

extern "C" char** environ;

// With ZQ_MESSAGE_BOX set, the box is also shown by that program, run as
// `program CAPTION TEXT` (zenity, xmessage or a script of one's own); like
// a modal box, the caller waits until it ends.
void show_with_command(std::string_view caption, std::string_view text) {
    const char* program = std::getenv("ZQ_MESSAGE_BOX");
    if (program == nullptr || *program == '\0') {
        return;
    }
    std::string c(caption), t(text), p(program);
    char* argv[] = {p.data(), c.data(), t.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        return;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}
}  // namespace

void set_message_box_handler(MessageBoxHandler handler) {
    g_message_box_handler.store(handler);
}

int message_box(std::string_view text, std::string_view caption, uint32_t flags) {
    if (const MessageBoxHandler handler = g_message_box_handler.load()) {
        return handler(text, caption, flags);
    }
    std::string line(caption);
    line += ": ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    if (File* log = file_open_write(windows_directory() + "/messages.log", false)) {
        file_write(log, line);
        file_close(log);
    }
    show_with_command(caption, text);
    return kIdOk;
}

void message_beep(uint32_t /*type*/) {}

void* active_window() {
    return nullptr;
}

// The terminal views print a help page's path for the user to open.
bool open_help_page(std::string_view, std::string_view) {
    return false;
}

// ------------------------------------------------------------------ modules

struct Module {
    void* handle = nullptr;
};

uint32_t module_load(std::string_view path, Module** out) {
    *out = nullptr;
    const std::string native = posix::native_path(path);
    void* handle = dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        return kErrModNotFound;
    *out = new Module{handle};
    return kErrSuccess;
}

uint32_t module_load_copy(std::string_view path, Module** out) {
    *out = nullptr;
    const char* folder = std::getenv("TMPDIR");
    std::string copy =
        std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/zqui-XXXXXX.so";
    const int to = ::mkstemps(copy.data(), 3);
    if (to < 0)
        return kErrModNotFound;
    const int from = ::open(posix::native_path(path).c_str(), O_RDONLY | O_CLOEXEC);
    bool copied = from >= 0;
    std::vector<char> buffer(1 << 16);
    while (copied) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        copied = ::write(to, buffer.data(), static_cast<size_t>(got)) == got;
    }
    if (from >= 0)
        ::close(from);
    copied = ::close(to) == 0 && copied;
    // The mapping outlives the name.
    void* handle = copied ? dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    ::unlink(copy.c_str());
    if (handle == nullptr)
        return kErrModNotFound;
    *out = new Module{handle};
    return kErrSuccess;
}

ModuleProc module_symbol(Module* module, std::string_view name) {
    if (module == nullptr)
        return nullptr;
    const std::string symbol(name);
    return reinterpret_cast<ModuleProc>(dlsym(module->handle, symbol.c_str()));
}

void module_free(Module* module) {
    if (module == nullptr)
        return;
    dlclose(module->handle);
    delete module;
}

// The terminal views look for their pages among the loaded libraries
// themselves.
std::string file_beside_module(const void*, std::string_view) {
    return {};
}

}  // namespace zq::plat
