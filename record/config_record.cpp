// SPDX-License-Identifier: Apache-2.0
#include "record/config_record.h"

#include <algorithm>
#include <array>

namespace kestravo {

namespace {

using K = ControlKind;

// Record order. A field whose bits pass the end of its byte is read through the little-endian word
// that starts at offset. Columns: offset, first bit, width, signed, kind, control, field; the
// window's limits (min, max) and initial value; the rank in the encoding and decoding orders.
// The two orders differ only in the extra-data boxes, which encoding reads from CheckBox13 down.
constexpr FieldSpec kFields[] = {
    {3, 0, 12, false, K::Edit, "Edit2", "Password", 0, 4095, 0, 1, 1},
    {3, 12, 2, false, K::ComboBox, "ComboBox1", "In1ShortEvent", 0, 3, 0, 2, 2},
    {3, 14, 2, false, K::ComboBox, "ComboBox2", "In1LongEvent", 0, 3, 0, 3, 3},
    {5, 0, 16, false, K::Edit, "Edit3", "SendInterval", 0, 65535, 0, 4, 4},
    {7, 0, 8, false, K::Edit, "Edit4", "In1TimeXX", 0, 250, 0, 5, 5},
    {9, 0, 6, false, K::Edit, "Edit5", "In1TimeYY", 0, 60, 0, 6, 6},
    {9, 6, 4, false, K::Edit, "Edit6", "In1TimesZZ", 0, 15, 0, 7, 7},
    {9, 10, 2, false, K::ComboBox, "ComboBox3", "In2ShortEvent", 0, 3, 0, 8, 8},
    {9, 12, 2, false, K::ComboBox, "ComboBox4", "In2LongEvent", 0, 3, 0, 9, 9},
    {9, 14, 2, false, K::ComboBox, "ComboBox5", "In3ShortEvent", 0, 3, 0, 10, 10},
    {11, 0, 8, false, K::Edit, "Edit7", "In2TimeXX", 0, 250, 0, 11, 11},
    {12, 0, 8, false, K::Edit, "Edit11", "In3TimeXX", 0, 250, 0, 12, 12},
    {13, 0, 6, false, K::Edit, "Edit8", "In2TimeYY", 0, 60, 0, 13, 13},
    {13, 6, 4, false, K::Edit, "Edit9", "In2TimesZZ", 0, 15, 0, 14, 14},
    {13, 10, 6, false, K::Edit, "Edit10", "In2TimeNN", 0, 60, 0, 15, 15},
    {15, 0, 6, false, K::Edit, "Edit12", "In3TimeYY", 0, 60, 0, 16, 16},
    {15, 6, 4, false, K::Edit, "Edit13", "In3TimesZZ", 0, 15, 0, 17, 17},
    {15, 10, 6, false, K::Edit, "Edit14", "In3TimeNN", 0, 60, 0, 18, 18},
    {17, 0, 2, false, K::ComboBox, "ComboBox6", "In3LongEvent", 0, 3, 0, 19, 19},
    {17, 2, 2, false, K::ComboBox, "ComboBox7", "In4TrackingMode", 0, 3, 0, 20, 20},
    {17, 4, 2, false, K::Edit, "Edit16", "In4SendRepeats", 0, 3, 0, 21, 21},
    {17, 6, 6, false, K::Edit, "Edit17", "In4TimeNN", 0, 60, 0, 22, 22},
    {17, 12, 2, false, K::ComboBox, "ComboBox8", "In5Event", 0, 3, 0, 23, 23},
    {17, 14, 2, false, K::ComboBox, "ComboBox9", "In5Condition", 0, 3, 0, 24, 24},
    {19, 0, 16, false, K::Edit, "Edit15", "In4TrackingStep", 0, 65000, 0, 25, 25},
    {21, 0, 8, false, K::Edit, "Edit18", "In5HighLevel", 0, 255, 0, 26, 26},
    {22, 0, 8, false, K::Edit, "Edit19", "In5LowLevel", 0, 255, 0, 27, 27},
    {23, 0, 8, true, K::Edit, "Edit20", "TempHighLevel", -128, 127, 0, 28, 28},
    {24, 0, 8, true, K::Edit, "Edit21", "TempLowLevel", -128, 127, 0, 29, 29},
    {25, 0, 2, false, K::ComboBox, "ComboBox10", "TempEvent", 0, 3, 0, 30, 30},
    {25, 2, 2, false, K::ComboBox, "ComboBox11", "TempCondition", 0, 3, 0, 31, 31},
    {25, 4, 1, false, K::CheckBox, "CheckBox1", "GeofenceEnabled", 0, 1, 0, 32, 32},
    {25, 5, 1, false, K::CheckBox, "CheckBox2", "GeofenceEvent", 0, 1, 0, 33, 33},
    {25, 6, 1, false, K::CheckBox, "CheckBox3", "Out1WhileActive", 0, 1, 0, 34, 34},
    {25, 7, 1, false, K::CheckBox, "CheckBox4", "ConfirmCommands", 0, 1, 0, 35, 35},
    {26, 0, 1, false, K::CheckBox, "CheckBox5", "ConfigInConfirmation", 0, 1, 0, 36, 36},
    {26, 1, 1, false, K::ComboBox, "ComboBox12", "TrafficEvent", 0, 3, 0, 37, 37},
    {26, 2, 1, false, K::CheckBox, "CheckBox6", "LedIndication", 0, 1, 0, 38, 38},
    {26, 3, 1, false, K::CheckBox, "CheckBox7", "In5FrequencyType", 0, 1, 0, 39, 39},
    {26, 4, 1, false, K::CheckBox, "CheckBox14", "CheckoutOnStateChange", 0, 1, 0, 40, 40},
    {27, 0, 1, false, K::CheckBox, "CheckBox8", "ExtraSpeedCompass", 0, 1, 0, 46, 41},
    {27, 1, 1, false, K::CheckBox, "CheckBox9", "ExtraTemperature", 0, 1, 0, 45, 42},
    {27, 2, 1, false, K::CheckBox, "CheckBox10", "ExtraTraffic", 0, 1, 0, 44, 43},
    {27, 3, 1, false, K::CheckBox, "CheckBox11", "ExtraIn5Frequency", 0, 1, 0, 43, 44},
    {27, 4, 1, false, K::CheckBox, "CheckBox12", "ExtraOdometer", 0, 1, 0, 42, 45},
    {27, 5, 1, false, K::CheckBox, "CheckBox13", "ExtraReserved", 0, 1, 0, 41, 46},
    {29, 0, 16, false, K::Edit, "Edit22", "GeofenceRadius", 0, 65535, 0, 47, 47},
    {31, 0, 16, false, K::Edit, "Edit23", "CheckoutInterval", 0, 65535, 0, 48, 48},
    {33, 0, 16, false, K::Edit, "Edit24", "TrafficLimit", 0, 65535, 0, 49, 49},
    {35, 0, 8, false, K::Edit, "Edit25", "StartupDelay", 0, 250, 0, 50, 50},
    {36, 0, 8, false, K::Edit, "Edit26", "StabilityPoints", 5, 250, 5, 51, 51},
};

static_assert(std::size(kFields) == kFieldCount);

constexpr bool TableFitsThePayload() {
    for (const FieldSpec& f : kFields) {
        if (f.width == 0 || f.width > 16 || f.bit + f.width > 16) return false;
        const std::size_t bytes = f.bit + f.width > 8 ? 2 : 1;
        if (f.offset < kHeaderSize || f.offset + bytes > kPayloadCheckOffset) return false;
    }
    return true;
}
static_assert(TableFitsThePayload());

constexpr bool LimitsFitTheFields() {
    for (const FieldSpec& f : kFields) {
        const std::int32_t low = f.isSigned ? -(std::int32_t{1} << (f.width - 1)) : 0;
        const std::int32_t high = f.isSigned ? (std::int32_t{1} << (f.width - 1)) - 1
                                             : (std::int32_t{1} << f.width) - 1;
        // A list's limits are its items: TrafficEvent offers four, though its field keeps one bit.
        if (f.kind != ControlKind::ComboBox && (f.min < low || f.max > high)) return false;
        if (f.min > f.max || f.initial < f.min || f.initial > f.max) return false;
    }
    return true;
}
static_assert(LimitsFitTheFields());

using Order = std::array<std::string_view, kFieldCount>;

// The controls placed by rank; an empty slot or a rank given twice fails to compile.
template <std::uint8_t FieldSpec::*Rank>
constexpr Order OrderBy() {
    Order order{};
    for (const FieldSpec& f : kFields) {
        const std::uint8_t rank = f.*Rank;
        if (rank < 1 || rank > kFieldCount || !order[rank - 1].empty())
            throw "every rank from 1 to kFieldCount exactly once";
        order[rank - 1] = f.control;
    }
    return order;
}

constexpr Order kEncodingOrder = OrderBy<&FieldSpec::encodingRank>();
constexpr Order kDecodingOrder = OrderBy<&FieldSpec::decodingRank>();

// Fields wider than a byte, or crossing into the next one, live in the word at offset.
bool UsesWord(const FieldSpec& field) {
    return field.bit + field.width > 8;
}

} // namespace

std::uint8_t ConfigChecksum(const std::uint8_t* bytes, std::uint8_t count) {
    std::uint8_t sum = 0xAA;
    for (std::uint8_t i = 0; i < count; ++i) sum ^= bytes[i];
    return sum;
}

std::span<const FieldSpec> Fields() {
    return kFields;
}

std::span<const std::string_view> EncodingOrder() {
    return kEncodingOrder;
}

std::span<const std::string_view> DecodingOrder() {
    return kDecodingOrder;
}

std::optional<std::string> CheckFieldValue(const FieldSpec& field, std::int32_t value) {
    if (value >= field.min && value <= field.max) return std::nullopt;
    return std::string(field.name) + "=" + std::to_string(value) + " is outside " +
           std::to_string(field.min) + "-" + std::to_string(field.max);
}

std::int32_t FieldBitsOf(const FieldSpec& field, std::int32_t value) {
    TConfigRecord scratch{};
    WriteField(scratch, field, value);
    return ReadField(scratch, field);
}

const FieldSpec* FieldByControl(std::string_view control) {
    for (const FieldSpec& f : kFields)
        if (f.control == control) return &f;
    return nullptr;
}

const FieldSpec* FieldByName(std::string_view name) {
    for (const FieldSpec& f : kFields)
        if (f.name == name) return &f;
    return nullptr;
}

std::int32_t ReadField(std::span<const std::uint8_t> record, const FieldSpec& field) {
    std::uint32_t container = record[field.offset];
    if (UsesWord(field)) container |= std::uint32_t{record[field.offset + 1u]} << 8;
    const std::uint32_t mask = (1u << field.width) - 1u;
    const std::uint32_t raw = (container >> field.bit) & mask;
    if (field.isSigned && (raw >> (field.width - 1u)) != 0)
        return static_cast<std::int32_t>(raw) - static_cast<std::int32_t>(1u << field.width);
    return static_cast<std::int32_t>(raw);
}

void WriteField(std::span<std::uint8_t> record, const FieldSpec& field, std::int32_t value) {
    const std::uint32_t mask = ((1u << field.width) - 1u) << field.bit;
    const std::uint32_t bits = (static_cast<std::uint32_t>(value) << field.bit) & mask;
    std::uint32_t container = record[field.offset];
    if (UsesWord(field)) container |= std::uint32_t{record[field.offset + 1u]} << 8;
    container = (container & ~mask) | bits;
    record[field.offset] = static_cast<std::uint8_t>(container & 0xFFu);
    if (UsesWord(field)) record[field.offset + 1u] = static_cast<std::uint8_t>(container >> 8);
}

bool IsImei(std::string_view imei) {
    if (imei.size() != 15) return false;
    for (const char c : imei)
        if (!(c >= '0' && c <= '9') && c != '+' && c != '-') return false;
    return true;
}

} // namespace kestravo
