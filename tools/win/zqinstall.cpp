// zqinstall, the installer's helper: registers the provider with telephony
// and gives the Telephony service's account what the provider writes.
//
//   zqinstall add FILE [--port COMn] [--silent]
//   zqinstall remove FILE
//   zqinstall grant
//   zqinstall list
//
// TAPI32.DLL is bound at run time, as the dialer binds it: on Windows the
// system's, under Wine the one the DLL overrides choose. Exit status 0 on
// success; otherwise 1 (2 for a wrong command line) with one line on
// standard error.
#include <windows.h>
// windows.h first: these use its types.
#include <aclapi.h>
#include <tapi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host_common.h"
#include "zq/platform.h"

namespace {

constexpr DWORD kApiVersion = 0x00020000;
// A provider list longer than this is not believed.
constexpr DWORD kMaxListSize = 1u << 20;
constexpr wchar_t kSetupCaption[] = L"VELMORA TSPI CONFIGURATION";
constexpr auto kSetupWait = std::chrono::seconds(30);
constexpr auto kSetupPoll = std::chrono::milliseconds(100);
constexpr wchar_t kProviderKeyW[] = L"SOFTWARE\\Velmora\\TSpi_6200";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] = "usage: zqinstall add FILE [--port COMn] [--silent] | remove FILE | grant | list\n";

