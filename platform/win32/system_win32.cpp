// Files, threads, synchronisation, time, the thread timer and message boxes
// through the Win32 API.
#include <windows.h>

#include <algorithm>
#include <array>
#include <string>

#include "zq/platform.h"

namespace zq::plat {

struct File {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

struct Thread {
    HANDLE handle = nullptr;
};

struct Event {
    HANDLE handle = nullptr;
};

struct Mutex {
    HANDLE handle = nullptr;
};

struct Module {
    HMODULE handle = nullptr;
    std::wstring copy;  // a private copy, deleted when freed
};

namespace {

Wait ToWait(DWORD result) {
    switch (result) {
        case WAIT_OBJECT_0:
            return Wait::Object0;
        case WAIT_ABANDONED:
            return Wait::Abandoned;
        case WAIT_TIMEOUT:
            return Wait::Timeout;
        default:
            return Wait::Failed;
    }
}

Wait WaitFor(HANDLE handle, uint32_t timeout_ms) {
    return handle != nullptr ? ToWait(WaitForSingleObject(handle, timeout_ms)) : Wait::Failed;
}

// GetWindowsDirectoryA or GetSystemDirectoryA.
using DirectoryGetter = UINT(WINAPI*)(LPSTR, UINT);

std::string Directory(DirectoryGetter get) {
    std::string dir(MAX_PATH, '\0');
    UINT len = get(dir.data(), static_cast<UINT>(dir.size()));
    if (len >= dir.size()) {
        dir.resize(len);
        len = get(dir.data(), static_cast<UINT>(dir.size()));
    }
    dir.resize(len < dir.size() ? len : 0);
    while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) {
        dir.pop_back();
    }
    return dir;
}

// A null name makes an unnamed object.
const char* NameOrNull(const std::string& name) {
    return name.empty() ? nullptr : name.c_str();
}

struct ThreadStart {
    ThreadProc proc;
    void* arg;
};

DWORD WINAPI ThreadMain(LPVOID param) {
    const ThreadStart start = *static_cast<ThreadStart*>(param);
    delete static_cast<ThreadStart*>(param);
    return start.proc(start.arg);
}

struct TimerSlot {
    UINT_PTR id = 0;
    TimerProc proc = nullptr;
};

// Thread timers belong to the thread that started them, and so does their
// table.
thread_local std::array<TimerSlot, 4> t_timers{};

void CALLBACK TimerMain(HWND, UINT, UINT_PTR id, DWORD) {
    for (const TimerSlot& slot : t_timers) {
        if (slot.id == id && slot.proc != nullptr) {
            slot.proc();
            return;
        }
    }
}

// Neither UTF-8 nor an ANSI code page takes fewer bytes than UTF-16 takes
// characters.
bool WidePath(std::string_view path, UINT code_page, std::wstring* wide) {
    const int length = static_cast<int>(std::min<size_t>(path.size(), MAXSHORT));
    wide->assign(static_cast<size_t>(length), L'\0');
    const int written = length == 0 ? 0
                                    : MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, path.data(),
                                                          length, wide->data(), length);
    wide->resize(static_cast<size_t>(std::max(written, 0)));
    return written > 0 && static_cast<size_t>(length) == path.size();
}

// Opened for one read or write and closed at once; other openers may read
// and write meanwhile (the log is appended to by FILE_APPEND_DATA handles).
HANDLE OpenShared(std::string_view path, DWORD access, uint32_t* err) {
    // File paths are ANSI, as the A functions of this file take them.
    std::wstring wide;
    if (!WidePath(path, CP_ACP, &wide)) {
        *err = kErrBadPathname;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    *err = handle == INVALID_HANDLE_VALUE ? GetLastError() : kErrSuccess;
    return handle;
}

bool Seek(HANDLE handle, uint64_t offset) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return offset <= static_cast<uint64_t>(MAXLONGLONG) && SetFilePointerEx(handle, to, nullptr, FILE_BEGIN);
}

}  // namespace

// --------------------------------------------------------------------- files

std::string windows_directory() {
    return Directory(GetWindowsDirectoryA);
}

std::string system_directory() {
    return Directory(GetSystemDirectoryA);
}

uint32_t file_create_directory(std::string_view path) {
    const std::string p(path);
    if (CreateDirectoryA(p.c_str(), nullptr)) {
        return kErrSuccess;
    }
    const uint32_t err = GetLastError();
    // A file of that name is not the directory asked for.
    const DWORD attributes = GetFileAttributesA(p.c_str());
    if (err == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return kErrSuccess;
    }
    return err;
}

uint32_t file_delete(std::string_view path) {
    const std::string p(path);
    return DeleteFileA(p.c_str()) ? kErrSuccess : GetLastError();
}

