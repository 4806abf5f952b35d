#include "win32/dialogs.h"

#include <array>
#include <string>
#include <vector>

#include "core/calls.h"
#include "core/options.h"
#include "core/speeddial.h"
#include "core/tapi_api.h"
#include "core/telephony.h"
#include "win32/controls.h"
#include "win32/help.h"
#include "win32/resource.h"

namespace zq::dialer::win32 {
namespace {

struct Modeless {
    HWND prompt = nullptr;
    HWND promptOwner = nullptr;
    HWND dtmf = nullptr;
    HWND choice = nullptr;
    HWND conference = nullptr;
};

Modeless g_modeless;

void SetSpeedDialCaption(HWND owner, int index, const std::string& caption) {
    if (owner != nullptr)
        SetItemText(owner, IDC_SPEED_DIAL_1 + index, caption);
}

// ---- About, Line In Use

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

struct LineInUseTexts {
    std::string text;
    std::string text2;
};

INT_PTR CALLBACK LineInUseProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* texts = reinterpret_cast<const LineInUseTexts*>(lParam);
        SetItemText(dialog, IDC_TEXT1, texts->text);
        SetItemText(dialog, IDC_TEXT2, texts->text2);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDC_HELP_BUTTON:
            OpenHelp(kHelpLineInUse);
            EndDialog(dialog, IDOK);
            return TRUE;
        default:
            return FALSE;
    }
}

// ---- Program Speed Dial

struct ProgramContext {
    HWND owner;
    ProgramSpeedDial model;
    bool filling = false;
};

void ProgramRead(HWND dialog, ProgramContext& c) {
    c.model.entry.name = ItemText(dialog, IDC_SD_NAME).substr(0, kProgramNameMax);
    c.model.entry.number = ItemText(dialog, IDC_SD_NUMBER).substr(0, kProgramNumberMax);
}

INT_PTR CALLBACK ProgramProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        auto& c = *reinterpret_cast<ProgramContext*>(lParam);
        c.filling = true;
        SendDlgItemMessageA(dialog, IDC_SD_NAME, EM_LIMITTEXT, kProgramNameMax, 0);
        SendDlgItemMessageA(dialog, IDC_SD_NUMBER, EM_LIMITTEXT, kProgramNumberMax, 0);
        SetItemText(dialog, IDC_SD_NAME, c.model.entry.name);
        SetItemText(dialog, IDC_SD_NUMBER, c.model.entry.number);
        EnableItem(dialog, IDC_SD_SAVE_DIAL, c.model.saveAndDialEnabled);
        c.filling = false;
        const HWND name = GetDlgItem(dialog, IDC_SD_NAME);
        SetFocus(name);
        SendMessageA(name, EM_SETSEL, 0, -1);
        return FALSE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    auto* c = reinterpret_cast<ProgramContext*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (c == nullptr)
        return FALSE;
    switch (LOWORD(wParam)) {
        case IDC_SD_NUMBER:
            if (HIWORD(wParam) == EN_CHANGE && !c->filling) {
                ProgramSetNumber(c->model, ItemText(dialog, IDC_SD_NUMBER));
                EnableItem(dialog, IDC_SD_SAVE_DIAL, c->model.saveAndDialEnabled);
            }
            return TRUE;
        case IDOK:
        case IDC_SD_SAVE:
            ProgramRead(dialog, *c);
            SetSpeedDialCaption(c->owner, c->model.index, ProgramSave(c->model));
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDC_SD_SAVE_DIAL: {
            if (IsWindowEnabled(GetDlgItem(dialog, IDC_SD_SAVE_DIAL)) == FALSE)
                return TRUE;
            ProgramRead(dialog, *c);
            std::string number;
            SetSpeedDialCaption(c->owner, c->model.index, ProgramSaveAndDial(c->model, &number));
            EndDialog(dialog, IDOK);
            if (!number.empty())
                StartDial(number, "", "");
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_HELP_BUTTON:
            OpenHelp(kHelpProgramSpeedDial);
            return TRUE;
        default:
            return FALSE;
    }
}