int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
int Fail(const char* format, ...) {
    std::fputs("zqinstall: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    return kExitFailed;
}

// ------------------------------------------------------------ telephony

struct Tapi {
    decltype(&lineAddProviderA) addProvider = nullptr;
    decltype(&lineRemoveProvider) removeProvider = nullptr;
    decltype(&lineGetProviderListA) getProviderList = nullptr;
};

template <typename F>
bool Bind(HMODULE module, const char* name, F& entry) {
    entry = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (entry == nullptr)
        Fail("tapi32.dll has no %s", name);
    return entry != nullptr;
}

bool BindTapi(Tapi* tapi) {
    const HMODULE module = LoadLibraryA("tapi32.dll");
    if (module == nullptr) {
        Fail("tapi32.dll cannot be loaded (error %lu)", GetLastError());
        return false;
    }
    // Not &&: every missing function is said.
    return Bind(module, "lineAddProviderA", tapi->addProvider) &
           Bind(module, "lineRemoveProvider", tapi->removeProvider) &
           Bind(module, "lineGetProviderListA", tapi->getProviderList);
}

struct Listed {
    DWORD id = 0;
    std::string file;
};

// The provider list; false (said) when it cannot be had.
bool ProviderList(const Tapi& tapi, std::vector<Listed>* list) {
    std::vector<uint8_t> buffer(1024);
    LINEPROVIDERLIST header{};
    for (;;) {
        header.dwTotalSize = static_cast<DWORD>(buffer.size());
        std::memcpy(buffer.data(), &header, sizeof header);
        const LONG result =
            tapi.getProviderList(kApiVersion, reinterpret_cast<LPLINEPROVIDERLIST>(buffer.data()));
        if (result != 0) {
            Fail("lineGetProviderList failed: 0x%08lx", static_cast<unsigned long>(result));
            return false;
        }
        std::memcpy(&header, buffer.data(), sizeof header);
        if (header.dwNeededSize <= buffer.size())
            break;
        if (header.dwNeededSize > kMaxListSize) {
            Fail("lineGetProviderList wants %lu bytes", static_cast<unsigned long>(header.dwNeededSize));
            return false;
        }
        buffer.assign(header.dwNeededSize, 0);
    }
    const size_t used = std::min<size_t>(header.dwUsedSize, buffer.size());
    const size_t entries = header.dwProviderListOffset;
    if (entries > used || header.dwNumProviders > (used - entries) / sizeof(LINEPROVIDERENTRY))
        return header.dwNumProviders == 0;
    for (DWORD i = 0; i < header.dwNumProviders; ++i) {
        LINEPROVIDERENTRY entry{};
        std::memcpy(&entry, buffer.data() + entries + i * sizeof entry, sizeof entry);
        std::string file;
        if (entry.dwProviderFilenameOffset <= used &&
            entry.dwProviderFilenameSize <= used - entry.dwProviderFilenameOffset) {
            const char* text = reinterpret_cast<const char*>(buffer.data() + entry.dwProviderFilenameOffset);
            file.assign(text, strnlen(text, entry.dwProviderFilenameSize));
        }
        list->push_back({entry.dwPermanentProviderID, file});
    }
    return true;
}

// One provider file whatever its folder and the case of its name.
bool SameFile(std::string_view a, std::string_view b) {
    const auto base = [](std::string_view path) {
        const size_t slash = path.find_last_of("\\/");
        return slash == std::string_view::npos ? path : path.substr(slash + 1);
    };
    a = base(a);
    b = base(b);
    return a.size() == b.size() &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

// ------------------------------------------------------------ add

// The provider's port, when none is stored: a port the user chose before
// stays. The provider reads it in its own view of the registry, which is
// this program's under Wine.
bool WritePortIfNone(const char* port) {
    const std::string stored = zq::host::ReadSetting("Provider", "Port");
    if (stored != "(no key)" && stored != "(none)" && stored != "NONE" && !stored.empty()) {
        std::printf("port %s kept\n", stored.c_str());
        return true;
    }
    return zq::host::WriteSetting("Provider", "Port", port);
}

// Presses OK of the provider's setup dialog as soon as it shows, for an
// installation nobody watches; gives up after kSetupWait or when told.
void ConfirmSetupDialog(const std::atomic<bool>* done) {
    const auto end = std::chrono::steady_clock::now() + kSetupWait;
    while (!*done && std::chrono::steady_clock::now() < end) {
        const HWND dialog = FindWindowW(nullptr, kSetupCaption);
        if (dialog != nullptr && IsWindowVisible(dialog)) {
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
            return;
        }
        std::this_thread::sleep_for(kSetupPoll);
    }
}

int Add(const Tapi& tapi, const char* file, const char* port, bool silent) {
    std::vector<Listed> list;
    if (!ProviderList(tapi, &list))
        return kExitFailed;
    for (const Listed& p : list) {
        if (SameFile(p.file, file)) {
            std::printf("%s is installed already (provider %lu)\n", p.file.c_str(),
                        static_cast<unsigned long>(p.id));
            return 0;
        }
    }
    if (port != nullptr && !WritePortIfNone(port))
        return Fail("the provider's port %s cannot be written", port);
    std::atomic<bool> done{false};
    std::thread watcher;
    if (silent)
        watcher = std::thread(ConfirmSetupDialog, &done);
    DWORD id = 0;
    const LONG result = tapi.addProvider(file, nullptr, &id);
    done = true;
    if (watcher.joinable())
        watcher.join();
    if (result == static_cast<LONG>(LINEERR_NOMULTIPLEINSTANCE)) {
        std::printf("%s is installed already\n", file);
        return 0;
    }
    if (result != 0)
        return Fail("lineAddProvider(%s) failed: 0x%08lx", file, static_cast<unsigned long>(result));
    std::printf("%s installed (provider %lu)\n", file, static_cast<unsigned long>(id));
    return 0;
}

// ------------------------------------------------------------ remove, list

int Remove(const Tapi& tapi, const char* file) {
    std::vector<Listed> list;
    if (!ProviderList(tapi, &list))
        return kExitFailed;
    bool any = false;
    for (const Listed& p : list) {
        if (!SameFile(p.file, file))
            continue;
        any = true;
        if (const LONG result = tapi.removeProvider(p.id, nullptr); result != 0)
            return Fail("lineRemoveProvider(%lu) failed: 0x%08lx", static_cast<unsigned long>(p.id),
                        static_cast<unsigned long>(result));
        std::printf("%s removed (provider %lu)\n", p.file.c_str(), static_cast<unsigned long>(p.id));
    }
    if (!any)
        std::printf("%s is not installed\n", file);
    return 0;
}

int List(const Tapi& tapi) {
    std::vector<Listed> list;
    if (!ProviderList(tapi, &list))
        return kExitFailed;
    for (const Listed& p : list)
        std::printf("%lu %s\n", static_cast<unsigned long>(p.id), p.file.c_str());
    return 0;
}

// ------------------------------------------------------------ grant

// NetworkService (S-1-5-20), the Telephony service's account, by its SID:
// its name differs from one language to another.
struct ServiceSid {
    std::array<BYTE, SECURITY_MAX_SID_SIZE> bytes{};
    bool Make() {
        DWORD size = static_cast<DWORD>(bytes.size());
        return CreateWellKnownSid(WinNetworkServiceSid, nullptr, bytes.data(), &size) != 0;
    }
    PSID get() { return bytes.data(); }
};

// Whether the object's DACL, read back, gives `sid` all of `rights`: a system
// may take a DACL and keep none of it (Wine keeps none on files).
bool GrantKept(HANDLE object, SE_OBJECT_TYPE type, PSID sid, DWORD rights) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    // The allowed entries for the SID, walked by hand: not every system has
    // GetEffectiveRightsFromAcl.
    DWORD mask = 0;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            break;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(const_cast<DWORD*>(&ace->SidStart), sid))
            mask |= ace->Mask;
    }
    const bool kept = (mask & rights) == rights;
    LocalFree(descriptor);
    return kept;
}

