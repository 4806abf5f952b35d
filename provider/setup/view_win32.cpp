// The setup dialogs on Windows: modal dialogs from this module's own
// resources (zq_6232.rc), filled from the dialog model and read back into
// it. What the values mean and what OK changes is the model's; this file
// only moves texts and check marks between the model and the controls.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/trace.h"
#include "setup/model.h"
#include "setup/setup_resource.h"
#include "zq/platform.h"

namespace zq::setup {
namespace {

// The provider's file as TAPI loads it: the help pages lie beside it.
constexpr wchar_t kProviderFile[] = L"zq_6232.tsp";

using HelpFunction = std::function<void(const char* page, uint32_t context)>;

// Shared by the dialogs of one view: the advanced dialog belongs to the
// main dialog while that one is open.
struct ViewState {
    HWND owner = nullptr;
    HWND mainWindow = nullptr;
};

struct MainContext {
    ViewState* state;
    MainDialog* dialog;
    const std::function<void()>* advanced;
    const HelpFunction* help;
};

struct AdvancedContext {
    AdvancedDialog* dialog;
    const HelpFunction* help;
};

// This module: the provider, or the private copy of it that runs the
// user-interface half. Its resources hold the dialogs.
HINSTANCE ThisModule() {
    static const char anchor = 0;
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&anchor), &module);
    return module;
}

std::string ItemText(HWND dialog, int item) {
    const HWND control = GetDlgItem(dialog, item);
    const int length = GetWindowTextLengthA(control);
    if (length <= 0)
        return {};
    std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
    const int got = GetWindowTextA(control, text.data(), length + 1);
    return std::string(text.data(), static_cast<size_t>(std::clamp(got, 0, length)));
}

std::wstring WideItemText(HWND dialog, int item) {
    const HWND control = GetDlgItem(dialog, item);
    const int length = GetWindowTextLengthW(control);
    if (length <= 0)
        return {};
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(control, text.data(), length + 1);
    return std::wstring(text.data(), static_cast<size_t>(std::clamp(got, 0, length)));
}

void EnableItem(HWND dialog, int item, bool enabled) {
    EnableWindow(GetDlgItem(dialog, item), enabled ? TRUE : FALSE);
}

// The control's own text is the format of the line name: "%S" is replaced
// by the name as it is, so no character of the name is read as a format.
void ShowLineName(HWND dialog, const std::u16string& name) {
    std::wstring text = WideItemText(dialog, IDC_LINE_NAME);
    const size_t at = text.find(L"%S");
    if (at == std::wstring::npos)
        return;
    text.replace(at, 2, std::wstring(name.begin(), name.end()));
    SetDlgItemTextW(dialog, IDC_LINE_NAME, text.c_str());
}

void ShowMain(HWND dialog, const MainDialog& values) {
    const HWND ports = GetDlgItem(dialog, IDC_COM_PORT);
    for (const std::string& port : values.ports)
        SendMessageA(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port.c_str()));
    SendMessageA(ports, CB_SETCURSEL, static_cast<WPARAM>(values.selected), 0);

    const HWND language = GetDlgItem(dialog, IDC_LANGUAGE);
    SendMessageA(language, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(values.language.c_str()));
    SendMessageA(language, CB_SETCURSEL, 0, 0);
    EnableWindow(language, FALSE);

    SetDlgItemTextA(dialog, IDC_SYSTEM, values.system.c_str());
    SetDlgItemTextA(dialog, IDC_TERMINAL, values.terminal.c_str());
    ShowLineName(dialog, values.lineName);
    SetDlgItemTextA(dialog, IDC_TSPI_VERSION, values.versionText.c_str());
    SetDlgItemTextA(dialog, IDC_ADAPTER_VERSION, values.adapterText.c_str());
    EnableItem(dialog, IDC_ADAPTER_VERSION, values.adapterEnabled);
    EnableItem(dialog, IDC_ADVANCED, values.advancedEnabled);
}

