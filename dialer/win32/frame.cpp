#include "win32/frame.h"

#include <ctime>
#include <string>
#include <string_view>

#include "core/calllog.h"
#include "core/calls.h"
#include "core/intl.h"
#include "core/logview.h"
#include "core/redial.h"
#include "core/settings.h"
#include "core/speeddial.h"
#include "core/tapi_api.h"
#include "core/telephony.h"
#include "core/view.h"
#include "win32/calllog_window.h"
#include "win32/controls.h"
#include "win32/dialogs.h"
#include "win32/help.h"
#include "win32/resource.h"
#include "win32/tapi_binder.h"

namespace zq::dialer::win32 {
namespace {

// Replies to another program's assisted-telephony request.
constexpr UINT kTapiReply = WM_USER + 99;
// The number combo's selection has reached its edit part.
constexpr UINT kNumberSelected = WM_APP + 1;
// The window's right and bottom edges lie this far beyond the "Forward"
// group.
constexpr int kFormMargin = 20;
// The call list's tab stop, in dialog units: the party column.
constexpr int kPartyTabStop = 72;
// The message and forward destination fields hold what the call keeps.
constexpr int kFieldChars = 79;
constexpr char kLogVisibleValue[] = "Log Window Visible";
constexpr char kDialerTextFormat[] = "Dialer Text";

struct Frame {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    HACCEL accelerators = nullptr;
    HICON icon = nullptr;
    HICON smallIcon = nullptr;
    int partyColumn = 0;
    // A right-button press on a speed-dial button: its click programs it.
    bool rightClick = false;
    bool hourglass = false;
    bool ending = false;
    // Start-up and the setup dialogs run modal loops of their own: an
    // Exit chosen meanwhile waits until they have returned.
    int nested = 0;
    bool exitPending = false;
};

Frame g;

HWND Item(int id) {
    return GetDlgItem(g.window, id);
}

std::string Str(std::string_view text) {
    return std::string(text);
}

bool Busy() {
    return g.hourglass || Telephony().replyPending;
}

void RefreshCursor() {
    POINT at{};
    if (g.window == nullptr || GetCursorPos(&at) == FALSE)
        return;
    const HWND under = WindowFromPoint(at);
    if (under != g.window && IsChild(g.window, under) == FALSE)
        return;
    SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(Busy() ? 32514 : 32512)));  // IDC_WAIT, IDC_ARROW
}

// The window in front of the others of this program: the owner of boxes.
HWND BoxOwner() {
    if (g.window == nullptr || IsWindow(g.window) == FALSE)
        return nullptr;
    return GetLastActivePopup(g.window);
}

// ---- the form

// Right and bottom 20 pixels beyond the "Forward" group.
void FitToForm() {
    RECT group{};
    RECT frame{};
    if (GetWindowRect(Item(IDC_FORWARD_GROUP), &group) == FALSE || GetWindowRect(g.window, &frame) == FALSE)
        return;
    SetWindowPos(g.window, nullptr, 0, 0, group.right + kFormMargin - frame.left,
                 group.bottom + kFormMargin - frame.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The redial list into the number combo; select: its first entry into the
// edit part, else the edit part keeps its text.
void ShowRedial(const RedialList& list, bool select) {
    const HWND combo = Item(IDC_NUMBER);
    const std::string typed = WindowText(combo);
    SendMessageA(combo, CB_RESETCONTENT, 0, 0);
    for (const std::string& number : list.entries)
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(number.c_str()));
    if (select && !list.entries.empty())
        SendMessageA(combo, CB_SETCURSEL, 0, 0);
    else
        SetWindowTextA(combo, typed.c_str());
}

void InitForm(HWND window) {
    g.window = window;
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(g.icon));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g.smallIcon));
    SendMessageA(Item(IDC_NUMBER), CB_LIMITTEXT, kMaxNumberChars, 0);
    SendMessageA(Item(IDC_MESSAGE), EM_LIMITTEXT, kFieldChars, 0);
    SendMessageA(Item(IDC_FORWARD_DEST), EM_LIMITTEXT, kFieldChars, 0);

    INT tabStop = kPartyTabStop;
    SendMessageA(Item(IDC_CALL_LIST), LB_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tabStop));
    RECT column{0, 0, kPartyTabStop, 0};
    MapDialogRect(window, &column);
    g.partyColumn = column.right;

    for (const auto& type : kForwardTypes)
        SendMessageA(Item(IDC_FORWARD_TYPE), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(type));
    const auto captions = SpeedDialCaptions();
    for (int i = 0; i < kSpeedDialEntries; ++i)
        SetItemText(window, IDC_SPEED_DIAL_1 + i, captions[static_cast<size_t>(i)]);
    Calls().redial = LoadRedialList();
    ShowRedial(Calls().redial, false);

    const WindowPosition stored = LoadMainWindowPosition();
    const POINT corner = OnScreen(stored.left, stored.top);
    SetWindowPos(window, nullptr, corner.x, corner.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    FitToForm();
}

