// zqphone's waiting on Win32: WaitForMultipleObjects on the library's
// USEEVENT handle, on an event the console control handler sets, and on an
// event a reader thread sets when it has a line of standard input (a read
// of a console or a pipe cannot be waited on together with events).
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <string>

#include "zqphone.h"

namespace zq::phone {

namespace {

// A line longer than this is no command; it is dropped.
constexpr size_t kMaxInputLine = 1024;

// Counted by the control handler, on a thread the system starts.
std::atomic<int> g_interrupts{0};
HANDLE g_interruptEvent = nullptr;

// Standard input, read on a thread of its own and handed over one line at a
// time: `ready` (manual reset) says that `line` holds the next line, or the
// end of the input; `taken` lets the reader go on once the main thread has
// it. Never freed: the reader may still be blocked in ReadFile while the
// process ends.
struct Reader {
    HANDLE input = nullptr;
    HANDLE ready = nullptr;
    HANDLE taken = nullptr;
    std::string line;
    bool ended = false;
};
Reader* g_reader = nullptr;
bool g_inputEnded = false;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    ++g_interrupts;
    SetEvent(g_interruptEvent);
    return TRUE;
}

void HandOver(Reader& r, std::string line, bool ended) {
    r.line = std::move(line);
    r.ended = ended;
    SetEvent(r.ready);
    WaitForSingleObject(r.taken, INFINITE);
}

// ReadFile on a console reads a whole edited line, echoed; a failed or
// empty read (a pipe's end, Ctrl-Z on a console) ends the input.
DWORD WINAPI ReadInput(void* param) {
    Reader& r = *static_cast<Reader*>(param);
    std::string pending;
    bool dropping = false;  // the rest of a line that was too long
    std::array<char, 512> bytes{};
    DWORD n = 0;
    while (ReadFile(r.input, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n > 0) {
        pending.append(bytes.data(), n);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!dropping)
                HandOver(r, std::move(line), false);
            dropping = false;
        }
        if (pending.size() > kMaxInputLine) {
            pending.clear();
            dropping = true;
        }
    }
    HandOver(r, dropping ? std::string() : std::move(pending), true);
    return 0;
}

// Started at the first wait for input: a dial never reads it.
void StartReader() {
    if (g_reader != nullptr || g_inputEnded)
        return;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        g_inputEnded = true;
        return;
    }
    auto* r = new Reader;
    r->input = input;
    r->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    r->taken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = nullptr;
    if (r->ready != nullptr && r->taken != nullptr)
        thread = CreateThread(nullptr, 0, ReadInput, r, 0, nullptr);
    if (thread == nullptr) {
        std::fprintf(stderr, "zqphone: cannot read the input (error %lu)\n", GetLastError());
        g_inputEnded = true;
        return;  // r stays allocated: its events may be half made
    }
    CloseHandle(thread);
    g_reader = r;
}

bool LineReady() {
    return g_reader != nullptr && WaitForSingleObject(g_reader->ready, 0) == WAIT_OBJECT_0;
}

}  // namespace

bool SystemStart() {
    g_interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return g_interruptEvent != nullptr && SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

Woke SystemWait(HLINEAPP, HANDLE event, bool input, int timeoutMs) {
    if (input)
        StartReader();
    std::array<HANDLE, 3> handles{};
    DWORD count = 0;
    handles[count++] = g_interruptEvent;
    if (event != nullptr)
        handles[count++] = event;
    if (input && !g_inputEnded && g_reader != nullptr)
        handles[count++] = g_reader->ready;
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (WaitForMultipleObjects(count, handles.data(), FALSE, limit) == WAIT_FAILED)
        std::fprintf(stderr, "zqphone: WaitForMultipleObjects: error %lu\n", GetLastError());
    Woke woke;
    woke.input = input && LineReady();
    woke.interrupts = g_interrupts.exchange(0);
    return woke;
}

std::optional<std::string> InputLine() {
    if (!LineReady())
        return std::nullopt;
    Reader& r = *g_reader;
    std::string line = std::move(r.line);
    const bool ended = r.ended;
    // Reset before the reader may set it again for its next line.
    ResetEvent(r.ready);
    if (ended) {
        g_inputEnded = true;
        return line.empty() ? std::nullopt : std::optional<std::string>(std::move(line));
    }
    SetEvent(r.taken);
    return line;
}

bool InputEnded() {
    return g_inputEnded;
}

std::string ClockText() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
                  now.wMilliseconds);
    return text.data();
}

}  // namespace zq::phone
