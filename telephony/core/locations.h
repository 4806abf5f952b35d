// Locations, calling cards and number translation: lineGetTranslateCapsA,
// lineSetCurrentLocation, lineTranslateAddressA and lineSetTollListA (their
// prototypes are TAPI's). The store is the registry, in the layout other
// TAPI implementations keep, so that a prefix seen by either reads the same:
//   HKLM <kLocationsKey>: CurrentID, NextID, NumEntries (always written: the
//     dialer's first-run check reads it) and one key LocationN per location
//     (ID, Name, AreaCode, Country, OutsideAccess, LongDistanceAccess,
//     Flags, DisableCallWaiting, TollList);
//   HKCU <kCardsKey>: NextID, NumEntries and one key CardN per calling card
//     (ID, Name, LocalRule, LDRule, InternationalRule, Flags), card 0 being
//     "None (Direct Dial)".
// A missing store is created with one location and that card.
#pragma once

#include <string>
#include <string_view>

#include "zq/tapi.h"

namespace zq::tapiapp {

inline constexpr std::string_view kLocationsKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
inline constexpr std::string_view kCardsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Cards";

// Whether a non-zero HLINEAPP is a live application of the core's. Until
// the core sets it, only hLineApp 0 (no application yet, which TAPI allows
// for these four functions) is accepted. Returns the check it replaces.
using AppCheck = bool (*)(HLINEAPP);
AppCheck SetAppCheck(AppCheck check);

// What the location dialog edits of the current location.
struct LocationFields {
    std::string name;
    std::string areaCode;
    std::string outsideAccess;
};
LONG ReadLocationFields(LocationFields* fields);
LONG WriteLocationFields(const LocationFields& fields);

}  // namespace zq::tapiapp
