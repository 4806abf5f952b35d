// Library load and unload of libzq_6232.so: the counterpart of DllMain's
// process attach and detach.
#include "core/lifecycle.h"

namespace {

__attribute__((constructor)) void OnLoad() {
    static int anchor;
    zq::ProviderAttach(&anchor);
}

__attribute__((destructor)) void OnUnload() {
    zq::ProviderDetach();
}

}  // namespace