// ---- the hooks of the dialer's logic

int TextWidthInList(std::string_view text) {
    const HWND list = Item(IDC_CALL_LIST);
    const HDC dc = GetDC(list);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(list, WM_GETFONT, 0, 0)));
    const int width = TextWidth(dc, text);
    SelectObject(dc, old);
    ReleaseDC(list, dc);
    return width;
}

void SetRowText(int row, std::string_view text) {
    const HWND list = Item(IDC_CALL_LIST);
    const LRESULT selected = SendMessageA(list, LB_GETCURSEL, 0, 0);
    const LRESULT top = SendMessageA(list, LB_GETTOPINDEX, 0, 0);
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_DELETESTRING, static_cast<WPARAM>(row), 0);
    SendMessageA(list, LB_INSERTSTRING, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(Str(text).c_str()));
    if (selected == row)
        SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(row), 0);
    SendMessageA(list, LB_SETTOPINDEX, static_cast<WPARAM>(top), 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

void EnableControl(int id, bool enabled) {
    const HWND control = Item(id);
    // A control that loses its enabling must not keep the keyboard.
    if (!enabled && control != nullptr && GetFocus() == control)
        SendMessageA(g.window, WM_NEXTDLGCTL, 0, FALSE);
    EnableWindow(control, enabled ? TRUE : FALSE);
}

void SetControlText(int id, std::string_view text) {
    if (id == IDC_FORWARD_TYPE) {
        const HWND combo = Item(id);
        const LRESULT row = SendMessageA(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                         reinterpret_cast<LPARAM>(Str(text).c_str()));
        SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(row == CB_ERR ? -1 : row), 0);
        return;
    }
    SetItemText(g.window, id, text);
}

void PumpOneMessage() {
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) == FALSE)
        return;
    if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

DialerView MakeView() {
    DialerView v;
    v.messageBox = [](std::string_view text, std::string_view caption, uint32_t flags) {
        return MessageBoxA(BoxOwner(), Str(text).c_str(), Str(caption).c_str(), flags);
    };
    v.beep = [](uint32_t type) { MessageBeep(type); };
    v.addRow = [](std::string_view text) {
        SendMessageA(Item(IDC_CALL_LIST), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Str(text).c_str()));
    };
    v.setRowText = SetRowText;
    v.removeRow = [](int row) {
        SendMessageA(Item(IDC_CALL_LIST), LB_DELETESTRING, static_cast<WPARAM>(row), 0);
    };
    v.selectRow = [](int row) {
        SendMessageA(Item(IDC_CALL_LIST), LB_SETCURSEL, static_cast<WPARAM>(row), 0);
    };
    v.textWidth = TextWidthInList;
    v.partyColumnWidth = g.partyColumn;
    v.enableControl = EnableControl;
    v.setControlText = SetControlText;
    v.controlText = [](int id) { return ItemText(g.window, id); };
    v.showRedialList = [](const RedialList& list) { ShowRedial(list, true); };
    v.hourglass = [](bool on) {
        g.hourglass = on;
        RefreshCursor();
    };
    v.postIdleWork = [] { PostMessageA(g.window, WM_USER, 0, 0); };
    v.pumpOneMessage = PumpOneMessage;
    v.postTapiReply = [](HWND window, WPARAM wParam, LPARAM lParam) {
        if (window != nullptr && IsWindow(window) != FALSE)
            PostMessageA(window, kTapiReply, wParam, lParam);
    };
    v.restoreMainWindow = [] {
        if (IsIconic(g.window) != FALSE)
            ShowWindow(g.window, SW_RESTORE);
    };
    v.releaseWindows = [] {
        CloseModelessWindows();
        DestroyCallLog();
    };
    v.debugOutput = [](std::string_view text) { OutputDebugStringA(Str(text).c_str()); };
    v.showLineInUse = [](std::string_view text, std::string_view text2) {
        ShowLineInUse(BoxOwner(), text, text2);
    };
    v.showDialingPrompt = [](std::string_view prompt) { OpenDialingPrompt(g.window, prompt); };
    v.closeDialingPrompt = CloseDialingPrompt;
    v.showTransferChoice = [](const TransferChoice& choice) { OpenTransferChoice(g.window, choice); };
    v.closeTransferChoice = CloseTransferChoice;
    v.showConference = [](std::string_view with, std::string_view withToo) {
        OpenConference(g.window, with, withToo);
    };
    v.closeConference = CloseConference;
    v.showDtmf = [] { OpenDtmf(g.window); };
    v.dtmfAppend = DtmfAppend;
    v.closeDtmf = CloseDtmf;
    v.now = [] { return std::time(nullptr); };
    v.toAnsi = [](std::u16string_view text) { return ToAnsi(text); };
    return v;
}

