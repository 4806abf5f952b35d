#include "link/setconfig.h"

namespace zq {

DownloadState g_dl;

void StartSetConfiguration() {}

}  // namespace zq