uint32_t file_rename(std::string_view from, std::string_view to) {
    const std::string f(from);
    const std::string t(to);
    return MoveFileA(f.c_str(), t.c_str()) ? kErrSuccess : GetLastError();
}

// Shared like a C runtime file, so a trace can be read while it is written.
// Appending uses append-only access: every write lands at the end even when
// another process appends to the same file.
File* file_open_write(std::string_view path, bool truncate) {
    const std::string p(path);
    const HANDLE handle = CreateFileA(p.c_str(), truncate ? GENERIC_WRITE : FILE_APPEND_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return new File{handle};
}

bool file_write(File* file, std::string_view bytes) {
    if (file == nullptr) {
        return false;
    }
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(bytes.size() < MAXDWORD ? bytes.size() : MAXDWORD);
        DWORD written = 0;
        if (!WriteFile(file->handle, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

void file_flush(File* file) {
    if (file != nullptr) {
        FlushFileBuffers(file->handle);
    }
}

void file_close(File* file) {
    if (file != nullptr) {
        CloseHandle(file->handle);
        delete file;
    }
}

uint32_t file_size(std::string_view path, uint64_t* size) {
    *size = 0;
    std::wstring wide;
    if (!WidePath(path, CP_ACP, &wide)) {
        return kErrBadPathname;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        return GetLastError();
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return kErrAccessDenied;
    }
    *size = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
    return kErrSuccess;
}

uint32_t file_read_at(std::string_view path, uint64_t offset, std::span<uint8_t> dest, size_t* got) {
    *got = 0;
    uint32_t err = kErrSuccess;
    const HANDLE handle = OpenShared(path, GENERIC_READ, &err);
    if (handle == INVALID_HANDLE_VALUE) {
        return err;
    }
    if (!Seek(handle, offset)) {
        err = GetLastError();
    }
    while (err == kErrSuccess && *got < dest.size()) {
        const std::span<uint8_t> rest = dest.subspan(*got);
        const auto chunk = static_cast<DWORD>(std::min<size_t>(rest.size(), MAXDWORD));
        DWORD read = 0;
        if (!ReadFile(handle, rest.data(), chunk, &read, nullptr)) {
            err = GetLastError();
        } else if (read == 0) {
            break;
        }
        *got += read;
    }
    CloseHandle(handle);
    return err;
}

uint32_t file_write_tail(std::string_view path, uint64_t offset, std::string_view bytes) {
    uint32_t err = kErrSuccess;
    const HANDLE handle = OpenShared(path, GENERIC_READ | GENERIC_WRITE, &err);
    if (handle == INVALID_HANDLE_VALUE) {
        return err;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size)) {
        err = GetLastError();
    } else if (offset > static_cast<uint64_t>(size.QuadPart)) {
        err = kErrInvalidParameter;
    } else if (!Seek(handle, offset)) {
        err = GetLastError();
    }
    while (err == kErrSuccess && !bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), MAXDWORD));
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
            err = GetLastError();
        } else if (written == 0) {
            err = kErrWriteFault;
        }
        bytes.remove_prefix(written);
    }
    // The file pointer stands right after the new bytes.
    if (err == kErrSuccess && !SetEndOfFile(handle)) {
        err = GetLastError();
    }
    CloseHandle(handle);
    return err;
}

// --------------------------------------------------- threads and synchronisation

uint32_t thread_create(ThreadProc proc, void* arg, Thread** out, uint32_t* thread_id) {
    *out = nullptr;
    auto* start = new ThreadStart{proc, arg};
    DWORD id = 0;
    const HANDLE handle = CreateThread(nullptr, 0, ThreadMain, start, 0, &id);
    if (handle == nullptr) {
        const uint32_t err = GetLastError();
        delete start;
        return err;
    }
    *out = new Thread{handle};
    if (thread_id != nullptr) {
        *thread_id = id;
    }
    return kErrSuccess;
}

Wait thread_wait(Thread* thread, uint32_t timeout_ms) {
    return WaitFor(thread != nullptr ? thread->handle : nullptr, timeout_ms);
}

void thread_close(Thread* thread) {
    if (thread != nullptr) {
        CloseHandle(thread->handle);
        delete thread;
    }
}

uint32_t current_thread_id() {
    return GetCurrentThreadId();
}

uint32_t event_create(std::string_view name, Event** out) {
    *out = nullptr;
    const std::string n(name);
    const HANDLE handle = CreateEventA(nullptr, FALSE, FALSE, NameOrNull(n));
    if (handle == nullptr) {
        return GetLastError();
    }
    *out = new Event{handle};
    return kErrSuccess;
}

void event_set(Event* event) {
    if (event != nullptr) {
        SetEvent(event->handle);
    }
}

Wait event_wait(Event* event, uint32_t timeout_ms) {
    return WaitFor(event != nullptr ? event->handle : nullptr, timeout_ms);
}

