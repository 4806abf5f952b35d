#include "core/redial.h"

#include <algorithm>

#include "core/settings.h"

namespace zq::dialer {
namespace {

constexpr size_t kNumberSize = 256;

std::string LastDialedName(size_t index) {
    return "Last Dialed " + std::to_string(index + 1);
}

}  // namespace

void RedialPutOnTop(RedialList& list, std::string_view number) {
    if (number.empty())
        return;
    auto& e = list.entries;
    const auto equal = std::find(e.begin(), e.end(), number);
    if (equal != e.end())
        e.erase(equal);
    else if (e.size() >= kRedialEntries)
        e.resize(kRedialEntries - 1);
    e.insert(e.begin(), std::string(number));
}

bool RedialSelectionEnded(RedialList& list, int selected, std::string_view typed) {
    if (selected >= 0 || typed.empty())
        return false;
    RedialPutOnTop(list, typed);
    return true;
}

RedialList LoadRedialList() {
    RedialList list;
    for (size_t i = 0; i < kRedialEntries; ++i) {
        std::string number = ReadSetting(kLastDialedKey, LastDialedName(i), "", kNumberSize);
        if (!number.empty())
            list.entries.push_back(std::move(number));
    }
    return list;
}

void SaveRedialList(const RedialList& list) {
    for (size_t i = 0; i < kRedialEntries; ++i)
        WriteSetting(kLastDialedKey, LastDialedName(i), i < list.entries.size() ? list.entries[i] : "");
}

}  // namespace zq::dialer
