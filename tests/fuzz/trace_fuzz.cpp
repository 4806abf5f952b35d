// Arbitrary bytes as a trace file through everything zqtrace does with one:
// cut into lines, runs and times, each line classified by the provider's
// formats and its frames put in words, the whole summarised and printed.
// Seeds: tests/fuzz/trace_corpus (bash tests/fuzz/run.sh 60 trace_fuzz
// once run.sh knows the target).
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "catalogue.h"
#include "format_match.h"
#include "frame_words.h"
#include "output.h"
#include "summary.h"
#include "trace_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zq::trace;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<Problem> problems;
    SplitState state;
    const std::vector<Line> lines = SplitTrace("tsptrac0.tr", bytes, true, state, &problems);
    RunTracker tracker;
    FrameDecoder decoder;
    Summariser summariser;
    for (const Line& line : lines) {
        const Stamp stamp = tracker.Add(line);
        const Classified c = Classify(line.message);
        const std::vector<std::string> words = decoder.Words(line.message);
        CallRefs(c.format, c.captures);
        LineText(LineView{line, stamp, c, words}, false);
        LineJson(LineView{line, stamp, c, words});
        summariser.Add(line, stamp, c);
    }
    const Summary s = summariser.Finish(tracker.Runs());
    SummaryText(s, problems);
    SummaryJson(s, problems);
    return 0;
}
