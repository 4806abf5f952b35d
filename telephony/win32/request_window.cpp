// Assisted telephony between processes: while one of its applications is
// the MAKECALL recipient, a process keeps a message-only window of class
// "ZqTapiRequestRecipient" on a thread of its own; tapiRequestMakeCallA in
// another process finds it and hands it the LINEREQMAKECALL by WM_COPYDATA.
// The structure is 240 bytes on both architectures, so 32- and 64-bit
// programs reach each other.
#include <windows.h>

#include <cstring>
#include <future>
#include <thread>

#include "shell_win32.h"

namespace zq::tapiapp {

namespace {

constexpr wchar_t kRecipientClass[] = L"ZqTapiRequestRecipient";
// Exists while a process is the recipient: the first to create it is.
constexpr wchar_t kRecipientMutex[] = L"ZqTapiRequestRecipient.Owner";
// COPYDATASTRUCT.dwData of a LINEREQMAKECALL.
constexpr ULONG_PTR kMakeCallData = 0x5A514D43;
// The recipient answers kAnswerTag | -result, so that a window that does
// not handle the message (0) is never taken for success, and the answer
// reads the same whatever the two processes' widths.
constexpr DWORD kAnswerTag = 0x5A510000;
constexpr DWORD kAnswerMask = 0xFFFF0000;
constexpr UINT kSendTimeoutMs = 5000;

static_assert(sizeof(LINEREQMAKECALL) == 240);

struct Listener {
    HANDLE owner = nullptr;
    HWND window = nullptr;
    std::thread thread;
    // A process that ends without lineShutdown: the system ends the thread
    // with the process; a joinable thread would abort it.
    ~Listener() {
        if (thread.joinable())
            thread.detach();
    }
};

// Listen and unlisten are serialised by the core.
Listener g_listener;

LRESULT Answer(LONG result) {
    return static_cast<LRESULT>(kAnswerTag | (static_cast<DWORD>(-result) & ~kAnswerMask));
}

// A request of exactly one LINEREQMAKECALL goes to the core, its fields
// cut to their NULs; anything else is refused.
LRESULT Receive(const COPYDATASTRUCT* data) {
    if (data == nullptr || data->dwData != kMakeCallData || data->cbData != sizeof(LINEREQMAKECALL) ||
        data->lpData == nullptr)
        return Answer(TAPIERR_REQUESTFAILED);
    LINEREQMAKECALL request{};
    std::memcpy(&request, data->lpData, sizeof request);
    request.szDestAddress[sizeof request.szDestAddress - 1] = '\0';
    request.szAppName[sizeof request.szAppName - 1] = '\0';
    request.szCalledParty[sizeof request.szCalledParty - 1] = '\0';
    request.szComment[sizeof request.szComment - 1] = '\0';
    return Answer(DeliverMakeCallRequest(request));
}

LRESULT CALLBACK RecipientProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA:
            return Receive(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool RegisterRecipientClass() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = RecipientProc;
        wc.hInstance = ShellModule();
        wc.lpszClassName = kRecipientClass;
        return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

// The listening thread: creates the window, says so, pumps until the
// window is closed.
void Run(std::promise<HWND>* created) {
    const HWND window = RegisterRecipientClass()
                            ? CreateWindowExW(0, kRecipientClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                              ShellModule(), nullptr)
                            : nullptr;
    created->set_value(window);
    if (window == nullptr)
        return;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
}

void CloseOwner() {
    if (g_listener.owner != nullptr)
        CloseHandle(g_listener.owner);
    g_listener.owner = nullptr;
}

bool Listen() {
    g_listener.owner = CreateMutexW(nullptr, FALSE, kRecipientMutex);
    if (g_listener.owner == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseOwner();
        return false;
    }
    std::promise<HWND> created;
    std::future<HWND> window = created.get_future();
    g_listener.thread = std::thread(Run, &created);
    g_listener.window = window.get();
    if (g_listener.window == nullptr) {
        g_listener.thread.join();
        CloseOwner();
        return false;
    }
    return true;
}

void Unlisten() {
    if (g_listener.window == nullptr)
        return;
    PostMessageW(g_listener.window, WM_CLOSE, 0, 0);
    g_listener.thread.join();
    g_listener.window = nullptr;
    CloseOwner();
}

LONG Send(const LINEREQMAKECALL& request) {
    HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kRecipientClass, nullptr);
    if (window == nullptr)
        window = FindWindowW(kRecipientClass, nullptr);
    if (window == nullptr)
        return TAPIERR_NOREQUESTRECIPIENT;
    COPYDATASTRUCT data{};
    data.dwData = kMakeCallData;
    data.cbData = sizeof request;
    data.lpData = const_cast<LINEREQMAKECALL*>(&request);
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                            kSendTimeoutMs, &answer) == 0)
        return IsWindow(window) ? TAPIERR_REQUESTFAILED : TAPIERR_NOREQUESTRECIPIENT;
    const auto word = static_cast<DWORD>(answer);
    if ((word & kAnswerMask) != kAnswerTag)
        return TAPIERR_REQUESTFAILED;
    return -static_cast<LONG>(word & ~kAnswerMask);
}

}  // namespace

RequestTransport RequestWindowTransport() {
    return RequestTransport{Listen, Unlisten, Send};
}

void UnregisterRequestWindowClass() {
    UnregisterClassW(kRecipientClass, ShellModule());
}

}  // namespace zq::tapiapp
