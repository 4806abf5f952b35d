// The Win32 shell of the telephony library, tapi32.dll: applications are
// woken through a message-only window on the thread that initialised them
// (its procedure calls their callback) or through an event handle; the
// provider named in the registry is looked for beside this DLL, then in the
// system directory. The hooks are set when the DLL is attached; the
// provider is loaded by the first lineInitializeExA, never in DllMain.
#include <windows.h>

#include <string>
#include <string_view>

#include "core/tapiapp.h"
#include "shell_win32.h"
#include "zq_version.h"

namespace zq::tapiapp {

namespace {

constexpr wchar_t kHiddenWindowClass[] = L"ZqTapiHiddenWindow";
// Posted when an application's queue goes from empty to non-empty.
constexpr UINT kWakeMessage = WM_APP + 1;
// Longest module path asked for (the system's own limit).
constexpr DWORD kMaxPath = 32768;

HINSTANCE g_module = nullptr;
// The window the hidden-window waker created on this thread during the
// current lineInitializeExA.
thread_local HWND t_createdWindow = nullptr;

// Every message queued for the window's application, each to its callback.
// The callback may call back into the library, lineShutdown included: the
// handle then goes stale and the loop ends.
void DeliverMessages(HWND window) {
    const auto app = static_cast<HLINEAPP>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (app == 0)
        return;  // lineInitializeExA has not returned: it wakes the window again
    const LINECALLBACK callback = AppCallback(app);
    LINEMESSAGE m{};
    while (callback != nullptr && TakeMessage(app, &m))
        callback(m.hDevice, m.dwMessageID, m.dwCallbackInstance, m.dwParam1, m.dwParam2, m.dwParam3);
}

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kWakeMessage:
            DeliverMessages(window);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool RegisterHiddenWindowClass() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = HiddenWindowProc;
        wc.hInstance = ShellModule();
        wc.lpszClassName = kHiddenWindowClass;
        return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

HWND WindowOf(intptr_t value) {
    return reinterpret_cast<HWND>(value);
}

// Runs in lineInitializeExA on the application's thread, which must pump
// messages for the callback to run.
bool CreateHiddenWindow(intptr_t* value, HANDLE* event) {
    if (!RegisterHiddenWindowClass())
        return false;
    const HWND window = CreateWindowExW(0, kHiddenWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        ShellModule(), nullptr);
    if (window == nullptr)
        return false;
    t_createdWindow = window;
    *value = reinterpret_cast<intptr_t>(window);
    *event = nullptr;
    return true;
}

// One posted message per empty-to-non-empty change: the procedure drains
// the whole queue, so the thread's posted-message quota is never reached.
void WakeHiddenWindow(intptr_t value) {
    PostMessageW(WindowOf(value), kWakeMessage, 0, 0);
}

// Only the window's own thread may destroy it. From another thread, the
// window is left to the default procedure, which destroys it on WM_CLOSE:
// none of this DLL's code runs for it any more, even if the DLL is
// unloaded before that thread looks at its messages.
void DestroyHiddenWindow(intptr_t value) {
    const HWND window = WindowOf(value);
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        DestroyWindow(window);
        return;
    }
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcW));
    PostMessageW(window, WM_CLOSE, 0, 0);
}

// Signalled while the queue holds messages, for WaitForSingleObject;
// lineGetMessage waits by itself.
bool CreateEventWaker(intptr_t* value, HANDLE* event) {
    const HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr)
        return false;
    *value = reinterpret_cast<intptr_t>(handle);
    *event = handle;
    return true;
}

HANDLE EventOf(intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

void SetEventWaker(intptr_t value) {
    SetEvent(EventOf(value));
}

void ResetEventWaker(intptr_t value) {
    ResetEvent(EventOf(value));
}

void CloseEventWaker(intptr_t value) {
    CloseHandle(EventOf(value));
}

const Waker kEventWaker{CreateEventWaker, SetEventWaker, ResetEventWaker, CloseEventWaker};
const Waker kHiddenWindowWaker{CreateHiddenWindow, WakeHiddenWindow, nullptr, DestroyHiddenWindow};

std::wstring Widen(std::string_view text, UINT codePage) {
    if (text.empty() || text.size() > kMaxPath)
        return {};
    const int length = static_cast<int>(text.size());
    std::wstring wide(text.size(), L'\0');
    const int written = MultiByteToWideChar(codePage, 0, text.data(), length, wide.data(), length);
    wide.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty() || wide.size() > kMaxPath)
        return {};
    const int length = static_cast<int>(wide.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return {};
    std::string text(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), needed, nullptr, nullptr);
    return text;
}

// The directory of this DLL with its final backslash; empty on failure.
std::wstring ModuleDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(ShellModule(), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= kMaxPath)
            return {};
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring SystemDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    const UINT length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
    if (length == 0 || length >= path.size())
        return {};
    path.resize(length);
    return path + L"\\";
}

// A provider file of the registry's list ("zq_6232.tsp", in the ANSI code
// page) as the path to load (UTF-8): beside this DLL, else in the system
// directory. A name with a directory is used as it is; a file found in
// neither place is left to the loader's own search.
std::string ProviderPath(std::string_view file) {
    const std::wstring name = Widen(file, CP_ACP);
    if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos)
        return name.empty() ? std::string(file) : Utf8(name);
    for (const std::wstring& directory : {ModuleDirectory(), SystemDirectory()}) {
        if (directory.empty())
            continue;
        const std::wstring path = directory + name;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return Utf8(path);
    }
    return Utf8(name);
}

void InstallShell() {
    SetWakers(&kEventWaker, &kHiddenWindowWaker);
    SetProviderPathMapper(ProviderPath);
    SetRequestTransport(RequestWindowTransport());
}

}  // namespace

HINSTANCE ShellModule() {
    return g_module;
}

}  // namespace zq::tapiapp

using namespace zq::tapiapp;

extern "C" {

// Only the hooks: nothing is loaded or started under the loader lock. A
// DLL's window classes outlive it: unloaded by FreeLibrary, it takes them
// away, so that a later load registers its own procedures again.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        InstallShell();
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        UnregisterClassW(kHiddenWindowClass, instance);
        UnregisterRequestWindowClass();
    }
    return TRUE;
}

// Exported as lineInitializeExA: the core's, after which a hidden window
// learns its application and looks at the queue, which may have filled
// while the window could not yet tell whose it was.
LONG WINAPI zqtapiShellInitializeExA(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                                     LPCSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                                     LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams) {
    t_createdWindow = nullptr;
    const LONG result = lineInitializeExA(lphLineApp, hInstance, lpfnCallback, lpszFriendlyAppName,
                                          lpdwNumDevs, lpdwAPIVersion, lpLineInitializeExParams);
    const HWND window = t_createdWindow;
    t_createdWindow = nullptr;
    if (result == 0 && window != nullptr) {
        SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(*lphLineApp));
        PostMessageW(window, kWakeMessage, 0, 0);
    }
    return result;
}

// Proves by behaviour that this library runs and not another tapi32.dll.
LPCSTR WINAPI zqtapiIdentify() {
    return "zqtapi " ZQ_VERSION_TEXT;
}

}  // extern "C"
