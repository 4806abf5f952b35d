// lineTranslateDialogA: a small dialog of our own over the core's location
// store. It shows the current location's name, area code and outside-line
// access; OK writes them back. Reading goes through lineGetTranslateCapsA,
// which checks the application and version and creates and repairs the
// store (NumEntries included), so even a cancelled first-run dialog leaves
// the store complete.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/locations.h"
#include "shell_win32.h"
#include "tapi32_resource.h"
#include "zq/platform.h"

namespace zq::tapiapp {

namespace {

// Entered texts are cut here (the registry values hold any length).
constexpr int kMaxName = 63;
constexpr int kMaxCode = 15;
// A translate-caps structure larger than this is not asked for.
constexpr DWORD kMaxCaps = 64 * 1024;
constexpr uint32_t kMaxLocationKeys = 1000;

struct CurrentLocation {
    DWORD id = 0;
    std::string name;
    std::string areaCode;
    std::string outsideAccess;
};

// The text of a (size, offset) pair inside the filled part of the
// structure, up to its NUL; empty when it lies outside.
std::string Text(std::span<const uint8_t> caps, DWORD size, DWORD offset) {
    if (size == 0 || offset > caps.size() || size > caps.size() - offset)
        return {};
    const auto field = caps.subspan(offset, size);
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    return std::string(field.begin(), end);
}

// The current location as lineGetTranslateCapsA reports it.
LONG ReadCurrentLocation(HLINEAPP app, DWORD version, CurrentLocation* location) {
    std::vector<DWORD> buffer(1024 / sizeof(DWORD));
    LINETRANSLATECAPS caps{};
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
        auto* header = reinterpret_cast<LINETRANSLATECAPS*>(buffer.data());
        header->dwTotalSize = bytes;
        if (const LONG result = lineGetTranslateCapsA(app, version, header); result != 0)
            return result;
        std::memcpy(&caps, buffer.data(), sizeof caps);
        if (caps.dwNeededSize <= bytes || caps.dwNeededSize > kMaxCaps)
            break;
        buffer.assign((caps.dwNeededSize + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    }
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(buffer.data()),
                                         std::min<size_t>(caps.dwUsedSize, buffer.size() * sizeof(DWORD)));
    const size_t entrySize = sizeof(LINELOCATIONENTRY);
    if (caps.dwLocationListOffset > bytes.size() ||
        caps.dwNumLocations > (bytes.size() - caps.dwLocationListOffset) / entrySize)
        return LINEERR_OPERATIONFAILED;
    for (DWORD n = 0; n < caps.dwNumLocations; ++n) {
        LINELOCATIONENTRY entry{};
        std::memcpy(&entry, bytes.data() + caps.dwLocationListOffset + n * entrySize, entrySize);
        if (entry.dwPermanentLocationID != caps.dwCurrentLocationID)
            continue;
        location->id = entry.dwPermanentLocationID;
        location->name = Text(bytes, entry.dwLocationNameSize, entry.dwLocationNameOffset);
        location->areaCode = Text(bytes, entry.dwCityCodeSize, entry.dwCityCodeOffset);
        location->outsideAccess = Text(bytes, entry.dwLocalAccessCodeSize, entry.dwLocalAccessCodeOffset);
        return 0;
    }
    return LINEERR_OPERATIONFAILED;
}

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (key != nullptr)
            plat::reg_close_key(key);
    }
    plat::RegKey* key = nullptr;
};

bool HasId(plat::RegKey* key, DWORD id) {
    std::array<uint8_t, sizeof(DWORD)> data{};
    uint32_t type = 0, size = 0;
    DWORD value = 0;
    if (plat::reg_query_value(key, "ID", &type, data, &size) != plat::kErrSuccess ||
        type != plat::kRegDword || size != data.size())
        return false;
    std::memcpy(&value, data.data(), sizeof value);
    return value == id;
}

