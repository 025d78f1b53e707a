#include "record/config_record.h"

#include <algorithm>

namespace kestravo {

namespace {

using K = ControlKind;

// offset, first bit, width, signed, kind, control, field; record order. A field whose bits pass
// the end of its byte is read through the little-endian word that starts at offset.
constexpr FieldSpec kFields[] = {
    {3, 0, 12, false, K::Edit, "Edit2", "Password"},
    {3, 12, 2, false, K::ComboBox, "ComboBox1", "In1ShortEvent"},
    {3, 14, 2, false, K::ComboBox, "ComboBox2", "In1LongEvent"},
    {5, 0, 16, false, K::Edit, "Edit3", "SendInterval"},
    {7, 0, 8, false, K::Edit, "Edit4", "In1TimeXX"},
    {9, 0, 6, false, K::Edit, "Edit5", "In1TimeYY"},
    {9, 6, 4, false, K::Edit, "Edit6", "In1TimesZZ"},
    {9, 10, 2, false, K::ComboBox, "ComboBox3", "In2ShortEvent"},
    {9, 12, 2, false, K::ComboBox, "ComboBox4", "In2LongEvent"},
    {9, 14, 2, false, K::ComboBox, "ComboBox5", "In3ShortEvent"},
    {11, 0, 8, false, K::Edit, "Edit7", "In2TimeXX"},
    {12, 0, 8, false, K::Edit, "Edit11", "In3TimeXX"},
    {13, 0, 6, false, K::Edit, "Edit8", "In2TimeYY"},
    {13, 6, 4, false, K::Edit, "Edit9", "In2TimesZZ"},
    {13, 10, 6, false, K::Edit, "Edit10", "In2TimeNN"},
    {15, 0, 6, false, K::Edit, "Edit12", "In3TimeYY"},
    {15, 6, 4, false, K::Edit, "Edit13", "In3TimesZZ"},
    {15, 10, 6, false, K::Edit, "Edit14", "In3TimeNN"},
    {17, 0, 2, false, K::ComboBox, "ComboBox6", "In3LongEvent"},
    {17, 2, 2, false, K::ComboBox, "ComboBox7", "In4TrackingMode"},
    {17, 4, 2, false, K::Edit, "Edit16", "In4SendRepeats"},
    {17, 6, 6, false, K::Edit, "Edit17", "In4TimeNN"},
    {17, 12, 2, false, K::ComboBox, "ComboBox8", "In5Event"},
    {17, 14, 2, false, K::ComboBox, "ComboBox9", "In5Condition"},
    {19, 0, 16, false, K::Edit, "Edit15", "In4TrackingStep"},
    {21, 0, 8, false, K::Edit, "Edit18", "In5HighLevel"},
    {22, 0, 8, false, K::Edit, "Edit19", "In5LowLevel"},
    {23, 0, 8, true, K::Edit, "Edit20", "TempHighLevel"},
    {24, 0, 8, true, K::Edit, "Edit21", "TempLowLevel"},
    {25, 0, 2, false, K::ComboBox, "ComboBox10", "TempEvent"},
    {25, 2, 2, false, K::ComboBox, "ComboBox11", "TempCondition"},
    {25, 4, 1, false, K::CheckBox, "CheckBox1", "GeofenceEnabled"},
    {25, 5, 1, false, K::CheckBox, "CheckBox2", "GeofenceEvent"},
    {25, 6, 1, false, K::CheckBox, "CheckBox3", "Out1WhileActive"},
    {25, 7, 1, false, K::CheckBox, "CheckBox4", "ConfirmCommands"},
    {26, 0, 1, false, K::CheckBox, "CheckBox5", "ConfigInConfirmation"},
    {26, 1, 1, false, K::ComboBox, "ComboBox12", "TrafficEvent"},
    {26, 2, 1, false, K::CheckBox, "CheckBox6", "LedIndication"},
    {26, 3, 1, false, K::CheckBox, "CheckBox7", "In5FrequencyType"},
    {26, 4, 1, false, K::CheckBox, "CheckBox14", "CheckoutOnStateChange"},
    {27, 0, 1, false, K::CheckBox, "CheckBox8", "ExtraSpeedCompass"},
    {27, 1, 1, false, K::CheckBox, "CheckBox9", "ExtraTemperature"},
    {27, 2, 1, false, K::CheckBox, "CheckBox10", "ExtraTraffic"},
    {27, 3, 1, false, K::CheckBox, "CheckBox11", "ExtraIn5Frequency"},
    {27, 4, 1, false, K::CheckBox, "CheckBox12", "ExtraOdometer"},
    {27, 5, 1, false, K::CheckBox, "CheckBox13", "ExtraReserved"},
    {29, 0, 16, false, K::Edit, "Edit22", "GeofenceRadius"},
    {31, 0, 16, false, K::Edit, "Edit23", "CheckoutInterval"},
    {33, 0, 16, false, K::Edit, "Edit24", "TrafficLimit"},
    {35, 0, 8, false, K::Edit, "Edit25", "StartupDelay"},
    {36, 0, 8, false, K::Edit, "Edit26", "StabilityPoints"},
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

} // namespace kestravo
