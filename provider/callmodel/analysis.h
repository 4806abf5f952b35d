// Second calls, swaps, conferences and dialling read from the display.
#pragma once

namespace zq {

// A display text was written on `line` from column `start` to `end`;
// `complete` when no more text of the same update follows.
void DisplayChanged(int line, int start, int end, bool complete);
// The rules of one line; `fresh` for a complete, non-empty update of line 0.
void AnalyseDisplay(int line, bool fresh);
// The set's conference soft key pressed during a double call: the held and
// the connected call of the active key join a conference, or a conference
// already made is to end.
void ConferenceSoftKey();

}  // namespace zq