// Writes the three values into the location key whose ID is the current
// one (lineGetTranslateCapsA has just given every location key its ID).
LONG WriteCurrentLocation(const CurrentLocation& location) {
    Key locations;
    if (plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine), kLocationsKey, &locations.key) !=
        plat::kErrSuccess)
        return LINEERR_OPERATIONFAILED;
    std::array<char, 261> name{};
    for (uint32_t index = 0; index < kMaxLocationKeys; ++index) {
        uint32_t length = 0;
        if (plat::reg_enum_key(locations.key, index, name, &length) != plat::kErrSuccess)
            break;
        Key key;
        const std::string_view keyName(name.data(), std::min<size_t>(length, name.size() - 1));
        if (plat::reg_open_key(locations.key, keyName, &key.key) != plat::kErrSuccess ||
            !HasId(key.key, location.id))
            continue;
        const bool written =
            plat::reg_set_string(key.key, "Name", location.name) == plat::kErrSuccess &&
            plat::reg_set_string(key.key, "AreaCode", location.areaCode) == plat::kErrSuccess &&
            plat::reg_set_string(key.key, "OutsideAccess", location.outsideAccess) == plat::kErrSuccess;
        return written ? 0 : LINEERR_OPERATIONFAILED;
    }
    return LINEERR_OPERATIONFAILED;
}

std::string ItemText(HWND dialog, int item, int limit) {
    std::vector<char> text(static_cast<size_t>(limit) + 1, '\0');
    const UINT length = GetDlgItemTextA(dialog, item, text.data(), limit + 1);
    return std::string(text.data(), std::min<size_t>(length, static_cast<size_t>(limit)));
}

void ShowItem(HWND dialog, int item, const std::string& text, int limit) {
    SendDlgItemMessageA(dialog, item, EM_LIMITTEXT, static_cast<WPARAM>(limit), 0);
    SetDlgItemTextA(dialog, item, text.c_str());
}

INT_PTR CALLBACK LocationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            const auto* location = reinterpret_cast<const CurrentLocation*>(lParam);
            ShowItem(dialog, IDC_LOCATION_NAME, location->name, kMaxName);
            ShowItem(dialog, IDC_AREA_CODE, location->areaCode, kMaxCode);
            ShowItem(dialog, IDC_OUTSIDE_ACCESS, location->outsideAccess, kMaxCode);
            return TRUE;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK: {
                    auto* location = reinterpret_cast<CurrentLocation*>(GetWindowLongPtrW(dialog, DWLP_USER));
                    const std::string name = ItemText(dialog, IDC_LOCATION_NAME, kMaxName);
                    // A location is chosen by its name: it keeps one.
                    if (name.empty()) {
                        MessageBeep(MB_ICONWARNING);
                        SetFocus(GetDlgItem(dialog, IDC_LOCATION_NAME));
                        return TRUE;
                    }
                    location->name = name;
                    location->areaCode = ItemText(dialog, IDC_AREA_CODE, kMaxCode);
                    location->outsideAccess = ItemText(dialog, IDC_OUTSIDE_ACCESS, kMaxCode);
                    EndDialog(dialog, IDOK);
                    return TRUE;
                }
                case IDCANCEL:
                    EndDialog(dialog, IDCANCEL);
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

}  // namespace

}  // namespace zq::tapiapp

using namespace zq::tapiapp;

// The address, when given, is not shown: the dialog edits the location
// only. Whatever button closes it, the answer is 0.
extern "C" LONG WINAPI lineTranslateDialogA(HLINEAPP hLineApp, DWORD, DWORD dwAPIVersion, HWND hwndOwner,
                                            LPCSTR) {
    if (hwndOwner != nullptr && IsWindow(hwndOwner) == FALSE)
        return LINEERR_INVALPARAM;
    CurrentLocation location;
    if (const LONG result = ReadCurrentLocation(hLineApp, dwAPIVersion, &location); result != 0)
        return result;
    const INT_PTR choice = DialogBoxParamA(ShellModule(), MAKEINTRESOURCEA(IDD_LOCATION), hwndOwner,
                                           LocationDialogProc, reinterpret_cast<LPARAM>(&location));
    if (choice <= 0)
        return LINEERR_OPERATIONFAILED;
    return choice == IDOK ? WriteCurrentLocation(location) : 0;
}
