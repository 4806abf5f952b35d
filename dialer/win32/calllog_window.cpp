#include "win32/calllog_window.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/calllog.h"
#include "core/logview.h"
#include "core/settings.h"
#include "core/telephony.h"
#include "win32/controls.h"
#include "win32/help.h"
#include "win32/resource.h"

namespace zq::dialer::win32 {
namespace {

constexpr char kClassName[] = "ZqDialerCallLog";
constexpr char kCaption[] = "Call Log";
constexpr char kVisibleValue[] = "Log Window Visible";
constexpr char kPlaceValue[] = "Log Window Top/Left";
constexpr char kSizeValue[] = "Log Window Dimension";
// A first window, or one stored smaller than can be used.
constexpr int kDefaultWidth = 600;
constexpr int kDefaultHeight = 260;
constexpr int kMinWidth = 160;
constexpr int kMinHeight = 100;

struct LogWindow {
    HINSTANCE instance = nullptr;
    CallLogHooks hooks;
    UINT dialerText = 0;
    HWND window = nullptr;
    HWND list = nullptr;
    HFONT font = nullptr;
    int rowHeight = 16;
    LogColumnWidths columns{};
    // The file offset of each row, to keep the selection across reloads.
    std::vector<uint64_t> rowOffsets;
};

LogWindow g;

LogTextWidth Measurer(HDC dc) {
    return [dc](std::string_view text) { return TextWidth(dc, text); };
}

void ComputeColumns() {
    const HDC dc = GetDC(g.list);
    const HGDIOBJ old = SelectObject(dc, g.font);
    g.columns = ComputeLogColumns(Measurer(dc), Intl(), plat::local_time());
    SelectObject(dc, old);
    ReleaseDC(g.list, dc);
}

std::vector<size_t> SelectedRows() {
    const LRESULT count = SendMessageA(g.list, LB_GETSELCOUNT, 0, 0);
    if (count <= 0)
        return {};
    std::vector<int> items(static_cast<size_t>(count));
    const LRESULT got = SendMessageA(g.list, LB_GETSELITEMS, static_cast<WPARAM>(count),
                                     reinterpret_cast<LPARAM>(items.data()));
    std::vector<size_t> rows;
    for (LRESULT i = 0; i < std::min(got, count); ++i)
        if (items[static_cast<size_t>(i)] >= 0)
            rows.push_back(static_cast<size_t>(items[static_cast<size_t>(i)]));
    return rows;
}

// The rows again from the view, the selection and the first visible row
// kept where their lines still are.
void Fill() {
    if (g.list == nullptr)
        return;
    const LogView& view = CallLogView();
    std::vector<uint64_t> selected;
    for (const size_t row : SelectedRows())
        if (row < g.rowOffsets.size())
            selected.push_back(g.rowOffsets[row]);
    const LRESULT top = SendMessageA(g.list, LB_GETTOPINDEX, 0, 0);
    const bool haveTop = top >= 0 && static_cast<size_t>(top) < g.rowOffsets.size();
    const uint64_t topOffset = haveTop ? g.rowOffsets[static_cast<size_t>(top)] : 0;

    SendMessageA(g.list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(g.list, LB_RESETCONTENT, 0, 0);
    size_t bytes = 0;
    for (const LogLine& line : view.lines)
        bytes += line.text.size() + 1;
    SendMessageA(g.list, LB_INITSTORAGE, view.lines.size(), static_cast<LPARAM>(bytes));
    g.rowOffsets.clear();
    for (const LogLine& line : view.lines) {
        SendMessageA(g.list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.text.c_str()));
        g.rowOffsets.push_back(line.offset);
    }
    for (size_t row = 0; row < g.rowOffsets.size(); ++row) {
        if (std::find(selected.begin(), selected.end(), g.rowOffsets[row]) != selected.end())
            SendMessageA(g.list, LB_SETSEL, TRUE, static_cast<LPARAM>(row));
        if (haveTop && g.rowOffsets[row] == topOffset)
            SendMessageA(g.list, LB_SETTOPINDEX, row, 0);
    }
    SendMessageA(g.list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(g.list, nullptr, TRUE);
}

void InternalError() {
    ShowWarning(ErrorMessageText(IDS_INTERNAL_ERROR));
}

// CF_TEXT with the lines; "Dialer Text" announced without data.
void PutOnClipboard(const std::string& text) {
    if (OpenClipboard(g.window) == FALSE)
        return;
    EmptyClipboard();
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1); memory != nullptr) {
        void* bytes = GlobalLock(memory);
        if (bytes != nullptr) {
            std::memcpy(bytes, text.c_str(), text.size() + 1);
            GlobalUnlock(memory);
        }
        if (bytes == nullptr || SetClipboardData(CF_TEXT, memory) == nullptr)
            GlobalFree(memory);
    }
    if (g.dialerText != 0)
        SetClipboardData(g.dialerText, nullptr);
    CloseClipboard();
}

void Copy() {
    const std::vector<size_t> rows = SelectedRows();
    if (!rows.empty())
        PutOnClipboard(LogCopyText(CallLogView(), rows));
}

void Delete() {
    const std::vector<size_t> rows = SelectedRows();
    if (rows.empty())
        return;
    // A file that could not be rewritten loses nothing: the rows are
    // reloaded from it either way.
    LogDeleteLines(CallLogView(), rows);
    Fill();
}

void ClearAll() {
    const bool ok = LogClearAll(CallLogView());
    Fill();
    if (!ok)
        InternalError();
}

void DialSelected() {
    if (!g.hooks.canDial || !g.hooks.canDial())
        return;
    const std::string number = LogDialNumber(CallLogView(), SelectedRows());
    if (!number.empty() && g.hooks.dial)
        g.hooks.dial(number);
}

void Command(int id) {
    switch (id) {
        case ID_EDIT_CUT:
            Copy();
            Delete();
            break;
        case ID_EDIT_COPY:
            Copy();
            break;
        case ID_EDIT_DELETE:
            Delete();
            break;
        case ID_LOG_CLEAR_ALL:
            ClearAll();
            break;
        case ID_LOG_DIAL:
            DialSelected();
            break;
        case ID_OPTIONS_LOG:
            ShowCallLogOptions(g.window);
            break;
        case ID_HELP_CONTENTS:
            OpenHelp(kHelpContents);
            break;
        case ID_HELP_CALL_LOG:
            OpenHelp(kHelpCallLog);
            break;
        case ID_VIEW_LOG:
            if (g.hooks.mainCommand)
                g.hooks.mainCommand(id);
            break;
        default:
            break;
    }
}

void EnableMenu(HMENU menu) {
    const LRESULT count = SendMessageA(g.list, LB_GETCOUNT, 0, 0);
    const LogMenuState state =
        LogMenuEnabling(count > 0 ? static_cast<size_t>(count) : 0, SelectedRows().size());
    const auto enable = [menu](int id, bool on) {
        EnableMenuItem(menu, static_cast<UINT>(id), MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
    };
    enable(ID_EDIT_CUT, state.cut);
    enable(ID_EDIT_COPY, state.copy);
    enable(ID_EDIT_DELETE, state.del);
    enable(ID_LOG_CLEAR_ALL, state.clearAll);
    enable(ID_LOG_DIAL, state.dial && g.hooks.canDial && g.hooks.canDial());
}

// The row's text as the list holds it.
std::string RowText(UINT row) {
    const LRESULT length = SendMessageA(g.list, LB_GETTEXTLEN, row, 0);
    if (length <= 0)
        return {};
    std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
    const LRESULT got = SendMessageA(g.list, LB_GETTEXT, row, reinterpret_cast<LPARAM>(text.data()));
    return std::string(text.data(), static_cast<size_t>(std::clamp<LRESULT>(got, 0, length)));
}

void DrawRow(const DRAWITEMSTRUCT& item) {
    RECT rect = item.rcItem;
    if (item.itemID == static_cast<UINT>(-1) || item.itemAction == ODA_FOCUS) {
        if ((item.itemState & ODS_FOCUS) != 0 || item.itemAction == ODA_FOCUS)
            DrawFocusRect(item.hDC, &rect);
        return;
    }
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    FillRect(item.hDC, &rect, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    SetTextColor(item.hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    SetBkMode(item.hDC, TRANSPARENT);
    const std::string text = RowText(item.itemID);
    for (const LogCell& cell : LayoutLogRow(text, g.columns, Measurer(item.hDC)))
        TextOutA(item.hDC, rect.left + cell.x, rect.top, cell.text.c_str(),
                 static_cast<int>(cell.text.size()));
    if ((item.itemState & ODS_FOCUS) != 0)
        DrawFocusRect(item.hDC, &rect);
}

void StorePlace() {
    WINDOWPLACEMENT place{};
    place.length = sizeof place;
    if (g.window == nullptr || GetWindowPlacement(g.window, &place) == FALSE)
        return;
    const RECT& r = place.rcNormalPosition;
    WritePair(kCallLoggingKey, kPlaceValue, r.left, r.top);
    WritePair(kCallLoggingKey, kSizeValue, r.right - r.left, r.bottom - r.top);
}

bool CreateList(HWND window) {
    g.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const HDC dc = GetDC(window);
    const HGDIOBJ old = SelectObject(dc, g.font);
    TEXTMETRICA metrics{};
    if (GetTextMetricsA(dc, &metrics) != FALSE)
        g.rowHeight = metrics.tmHeight + metrics.tmExternalLeading;
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    g.list = CreateWindowExA(
        WS_EX_CLIENTEDGE, "LISTBOX", "",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_OWNERDRAWFIXED |
            LBS_HASSTRINGS | LBS_EXTENDEDSEL | LBS_NOINTEGRALHEIGHT | LBS_WANTKEYBOARDINPUT,
        0, 0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_CALL_LOG_LIST)), g.instance,
        nullptr);
    if (g.list == nullptr)
        return false;
    SendMessageA(g.list, WM_SETFONT, reinterpret_cast<WPARAM>(g.font), FALSE);
    SendMessageA(g.list, LB_SETITEMHEIGHT, 0, g.rowHeight);
    SendMessageA(g.list, LB_SETHORIZONTALEXTENT, kLogScrollExtent, 0);
    ComputeColumns();
    return true;
}

LRESULT CALLBACK CallLogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return CreateList(window) ? 0 : -1;
        case WM_SIZE:
            MoveWindow(g.list, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            ComputeColumns();
            InvalidateRect(g.list, nullptr, TRUE);
            return 0;
        case WM_SETFOCUS:
            SetFocus(g.list);
            return 0;
        case WM_MEASUREITEM:
            reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->itemHeight = static_cast<UINT>(g.rowHeight);
            return TRUE;
        case WM_DRAWITEM:
            DrawRow(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_VKEYTOITEM:
            if (LOWORD(wParam) == VK_DELETE) {
                Delete();
                return -2;
            }
            return -1;
        case WM_INITMENUPOPUP:
            EnableMenu(reinterpret_cast<HMENU>(wParam));
            return 0;
        case WM_COMMAND:
            if (lParam == 0)
                Command(LOWORD(wParam));
            return 0;
        case WM_RENDERFORMAT:
        case WM_RENDERALLFORMATS:
            // "Dialer Text" is announced without data.
            return 0;
        case WM_CLOSE:
            CloseCallLog();
            return 0;
        case WM_DESTROY:
            g.window = nullptr;
            g.list = nullptr;
            g.rowOffsets.clear();
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

void LogChanged() {
    Fill();
}

bool CreateCallLog(HWND owner) {
    int left = -1;
    int top = -1;
    int width = kDefaultWidth;
    int height = kDefaultHeight;
    ReadPair(kCallLoggingKey, kPlaceValue, &left, &top);
    ReadPair(kCallLoggingKey, kSizeValue, &width, &height);
    POINT corner{CW_USEDEFAULT, CW_USEDEFAULT};
    if (left >= 0 && top >= 0)
        corner = OnScreen(left, top);
    const HMENU menu = LoadMenuA(g.instance, MAKEINTRESOURCEA(IDR_LOG_MENU));
    g.window = CreateWindowExA(0, kClassName, kCaption, WS_OVERLAPPEDWINDOW, corner.x, corner.y,
                               std::max(width, kMinWidth), std::max(height, kMinHeight), owner, menu,
                               g.instance, nullptr);
    if (g.window == nullptr && menu != nullptr)
        DestroyMenu(menu);
    return g.window != nullptr;
}

INT_PTR CALLBACK LogOptionsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        const LogSwitches switches = GetLogSwitches();
        CheckDlgButton(dialog, IDC_LOG_INCOMING, switches.incoming ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(dialog, IDC_LOG_OUTGOING, switches.outgoing ? BST_CHECKED : BST_UNCHECKED);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK:
            SetLogSwitches({IsDlgButtonChecked(dialog, IDC_LOG_INCOMING) == BST_CHECKED,
                            IsDlgButtonChecked(dialog, IDC_LOG_OUTGOING) == BST_CHECKED});
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_HELP_BUTTON:
            OpenHelp(kLogOptionsHelpTopic);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool RegisterCallLogClass(HINSTANCE instance, const CallLogHooks& hooks) {
    g.instance = instance;
    g.hooks = hooks;
    WNDCLASSEXA cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = CallLogProc;
    cls.hInstance = instance;
    cls.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_ZQDIAL32));
    cls.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    cls.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    cls.lpszClassName = kClassName;
    SetCallLogListener(LogChanged);
    return RegisterClassExA(&cls) != 0;
}

void SetDialerTextFormat(UINT format) {
    g.dialerText = format;
}

bool OpenCallLog(HWND owner) {
    if (!LogViewOpen(CallLogView())) {
        InternalError();
        return false;
    }
    if (g.window == nullptr && !CreateCallLog(owner)) {
        LogViewClose(CallLogView());
        InternalError();
        return false;
    }
    Fill();
    ShowWindow(g.window, SW_SHOWNORMAL);
    return true;
}

void CloseCallLog() {
    if (g.window == nullptr)
        return;
    StorePlace();
    LogViewClose(CallLogView());
    ShowWindow(g.window, SW_HIDE);
}

bool CallLogVisible() {
    return g.window != nullptr && IsWindowVisible(g.window) != FALSE;
}

HWND CallLogWindow() {
    return g.window;
}

void DestroyCallLog() {
    if (g.window == nullptr)
        return;
    WriteIntSetting(kCallLoggingKey, kVisibleValue, CallLogVisible() ? 1 : 0);
    StorePlace();
    LogViewClose(CallLogView());
    DestroyWindow(g.window);
}

void ShowCallLogOptions(HWND owner) {
    RunDialog(IDD_LOG_OPTIONS, owner, LogOptionsProc);
}

}  // namespace zq::dialer::win32