// Adds an ACE for `sid` to the object's DACL, keeping what it holds.
DWORD GrantOnHandle(HANDLE object, SE_OBJECT_TYPE type, PSID sid, DWORD rights, DWORD inheritance,
                    bool* kept) {
    PACL old = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old, nullptr,
                                  &descriptor);
    if (error != ERROR_SUCCESS)
        return error;
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = rights;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = inheritance;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    PACL merged = nullptr;
    error = SetEntriesInAclW(1, &access, old, &merged);
    if (error == ERROR_SUCCESS)
        error = SetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, merged, nullptr);
    LocalFree(merged);
    LocalFree(descriptor);
    *kept = error == ERROR_SUCCESS && GrantKept(object, type, sid, rights);
    return error;
}

// The provider's key and its subkeys, read and write; in the 64-bit view on
// 64-bit Windows, where the Telephony service runs.
DWORD GrantProviderKey(PSID sid, bool* kept) {
    HKEY key = nullptr;
    DWORD error = static_cast<DWORD>(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProviderKeyW, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        READ_CONTROL | WRITE_DAC | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    if (error != ERROR_SUCCESS)
        return error;
    error = GrantOnHandle(key, SE_REGISTRY_KEY, sid, KEY_READ | KEY_WRITE, CONTAINER_INHERIT_ACE, kept);
    RegCloseKey(key);
    return error;
}

// The trace folder (and the files the provider makes in it), or the
// configuration file, modify rights. Made when missing.
DWORD GrantFile(const std::wstring& path, bool folder, PSID sid, bool* kept) {
    if (folder && !CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return GetLastError();
    const HANDLE file =
        CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    folder ? OPEN_EXISTING : OPEN_ALWAYS,
                    folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    constexpr DWORD kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    const DWORD error = GrantOnHandle(file, SE_FILE_OBJECT, sid, kModify,
                                      folder ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE, kept);
    CloseHandle(file);
    return error;
}

std::wstring WindowsDirectory() {
    std::array<wchar_t, MAX_PATH + 1> path{};
    const UINT length = GetWindowsDirectoryW(path.data(), MAX_PATH);
    return length == 0 || length > MAX_PATH ? std::wstring() : std::wstring(path.data(), length);
}

int Grant() {
    ServiceSid sid;
    if (!sid.Make())
        return Fail("the NetworkService SID cannot be made (error %lu)", GetLastError());
    const std::wstring windows = WindowsDirectory();
    if (windows.empty())
        return Fail("the Windows directory is unknown (error %lu)", GetLastError());
    struct Step {
        const char* name;
        bool kept = false;
        DWORD error = ERROR_SUCCESS;
    };
    std::array<Step, 3> steps{Step{"HKLM\\SOFTWARE\\Velmora\\TSpi_6200"}, Step{"%windir%\\spitrace"},
                              Step{"%windir%\\zq62cfg.ini"}};
    steps[0].error = GrantProviderKey(sid.get(), &steps[0].kept);
    steps[1].error = GrantFile(windows + L"\\spitrace", true, sid.get(), &steps[1].kept);
    steps[2].error = GrantFile(windows + L"\\zq62cfg.ini", false, sid.get(), &steps[2].kept);
    int status = 0;
    for (const Step& s : steps) {
        if (s.error == ERROR_SUCCESS)
            std::printf("granted NetworkService on %s (read back: %s)\n", s.name,
                        s.kept ? "present" : "not kept by this system");
        else
            status = Fail("%s: error %lu", s.name, static_cast<unsigned long>(s.error));
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc >= 2 ? argv[1] : "";
    if (command == "grant" && argc == 2)
        return Grant();
    const char* file = nullptr;
    const char* port = nullptr;
    bool silent = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (command == "add" && arg == "--port" && i + 1 < argc)
            port = argv[++i];
        else if (command == "add" && arg == "--silent")
            silent = true;
        else if (file == nullptr && !arg.starts_with("--"))
            file = argv[i];
        else
            file = "";
    }
    const bool fileWanted = command == "add" || command == "remove";
    if ((command != "list" && !fileWanted) || fileWanted != (file != nullptr && *file != '\0') ||
        (command == "list" && argc != 2)) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    Tapi tapi;
    if (!BindTapi(&tapi))
        return kExitFailed;
    if (command == "add")
        return Add(tapi, file, port, silent);
    if (command == "remove")
        return Remove(tapi, file);
    return List(tapi);
}
