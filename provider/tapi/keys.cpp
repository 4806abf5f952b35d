#include "tapi/keys.h"

#include <array>

#include "link/fifo.h"
#include "link/frames.h"

namespace zq {

void SendFunctionKey(uint8_t code) {
    const std::array<uint8_t, 2> body{0x20, code};
    PostZQMsg(BuildFrame(FT_KEY, body).span());
}

int PressSoftKey(int position) {
    if (position < 1 || position > 5)
        return 0;
    SendFunctionKey(static_cast<uint8_t>(KEY_CODE_SOFTKEY_BASE + position));
    return position;
}

}  // namespace zq
