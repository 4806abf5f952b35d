#include "core/speeddial.h"

#include "core/settings.h"

namespace zq::dialer {
namespace {

constexpr size_t kValueSize = 256;

bool ValidIndex(int index) {
    return index >= 0 && index < kSpeedDialEntries;
}

std::string ValueName(const char* prefix, int index) {
    return prefix + std::to_string(index + 1);
}

std::string Cut(std::string_view text, size_t max) {
    return std::string(text.substr(0, max));
}

}  // namespace

SpeedDialEntry ReadSpeedDial(int index) {
    if (!ValidIndex(index))
        return {};
    return {ReadSetting(kSpeedDialKey, ValueName("Name", index), "", kValueSize),
            ReadSetting(kSpeedDialKey, ValueName("Number", index), "", kValueSize)};
}

void WriteSpeedDial(int index, std::string_view name, std::string_view number) {
    if (!ValidIndex(index))
        return;
    WriteSetting(kSpeedDialKey, ValueName("Name", index), name.empty() ? number : name);
    WriteSetting(kSpeedDialKey, ValueName("Number", index), number);
}

std::string DoubleAmpersands(std::string_view text, size_t size) {
    if (size == 0)
        return {};
    text = text.substr(0, size - 1);
    size_t room = size - 1 - text.size();
    std::string caption;
    for (const char c : text) {
        caption.push_back(c);
        if (c == '&' && room > 0) {
            caption.push_back('&');
            --room;
        }
    }
    return caption;
}

std::string UndoubleAmpersands(std::string_view caption) {
    std::string text;
    for (size_t i = 0; i < caption.size(); ++i) {
        text.push_back(caption[i]);
        if (caption[i] == '&' && i + 1 < caption.size() && caption[i + 1] == '&')
            ++i;
    }
    return text;
}

std::array<std::string, kSpeedDialEntries> SpeedDialCaptions() {
    std::array<std::string, kSpeedDialEntries> captions;
    for (int i = 0; i < kSpeedDialEntries; ++i)
        captions[i] = DoubleAmpersands(ReadSpeedDial(i).name);
    return captions;
}

int SpeedDialIndexOfControl(int id) {
    return id >= kFirstSpeedDialId && id <= kLastSpeedDialId ? id - kFirstSpeedDialId : -1;
}

SpeedDialClick ClickSpeedDial(int index, bool rightButton) {
    SpeedDialClick click;
    click.entry = ReadSpeedDial(index);
    click.program = rightButton || click.entry.number.empty();
    return click;
}

ProgramSpeedDial OpenProgramSpeedDial(int index) {
    ProgramSpeedDial w;
    w.index = index;
    w.entry = ReadSpeedDial(index);
    return w;
}

void ProgramSetNumber(ProgramSpeedDial& w, std::string_view number) {
    w.entry.number = Cut(number, kProgramNumberMax);
    w.saveAndDialEnabled = !w.entry.number.empty();
}

std::string ProgramSave(const ProgramSpeedDial& w) {
    WriteSpeedDial(w.index, Cut(w.entry.name, kProgramNameMax), Cut(w.entry.number, kProgramNumberMax));
    return DoubleAmpersands(ReadSpeedDial(w.index).name);
}

std::string ProgramSaveAndDial(const ProgramSpeedDial& w, std::string* dial) {
    std::string caption = ProgramSave(w);
    if (dial != nullptr)
        *dial = Cut(w.entry.number, kProgramNumberMax);
    return caption;
}

EditSpeedDial OpenEditSpeedDial() {
    EditSpeedDial w;
    for (int i = 0; i < kSpeedDialEntries; ++i)
        w.entries[i] = ReadSpeedDial(i);
    for (int i = kSpeedDialEntries - 1; i >= 0; --i)
        if (w.entries[i].name.empty())
            w.selected = i;
    return w;
}

const SpeedDialEntry& EditSelect(EditSpeedDial& w, int index) {
    if (ValidIndex(index))
        w.selected = index;
    if (!ValidIndex(w.selected))
        w.selected = 0;
    return w.entries[w.selected];
}

void EditSetName(EditSpeedDial& w, std::string_view name) {
    if (ValidIndex(w.selected))
        w.entries[w.selected].name = Cut(name, kEditNameMax);
}

void EditSetNumber(EditSpeedDial& w, std::string_view number) {
    if (ValidIndex(w.selected))
        w.entries[w.selected].number = Cut(number, kEditNumberMax);
}

std::string EditCaption(const EditSpeedDial& w, int index) {
    return ValidIndex(index) ? DoubleAmpersands(w.entries[index].name) : std::string();
}

std::array<std::string, kSpeedDialEntries> EditSave(const EditSpeedDial& w) {
    for (int i = 0; i < kSpeedDialEntries; ++i)
        WriteSpeedDial(i, w.entries[i].name, w.entries[i].number);
    return SpeedDialCaptions();
}

}  // namespace zq::dialer
