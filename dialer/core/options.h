// The "Dialing Options" window as a model: the lists come in as data (the
// voice lines with their addresses, the telephony locations), the user's
// choices go in, and OK gives back what the shell must do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zq::dialer {

inline constexpr char kConfigChangedText[] = "Configuration has changed. Close and restart the application.";
inline constexpr char kConfigChangedCaption[] = "Velmora Dialer";
inline constexpr int kDialingOptionsHelpTopic = 21;

struct OptionsLine {
    uint32_t device = 0;
    std::string name;
    // Address texts in address-ID order (dwAddress, or "Address %d");
    // addressesRead is false when they could not be read.
    bool addressesRead = false;
    std::vector<std::string> addresses;
};

struct OptionsLocation {
    uint32_t permanentId = 0;
    std::string name;
};

struct DialingOptionsData {
    std::vector<OptionsLine> lines;  // the lines with the voice flag, in device order
    int currentLine = -1;            // device index, -1 for none
    uint32_t currentAddress = 0;
    bool locationsRead = false;  // lineGetTranslateCaps answered
    std::vector<OptionsLocation> locations;
    uint32_t currentLocationId = 0;
    bool translationAvailable = false;
};

// The window: the data and the selected row of each combo (-1: none).
struct DialingOptions {
    DialingOptionsData data;
    int line = -1;
    int address = -1;
    int location = -1;
};

// The current line, its current address and the current location selected.
DialingOptions OpenDialingOptions(DialingOptionsData data);
// Another line refills the addresses: the current address on the current
// line, else the first.
void ChooseLine(DialingOptions& w, int row);
void ChooseAddress(DialingOptions& w, int row);
void ChooseLocation(DialingOptions& w, int row);

// What the address combo lists for the selected line.
std::vector<std::string> AddressList(const DialingOptions& w);

// A list that cannot be filled disables the combos after it and OK.
struct DialingOptionsEnabling {
    bool addressCombo = false;
    bool locationCombo = false;
    bool ok = false;
};
DialingOptionsEnabling Enabling(const DialingOptions& w);

// OK: "Preferred Line" and "Preferred Address" are written here; the shell
// makes `line` and `address` current, calls lineSetCurrentLocation with
// `locationId` and reads the location again when setLocation, and shows
// kConfigChangedText and ends the application when restart.
struct DialingOptionsResult {
    bool accepted = false;  // false: OK was not possible, nothing written
    uint32_t line = 0;
    uint32_t address = 0;
    bool setLocation = false;
    uint32_t locationId = 0;
    bool restart = false;
};
DialingOptionsResult DialingOptionsOk(const DialingOptions& w);

}  // namespace zq::dialer
