#include "core/options.h"

#include <utility>

#include "core/settings.h"

namespace zq::dialer {
namespace {

template <typename T>
bool InRange(const std::vector<T>& list, int row) {
    return row >= 0 && static_cast<size_t>(row) < list.size();
}

// The address row to show for the selected line.
int AddressRowFor(const DialingOptions& w) {
    if (!InRange(w.data.lines, w.line))
        return -1;
    const OptionsLine& line = w.data.lines[static_cast<size_t>(w.line)];
    if (!line.addressesRead || line.addresses.empty())
        return -1;
    const bool current = w.data.currentLine >= 0 && line.device == static_cast<uint32_t>(w.data.currentLine);
    return current && w.data.currentAddress < line.addresses.size() ? static_cast<int>(w.data.currentAddress)
                                                                    : 0;
}

}  // namespace

DialingOptions OpenDialingOptions(DialingOptionsData data) {
    DialingOptions w;
    w.data = std::move(data);
    if (!w.data.lines.empty())
        w.line = 0;
    for (size_t i = 0; i < w.data.lines.size(); ++i)
        if (w.data.currentLine >= 0 && w.data.lines[i].device == static_cast<uint32_t>(w.data.currentLine))
            w.line = static_cast<int>(i);
    w.address = AddressRowFor(w);
    if (w.data.locationsRead && !w.data.locations.empty())
        w.location = 0;
    for (size_t i = 0; w.location >= 0 && i < w.data.locations.size(); ++i)
        if (w.data.locations[i].permanentId == w.data.currentLocationId)
            w.location = static_cast<int>(i);
    return w;
}

void ChooseLine(DialingOptions& w, int row) {
    if (!InRange(w.data.lines, row))
        return;
    w.line = row;
    w.address = AddressRowFor(w);
}

void ChooseAddress(DialingOptions& w, int row) {
    if (InRange(AddressList(w), row))
        w.address = row;
}

void ChooseLocation(DialingOptions& w, int row) {
    if (w.data.locationsRead && InRange(w.data.locations, row))
        w.location = row;
}

std::vector<std::string> AddressList(const DialingOptions& w) {
    if (AddressRowFor(w) < 0)
        return {};
    return w.data.lines[static_cast<size_t>(w.line)].addresses;
}

DialingOptionsEnabling Enabling(const DialingOptions& w) {
    const bool lines = InRange(w.data.lines, w.line);
    const bool addresses = lines && InRange(AddressList(w), w.address);
    const bool locations = w.data.locationsRead && InRange(w.data.locations, w.location);
    return {lines, lines && addresses, lines && addresses && locations};
}

DialingOptionsResult DialingOptionsOk(const DialingOptions& w) {
    DialingOptionsResult r;
    if (!Enabling(w).ok)
        return r;
    const OptionsLine& line = w.data.lines[static_cast<size_t>(w.line)];
    r.accepted = true;
    r.line = line.device;
    r.address = static_cast<uint32_t>(w.address);
    WriteSetting(kPreferenceKey, kPreferredLineValue, line.name);
    WriteSetting(kPreferenceKey, kPreferredAddressValue, line.addresses[static_cast<size_t>(w.address)]);
    r.setLocation = w.data.translationAvailable;
    r.locationId = w.data.locations[static_cast<size_t>(w.location)].permanentId;
    r.restart = w.data.currentLine < 0 || line.device != static_cast<uint32_t>(w.data.currentLine);
    return r;
}

}  // namespace zq::dialer
