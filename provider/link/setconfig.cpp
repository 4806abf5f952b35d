#include "link/setconfig.h"

#include "link/tqla.h"

namespace zq {

DownloadState g_dl;

void StartSetConfiguration() {
    g_dl.requestCounters.fill(0);
    SendTQLARequest(TQLA_DEVICE_ASSOC);
}

// The answers fill the key, string and soft-key tables as the download goes.
void TqlaDeviceAssocAck(uint8_t, std::span<const uint8_t>) {}
void TqlaKeyAck(uint8_t, std::span<const uint8_t>) {}
void TqlaKeyInfoAck(uint8_t, std::span<const uint8_t>) {}
void TqlaKeySpeAck(uint8_t, std::span<const uint8_t>) {}
void TqlaKeySpeInfoAck(uint8_t, std::span<const uint8_t>) {}
void TqlaStringAck(uint8_t, std::span<const uint8_t>) {}
void TqlaStringInfoAck(uint8_t, std::span<const uint8_t>) {}
void TqlaSkAck(uint8_t, std::span<const uint8_t>) {}
void TqlaSkInfoAck(uint8_t, std::span<const uint8_t>) {}
void TqlaCodeAck(uint8_t, std::span<const uint8_t>) {}
void TqlaCodeInfoAck(uint8_t, std::span<const uint8_t>) {}

}  // namespace zq
