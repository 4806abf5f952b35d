// Files, threads, synchronisation, time, the thread timer, message boxes
// and help pages through the Win32 API.
#include <windows.h>
// windows.h first: the shell headers use its types.
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

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

// UTF-16 to UTF-8; empty when the text does not convert whole.
std::string Utf8(const std::wstring& wide) {
    const int length = static_cast<int>(std::min<size_t>(wide.size(), MAXSHORT));
    if (length == 0 || static_cast<size_t>(length) != wide.size())
        return {};
    const int needed =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return {};
    std::string text(static_cast<size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, text.data(), needed, nullptr,
                            nullptr) != needed)
        return {};
    return text;
}

// The longest module path GetModuleFileNameW can give.
constexpr DWORD kMaxModulePath = 32768;

// A module's file (nullptr: the program's); empty when it cannot be had.
std::wstring ModuleFileName(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (got == 0)
            return {};
        if (got < path.size()) {
            path.resize(got);
            return path;
        }
        if (path.size() >= kMaxModulePath)
            return {};
        path.resize(path.size() * 2);
    }
}

// The shell's functions that help pages need, bound when help is first
// asked for: the programs built on this layer neither import the shell's
// libraries nor load them before. They stay loaded, as the shell may go on
// working in threads of its own.
struct ShellFunctions {
    decltype(&ShellExecuteExW) execute = nullptr;
    decltype(&AssocQueryStringW) assocQuery = nullptr;
    decltype(&UrlCreateFromPathW) urlFromPath = nullptr;
};

template <typename Function>
Function Bind(const wchar_t* library, const char* name) {
    const HMODULE module = LoadLibraryW(library);
    if (module == nullptr)
        return nullptr;
    // Through void (*)(), which takes any function type without a cast warning.
    return reinterpret_cast<Function>(reinterpret_cast<ModuleProc>(GetProcAddress(module, name)));
}

const ShellFunctions& Shell() {
    static const ShellFunctions shell{
        Bind<decltype(&ShellExecuteExW)>(L"shell32.dll", "ShellExecuteExW"),
        Bind<decltype(&AssocQueryStringW)>(L"shlwapi.dll", "AssocQueryStringW"),
        Bind<decltype(&UrlCreateFromPathW)>(L"shlwapi.dll", "UrlCreateFromPathW")};
    return shell;
}

// The program that opens web pages; empty when none is set up.
std::wstring Browser(const ShellFunctions& shell) {
    std::array<wchar_t, MAX_PATH + 1> program{};
    DWORD size = static_cast<DWORD>(program.size());
    if (shell.assocQuery == nullptr ||
        FAILED(shell.assocQuery(0, ASSOCSTR_EXECUTABLE, L".html", L"open", program.data(), &size)))
        return {};
    program.back() = L'\0';
    return program.data();
}

// "file:///C:/.../page.html"; empty on failure.
std::wstring FileUrl(const ShellFunctions& shell, const std::wstring& file) {
    // Escaping makes a character at most three; "file:///" goes before.
    std::vector<wchar_t> url(file.size() * 3 + 16, L'\0');
    DWORD length = static_cast<DWORD>(url.size());
    if (shell.urlFromPath == nullptr || FAILED(shell.urlFromPath(file.c_str(), url.data(), &length, 0)))
        return {};
    return std::wstring(url.data(), std::min<size_t>(length, url.size() - 1));
}

// An anchor cannot end the quoted URL early or escape its closing quote.
bool IsAnchor(std::string_view anchor) {
    return std::all_of(anchor.begin(), anchor.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_' || c == '.';
    });
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

// The browser gets the URL with its anchor: the shell would take an
// anchored URL for a file name.
bool open_help_page(std::string_view path, std::string_view anchor) {
    std::wstring file;
    if (!IsAnchor(anchor) || !WidePath(path, CP_UTF8, &file))
        return false;
    const ShellFunctions& shell = Shell();
    if (shell.execute == nullptr)
        return false;
    const std::wstring browser = Browser(shell);
    std::wstring url = browser.empty() ? std::wstring() : FileUrl(shell, file);
    if (!url.empty() && !anchor.empty())
        url += L"#" + std::wstring(anchor.begin(), anchor.end());
    const std::wstring quoted = L"\"" + url + L"\"";
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = url.empty() ? file.c_str() : browser.c_str();
    info.lpParameters = url.empty() ? nullptr : quoted.c_str();
    info.nShow = SW_SHOWNORMAL;
    return shell.execute(&info) != FALSE;
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

std::string file_beside_module(const void* in_module, std::string_view name) {
    std::wstring wide;
    if (name.find_first_of("\\/:") != std::string_view::npos || !WidePath(name, CP_UTF8, &wide))
        return {};
    HMODULE module = nullptr;
    if (in_module != nullptr && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                   static_cast<LPCWSTR>(in_module), &module) == FALSE)
        return {};
    std::wstring file = ModuleFileName(module);
    const size_t cut = file.find_last_of(L"\\/");
    if (cut == std::wstring::npos)
        return {};
    file = file.substr(0, cut + 1) + wide;
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return {};
    return Utf8(file);
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
