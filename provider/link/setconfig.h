// The download of the set's configuration from the PBX.
#pragma once

#include <cstdint>

namespace zq {

enum class PrevDownload { Never, Success, Failed };

struct DownloadState {
    PrevDownload prev = PrevDownload::Never;
    bool AssocAck = false;
    bool ConfigComplete = false;
    bool ReadyForCalls = false;
};

extern DownloadState g_dl;

inline bool PreviousDownloadExists() { return g_dl.prev != PrevDownload::Never; }

void StartSetConfiguration();

}  // namespace zq