// ---- Edit Speed Dial

struct EditContext {
    HWND owner;
    EditSpeedDial model;
    bool filling = false;
};

void EditChoose(HWND dialog, EditContext& c, int index) {
    const SpeedDialEntry& entry = EditSelect(c.model, index);
    c.filling = true;
    SetItemText(dialog, IDC_SD_NAME, entry.name);
    SetItemText(dialog, IDC_SD_NUMBER, entry.number);
    c.filling = false;
    const HWND name = GetDlgItem(dialog, IDC_SD_NAME);
    SetFocus(name);
    const auto end = static_cast<LPARAM>(entry.name.size());
    SendMessageA(name, EM_SETSEL, static_cast<WPARAM>(end), end);
}

INT_PTR CALLBACK EditProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        auto& c = *reinterpret_cast<EditContext*>(lParam);
        SendDlgItemMessageA(dialog, IDC_SD_NAME, EM_LIMITTEXT, kEditNameMax, 0);
        SendDlgItemMessageA(dialog, IDC_SD_NUMBER, EM_LIMITTEXT, kEditNumberMax, 0);
        for (int i = 0; i < kSpeedDialEntries; ++i)
            SetItemText(dialog, IDC_SD_BUTTON_1 + i, EditCaption(c.model, i));
        EditChoose(dialog, c, c.model.selected);
        return FALSE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    auto* c = reinterpret_cast<EditContext*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (c == nullptr)
        return FALSE;
    const int id = LOWORD(wParam);
    if (id >= IDC_SD_BUTTON_1 && id <= IDC_SD_BUTTON_10) {
        EditChoose(dialog, *c, id - IDC_SD_BUTTON_1);
        return TRUE;
    }
    switch (id) {
        case IDC_SD_NAME:
            if (HIWORD(wParam) == EN_CHANGE && !c->filling) {
                EditSetName(c->model, ItemText(dialog, IDC_SD_NAME));
                SetItemText(dialog, IDC_SD_BUTTON_1 + c->model.selected,
                            EditCaption(c->model, c->model.selected));
            }
            return TRUE;
        case IDC_SD_NUMBER:
            if (HIWORD(wParam) == EN_CHANGE && !c->filling)
                EditSetNumber(c->model, ItemText(dialog, IDC_SD_NUMBER));
            return TRUE;
        case IDOK:
        case IDC_SD_SAVE: {
            const std::array<std::string, kSpeedDialEntries> captions = EditSave(c->model);
            for (int i = 0; i < kSpeedDialEntries; ++i)
                SetSpeedDialCaption(c->owner, i, captions[static_cast<size_t>(i)]);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_HELP_BUTTON:
            OpenHelp(kHelpEditSpeedDial);
            return TRUE;
        default:
            return FALSE;
    }
}

// ---- Dialing Options

// The voice lines with their addresses and the telephony locations, as
// the window lists them.
DialingOptionsData GatherDialingOptions() {
    const TelephonyState& t = Telephony();
    DialingOptionsData data;
    data.currentLine = t.currentLine;
    data.currentAddress = t.currentAddress;
    data.translationAvailable = t.translationAvailable;
    for (int i = 0; i < t.lineCount; ++i) {
        const LineEntry& entry = t.lines[static_cast<size_t>(i)];
        if (!entry.voice)
            continue;
        OptionsLine line;
        line.device = static_cast<uint32_t>(i);
        line.name = entry.name.str();
        line.addressesRead = true;
        for (DWORD a = 0; a < entry.numAddresses && a < kMaxAddresses; ++a) {
            std::string name;
            if (ReadAddressName(i, a, name) != 0) {
                line.addressesRead = false;
                break;
            }
            line.addresses.push_back(name);
        }
        data.lines.push_back(std::move(line));
    }
    TranslateCapsInfo caps;
    data.locationsRead = ReadTranslateCaps(kApiVersion, caps) == 0;
    data.currentLocationId = caps.currentLocationId;
    for (const LocationInfo& location : caps.locations)
        data.locations.push_back({location.permanentId, location.name});
    return data;
}