// ---- commands

void EndApplication() {
    if (g.ending)
        return;
    if (g.nested > 0) {
        g.exitPending = true;
        return;
    }
    g.ending = true;
    CloseModelessWindows();
    StopTelephony(false);
    RECT frame{};
    WINDOWPLACEMENT place{};
    place.length = sizeof place;
    if (IsIconic(g.window) == FALSE && GetWindowRect(g.window, &frame) != FALSE)
        SaveMainWindowPosition(frame.left, frame.top);
    else if (GetWindowPlacement(g.window, &place) != FALSE)
        SaveMainWindowPosition(place.rcNormalPosition.left, place.rcNormalPosition.top);
    SaveRedialList(Calls().redial);
    DestroyCallLog();
    DestroyWindow(g.window);
}

void Keypad(int id) {
    const HWND combo = Item(IDC_NUMBER);
    DWORD start = 0;
    DWORD end = 0;
    SendMessageA(combo, CB_GETEDITSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    const KeypadResult result = KeypadInsert(WindowText(combo), start, end, KeypadChar(id));
    SetWindowTextA(combo, result.text.c_str());
    SetFocus(combo);
    const auto caret = static_cast<WORD>(result.caret);
    SendMessageA(combo, CB_SETEDITSEL, 0, MAKELPARAM(caret, caret));
    UpdateButtons();
}

void SpeedDial(int id) {
    const int index = SpeedDialIndexOfControl(id);
    const SpeedDialClick click = ClickSpeedDial(index, g.rightClick);
    g.rightClick = false;
    if (click.program)
        ShowProgramSpeedDial(g.window, index);
    else
        StartDial(click.entry.number, click.entry.name, ItemText(g.window, IDC_MESSAGE));
}

// The number's edit part has the keyboard: its edit commands apply.
struct EditState {
    HWND edit = nullptr;
    bool focused = false;
    bool selection = false;
};

EditState NumberEditState() {
    EditState s;
    s.edit = ComboEdit(Item(IDC_NUMBER));
    s.focused = s.edit != nullptr && GetFocus() == s.edit;
    DWORD start = 0;
    DWORD end = 0;
    if (s.focused)
        SendMessageA(s.edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    s.selection = start != end;
    return s;
}

// The menu's commands act on the number field. Their keys also reach the
// form's other fields, which would otherwise lose them to the accelerators.
void EditCommand(int id) {
    const EditState number = NumberEditState();
    HWND target = number.focused ? number.edit : nullptr;
    if (target == nullptr) {
        const HWND focus = GetFocus();
        char cls[16] = {};
        if (focus != nullptr && GetParent(focus) == g.window && GetClassNameA(focus, cls, sizeof cls) > 0 &&
            lstrcmpiA(cls, "Edit") == 0)
            target = focus;
    }
    if (target == nullptr)
        return;
    if (target == number.edit) {
        const bool allowed =
            id == ID_EDIT_PASTE ? IsClipboardFormatAvailable(CF_TEXT) != FALSE : number.selection;
        if (!allowed)
            return;
    }
    const UINT message = id == ID_EDIT_CUT     ? WM_CUT
                         : id == ID_EDIT_COPY  ? WM_COPY
                         : id == ID_EDIT_PASTE ? WM_PASTE
                                               : WM_CLEAR;
    SendMessageA(target, message, 0, 0);
}

void EnableMenu(HMENU menu) {
    const EditState number = NumberEditState();
    const auto enable = [menu](int id, bool on) {
        EnableMenuItem(menu, static_cast<UINT>(id), MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED));
    };
    enable(ID_EDIT_CUT, number.focused && number.selection);
    enable(ID_EDIT_COPY, number.focused && number.selection);
    enable(ID_EDIT_DELETE, number.focused && number.selection);
    enable(ID_EDIT_PASTE, number.focused && IsClipboardFormatAvailable(CF_TEXT) != FALSE);
    CheckMenuItem(menu, ID_VIEW_LOG, MF_BYCOMMAND | (CallLogVisible() ? MF_CHECKED : MF_UNCHECKED));
}

// Runs work that may run a modal loop; an Exit chosen meanwhile follows.
template <typename Work>
auto Nested(Work work) {
    ++g.nested;
    const auto result = work();
    if (--g.nested == 0 && g.exitPending)
        EndApplication();
    return result;
}

void LocationSetup() {
    TelephonyState& t = Telephony();
    const LONG r = Nested([&] { return Tapi().lineTranslateDialog(t.app, 0, kApiVersion, nullptr, ""); });
    if (g.ending)
        return;
    if (r != 0) {
        ShowError(r);
        return;
    }
    // Numbers are translated from the location just chosen.
    if (t.initialised)
        LoadLocationAndCard();
}

void ProviderSetup() {
    const TelephonyState& t = Telephony();
    if (t.currentLine < 0) {
        MessageBeep(0);
        return;
    }
    const auto device = static_cast<DWORD>(t.currentLine);
    const LONG r = Nested([&] { return Tapi().lineConfigDialogA(device, nullptr, nullptr); });
    if (r != 0 && !g.ending)
        ShowError(r);
}

void ToggleCallLog() {
    if (CallLogVisible())
        CloseCallLog();
    else
        OpenCallLog(g.window);
}

void NumberNotification(int code) {
    switch (code) {
        case CBN_EDITCHANGE:
            UpdateButtons();
            break;
        case CBN_SELCHANGE:
            // The edit part takes the entry's text after this notification.
            PostMessageA(g.window, kNumberSelected, 0, 0);
            break;
        case CBN_CLOSEUP: {
            const HWND combo = Item(IDC_NUMBER);
            const LRESULT selected = SendMessageA(combo, CB_GETCURSEL, 0, 0);
            if (RedialSelectionEnded(Calls().redial, selected == CB_ERR ? -1 : static_cast<int>(selected),
                                     WindowText(combo)))
                ShowRedial(Calls().redial, true);
            PostMessageA(g.window, kNumberSelected, 0, 0);
            break;
        }
        default:
            break;
    }
}

// Call commands that act on the selected call, by button.
void CallCommand(int id) {
    switch (id) {
        case IDC_ANSWER:
            OnAnswer();
            break;
        case IDC_HOLD:
            OnHold();
            break;
        case IDC_DROP:
            OnDrop();
            break;
        case IDC_UNHOLD:
            OnUnhold();
            break;
        case IDC_TRANSFER:
            OnTransfer();
            break;
        case IDC_CONF:
            OnConference();
            break;
        case IDC_PARK:
            OnPark();
            break;
        case IDC_RECALL:
            OnRecall();
            break;
        case IDC_INTRUSION:
            OnIntrusion();
            break;
        case IDC_DTMF:
            OnDtmf();
            break;
        case IDC_UNPARK:
            OnUnpark();
            break;
        case IDC_PICKUP:
            OnPickup();
            break;
        case IDC_REDIRECT:
            OnRedirect();
            break;
        case IDC_FORWARD:
            OnForward();
            break;
        default:
            break;
    }
}

void MenuCommand(int id) {
    switch (id) {
        case ID_APP_EXIT:
            EndApplication();
            break;
        case ID_EDIT_CUT:
        case ID_EDIT_COPY:
        case ID_EDIT_PASTE:
        case ID_EDIT_DELETE:
            EditCommand(id);
            break;
        case ID_EDIT_SPEED_DIAL:
            ShowEditSpeedDial(g.window);
            break;
        case ID_OPTIONS_DIALING:
            if (ShowDialingOptions(g.window))
                EndApplication();
            break;
        case ID_OPTIONS_LOG:
            ShowCallLogOptions(g.window);
            break;
        case ID_OPTIONS_LOCATION:
            LocationSetup();
            break;
        case ID_OPTIONS_PROVIDER:
            ProviderSetup();
            break;
        case ID_VIEW_LOG:
            ToggleCallLog();
            break;
        case ID_HELP_CONTENTS:
            OpenHelp(kHelpContents);
            break;
        case ID_APP_ABOUT:
            ShowAbout(g.window);
            break;
        default:
            // Dial from the log and the log's help key are the Call Log
            // window's own.
            break;
    }
}

void Command(int id, int code, HWND control) {
    if (g.ending)
        return;
    if (control == nullptr) {
        // Alt+D and the Enter key reach the default button only while it
        // is enabled.
        if (id == IDC_DIAL) {
            if (IsWindowEnabled(Item(IDC_DIAL)) != FALSE)
                OnDialButton();
            return;
        }
        MenuCommand(id);
        return;
    }
    if (id >= IDC_KEY_1 && id <= IDC_KEY_HASH) {
        if (code == BN_CLICKED)
            Keypad(id);
        return;
    }
    if (SpeedDialIndexOfControl(id) >= 0) {
        if (code == BN_CLICKED)
            SpeedDial(id);
        return;
    }
    switch (id) {
        case IDC_NUMBER:
            NumberNotification(code);
            return;
        case IDC_CALL_LIST:
            if (code == LBN_SELCHANGE) {
                const LRESULT row = SendMessageA(control, LB_GETCURSEL, 0, 0);
                OnSelectRow(row == LB_ERR ? -1 : static_cast<int>(row));
            }
            return;
        case IDC_FORWARD_TYPE:
            if (code == CBN_SELCHANGE)
                OnForwardControlsChanged();
            return;
        case IDC_FORWARD_DEST:
            if (code == EN_CHANGE)
                OnForwardControlsChanged();
            return;
        case IDC_DIAL:
            if (code == BN_CLICKED && IsWindowEnabled(control) != FALSE)
                OnDialButton();
            return;
        default:
            if (code == BN_CLICKED && IsWindowEnabled(control) != FALSE)
                CallCommand(id);
            return;
    }
}

INT_PTR CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            InitForm(window);
            return TRUE;
        case WM_COMMAND:
            Command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return TRUE;
        case kNumberSelected:
            if (!g.ending)
                UpdateButtons();
            return TRUE;
        case WM_INITMENUPOPUP:
            EnableMenu(reinterpret_cast<HMENU>(wParam));
            return TRUE;
        case WM_SETCURSOR:
            if (!Busy())
                return FALSE;
            SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
            SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);
            return TRUE;
        case WM_CLOSE:
            // Not IDCANCEL: that is the "Unpark" button.
            EndApplication();
            return TRUE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return TRUE;
        default:
            return FALSE;
    }
}

