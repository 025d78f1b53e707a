// SPDX-License-Identifier: Apache-2.0
#include "record/record_text.h"

#include "record/codec.h"
#include "record/map_settings_store.h"

#include <algorithm>
#include <cstdio>

namespace kestravo {

namespace {

struct Check {
    const char* name;
    std::uint8_t stored;
    std::uint8_t computed;
};

Check PayloadCheck(const TConfigRecord& record)
{
    return {"PayloadCheck", record[kPayloadCheckOffset],
            ConfigChecksum(record.data() + kHeaderSize, static_cast<std::uint8_t>(kPayloadSize - 1))};
}

Check RecordCheck(const TConfigRecord& record)
{
    return {"RecordCheck", record[kRecordCheckOffset],
            ConfigChecksum(record.data(), static_cast<std::uint8_t>(kRecordSize - 1))};
}

// The copy of the password in the header (bits 0-11 of its first word); the codec writes it from
// the same setting as Password, so it is news only when the two Passwords agree.
constexpr FieldSpec kHeaderPassword{0, 0, 12, false, ControlKind::Edit, "Edit2", "HeaderPassword"};

} // namespace

std::string HexByte(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

bool PayloadCheckMatches(const TConfigRecord& record)
{
    const Check c = PayloadCheck(record);
    return c.stored == c.computed;
}

bool RecordCheckMatches(const TConfigRecord& record)
{
    const Check c = RecordCheck(record);
    return c.stored == c.computed;
}

std::vector<std::string> RecordLines(const TConfigRecord& record)
{
    std::vector<std::string> lines;
    MapSettingsStore store;
    DecodeRecord(store, record);
    for (const FieldSpec& field : Fields())
        lines.push_back(std::string(field.name) + "=" + std::to_string(ReadSetting(store, field)));
    for (const Check& c : {PayloadCheck(record), RecordCheck(record)}) {
        if (c.stored == c.computed)
            lines.push_back(std::string(c.name) + "=ok");
        else
            lines.push_back(std::string(c.name) + "=bad (stored " + HexByte(c.stored) + ", computed " +
                            HexByte(c.computed) + ")");
    }
    return lines;
}

std::vector<std::string> RecordDifferences(const TConfigRecord& a, const TConfigRecord& b)
{
    std::vector<std::string> lines;
    // Fields as decode shows them (through the settings, so lists and boxes read as the window's).
    MapSettingsStore storeA, storeB;
    DecodeRecord(storeA, a);
    DecodeRecord(storeB, b);
    for (const FieldSpec& field : Fields()) {
        const std::int32_t before = ReadSetting(storeA, field), after = ReadSetting(storeB, field);
        if (before != after)
            lines.push_back(std::string(field.name) + ": " + std::to_string(before) + " -> " +
                            std::to_string(after));
    }
    const std::int32_t headerA = ReadField(a, kHeaderPassword), headerB = ReadField(b, kHeaderPassword);
    const FieldSpec& password = *FieldByName("Password");
    if (headerA != headerB && ReadField(a, password) == ReadField(b, password))
        lines.push_back(std::string(kHeaderPassword.name) + ": " + std::to_string(headerA) + " -> " +
                        std::to_string(headerB));
    // The bits no field covers (the header's tag and flags, carried bits): the fields cleared,
    // what is left.
    TConfigRecord restA = a, restB = b;
    for (const FieldSpec& field : Fields()) {
        WriteField(restA, field, 0);
        WriteField(restB, field, 0);
    }
    WriteField(restA, kHeaderPassword, 0);
    WriteField(restB, kHeaderPassword, 0);
    for (std::size_t i = 0; i < kPayloadCheckOffset; ++i)
        if (restA[i] != restB[i])
            lines.push_back("Byte " + std::to_string(i) + ": " + HexByte(restA[i]) + " -> " +
                            HexByte(restB[i]));
    // A check byte follows from the bytes it covers; it is news only when they are equal.
    const bool payloadSame = std::equal(a.begin() + kHeaderSize, a.begin() + kPayloadCheckOffset, b.begin() + kHeaderSize);
    if (payloadSame && a[kPayloadCheckOffset] != b[kPayloadCheckOffset])
        lines.push_back("PayloadCheck: " + HexByte(a[kPayloadCheckOffset]) + " -> " +
                        HexByte(b[kPayloadCheckOffset]));
    const bool recordSame = std::equal(a.begin(), a.begin() + kRecordCheckOffset, b.begin());
    if (recordSame && a[kRecordCheckOffset] != b[kRecordCheckOffset])
        lines.push_back("RecordCheck: " + HexByte(a[kRecordCheckOffset]) + " -> " +
                        HexByte(b[kRecordCheckOffset]));
    return lines;
}

} // namespace kestravo
