// The library entry point of the provider on Windows.
#include <windows.h>

namespace zq {
void ProviderAttach(void* instance);
void ProviderDetach();
}  // namespace zq

// C linkage: the runtime's start-up code calls DllMain by its C name.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            zq::ProviderAttach(instance);
            break;
        case DLL_PROCESS_DETACH:
            zq::ProviderDetach();
            break;
        default:
            break;
    }
    return TRUE;
}
