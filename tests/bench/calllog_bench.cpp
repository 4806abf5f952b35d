// The Call Log window on a large log, on the real POSIX file backend: the
// window's full load, a call written while it is shown (append and
// incremental read) and a Delete, each timed. The log is written into a
// prefix in the system temp directory, which is removed afterwards.
//
//   calllog_bench [--megabytes N] [--max-ms N]
//
// Fails when an operation takes longer than --max-ms (default 200, room
// for sanitizers) or when the window does not show the file's last lines.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/calllog.h"
#include "core/logview.h"
#include "zq/platform.h"

namespace {

using zq::dialer::LogView;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F>
double Timed(F f) {
    const Clock::time_point start = Clock::now();
    f();
    return Ms(Clock::now() - start);
}

// Lines as the dialer writes them, numbered, until `bytes` are written.
bool WriteLog(const std::string& path, uint64_t bytes, std::string* last) {
    zq::plat::File* file = zq::plat::file_open_write(path, true);
    if (file == nullptr)
        return false;
    std::string chunk;
    bool ok = true;
    for (uint64_t written = 0, n = 0; ok && written < bytes; ++n) {
        char line[128];
        const int len = std::snprintf(
            line, sizeof line, "From:\tCaller %llu\t0612%06llu\tOn:\t201\t12/08/26\t10:20am\t%llu min",
            static_cast<unsigned long long>(n), static_cast<unsigned long long>(n % 1000000),
            static_cast<unsigned long long>(n % 90 + 1));
        *last = std::string(line, static_cast<size_t>(len));
        chunk += *last + "\r\n";
        if (chunk.size() >= (1u << 20) || written + chunk.size() >= bytes) {
            ok = zq::plat::file_write(file, chunk);
            written += chunk.size();
            chunk.clear();
        }
    }
    zq::plat::file_close(file);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t megabytes = 100;
    double maxMs = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--megabytes") == 0)
            megabytes = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--max-ms") == 0)
            maxMs = std::strtod(argv[i + 1], nullptr);
    }

    std::error_code ec;
    std::string prefix = (std::filesystem::temp_directory_path(ec) / "zqcallog-XXXXXX").string();
    if (ec || mkdtemp(prefix.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a directory in the temp directory\n");
        return 1;
    }
    setenv("ZQ_PREFIX", prefix.c_str(), 1);

    const std::string path = zq::dialer::LogFilePath();
    std::string last;
    int failures = 0;
    if (!WriteLog(path, megabytes << 20, &last)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        failures++;
    }
    uint64_t size = 0;
    zq::plat::file_size(path, &size);

    LogView& view = zq::dialer::CallLogView();
    double fullMin = 1e9, fullMax = 0;
    for (int run = 0; run < 5 && failures == 0; ++run) {
        bool ok = false;
        const double ms = Timed([&] { ok = zq::dialer::LogViewOpen(view); });
        fullMin = std::min(fullMin, ms);
        fullMax = std::max(fullMax, ms);
        if (!ok || view.lines.empty() || view.lines.front().text != last ||
            zq::dialer::LogHeldBytes(view) > zq::dialer::kLogViewBytes) {
            std::fprintf(stderr, "the window does not show the log's last lines\n");
            failures++;
        }
    }
    const size_t rows = view.lines.size();

    zq::dialer::LoadLogSwitches();
    zq::dialer::LoggedCall call;
    call.incoming = true;
    call.name = "Bench";
    call.number = "0612000000";
    bool written = false;
    const double writeMs = Timed([&] { written = zq::dialer::WriteLogRecord(call); });
    if (!written || view.lines.front().text.rfind("From:\tBench\t", 0) != 0) {
        std::fprintf(stderr, "the written call is not on top\n");
        failures++;
    }

    uint64_t before = 0, after = 0;
    zq::plat::file_size(path, &before);
    const uint64_t newest = view.lines.front().length + 2;
    const size_t top[] = {0};
    bool deleted = false;
    const double deleteMs = Timed([&] { deleted = zq::dialer::LogDeleteLines(view, top); });
    zq::plat::file_size(path, &after);
    if (!deleted || after != before - newest || view.lines.front().text != last) {
        std::fprintf(stderr, "Delete did not remove exactly the newest line\n");
        failures++;
    }

    std::filesystem::remove_all(prefix, ec);

    std::printf("call log of %llu bytes, %zu rows shown\n", static_cast<unsigned long long>(size), rows);
    std::printf("full load: %.3f ms (min of 5), %.3f ms (max)\n", fullMin, fullMax);
    std::printf("call written and read: %.3f ms\n", writeMs);
    std::printf("delete of one line: %.3f ms\n", deleteMs);
    for (double ms : {fullMax, writeMs, deleteMs})
        if (ms > maxMs) {
            std::fprintf(stderr, "%.3f ms is over the bound of %.0f ms\n", ms, maxMs);
            failures++;
        }
    return failures == 0 ? 0 : 1;
}
