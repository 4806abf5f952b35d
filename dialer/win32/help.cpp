#include "win32/help.h"

#include <windows.h>

#include <string>

#include "zq/platform.h"

namespace zq::dialer::win32 {

void OpenHelp(int context) {
    const std::string page = plat::file_beside_module(nullptr, "zqdial32.html");
    if (page.empty()) {
        OutputDebugStringA("zqdial32: help page zqdial32.html not found\n");
        return;
    }
    const std::string anchor =
        context == kHelpContents ? std::string() : "context-" + std::to_string(context);
    if (!plat::open_help_page(page, anchor))
        OutputDebugStringA("zqdial32: help page not opened\n");
}

}  // namespace zq::dialer::win32