bool InMain(HWND window) {
    return window == g.window || IsChild(g.window, window) != FALSE;
}

// Before a message is dispatched: the idle wake-up, the right button, the
// keys of the accelerators and of the dialogs. true when it was handled.
bool PreTranslate(MSG& msg) {
    if (msg.hwnd == g.window && msg.message == WM_USER) {
        IdleWork();
        return true;
    }
    const bool right =
        msg.message == WM_RBUTTONDOWN || msg.message == WM_RBUTTONUP || msg.message == WM_RBUTTONDBLCLK;
    if (right && msg.hwnd != g.window && GetParent(msg.hwnd) == g.window &&
        RightButtonActsAsLeft(GetDlgCtrlID(msg.hwnd))) {
        if (msg.message == WM_RBUTTONDOWN)
            g.rightClick = SpeedDialIndexOfControl(GetDlgCtrlID(msg.hwnd)) >= 0;
        msg.message = msg.message == WM_RBUTTONDOWN ? WM_LBUTTONDOWN
                      : msg.message == WM_RBUTTONUP ? WM_LBUTTONUP
                                                    : WM_LBUTTONDBLCLK;
        msg.wParam = (msg.wParam & ~static_cast<WPARAM>(MK_RBUTTON)) |
                     (msg.message == WM_LBUTTONUP ? 0 : static_cast<WPARAM>(MK_LBUTTON));
    } else if (msg.message == WM_LBUTTONDOWN) {
        g.rightClick = false;
    }
    // The form has no Cancel button: Escape would press "Unpark" (2).
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE && InMain(msg.hwnd) &&
        SendMessageA(Item(IDC_NUMBER), CB_GETDROPPEDSTATE, 0, 0) == FALSE &&
        SendMessageA(Item(IDC_FORWARD_TYPE), CB_GETDROPPEDSTATE, 0, 0) == FALSE)
        return true;
    const HWND log = CallLogWindow();
    if (log != nullptr && (msg.hwnd == log || IsChild(log, msg.hwnd) != FALSE)) {
        if (TranslateAcceleratorA(log, g.accelerators, &msg) != 0)
            return true;
    } else if (InMain(msg.hwnd) && TranslateAcceleratorA(g.window, g.accelerators, &msg) != 0) {
        return true;
    }
    if (ModelessDialogMessage(&msg))
        return true;
    return IsDialogMessageA(g.window, &msg) != FALSE;
}