struct OptionsContext {
    DialingOptions model;
    bool restart = false;
};

void FillCombo(HWND dialog, int item, const std::vector<std::string>& texts, int selected) {
    const HWND combo = GetDlgItem(dialog, item);
    SendMessageA(combo, CB_RESETCONTENT, 0, 0);
    for (const std::string& text : texts)
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void ShowOptions(HWND dialog, const DialingOptions& w) {
    FillCombo(dialog, IDC_OPT_ADDRESS, AddressList(w), w.address);
    const DialingOptionsEnabling on = Enabling(w);
    EnableItem(dialog, IDC_OPT_ADDRESS, on.addressCombo);
    EnableItem(dialog, IDC_OPT_LOCATION, on.locationCombo);
    EnableItem(dialog, IDOK, on.ok);
}

int ComboSelection(HWND dialog, int item) {
    const LRESULT selected = SendDlgItemMessageA(dialog, item, CB_GETCURSEL, 0, 0);
    return selected == CB_ERR ? -1 : static_cast<int>(selected);
}

INT_PTR CALLBACK OptionsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        auto& c = *reinterpret_cast<OptionsContext*>(lParam);
        std::vector<std::string> lines;
        for (const OptionsLine& line : c.model.data.lines)
            lines.push_back(line.name);
        FillCombo(dialog, IDC_OPT_LINE, lines, c.model.line);
        std::vector<std::string> locations;
        for (const OptionsLocation& location : c.model.data.locations)
            locations.push_back(location.name);
        FillCombo(dialog, IDC_OPT_LOCATION, locations, c.model.location);
        ShowOptions(dialog, c.model);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    auto* c = reinterpret_cast<OptionsContext*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (c == nullptr)
        return FALSE;
    const bool changed = HIWORD(wParam) == CBN_SELCHANGE;
    switch (LOWORD(wParam)) {
        case IDC_OPT_LINE:
            if (changed) {
                ChooseLine(c->model, ComboSelection(dialog, IDC_OPT_LINE));
                ShowOptions(dialog, c->model);
            }
            return TRUE;
        case IDC_OPT_ADDRESS:
            if (changed)
                ChooseAddress(c->model, ComboSelection(dialog, IDC_OPT_ADDRESS));
            return TRUE;
        case IDC_OPT_LOCATION:
            if (changed)
                ChooseLocation(c->model, ComboSelection(dialog, IDC_OPT_LOCATION));
            return TRUE;
        case IDOK: {
            const DialingOptionsResult result = DialingOptionsOk(c->model);
            if (!result.accepted)
                return TRUE;
            TelephonyState& t = Telephony();
            t.currentLine = static_cast<int>(result.line);
            t.currentAddress = result.address;
            if (result.setLocation) {
                const LONG r = Tapi().lineSetCurrentLocation(t.app, result.locationId);
                if (r != 0)
                    ShowError(r);
                LoadLocationAndCard();
            }
            c->restart = result.restart;
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_HELP_BUTTON:
            OpenHelp(kDialingOptionsHelpTopic);
            return TRUE;
        default:
            return FALSE;
    }
}

// ---- Dialing Prompt

void EndPrompt(PromptAnswer answer) {
    const HWND owner = g_modeless.promptOwner;
    if (g_modeless.prompt != nullptr)
        DestroyWindow(g_modeless.prompt);
    g_modeless.prompt = nullptr;
    g_modeless.promptOwner = nullptr;
    if (owner != nullptr)
        EnableWindow(owner, TRUE);
    DialingPromptAnswer(answer);
    // "Change Options" hangs up so that the options can be changed.
    if (answer == PromptAnswer::ChangeOptions && owner != nullptr && ShowDialingOptions(owner))
        PostMessageA(owner, WM_CLOSE, 0, 0);
}

INT_PTR CALLBACK PromptProc(HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK:
        case IDC_CONTINUE:
            EndPrompt(PromptAnswer::Continue);
            return TRUE;
        case IDCANCEL:
        case IDC_HANG_UP:
            EndPrompt(PromptAnswer::HangUp);
            return TRUE;
        case IDC_CHANGE_OPTIONS:
            EndPrompt(PromptAnswer::ChangeOptions);
            return TRUE;
        case IDC_HELP_BUTTON:
            OpenHelp(kHelpDialingPrompt);
            return TRUE;
        default:
            return FALSE;
    }
}

