#include "win32/help.h"

#include <windows.h>
// windows.h first: the shell headers use its types.
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace zq::dialer::win32 {
namespace {

constexpr wchar_t kPage[] = L"zqdial32.html";
// The longest module path GetModuleFileNameW can give.
constexpr DWORD kMaxModulePath = 32768;

// The page beside this program; empty when it is not there.
std::wstring PageFile() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD got = GetModuleFileNameW(nullptr, path.data(), size);
        if (got == 0)
            return {};
        if (got < size)
            break;
        if (size >= kMaxModulePath)
            return {};
        path.resize(static_cast<size_t>(size) * 2);
    }
    std::wstring file(path.data());
    const size_t cut = file.find_last_of(L"\\/");
    file = (cut == std::wstring::npos ? std::wstring() : file.substr(0, cut + 1)) + kPage;
    return GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES ? std::wstring() : file;
}

// The program that opens web pages; empty when none is set up.
std::wstring Browser() {
    std::array<wchar_t, MAX_PATH + 1> program{};
    DWORD size = static_cast<DWORD>(program.size());
    if (FAILED(AssocQueryStringW(0, ASSOCSTR_EXECUTABLE, L".html", L"open", program.data(), &size)))
        return {};
    program.back() = L'\0';
    return program.data();
}

// "file:///C:/.../zqdial32.html#context-15".
std::wstring AnchoredUrl(const std::wstring& file, int context) {
    // Escaping makes a character at most three; "file:///" goes before.
    std::vector<wchar_t> url(file.size() * 3 + 16, L'\0');
    DWORD length = static_cast<DWORD>(url.size());
    if (FAILED(UrlCreateFromPathW(file.c_str(), url.data(), &length, 0)))
        return {};
    std::wstring target(url.data(), std::min<size_t>(length, url.size() - 1));
    if (context != kHelpContents)
        target += L"#context-" + std::to_wstring(context);
    return target;
}

}  // namespace

// The browser gets the URL with its anchor: the shell would take an
// anchored URL for a file name. Without a browser the page itself goes to
// the shell, at its top.
void OpenHelp(int context) {
    const std::wstring file = PageFile();
    if (file.empty()) {
        OutputDebugStringA("zqdial32: help page zqdial32.html not found\n");
        return;
    }
    const std::wstring browser = Browser();
    const std::wstring url = browser.empty() ? std::wstring() : AnchoredUrl(file, context);
    const std::wstring quoted = L"\"" + url + L"\"";
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = url.empty() ? file.c_str() : browser.c_str();
    info.lpParameters = url.empty() ? nullptr : quoted.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info) == FALSE)
        OutputDebugStringA("zqdial32: help page not opened\n");
}

}  // namespace zq::dialer::win32
