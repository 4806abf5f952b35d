// The providers installed: lineAddProvider, lineRemoveProvider and
// lineGetProviderList over the list TAPI keeps in the registry,
// HKLM <kProvidersKey>: NumProviders, NextProviderID, and ProviderFileNameN
// with ProviderIDN for every N below NumProviders, without gaps. Installing
// and removing run the provider's user-interface half as lineConfigDialogA
// does, its records going to an instance of the provider loaded for it.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "reg_values.h"
#include "state.h"
#include "wide.h"

namespace zq::tapiapp {
namespace {

constexpr std::string_view kProvidersKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";
// An identifier the list lacks reads as the one the core always gave.
constexpr DWORD kFirstProviderId = 1;
// A longer list is no list of ours: what lies past it is not read.
constexpr DWORD kMaxProviders = 256;
// MAX_PATH, with its NUL.
constexpr size_t kMaxPath = 260;
// The list's layout is the same from TAPI 1.4 to 3.1.
constexpr DWORD kLowestListVersion = 0x00010004;
constexpr DWORD kHighestListVersion = 0x00030001;
constexpr DWORD kListFixedSize = sizeof(LINEPROVIDERLIST);

using TuispiProviderFn = LONG(WINAPI*)(TUISPIDLLCALLBACK, HWND, DWORD);

// Adding and removing, each a read, a user-interface call and a write, one
// at a time.
std::mutex g_listLock;

LONG Err(uint32_t code) {
    return static_cast<LONG>(code);
}

std::string Indexed(std::string_view name, size_t index) {
    return std::string(name) + std::to_string(index);
}

// The file name without its folder.
std::string_view BaseName(std::string_view path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// One provider file whatever its folder and the case of its name.
bool SameProviderFile(std::string_view a, std::string_view b) {
    a = BaseName(a);
    b = BaseName(b);
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

bool Listed(const std::vector<ListedProvider>& list, std::string_view file) {
    return std::any_of(list.begin(), list.end(),
                       [&](const ListedProvider& p) { return SameProviderFile(p.file, file); });
}

// The identifier the next provider gets: NextProviderID, unless a listed
// provider has it or a higher one already.
DWORD NextProviderId(const std::vector<ListedProvider>& list) {
    DWORD next = kFirstProviderId;
    KeyHolder key;
    if (plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine), kProvidersKey, &key.key) ==
        plat::kErrSuccess)
        next = std::max<DWORD>(next, ReadDword(key.key, "NextProviderID").value_or(kFirstProviderId));
    for (const ListedProvider& p : list)
        if (p.id >= next && p.id < 0xFFFFFFFF)
            next = p.id + 1;
    return next;
}

// Writes the list whole; `before` is how many entries the registry held, so
// that those past the new end go. The count is written after the entries
// it covers and before the values it no longer covers are deleted.
LONG WriteProviderList(const std::vector<ListedProvider>& list, size_t before, DWORD nextId) {
    KeyHolder key;
    if (plat::reg_create_key(plat::reg_root(plat::RegRoot::LocalMachine), kProvidersKey, &key.key) !=
        plat::kErrSuccess)
        return Err(LINEERR_OPERATIONFAILED);
    bool ok = true;
    for (size_t i = 0; i < list.size(); ++i) {
        ok = ok && plat::reg_set_string(key.key, Indexed("ProviderFileName", i), list[i].file) == 0 &&
             plat::reg_set_dword(key.key, Indexed("ProviderID", i), list[i].id) == 0;
    }
    ok = ok && plat::reg_set_dword(key.key, "NumProviders", static_cast<uint32_t>(list.size())) == 0 &&
         plat::reg_set_dword(key.key, "NextProviderID", nextId) == 0;
    if (!ok)
        return Err(LINEERR_OPERATIONFAILED);
    for (size_t i = list.size(); i < before; ++i) {
        plat::reg_delete_value(key.key, Indexed("ProviderFileName", i));
        plat::reg_delete_value(key.key, Indexed("ProviderID", i));
    }
    return 0;
}

struct ProviderFnArgs {
    HWND owner;
    DWORD id;
};

LONG CallProviderFn(plat::ModuleProc entry, TUISPIDLLCALLBACK callback, const void* context) {
    const auto* args = static_cast<const ProviderFnArgs*>(context);
    return reinterpret_cast<TuispiProviderFn>(entry)(callback, args->owner, args->id);
}

// A TUISPI_provider function of the provider's user-interface half, with an
// instance of the provider loaded for it (the loaded one's module when it is
// the same file). *asked: the function ran; its result is then returned.
LONG AskProvider(std::string_view file, const char* entry, HWND owner, DWORD id, bool* asked) {
    *asked = false;
    const std::string path = MapProviderFile(file);
    plat::Module* provider = nullptr;
    if (plat::module_load(path, &provider) != plat::kErrSuccess)
        return Err(LINEERR_OPERATIONFAILED);
    const auto identify =
        reinterpret_cast<UiIdentifyFn>(plat::module_symbol(provider, "TSPI_providerUIIdentify"));
    const auto dialogData =
        reinterpret_cast<DialogDataFn>(plat::module_symbol(provider, "TSPI_providerGenericDialogData"));
    std::vector<std::string> files;
    LONG result = UserInterfaceFiles(identify, path, &files);
    if (result == 0 && dialogData == nullptr)
        result = Err(LINEERR_OPERATIONUNAVAIL);
    const ProviderFnArgs args{owner, id};
    if (result == 0)
        result = RunUserInterface(files, entry, dialogData, CallProviderFn, &args, asked);
    plat::module_free(provider);
    return result;
}

LONG AddProvider(std::string_view file, HWND owner, LPDWORD id) {
    if (file.empty() || file.size() >= kMaxPath)
        return Err(LINEERR_INVALPARAM);
    std::lock_guard lock(g_listLock);
    std::vector<ListedProvider> list = ReadProviderList();
    if (Listed(list, file))
        return Err(LINEERR_NOMULTIPLEINSTANCE);
    const DWORD newId = NextProviderId(list);
    bool asked = false;
    // The provider is added only when its installation said yes.
    if (const LONG installed = AskProvider(file, "TUISPI_providerInstall", owner, newId, &asked);
        installed != 0)
        return installed < 0 ? installed : Err(LINEERR_OPERATIONFAILED);
    const size_t before = list.size();
    list.push_back({newId, std::string(file)});
    if (const LONG e = WriteProviderList(list, before, newId + 1); e != 0)
        return e;
    *id = newId;
    return 0;
}

// Fills a LINEPROVIDERLIST of `total` bytes at `caller`: the entries and
// their names (with the NUL of their width) after the fixed part, written
// only when all fit.
template <typename Char>
void FillProviderList(const std::vector<std::basic_string<Char>>& names, const std::vector<DWORD>& ids,
                      uint8_t* caller, DWORD total) {
    const size_t entriesSize = names.size() * sizeof(LINEPROVIDERENTRY);
    size_t needed = kListFixedSize + entriesSize;
    for (const auto& name : names)
        needed += (name.size() + 1) * sizeof(Char);
    LINEPROVIDERLIST list{};
    list.dwTotalSize = total;
    list.dwNeededSize = static_cast<DWORD>(needed);
    list.dwUsedSize = kListFixedSize;
    if (needed <= total) {
        list.dwUsedSize = list.dwNeededSize;
        list.dwNumProviders = static_cast<DWORD>(names.size());
        list.dwProviderListSize = static_cast<DWORD>(entriesSize);
        list.dwProviderListOffset = kListFixedSize;
        size_t text = kListFixedSize + entriesSize;
        for (size_t i = 0; i < names.size(); ++i) {
            const size_t bytes = (names[i].size() + 1) * sizeof(Char);
            const LINEPROVIDERENTRY entry{ids[i], static_cast<DWORD>(bytes), static_cast<DWORD>(text)};
            std::memcpy(caller + kListFixedSize + i * sizeof entry, &entry, sizeof entry);
            std::memcpy(caller + text, names[i].c_str(), bytes);
            text += bytes;
        }
    }
    std::memcpy(caller, &list, sizeof list);
}

template <typename Char>
LONG GetProviderList(DWORD version, LPLINEPROVIDERLIST caller,
                     std::basic_string<Char> (*convert)(std::string_view)) {
    if (version < kLowestListVersion || version > kHighestListVersion)
        return Err(LINEERR_INCOMPATIBLEAPIVERSION);
    if (caller == nullptr)
        return Err(LINEERR_INVALPOINTER);
    const DWORD total = ReadDword(caller, 0);
    if (total < kListFixedSize)
        return Err(LINEERR_STRUCTURETOOSMALL);
    std::vector<std::basic_string<Char>> names;
    std::vector<DWORD> ids;
    for (const ListedProvider& p : ReadProviderList()) {
        names.push_back(convert(p.file));
        ids.push_back(p.id);
    }
    FillProviderList(names, ids, reinterpret_cast<uint8_t*>(caller), total);
    return 0;
}

std::string Narrow(std::string_view text) {
    return std::string(text);
}

}  // namespace

std::vector<ListedProvider> ReadProviderList() {
    std::vector<ListedProvider> list;
    KeyHolder key;
    if (plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine), kProvidersKey, &key.key) !=
        plat::kErrSuccess)
        return list;
    const DWORD count = std::min<DWORD>(ReadDword(key.key, "NumProviders").value_or(0), kMaxProviders);
    for (DWORD i = 0; i < count; ++i) {
        std::string file = ReadText(key.key, Indexed("ProviderFileName", i));
        if (file.empty() || file.size() >= kMaxPath)
            continue;
        list.push_back(
            {ReadDword(key.key, Indexed("ProviderID", i)).value_or(kFirstProviderId), std::move(file)});
    }
    return list;
}

}  // namespace zq::tapiapp

