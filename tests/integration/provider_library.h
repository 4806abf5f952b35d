// The shipped provider library, loaded with dlopen as the telephony
// service loads a provider, and the entry points the tests drive.
#pragma once

#include <dlfcn.h>

#include <string>

#include "zq/tapi.h"

namespace zq::test {

struct ProviderLibrary {
    void* handle = nullptr;
    decltype(&TSPI_providerEnumDevices) enumDevices = nullptr;
    decltype(&TSPI_providerInit) init = nullptr;
    decltype(&TSPI_providerShutdown) shutdown = nullptr;
    decltype(&TSPI_lineOpen) lineOpen = nullptr;
    decltype(&TSPI_lineClose) lineClose = nullptr;

    // Loads the library and finds the entry points; false with the reason
    // in *error otherwise.
    bool Load(const char* path, std::string* error) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            *error = dlerror();
            return false;
        }
        enumDevices = Find<decltype(enumDevices)>("TSPI_providerEnumDevices");
        init = Find<decltype(init)>("TSPI_providerInit");
        shutdown = Find<decltype(shutdown)>("TSPI_providerShutdown");
        lineOpen = Find<decltype(lineOpen)>("TSPI_lineOpen");
        lineClose = Find<decltype(lineClose)>("TSPI_lineClose");
        if (!enumDevices || !init || !shutdown || !lineOpen || !lineClose) {
            *error = std::string(path) + " lacks a TSPI entry point";
            return false;
        }
        return true;
    }

    template <typename F>
    F Find(const char* name) const {
        return reinterpret_cast<F>(dlsym(handle, name));
    }

    void Unload() {
        if (handle != nullptr)
            dlclose(handle);
        handle = nullptr;
    }
};

}  // namespace zq::test