void ShowAdvanced(HWND dialog, const AdvancedDialog& values) {
    SendDlgItemMessageA(dialog, IDC_PREFIX, EM_LIMITTEXT, kPrefixEditChars, 0);
    SetDlgItemTextA(dialog, IDC_PREFIX, values.prefix.c_str());
    CheckDlgButton(dialog, IDC_PREFIX_DISPLAYED, values.prefixDisplayed ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextA(dialog, IDC_MAX_DIGITS, values.digits.c_str());
    CheckRadioButton(dialog, IDC_PBX_MODE, IDC_KEY_SYSTEM_MODE,
                     values.pbxMode ? IDC_PBX_MODE : IDC_KEY_SYSTEM_MODE);
}

// The digit count is read whole, however long: the model refuses what is
// no count, rather than the control cutting it into one.
void ReadAdvanced(HWND dialog, AdvancedDialog* values) {
    values->prefix = ItemText(dialog, IDC_PREFIX).substr(0, kPrefixEditChars);
    values->prefixDisplayed = IsDlgButtonChecked(dialog, IDC_PREFIX_DISPLAYED) == BST_CHECKED;
    values->digits = ItemText(dialog, IDC_MAX_DIGITS);
    values->pbxMode = IsDlgButtonChecked(dialog, IDC_PBX_MODE) == BST_CHECKED;
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        const auto* context = reinterpret_cast<const MainContext*>(lParam);
        context->state->mainWindow = dialog;
        ShowMain(dialog, *context->dialog);
        return TRUE;
    }
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    const auto* context = reinterpret_cast<const MainContext*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (context == nullptr)
        return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK: {
            const LRESULT selected = SendDlgItemMessageA(dialog, IDC_COM_PORT, CB_GETCURSEL, 0, 0);
            context->dialog->selected = selected == CB_ERR ? -1 : static_cast<int>(selected);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_ADVANCED:
            (*context->advanced)();
            return TRUE;
        case IDC_MAIN_HELP:
            (*context->help)(kHelpMain, HELP_MAIN_CONTEXT);
            return TRUE;
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK AdvancedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        ShowAdvanced(dialog, *reinterpret_cast<const AdvancedContext*>(lParam)->dialog);
        return TRUE;
    }
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    const auto* context = reinterpret_cast<const AdvancedContext*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (context == nullptr)
        return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK:
            ReadAdvanced(dialog, context->dialog);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_DEFAULTS:
            ShowAdvanced(dialog, AdvancedDefaults());
            return TRUE;
        case IDC_ADVANCED_HELP:
            (*context->help)(kHelpAdvanced, HELP_ADVANCED_CONTEXT);
            return TRUE;
        default:
            return FALSE;
    }
}

// A dialog that cannot be shown ends as Cancel: nothing is sent.
int RunModal(int resource, HWND owner, DLGPROC proc, const void* context) {
    if (owner != nullptr && IsWindow(owner) == FALSE)
        owner = nullptr;
    const INT_PTR choice = DialogBoxParamW(ThisModule(), MAKEINTRESOURCEW(resource), owner, proc,
                                           reinterpret_cast<LPARAM>(context));
    if (choice <= 0)
        TspTrace(TRACE_ERROR, "TUI DLL: dialog %d not shown, error %lu", resource, GetLastError());
    return choice == IDOK ? DIALOG_OK : DIALOG_CANCEL;
}

// The page beside the provider's file: the provider loaded in this
// process under its own name (the user-interface half may run from a
// private copy elsewhere), else this module. The browser gets the
// context's anchor; nothing is waited for, and where no program opens
// pages nothing opens and no error box comes.
void OpenHelp(const char* page, uint32_t context) {
    std::string file;
    for (const HMODULE module : {GetModuleHandleW(kProviderFile), ThisModule()}) {
        if (module != nullptr && file.empty())
            file = plat::file_beside_module(module, page);
    }
    if (file.empty()) {
        TspTrace(TRACE_ERROR, "TUI DLL: help page %s not found", page);
        return;
    }
    const std::string target = HelpTarget(page, context);
    const size_t mark = target.find('#');
    const std::string anchor = mark == std::string::npos ? std::string() : target.substr(mark + 1);
    if (!plat::open_help_page(file, anchor))
        TspTrace(TRACE_ERROR, "TUI DLL: help page %s not opened", page);
}

}  // namespace

SetupView PlatformView(HWND owner) {
    auto state = std::make_shared<ViewState>();
    state->owner = owner;
    SetupView view;
    view.owner = owner;
    view.help = OpenHelp;
    view.main = [state, help = view.help](MainDialog& dialog, const std::function<void()>& advanced) {
        const MainContext context{state.get(), &dialog, &advanced, &help};
        const int result = RunModal(IDD_SETUP_MAIN, state->owner, MainDialogProc, &context);
        state->mainWindow = nullptr;
        return result;
    };
    view.advanced = [state, help = view.help](AdvancedDialog& dialog) {
        const AdvancedContext context{&dialog, &help};
        const HWND parent = state->mainWindow != nullptr ? state->mainWindow : state->owner;
        return RunModal(IDD_SETUP_ADVANCED, parent, AdvancedDialogProc, &context);
    };
    return view;
}

}  // namespace zq::setup