using namespace zq::tapiapp;

extern "C" {

LONG WINAPI lineAddProviderA(LPCSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    if (lpszProviderFilename == nullptr || lpdwPermanentProviderID == nullptr)
        return static_cast<LONG>(LINEERR_INVALPOINTER);
    const size_t length = strnlen(lpszProviderFilename, kMaxPath);
    return AddProvider(std::string_view(lpszProviderFilename, length), hwndOwner, lpdwPermanentProviderID);
}

LONG WINAPI lineAddProviderW(LPCWSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    if (lpszProviderFilename == nullptr || lpdwPermanentProviderID == nullptr)
        return static_cast<LONG>(LINEERR_INVALPOINTER);
    const auto* wide = reinterpret_cast<const char16_t*>(lpszProviderFilename);
    size_t length = 0;
    while (length < kMaxPath && wide[length] != u'\0')
        ++length;
    if (length >= kMaxPath)
        return static_cast<LONG>(LINEERR_INVALPARAM);
    return AddProvider(WideToUtf8(std::u16string_view(wide, length)), hwndOwner, lpdwPermanentProviderID);
}

LONG WINAPI lineRemoveProvider(DWORD dwPermanentProviderID, HWND hwndOwner) {
    std::lock_guard lock(g_listLock);
    std::vector<ListedProvider> list = ReadProviderList();
    const auto found = std::find_if(list.begin(), list.end(),
                                    [&](const ListedProvider& p) { return p.id == dwPermanentProviderID; });
    if (found == list.end())
        return static_cast<LONG>(LINEERR_INVALPARAM);
    // A provider that says no stays; one that cannot be asked (its file is
    // gone) is taken out all the same, or nothing could ever remove it.
    bool asked = false;
    const LONG removed =
        AskProvider(found->file, "TUISPI_providerRemove", hwndOwner, dwPermanentProviderID, &asked);
    if (asked && removed != 0)
        return removed < 0 ? removed : static_cast<LONG>(LINEERR_OPERATIONFAILED);
    const size_t before = list.size();
    list.erase(found);
    return WriteProviderList(list, before, NextProviderId(list));
}

LONG WINAPI lineGetProviderListA(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList) {
    return GetProviderList<char>(dwAPIVersion, lpProviderList, Narrow);
}

LONG WINAPI lineGetProviderListW(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList) {
    return GetProviderList<char16_t>(dwAPIVersion, lpProviderList,
                                     [](std::string_view text) { return Utf8ToWide(text); });
}

}  // extern "C"