// ---- DTMF

char DtmfChar(int id) {
    if (id >= IDC_DTMF_1 && id < IDC_DTMF_1 + 9)
        return static_cast<char>('1' + (id - IDC_DTMF_1));
    switch (id) {
        case IDC_DTMF_0:
            return '0';
        case IDC_DTMF_STAR:
            return '*';
        case IDC_DTMF_HASH:
            return '#';
        default:
            return '\0';
    }
}

INT_PTR CALLBACK DtmfProc(HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    const int id = LOWORD(wParam);
    if (const char key = DtmfChar(id); key != '\0') {
        DtmfKey(key);
        return TRUE;
    }
    if (id == IDC_DTMF_QUIT || id == IDCANCEL || id == IDOK) {
        DtmfQuit();
        // Closed here too should the core not ask for it.
        CloseDtmf();
        return TRUE;
    }
    return FALSE;
}

// ---- Transfer / Conference choice

void ShowChoice(HWND dialog, const TransferChoice& choice) {
    SetWindowTextA(dialog, choice.title.c_str());
    SetItemText(dialog, IDC_CHOICE_LABEL, choice.label);
    SetItemText(dialog, IDC_CHOICE_ACTIVE, choice.active);
    SetItemText(dialog, IDC_CHOICE_DO, choice.button);
    const HWND list = GetDlgItem(dialog, IDC_CHOICE_HELD);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& held : choice.held)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(held.c_str()));
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(choice.preselected), 0);
}

INT_PTR CALLBACK ChoiceProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK:
        case IDC_CHOICE_DO: {
            const LRESULT row = SendDlgItemMessageA(dialog, IDC_CHOICE_HELD, LB_GETCURSEL, 0, 0);
            CloseTransferChoice();
            TransferChoiceAnswer(row == LB_ERR ? -1 : static_cast<int>(row));
            return TRUE;
        }
        case IDCANCEL:
            CloseTransferChoice();
            TransferChoiceClosed();
            return TRUE;
        default:
            return FALSE;
    }
}

// ---- Conference

INT_PTR CALLBACK ConferenceProc(HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    switch (LOWORD(wParam)) {
        case IDC_CONF_CANCEL_ALL:
            ConferenceCancelAll();
            return TRUE;
        case IDC_CONF_DISCONNECT:
            ConferenceDisconnect();
            return TRUE;
        case IDCANCEL:
            CloseConference();
            return TRUE;
        default:
            return FALSE;
    }
}

HWND CreateModeless(int resource, HWND owner, DLGPROC proc) {
    const HWND dialog =
        CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resource), owner, proc, 0);
    if (dialog != nullptr)
        ShowWindow(dialog, SW_SHOW);
    return dialog;
}

void Destroy(HWND& window) {
    if (window != nullptr)
        DestroyWindow(window);
    window = nullptr;
}

}  // namespace

void ShowAbout(HWND owner) {
    RunDialog(IDD_ABOUT, owner, AboutProc);
}

void ShowLineInUse(HWND owner, std::string_view text, std::string_view text2) {
    LineInUseTexts texts{std::string(text), std::string(text2)};
    RunDialog(IDD_LINE_IN_USE, owner, LineInUseProc, reinterpret_cast<LPARAM>(&texts));
}

