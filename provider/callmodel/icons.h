// The icon state machine: a key's lamp changes, and the calls on the key
// follow (new, answered, held, re-offered, conferenced, released).
#pragma once

#include <cstdint>

namespace zq {

// The icon event of an icon word: ACTIV_ICON .. RESERVED_ICON, or 0 when the
// word is no event (it is only stored).
uint32_t ClassifyIcon(uint32_t key, uint16_t word);
// A new icon word for a key (already stored in IconValue): classified and
// run through the machine of the key's kind.
void IconChanged(uint32_t key, uint16_t word);

}  // namespace zq
