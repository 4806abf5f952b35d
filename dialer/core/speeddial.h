// The ten speed-dial entries ("Name1".."Name10", "Number1".."Number10"),
// their button captions, and the two windows that program them, as models:
// the shell shows the values and passes back what the user did.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace zq::dialer {

inline constexpr int kSpeedDialEntries = 10;
// Main-window buttons of entries 1..10.
inline constexpr int kFirstSpeedDialId = 214;
inline constexpr int kLastSpeedDialId = kFirstSpeedDialId + kSpeedDialEntries - 1;
// A caption buffer, terminating NUL included.
inline constexpr size_t kCaptionSize = 256;

struct SpeedDialEntry {
    std::string name;
    std::string number;
};

// Entry 0..9 (anything else reads empty and writes nothing). Writing an
// empty name stores the number in its place.
SpeedDialEntry ReadSpeedDial(int index);
void WriteSpeedDial(int index, std::string_view name, std::string_view number);

// Every '&' doubled so that it shows as itself, within `size` - 1
// characters: the text is cut to that first, and the doubling stops when
// no room is left. UndoubleAmpersands turns each "&&" back into "&".
std::string DoubleAmpersands(std::string_view text, size_t size = kCaptionSize);
std::string UndoubleAmpersands(std::string_view caption);
// The captions of the ten main-window buttons, read from the store.
std::array<std::string, kSpeedDialEntries> SpeedDialCaptions();

// The main-window entry of a control ID, -1 when it is no speed-dial button.
int SpeedDialIndexOfControl(int id);
// A right-button event on a control above the keypad is taken as a left one.
constexpr bool RightButtonActsAsLeft(int id) {
    return id > 213;
}

// A click on a speed-dial button: with an empty number, or made with the
// right button, it opens "Program Speed Dial"; else it dials the number
// with the name as called party.
struct SpeedDialClick {
    bool program = false;
    SpeedDialEntry entry;
};
SpeedDialClick ClickSpeedDial(int index, bool rightButton);

// "Program Speed Dial" for one entry.
inline constexpr size_t kProgramNameMax = 40;
inline constexpr size_t kProgramNumberMax = 80;
struct ProgramSpeedDial {
    int index = 0;
    SpeedDialEntry entry;  // the edits
    bool saveAndDialEnabled = false;
};
ProgramSpeedDial OpenProgramSpeedDial(int index);
void ProgramSetNumber(ProgramSpeedDial& w, std::string_view number);
// "&Save": writes the entry and gives the button's new caption.
std::string ProgramSave(const ProgramSpeedDial& w);
// "Save and &Dial": the same; the number to dial (empty name and message)
// goes to `dial`, empty when there is nothing to dial.
std::string ProgramSaveAndDial(const ProgramSpeedDial& w, std::string* dial);

// "Edit Speed Dial" for all ten entries. Names are kept as typed; the
// captions are derived from them.
inline constexpr size_t kEditNameMax = 39;
inline constexpr size_t kEditNumberMax = 79;
struct EditSpeedDial {
    std::array<SpeedDialEntry, kSpeedDialEntries> entries;
    int selected = 0;
};
// The first entry with an empty name is selected (the first if none).
EditSpeedDial OpenEditSpeedDial();
// Choosing a button: the entry whose name and number go into the edits.
const SpeedDialEntry& EditSelect(EditSpeedDial& w, int index);
void EditSetName(EditSpeedDial& w, std::string_view name);
void EditSetNumber(EditSpeedDial& w, std::string_view number);
std::string EditCaption(const EditSpeedDial& w, int index);
// "&Save": writes all ten and gives the main window's new captions.
// Cancel needs nothing: the model is dropped.
std::array<std::string, kSpeedDialEntries> EditSave(const EditSpeedDial& w);

}  // namespace zq::dialer