CallLogHooks LogHooks() {
    CallLogHooks hooks;
    hooks.canDial = MakeCallAllowed;
    hooks.dial = [](const std::string& number) { StartDial(number, "", ""); };
    hooks.mainCommand = [](int id) { MenuCommand(id); };
    return hooks;
}

}  // namespace

int RunDialer(HINSTANCE instance) {
    g.instance = instance;
    CreateFirstRunKeys();
    SetTapi(LazyTapi32());
    g.icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_ZQDIAL32));
    g.smallIcon =
        static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_ZQDIAL32), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    g.accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCELERATORS));
    RegisterCallLogClass(instance, LogHooks());
    if (CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainProc, 0) == nullptr) {
        MessageBoxA(nullptr, Str(ErrorMessageText(IDS_INTERNAL_ERROR)).c_str(), kAppCaption,
                    MB_ICONEXCLAMATION);
        return 1;
    }
    SetView(MakeView());
    SetWindowTextA(g.window, kAppCaption);
    ShowWindow(g.window, SW_SHOWNORMAL);
    UpdateWindow(g.window);

    // The international settings and the log switches are read once; the
    // Call Log window comes back when it was open at the last end.
    LoadIntlSettings();
    LoadLogSwitches();
    if (ReadIntSetting(kCallLoggingKey, kLogVisibleValue, 0) != 0)
        OpenCallLog(g.window);
    // The first-run location dialog has no owner: the window can be
    // closed meanwhile, which then waits for the start-up's end.
    ++g.nested;
    const bool started = StartDialer(instance);
    --g.nested;
    if (started && !g.exitPending)
        SetDialerTextFormat(RegisterClipboardFormatA(kDialerTextFormat));
    else
        EndApplication();

    MSG msg{};
    for (;;) {
        if (!g.ending && PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) == FALSE)
            IdleWork();
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0)
            break;
        if (!PreTranslate(msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    // However the loop ended, telephony is shut down before the process
    // ends: the library's threads must not outlive it.
    StopTelephony(false);
    if (g.smallIcon != nullptr)
        DestroyIcon(g.smallIcon);
    return msg.message == WM_QUIT ? static_cast<int>(msg.wParam) : 1;
}

}  // namespace zq::dialer::win32
