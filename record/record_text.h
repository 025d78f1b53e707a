// SPDX-License-Identifier: Apache-2.0
#pragma once
// A record as people read it: one line per field as the window would show it, the check bytes,
// and the differences between two records. The record tool prints these lines and the window's
// send history shows them, so both read the same.
#include "record/config_record.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestravo {

// "0x0A".
std::string HexByte(std::uint8_t byte);

// Whether each check byte matches the bytes it covers.
bool PayloadCheckMatches(const TConfigRecord& record);
bool RecordCheckMatches(const TConfigRecord& record);

// "Field=value" per field in record order (lists by item, boxes 0 or 1, as decoded into the
// window), then "PayloadCheck=ok" or "PayloadCheck=bad (stored 0x.., computed 0x..)" and the same
// for RecordCheck.
std::vector<std::string> RecordLines(const TConfigRecord& record);

// What changed from a to b: "Field: old -> new" per field that differs, "HeaderPassword: .." when
// only the header's copy of the password does, "Byte N: 0x.. -> 0x.." for bits no field covers,
// and a check byte that differs although the bytes it covers are equal. Empty when equal.
std::vector<std::string> RecordDifferences(const TConfigRecord& a, const TConfigRecord& b);

} // namespace kestravo
