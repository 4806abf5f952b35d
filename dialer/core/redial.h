// The redial list of the "Number to Dial" combo: at most 20 numbers, the
// last dialled first, kept in "Last Dialed 1" .. "Last Dialed 20".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zq::dialer {

inline constexpr size_t kRedialEntries = 20;

struct RedialList {
    std::vector<std::string> entries;  // list order, at most kRedialEntries
};

// A dialled number to the top: an equal entry is removed first, else the
// last one when the list is full. An empty number changes nothing.
void RedialPutOnTop(RedialList& list, std::string_view number);
// The combo's selection ended: without a chosen entry (selected < 0) the
// typed text goes to the top as if dialled. True when the list changed.
bool RedialSelectionEnded(RedialList& list, int selected, std::string_view typed);
// The non-empty stored entries, in order.
RedialList LoadRedialList();
// Every stored entry from the list, empty strings after its last.
void SaveRedialList(const RedialList& list);

}  // namespace zq::dialer
