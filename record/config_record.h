// SPDX-License-Identifier: Apache-2.0
#pragma once
// The 44-byte configuration record: a 3-byte header, a bit-packed 40-byte payload whose last byte
// is PayloadCheck, and RecordCheck. One table describes every field; encoding, decoding and the
// record tool all walk it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestravo {

inline constexpr std::size_t kRecordSize = 44;
inline constexpr std::size_t kHeaderSize = 3;
inline constexpr std::size_t kPayloadSize = 40;
inline constexpr std::size_t kPayloadCheckOffset = 42; // record offset (payload offset 39)
inline constexpr std::size_t kRecordCheckOffset = 43;
inline constexpr std::size_t kFieldCount = 51;

using TConfigRecord = std::array<std::uint8_t, kRecordSize>;
using TConfigPayload = std::array<std::uint8_t, kPayloadSize>;

// Exclusive-or of the first count bytes, seeded with 0xAA.
std::uint8_t ConfigChecksum(const std::uint8_t* bytes, std::uint8_t count);

enum class ControlKind { Edit, ComboBox, CheckBox };

// One field of the payload and everything known about its setting. offset is the record offset of
// the byte (or of the low byte of the little-endian word) holding bit 0 of the field's bit range;
// bit and width count within that byte or word.
struct FieldSpec {
    std::uint8_t offset;
    std::uint8_t bit;
    std::uint8_t width;
    bool isSigned;
    ControlKind kind;
    std::string_view control; // "Edit2", "ComboBox1", "CheckBox1", ...
    std::string_view name;    // "Password", "In1ShortEvent", ...
    // The values the setting may hold: the limits the window's range rule keeps where the edit has
    // one (its upper limit, and StabilityPoints' lower one; the rules leave a negative text alone),
    // otherwise the range of the field's bits; a list its four items, a box 0 or 1.
    std::int32_t min = 0;
    std::int32_t max = 0;
    // What the window shows at start: the edit's number, the list's item, the box's state.
    std::int32_t initial = 0;
    // Places, from 1, in the order EncodeRecord reads the settings and DecodeRecord writes them.
    std::uint8_t encodingRank = 0;
    std::uint8_t decodingRank = 0;
};

// The kFieldCount fields in record order.
std::span<const FieldSpec> Fields();

// The field carried by a control, or nullptr.
const FieldSpec* FieldByControl(std::string_view control);
// The field of that name, or nullptr.
const FieldSpec* FieldByName(std::string_view name);

// The controls in the order EncodeRecord reads them (after Edit2 for the header) and in the order
// DecodeRecord writes them, from the table's ranks. The order of reading decides which text a
// conversion failure names; the order of writing decides what the store's rules see while a
// record is loaded.
std::span<const std::string_view> EncodingOrder();
std::span<const std::string_view> DecodingOrder();

// Why value does not suit the field ("In1TimeXX=300 is outside 0-250"), or nothing when it does.
std::optional<std::string> CheckFieldValue(const FieldSpec& field, std::int32_t value);

// The value the field keeps of value: its low bits, sign-extended for the signed fields.
std::int32_t FieldBitsOf(const FieldSpec& field, std::int32_t value);

// Reads a field's bits from a record (sign-extended for the signed fields); writes the low bits of
// value into exactly the field's bits, leaving every other bit as it was.
std::int32_t ReadField(std::span<const std::uint8_t> record, const FieldSpec& field);
void WriteField(std::span<std::uint8_t> record, const FieldSpec& field, std::int32_t value);

// A device's IMEI as a send takes it: 15 characters, each a digit, '+' or '-'.
bool IsImei(std::string_view imei);

} // namespace kestravo