void ShowProgramSpeedDial(HWND owner, int index) {
    ProgramContext context{owner, OpenProgramSpeedDial(index)};
    RunDialog(IDD_PROGRAM_SPEED_DIAL, owner, ProgramProc, reinterpret_cast<LPARAM>(&context));
}

void ShowEditSpeedDial(HWND owner) {
    EditContext context{owner, OpenEditSpeedDial()};
    RunDialog(IDD_EDIT_SPEED_DIAL, owner, EditProc, reinterpret_cast<LPARAM>(&context));
}

bool ShowDialingOptions(HWND owner) {
    OptionsContext context{OpenDialingOptions(GatherDialingOptions())};
    RunDialog(IDD_DIALING_OPTIONS, owner, OptionsProc, reinterpret_cast<LPARAM>(&context));
    if (context.restart)
        View().messageBox(kConfigChangedText, kConfigChangedCaption, kMbIconExclamation);
    return context.restart;
}

void OpenDialingPrompt(HWND owner, std::string_view prompt) {
    Destroy(g_modeless.prompt);
    g_modeless.prompt = CreateModeless(IDD_DIALING_PROMPT, owner, PromptProc);
    if (g_modeless.prompt == nullptr) {
        // Without the window the call cannot go on: hang up.
        DialingPromptAnswer(PromptAnswer::HangUp);
        return;
    }
    SetItemText(g_modeless.prompt, IDC_PROMPT, prompt);
    g_modeless.promptOwner = owner;
    if (owner != nullptr)
        EnableWindow(owner, FALSE);
}

void CloseDialingPrompt() {
    if (g_modeless.promptOwner != nullptr)
        EnableWindow(g_modeless.promptOwner, TRUE);
    g_modeless.promptOwner = nullptr;
    Destroy(g_modeless.prompt);
}

void OpenDtmf(HWND owner) {
    if (g_modeless.dtmf == nullptr)
        g_modeless.dtmf = CreateModeless(IDD_DTMF, owner, DtmfProc);
    else
        SetForegroundWindow(g_modeless.dtmf);
    if (g_modeless.dtmf != nullptr)
        SetItemText(g_modeless.dtmf, IDC_DTMF_DIGITS, "");
}

void DtmfAppend(char digit) {
    if (g_modeless.dtmf == nullptr)
        return;
    const HWND edit = GetDlgItem(g_modeless.dtmf, IDC_DTMF_DIGITS);
    const int end = GetWindowTextLengthA(edit);
    SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
    const char text[2] = {digit, '\0'};
    SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void CloseDtmf() {
    Destroy(g_modeless.dtmf);
}

void OpenTransferChoice(HWND owner, const TransferChoice& choice) {
    if (g_modeless.choice == nullptr)
        g_modeless.choice = CreateModeless(IDD_TRANSFER_CHOICE, owner, ChoiceProc);
    if (g_modeless.choice != nullptr)
        ShowChoice(g_modeless.choice, choice);
}

void CloseTransferChoice() {
    Destroy(g_modeless.choice);
}

void OpenConference(HWND owner, std::string_view with, std::string_view withToo) {
    if (g_modeless.conference == nullptr)
        g_modeless.conference = CreateModeless(IDD_CONFERENCE, owner, ConferenceProc);
    if (g_modeless.conference == nullptr)
        return;
    SetItemText(g_modeless.conference, IDC_CONF_WITH, with);
    SetItemText(g_modeless.conference, IDC_CONF_AND, withToo);
}

void CloseConference() {
    Destroy(g_modeless.conference);
}

bool ModelessDialogMessage(MSG* msg) {
    for (const HWND dialog : {g_modeless.prompt, g_modeless.dtmf, g_modeless.choice, g_modeless.conference})
        if (dialog != nullptr && IsDialogMessageA(dialog, msg) != FALSE)
            return true;
    return false;
}

void CloseModelessWindows() {
    CloseDialingPrompt();
    Destroy(g_modeless.dtmf);
    Destroy(g_modeless.choice);
    Destroy(g_modeless.conference);
}

}  // namespace zq::dialer::win32
