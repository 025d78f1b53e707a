#pragma once
// The 44-byte configuration record: a 3-byte header, a bit-packed 40-byte payload whose last byte
// is PayloadCheck, and RecordCheck. One table describes every field; encoding, decoding and the
// record tool all walk it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
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

// One field of the payload. offset is the record offset of the byte (or of the low byte of the
// little-endian word) holding bit 0 of the field's bit range; bit and width count within that
// byte or word.
struct FieldSpec {
    std::uint8_t offset;
    std::uint8_t bit;
    std::uint8_t width;
    bool isSigned;
    ControlKind kind;
    std::string_view control; // "Edit2", "ComboBox1", "CheckBox1", ...
    std::string_view name;    // "Password", "In1ShortEvent", ...
};

// The kFieldCount fields in record order.
std::span<const FieldSpec> Fields();

// The field carried by a control, or nullptr.
const FieldSpec* FieldByControl(std::string_view control);
// The field of that name, or nullptr.
const FieldSpec* FieldByName(std::string_view name);

// Reads a field's bits from a record (sign-extended for the signed fields); writes the low bits of
// value into exactly the field's bits, leaving every other bit as it was.
std::int32_t ReadField(std::span<const std::uint8_t> record, const FieldSpec& field);
void WriteField(std::span<std::uint8_t> record, const FieldSpec& field, std::int32_t value);

} // namespace kestravo
