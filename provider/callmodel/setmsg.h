// Messages between the PBX and the set, as the adapter's trace headers
// carry them: display texts, icons and lamps one way, keys the other.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace zq {

// The phone device's lamps: the set's own lamps 0..19, then the icon of key
// k as lamp k + KEY_LAMP_BASE.
inline constexpr int PHONE_LAMPS = 20;
inline constexpr uint32_t KEY_LAMP_BASE = 20;

// Character glyphs that the PBX downloads to the set, mirrored to two files
// of the system directory (written only).
inline constexpr int GLYPH_ENTRIES = 100;
inline constexpr int GLYPH_ROWS = 8;
inline constexpr int GLYPH_CODES = 100;

struct GlyphEntry {
    std::array<uint8_t, GLYPH_ROWS> bitmap;
    uint8_t character;  // a space when learnt; 0 marks a free entry
    uint8_t code;       // display code of the last download
};
static_assert(sizeof(GlyphEntry) == 10);

struct GlyphTables {
    std::array<GlyphEntry, GLYPH_ENTRIES> entries{};
    std::array<uint8_t, GLYPH_CODES> byCode{};  // character of the glyph last downloaded under a code
};

extern GlyphTables g_glyphs;

// A message from the PBX to the set, or to an add-on module (module
// address given); body starts at the message type.
void VtaDisplayIconMsg(std::span<const uint8_t> body, bool ack, bool fromModule, uint8_t moduleAddress);
// A message from the set, or from an add-on module, to the PBX.
void VtaKeyMsg(std::span<const uint8_t> body, bool fromModule, uint8_t moduleAddress);

}  // namespace zq
