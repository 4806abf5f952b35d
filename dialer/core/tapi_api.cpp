#include "core/tapi_api.h"

namespace zq::dialer {
namespace {

TapiApi g_tapi;

}  // namespace

const TapiApi& Tapi() {
    return g_tapi;
}

void SetTapi(const TapiApi& api) {
    g_tapi = api;
}

}  // namespace zq::dialer