void event_close(Event* event) {
    if (event != nullptr) {
        CloseHandle(event->handle);
        delete event;
    }
}

// A name that exists already is opened; the caller then does not own it
// even when it asked to.
uint32_t mutex_create(std::string_view name, bool initially_owned, Mutex** out) {
    *out = nullptr;
    const std::string n(name);
    const HANDLE handle = CreateMutexA(nullptr, initially_owned ? TRUE : FALSE, NameOrNull(n));
    if (handle == nullptr) {
        return GetLastError();
    }
    *out = new Mutex{handle};
    return kErrSuccess;
}

Wait mutex_wait(Mutex* mutex, uint32_t timeout_ms) {
    return WaitFor(mutex != nullptr ? mutex->handle : nullptr, timeout_ms);
}

uint32_t mutex_release(Mutex* mutex) {
    if (mutex == nullptr) {
        return kErrInvalidHandle;
    }
    return ReleaseMutex(mutex->handle) ? kErrSuccess : GetLastError();
}

void mutex_close(Mutex* mutex) {
    if (mutex != nullptr) {
        CloseHandle(mutex->handle);
        delete mutex;
    }
}

// ---------------------------------------------------------- time and the tick

uint32_t time_ms() {
    return timeGetTime();
}

LocalTime local_time() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

uint32_t timer_start(uint32_t period_ms, TimerProc proc) {
    TimerSlot* free = nullptr;
    for (TimerSlot& slot : t_timers) {
        if (slot.id == 0) {
            free = &slot;
            break;
        }
    }
    if (free == nullptr || proc == nullptr) {
        return 0;
    }
    const UINT_PTR id = SetTimer(nullptr, 0, period_ms, TimerMain);
    // Ids of thread timers fit in 32 bits; one that does not could not be
    // killed through the interface.
    if (id == 0 || id > 0xFFFFFFFFu) {
        if (id != 0) {
            KillTimer(nullptr, id);
        }
        return 0;
    }
    *free = TimerSlot{id, proc};
    return static_cast<uint32_t>(id);
}

void timer_kill(uint32_t id) {
    if (id == 0) {
        return;
    }
    KillTimer(nullptr, id);
    for (TimerSlot& slot : t_timers) {
        if (slot.id == id) {
            slot = TimerSlot{};
        }
    }
}

bool message_dispatch_next() {
    MSG msg{};
    const BOOL result = GetMessageA(&msg, nullptr, 0, 0);
    if (result == 0 || result == -1) {
        return false;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

// ------------------------------------------------------------- the user

int message_box(std::string_view text, std::string_view caption, uint32_t flags) {
    const std::string t(text);
    const std::string c(caption);
    return MessageBoxA(nullptr, t.c_str(), c.c_str(), flags);
}

void message_beep(uint32_t type) {
    MessageBeep(type);
}

void* active_window() {
    return GetActiveWindow();
}

// ------------------------------------------------------------------ modules

uint32_t module_load(std::string_view path, Module** out) {
    *out = nullptr;
    std::wstring wide;
    if (!WidePath(path, CP_UTF8, &wide)) {
        return kErrBadPathname;
    }
    const HMODULE handle = LoadLibraryW(wide.c_str());
    if (handle == nullptr) {
        return kErrModNotFound;
    }
    *out = new Module{handle, {}};
    return kErrSuccess;
}

uint32_t module_load_copy(std::string_view path, Module** out) {
    *out = nullptr;
    std::wstring wide;
    if (!WidePath(path, CP_UTF8, &wide)) {
        return kErrBadPathname;
    }
    std::array<wchar_t, MAX_PATH + 1> folder{};
    std::array<wchar_t, MAX_PATH + 1> copy{};
    const DWORD got = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
    if (got == 0 || got > folder.size() || GetTempFileNameW(folder.data(), L"zqu", 0, copy.data()) == 0) {
        return kErrModNotFound;
    }
    const HMODULE handle = CopyFileW(wide.c_str(), copy.data(), FALSE) ? LoadLibraryW(copy.data()) : nullptr;
    if (handle == nullptr) {
        DeleteFileW(copy.data());
        return kErrModNotFound;
    }
    *out = new Module{handle, copy.data()};
    return kErrSuccess;
}

ModuleProc module_symbol(Module* module, std::string_view name) {
    if (module == nullptr) {
        return nullptr;
    }
    const std::string symbol(name);
    // void (*)() takes any function type without a cast warning.
    return reinterpret_cast<ModuleProc>(GetProcAddress(module->handle, symbol.c_str()));
}

void module_free(Module* module) {
    if (module == nullptr) {
        return;
    }
    FreeLibrary(module->handle);
    if (!module->copy.empty()) {
        DeleteFileW(module->copy.c_str());
    }
    delete module;
}

}  // namespace zq::plat
