// Finding, binding, initialising and unloading the service provider, and
// the guard around the provider calls of application threads.
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "state.h"

namespace zq::tapiapp {

namespace {

constexpr char kProviderEnv[] = "ZQTAPI_PROVIDER";
constexpr DWORD kEnvProviderId = 1;

// Set before the first load; read only under g_life.
const ProviderApi* g_injected = nullptr;
ProviderPathMapper g_mapper = nullptr;
std::mutex g_serial;

template <typename F>
void Bind(plat::Module* module, const char* name, F& slot) {
    slot = reinterpret_cast<F>(plat::module_symbol(module, name));
}

ProviderApi BindModule(plat::Module* m) {
    ProviderApi api;
    Bind(m, "TSPI_providerEnumDevices", api.providerEnumDevices);
    Bind(m, "TSPI_providerInit", api.providerInit);
    Bind(m, "TSPI_providerShutdown", api.providerShutdown);
    Bind(m, "TSPI_lineNegotiateTSPIVersion", api.lineNegotiateTSPIVersion);
    Bind(m, "TSPI_lineOpen", api.lineOpen);
    Bind(m, "TSPI_lineClose", api.lineClose);
    Bind(m, "TSPI_lineSetStatusMessages", api.lineSetStatusMessages);
    Bind(m, "TSPI_lineGetDevCaps", api.lineGetDevCaps);
    Bind(m, "TSPI_lineGetAddressCaps", api.lineGetAddressCaps);
    Bind(m, "TSPI_lineGetAddressStatus", api.lineGetAddressStatus);
    Bind(m, "TSPI_lineGetCallStatus", api.lineGetCallStatus);
    Bind(m, "TSPI_lineGetCallInfo", api.lineGetCallInfo);
    Bind(m, "TSPI_lineGetCallAddressID", api.lineGetCallAddressID);
    Bind(m, "TSPI_lineGetID", api.lineGetID);
    Bind(m, "TSPI_lineMakeCall", api.lineMakeCall);
    Bind(m, "TSPI_lineDial", api.lineDial);
    Bind(m, "TSPI_lineDrop", api.lineDrop);
    Bind(m, "TSPI_lineAnswer", api.lineAnswer);
    Bind(m, "TSPI_lineHold", api.lineHold);
    Bind(m, "TSPI_lineUnhold", api.lineUnhold);
    Bind(m, "TSPI_lineRedirect", api.lineRedirect);
    Bind(m, "TSPI_lineCompleteCall", api.lineCompleteCall);
    Bind(m, "TSPI_linePark", api.linePark);
    Bind(m, "TSPI_linePickup", api.linePickup);
    Bind(m, "TSPI_lineUnpark", api.lineUnpark);
    Bind(m, "TSPI_lineForward", api.lineForward);
    Bind(m, "TSPI_lineSetupTransfer", api.lineSetupTransfer);
    Bind(m, "TSPI_lineCompleteTransfer", api.lineCompleteTransfer);
    Bind(m, "TSPI_lineBlindTransfer", api.lineBlindTransfer);
    Bind(m, "TSPI_lineGenerateDigits", api.lineGenerateDigits);
    Bind(m, "TSPI_lineDevSpecific", api.lineDevSpecific);
    Bind(m, "TSPI_lineCloseCall", api.lineCloseCall);
    Bind(m, "TSPI_providerUIIdentify", api.providerUIIdentify);
    Bind(m, "TSPI_providerGenericDialogData", api.providerGenericDialogData);
    return api;
}

// The first provider of the registry's list, or the file ZQTAPI_PROVIDER
// names: its path and permanent identifier.
bool FindProvider(std::string* path, DWORD* permanentId) {
    if (const char* file = std::getenv(kProviderEnv); file != nullptr && *file != '\0') {
        *path = file;
        *permanentId = kEnvProviderId;
        return true;
    }
    const std::vector<ListedProvider> list = ReadProviderList();
    if (list.empty())
        return false;
    *path = MapProviderFile(list.front().file);
    *permanentId = list.front().id;
    return true;
}

// Every device's TSPI version: 2.0 unless the provider says otherwise.
void NegotiateDevices(const ProviderApi& api, DWORD numLines, std::array<DWORD, kMaxDevices>& versions) {
    for (DWORD d = 0; d < numLines && d < kMaxDevices; ++d) {
        DWORD version = kTspiVersion;
        if (api.lineNegotiateTSPIVersion != nullptr &&
            api.lineNegotiateTSPIVersion(d, kApiLowVersion, kApiHighVersion, &version) != 0)
            version = 0;
        versions[d] = version;
    }
}

}  // namespace

void UseProvider(const ProviderApi* api) {
    std::unique_lock life(g_life);
    g_injected = api;
}

void SetProviderPathMapper(ProviderPathMapper mapper) {
    std::unique_lock life(g_life);
    g_mapper = mapper;
}

LONG LoadProvider() {
    ProviderApi api;
    plat::Module* module = nullptr;
    std::string path;
    DWORD permanentId = kEnvProviderId;
    if (g_injected != nullptr) {
        api = *g_injected;
        if (api.attach != nullptr)
            api.attach();
    } else {
        if (!FindProvider(&path, &permanentId))
            return LINEERR_NODRIVER;
        if (plat::module_load(path, &module) != plat::kErrSuccess)
            return LINEERR_NODRIVER;
        api = BindModule(module);
    }
    const auto fail = [&](LONG result) {
        if (api.detach != nullptr)
            api.detach();
        plat::module_free(module);
        return result;
    };
    if (api.providerEnumDevices == nullptr || api.providerInit == nullptr || api.lineOpen == nullptr)
        return fail(LINEERR_NODRIVER);

    DWORD lines = 0, phones = 0;
    // The provider's line-creation events go to the same procedure, which
    // ignores what it does not know.
    const HPROVIDER hProvider = reinterpret_cast<HPROVIDER>(static_cast<uintptr_t>(permanentId));
    if (api.providerEnumDevices(permanentId, &lines, &phones, hProvider, LineEventProc, nullptr) != 0)
        return fail(LINEERR_NODRIVER);
    lines = lines > kMaxDevices ? static_cast<DWORD>(kMaxDevices) : lines;
    {
        // The completion procedure may run from now on.
        std::lock_guard lock(g_lock);
        g_core.provider.api = api;
        g_core.provider.module = module;
        g_core.provider.path = path;
        g_core.provider.permanentId = permanentId;
        g_core.provider.numLines = lines;
        g_core.provider.loaded = true;
        g_core.provider.reinitPending = false;
    }
    DWORD options = 0;
    const LONG init =
        api.providerInit(kTspiVersion, permanentId, 0, 0, lines, phones, CompletionProc, &options);
    if (init != 0) {
        std::lock_guard lock(g_lock);
        g_core.provider = ProviderSlot{};
        return fail(init);
    }
    std::array<DWORD, kMaxDevices> versions{};
    NegotiateDevices(api, lines, versions);
    std::lock_guard lock(g_lock);
    g_core.provider.nonReentrant = (options & LINETSPIOPTION_NONREENTRANT) != 0;
    for (size_t d = 0; d < kMaxDevices; ++d) {
        g_core.devices[d].tspiVersion = versions[d];
        g_core.devices[d].open = false;
        g_core.devices[d].hdLine = nullptr;
        g_core.devices[d].closeOwed = nullptr;
    }
    return 0;
}

void UnloadProvider() {
    ProviderSlot provider;
    {
        std::lock_guard lock(g_lock);
        provider = g_core.provider;
    }
    if (!provider.loaded)
        return;
    std::vector<HDRVLINE> owed;
    {
        std::lock_guard lock(g_lock);
        for (DeviceSlot& d : g_core.devices)
            if (d.closeOwed != nullptr)
                owed.push_back(std::exchange(d.closeOwed, nullptr));
    }
    if (provider.api.lineClose != nullptr)
        for (HDRVLINE line : owed)
            provider.api.lineClose(line);
    // The provider's shutdown stops its worker: no event or completion
    // comes after it, and the module may go.
    if (provider.api.providerShutdown != nullptr)
        provider.api.providerShutdown(kTspiVersion, provider.permanentId);
    {
        std::lock_guard lock(g_lock);
        g_core.provider = ProviderSlot{};
        for (DeviceSlot& d : g_core.devices) {
            d.open = false;
            d.hdLine = nullptr;
            d.closeOwed = nullptr;
            d.generation = NextGeneration(d.generation);
        }
    }
    if (provider.api.detach != nullptr)
        provider.api.detach();
    plat::module_free(provider.module);
}

std::string MapProviderFile(std::string_view file) {
    // Set once, by the shell as it is loaded.
    return g_mapper != nullptr ? g_mapper(file) : std::string(file);
}

std::vector<std::string> ProviderFileCandidates(std::string_view file, const std::string& providerPath) {
    std::string name(file);
    if (const size_t slash = name.find_last_of("\\/"); slash != std::string::npos)
        return {name};
    const std::string mapped = MapProviderFile(name);
    const std::string& own = providerPath;
    const size_t ownSlash = own.find_last_of("\\/");
    const size_t mappedSlash = mapped.find_last_of("\\/");
    std::vector<std::string> candidates;
    if (ownSlash != std::string::npos) {
        const std::string directory = own.substr(0, ownSlash + 1);
        candidates.push_back(directory + name);
        if (mappedSlash != std::string::npos)
            candidates.push_back(directory + mapped.substr(mappedSlash + 1));
    }
    candidates.push_back(mapped);
    return candidates;
}

ProviderCall::ProviderCall() {
    if (InProviderEvent())
        return;
    life_ = std::shared_lock(g_life);
    // Read under g_life: only a load or an unload changes it.
    if (g_core.provider.nonReentrant)
        serial_ = std::unique_lock(g_serial);
}

ProviderCall::~ProviderCall() = default;

}  // namespace zq::tapiapp
