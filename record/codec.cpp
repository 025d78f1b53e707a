// SPDX-License-Identifier: Apache-2.0
#include "record/codec.h"

#include <string>

namespace kestravo {

namespace {

// The header's password: bits 0-11 of the word at offset 0; HeaderTag: bits 12-15.
constexpr FieldSpec kHeaderPassword{0, 0, 12, false, ControlKind::Edit, "Edit2", "HeaderPassword"};
constexpr FieldSpec kHeaderTag{0, 12, 4, false, ControlKind::Edit, "", "HeaderTag"};
constexpr std::uint8_t kHeaderTagValue = 3;
constexpr std::size_t kHeaderFlagsOffset = 2;

const FieldSpec& FieldOf(std::string_view control) {
    // Every name in the two orders comes from the table.
    return *FieldByControl(control);
}

[[noreturn]] void ThrowConvert(std::string_view text) {
    std::string message = "''";
    message.append(text);
    message.append("'' is not a valid integer value");
    throw EConvertError(message);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

RetainedRecordBytes& RetainedRecord() {
    static RetainedRecordBytes bytes{};
    return bytes;
}

std::int32_t ReadSetting(const SettingsStore& settings, const FieldSpec& field) {
    switch (field.kind) {
    case ControlKind::Edit: return TextToInt(settings.Text(field.control));
    case ControlKind::ComboBox: return settings.ItemIndex(field.control);
    case ControlKind::CheckBox: return settings.Checked(field.control) ? 1 : 0;
    }
    return 0;
}

void WriteSetting(SettingsStore& settings, const FieldSpec& field, std::int32_t value) {
    switch (field.kind) {
    case ControlKind::Edit: settings.SetText(field.control, std::to_string(value)); break;
    case ControlKind::ComboBox: settings.SetItemIndex(field.control, value); break;
    case ControlKind::CheckBox: settings.SetChecked(field.control, value == 1); break;
    }
}

std::optional<std::string> CheckRecordRules(
    const SettingsStore& settings, const std::function<bool(std::string_view fieldName)>& concerns) {
    auto looked = [&](std::string_view a, std::string_view b) {
        return !concerns || concerns(a) || concerns(b);
    };
    auto value = [&](std::string_view name) { return ReadSetting(settings, *FieldByName(name)); };

    if (looked("GeofenceEnabled", "In4TrackingMode") && value("GeofenceEnabled") != 0 &&
        value("In4TrackingMode") != 0)
        return "GeofenceEnabled=1 cannot go with In4TrackingMode=" +
               std::to_string(value("In4TrackingMode")) +
               " (the dynamic geofence and auto-tracking exclude each other)";
    if (looked("CheckoutInterval", "SendInterval") &&
        value("CheckoutInterval") > value("SendInterval"))
        return "CheckoutInterval=" + std::to_string(value("CheckoutInterval")) +
               " is greater than SendInterval=" + std::to_string(value("SendInterval"));
    if (looked("In5FrequencyType", "In5Event") && value("In5FrequencyType") != 0 &&
        value("In5Event") != 0)
        return "In5Event=" + std::to_string(value("In5Event")) +
               " cannot go with In5FrequencyType=1 (a frequency input has no events)";
    return std::nullopt;
}

std::int32_t TextToInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }

    bool hex = false;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        i += 1;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == text.size()) ThrowConvert(text);

    std::uint64_t magnitude = 0;
    if (hex) {
        for (; i < text.size(); ++i) {
            const int digit = HexDigit(text[i]);
            if (digit < 0) ThrowConvert(text);
            magnitude = magnitude * 16 + static_cast<unsigned>(digit);
            if (magnitude > 0xFFFFFFFFu) ThrowConvert(text);
        }
        // The bit pattern counts: $FFFFFFFF is -1, and a sign negates that pattern.
        std::uint32_t pattern = static_cast<std::uint32_t>(magnitude);
        if (negative) pattern = 0u - pattern;
        return static_cast<std::int32_t>(pattern);
    }

    const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') ThrowConvert(text);
        magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
        if (magnitude > limit) ThrowConvert(text);
    }
    if (negative) return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(magnitude));
    return static_cast<std::int32_t>(magnitude);
}

TConfigRecord EncodeRecord(const SettingsStore& settings) {
    RetainedRecordBytes& retained = RetainedRecord();
    const std::span<std::uint8_t> buffer(retained);

    // A failure here leaves the buffer as it was.
    const std::int32_t password = TextToInt(settings.Text("Edit2"));
    WriteField(buffer, kHeaderPassword, password);
    WriteField(buffer, kHeaderTag, kHeaderTagValue);
    retained[kHeaderFlagsOffset] &= static_cast<std::uint8_t>(~1u);

    // Each setting lands before the next is read, so a failure leaves the earlier ones packed.
    for (std::string_view control : EncodingOrder()) {
        const FieldSpec& field = FieldOf(control);
        WriteField(buffer, field, ReadSetting(settings, field));
    }

    retained[kPayloadCheckOffset] =
        ConfigChecksum(retained.data() + kHeaderSize, static_cast<std::uint8_t>(kPayloadSize - 1));

    TConfigRecord record{};
    std::copy(retained.begin(), retained.end(), record.begin());
    record[kRecordCheckOffset] =
        ConfigChecksum(record.data(), static_cast<std::uint8_t>(kRecordSize - 1));
    return record;
}

void SaveToFile(const SettingsStore& settings, const std::string& path) {
    // Every setting is read before any file is touched, so a bad text leaves the disk alone.
    const TConfigRecord record = EncodeRecord(settings);
    WriteRecordFile(path, record);
}

void DecodeRecord(SettingsStore& settings, std::span<const std::uint8_t, kRecordSize> record) {
    RetainedRecordBytes& retained = RetainedRecord();
    std::copy(record.begin(), record.begin() + retained.size(), retained.begin());

    // The store's rules may correct controls as they are written; they never touch the buffer,
    // but read the fields from a private copy so that nothing a rule does can change them.
    const RetainedRecordBytes loaded = retained;
    for (std::string_view control : DecodingOrder()) {
        const FieldSpec& field = FieldOf(control);
        WriteSetting(settings, field, ReadField(loaded, field));
    }
}

} // namespace kestravo
