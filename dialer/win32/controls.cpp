#include "win32/controls.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace zq::dialer::win32 {

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthA(window);
    if (length <= 0)
        return {};
    std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
    const int got = GetWindowTextA(window, text.data(), length + 1);
    return std::string(text.data(), static_cast<size_t>(std::clamp(got, 0, length)));
}

std::string ItemText(HWND dialog, int item) {
    return WindowText(GetDlgItem(dialog, item));
}

void SetItemText(HWND dialog, int item, std::string_view text) {
    SetDlgItemTextA(dialog, item, std::string(text).c_str());
}

void EnableItem(HWND dialog, int item, bool enabled) {
    EnableWindow(GetDlgItem(dialog, item), enabled ? TRUE : FALSE);
}

std::string ToAnsi(std::u16string_view text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX))
        return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, length, out.data(), size, nullptr, nullptr);
    return out;
}

int TextWidth(HDC dc, std::string_view text) {
    SIZE size{};
    const int length = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
    if (length == 0 || GetTextExtentPoint32A(dc, text.data(), length, &size) == FALSE)
        return 0;
    return size.cx;
}

HWND ComboEdit(HWND combo) {
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    if (combo == nullptr || GetComboBoxInfo(combo, &info) == FALSE)
        return nullptr;
    return info.hwndItem != info.hwndCombo ? info.hwndItem : nullptr;
}

POINT OnScreen(int left, int top) {
    const POINT corner{left, top};
    if (MonitorFromPoint(corner, MONITOR_DEFAULTTONULL) != nullptr)
        return corner;
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoA(MonitorFromPoint(corner, MONITOR_DEFAULTTONEAREST), &info) == FALSE)
        return corner;
    return {info.rcWork.left, info.rcWork.top};
}

INT_PTR RunDialog(int resource, HWND owner, DLGPROC proc, LPARAM context) {
    if (owner != nullptr && IsWindow(owner) == FALSE)
        owner = nullptr;
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resource), owner, proc, context);
}

}  // namespace zq::dialer::win32
