// The controls of another program's window, read from outside, so that
// tests assert what a dialog shows by control rather than by pixels:
//
//   wininfo [--wait MS] CAPTION           every child control, one a line
//   wininfo [--wait MS] CAPTION --rect ID  "X Y W H" of one control, in
//                                          screen (= X root) coordinates
//
// CAPTION is the top-level window's exact caption; --wait polls for it up
// to MS milliseconds. A control's line:
//
//   id=1000 class=ComboBox enabled=1 visible=1 sel="COM1" items="COM1|COM2" rect=10,20,80,14 text="COM1"
//
// buttons add checked=0|1|2, combo and list boxes their selection and
// items. Texts are UTF-8 with '"' and '\' escaped. Exit code 1 when the
// window or the control is not found. Texts of another process's controls
// are read with WM_GETTEXT and the W messages (the A ones give one
// character across processes under Wine).
#include <windows.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// A hung program must not hang the test.
constexpr UINT kSendTimeoutMs = 2000;
// Beyond this a text is cut; no control of a dialog holds more.
constexpr LRESULT kMaxText = 4096;

struct Options {
    std::wstring caption;
    unsigned waitMs = 0;
    bool rect = false;
    int rectId = 0;
};

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &answer) == 0)
        return false;
    *result = static_cast<LRESULT>(answer);
    return true;
}

std::string Utf8(std::wstring_view text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(std::max(size, 0)), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const char* text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 1)
        return {};
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), size);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

std::string Quoted(std::wstring_view text) {
    std::string out = "\"";
    for (const char c : Utf8(text)) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\r' || c == '\n')
            out += ' ';
        else
            out += c;
    }
    return out + "\"";
}

// A text read by a length message and a text message (WM_GETTEXT, or an
// item of a combo or list box); empty when unreadable.
std::wstring ReadText(HWND window, UINT lengthMessage, UINT textMessage, WPARAM item) {
    LRESULT length = 0;
    if (!Send(window, lengthMessage, item, 0, &length) || length <= 0)
        return {};
    length = std::min(length, kMaxText);
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
    const WPARAM wParam = textMessage == WM_GETTEXT ? static_cast<WPARAM>(length) + 1 : item;
    LRESULT got = 0;
    if (!Send(window, textMessage, wParam, reinterpret_cast<LPARAM>(text.data()), &got) || got < 0)
        return {};
    text.back() = L'\0';
    return std::wstring(text.data());
}

std::wstring ClassName(HWND window) {
    std::array<wchar_t, 256> name{};
    const int got = GetClassNameW(window, name.data(), static_cast<int>(name.size()));
    return std::wstring(name.data(), static_cast<size_t>(std::max(got, 0)));
}

// The selection and the items of a combo box or list box.
std::string ListState(HWND window, bool combo) {
    const UINT countMessage = combo ? CB_GETCOUNT : LB_GETCOUNT;
    const UINT selMessage = combo ? CB_GETCURSEL : LB_GETCURSEL;
    const UINT lengthMessage = combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN;
    const UINT textMessage = combo ? CB_GETLBTEXT : LB_GETTEXT;
    LRESULT count = 0;
    LRESULT selected = -1;
    if (!Send(window, countMessage, 0, 0, &count) || count < 0)
        count = 0;
    if (!Send(window, selMessage, 0, 0, &selected))
        selected = -1;
    std::wstring items;
    std::wstring selection;
    for (LRESULT i = 0; i < count; ++i) {
        const std::wstring item = ReadText(window, lengthMessage, textMessage, static_cast<WPARAM>(i));
        items += (i == 0 ? L"" : L"|") + item;
        if (i == selected)
            selection = item;
    }
    return " sel=" + Quoted(selection) + " items=" + Quoted(items);
}

void PrintControl(HWND control) {
    const std::wstring cls = ClassName(control);
    std::string line = "id=" + std::to_string(static_cast<int>(GetDlgCtrlID(control))) +
                       " class=" + Utf8(cls) + " enabled=" + (IsWindowEnabled(control) ? "1" : "0") +
                       " visible=" + (IsWindowVisible(control) ? "1" : "0");
    if (lstrcmpiW(cls.c_str(), L"Button") == 0) {
        LRESULT checked = 0;
        if (!Send(control, BM_GETCHECK, 0, 0, &checked))
            checked = 0;
        line += " checked=" + std::to_string(static_cast<long>(checked));
    } else if (lstrcmpiW(cls.c_str(), L"ComboBox") == 0) {
        line += ListState(control, true);
    } else if (lstrcmpiW(cls.c_str(), L"ListBox") == 0) {
        line += ListState(control, false);
    }
    RECT r{};
    GetWindowRect(control, &r);
    line += " rect=" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
            std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top);
    line += " text=" + Quoted(ReadText(control, WM_GETTEXTLENGTH, WM_GETTEXT, 0));
    std::printf("%s\n", line.c_str());
}

struct Search {
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    std::array<wchar_t, 512> text{};
    const int got = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    if (got > 0 && IsWindowVisible(window) && *search->caption == std::wstring_view(text.data(), got)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindTopLevel(const std::wstring& caption, unsigned waitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        Search search{&caption, nullptr};
        EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr || std::chrono::steady_clock::now() >= end)
            return search.found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The window's own children only: a combo box's edit is part of it.
BOOL CALLBACK PrintChild(HWND child, LPARAM lParam) {
    if (GetParent(child) == reinterpret_cast<HWND>(lParam))
        PrintControl(child);
    return TRUE;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    bool haveCaption = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        char* end = nullptr;
        if ((arg == "--wait" || arg == "--rect") && i + 1 < argc) {
            const long v = std::strtol(argv[i + 1], &end, 10);
            if (end == argv[i + 1] || *end != '\0' || v < -1 || v > 600000)
                return false;
            if (arg == "--wait") {
                options.waitMs = static_cast<unsigned>(std::max(v, 0L));
            } else {
                options.rect = true;
                options.rectId = static_cast<int>(v);
            }
            ++i;
        } else if (!haveCaption && (arg.empty() || arg[0] != '-')) {
            options.caption = Wide(argv[i]);
            haveCaption = true;
        } else {
            return false;
        }
    }
    return haveCaption;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: wininfo [--wait MS] CAPTION [--rect ID]\n");
        return 2;
    }
    const HWND window = FindTopLevel(options.caption, options.waitMs);
    if (window == nullptr) {
        std::fprintf(stderr, "wininfo: no window \"%s\"\n", Utf8(options.caption).c_str());
        return 1;
    }
    if (options.rect) {
        const HWND control = GetDlgItem(window, options.rectId);
        RECT r{};
        if (control == nullptr || GetWindowRect(control, &r) == FALSE) {
            std::fprintf(stderr, "wininfo: no control %d\n", options.rectId);
            return 1;
        }
        std::printf("%ld %ld %ld %ld\n", static_cast<long>(r.left), static_cast<long>(r.top),
                    static_cast<long>(r.right - r.left), static_cast<long>(r.bottom - r.top));
        return 0;
    }
    EnumChildWindows(window, PrintChild, reinterpret_cast<LPARAM>(window));
    return 0;
}
