#include "record/codec.h"

#include <string>

namespace kestravo {

namespace {

using namespace std::string_view_literals;

// Which text an invalid-number message names depends on this order.
constexpr std::string_view kEncodingOrder[] = {
    "Edit2"sv,      "ComboBox1"sv,  "ComboBox2"sv,  "Edit3"sv,      "Edit4"sv,      "Edit5"sv,
    "Edit6"sv,      "ComboBox3"sv,  "ComboBox4"sv,  "ComboBox5"sv,  "Edit7"sv,      "Edit11"sv,
    "Edit8"sv,      "Edit9"sv,      "Edit10"sv,     "Edit12"sv,     "Edit13"sv,     "Edit14"sv,
    "ComboBox6"sv,  "ComboBox7"sv,  "Edit16"sv,     "Edit17"sv,     "ComboBox8"sv,  "ComboBox9"sv,
    "Edit15"sv,     "Edit18"sv,     "Edit19"sv,     "Edit20"sv,     "Edit21"sv,     "ComboBox10"sv,
    "ComboBox11"sv, "CheckBox1"sv,  "CheckBox2"sv,  "CheckBox3"sv,  "CheckBox4"sv,  "CheckBox5"sv,
    "ComboBox12"sv, "CheckBox6"sv,  "CheckBox7"sv,  "CheckBox14"sv, "CheckBox13"sv, "CheckBox12"sv,
    "CheckBox11"sv, "CheckBox10"sv, "CheckBox9"sv,  "CheckBox8"sv,  "Edit22"sv,     "Edit23"sv,
    "Edit24"sv,     "Edit25"sv,     "Edit26"sv,
};

// The window's rules run as these writes land, so a loaded record sees the earlier controls
// already set (the geofence interlock reads ComboBox7, the input 5 lock resets ComboBox8).
constexpr std::string_view kDecodingOrder[] = {
    "Edit2"sv,      "ComboBox1"sv,  "ComboBox2"sv,  "Edit3"sv,      "Edit4"sv,      "Edit5"sv,
    "Edit6"sv,      "ComboBox3"sv,  "ComboBox4"sv,  "ComboBox5"sv,  "Edit7"sv,      "Edit11"sv,
    "Edit8"sv,      "Edit9"sv,      "Edit10"sv,     "Edit12"sv,     "Edit13"sv,     "Edit14"sv,
    "ComboBox6"sv,  "ComboBox7"sv,  "Edit16"sv,     "Edit17"sv,     "ComboBox8"sv,  "ComboBox9"sv,
    "Edit15"sv,     "Edit18"sv,     "Edit19"sv,     "Edit20"sv,     "Edit21"sv,     "ComboBox10"sv,
    "ComboBox11"sv, "CheckBox1"sv,  "CheckBox2"sv,  "CheckBox3"sv,  "CheckBox4"sv,  "CheckBox5"sv,
    "ComboBox12"sv, "CheckBox6"sv,  "CheckBox7"sv,  "CheckBox14"sv, "CheckBox8"sv,  "CheckBox9"sv,
    "CheckBox10"sv, "CheckBox11"sv, "CheckBox12"sv, "CheckBox13"sv, "Edit22"sv,     "Edit23"sv,
    "Edit24"sv,     "Edit25"sv,     "Edit26"sv,
};

static_assert(std::size(kEncodingOrder) == kFieldCount);
static_assert(std::size(kDecodingOrder) == kFieldCount);

// The header's password: bits 0-11 of the word at offset 0; HeaderTag: bits 12-15.
constexpr FieldSpec kHeaderPassword{0, 0, 12, false, ControlKind::Edit, "Edit2", "HeaderPassword"};
constexpr FieldSpec kHeaderTag{0, 12, 4, false, ControlKind::Edit, "", "HeaderTag"};
constexpr std::uint8_t kHeaderTagValue = 3;
constexpr std::size_t kHeaderFlagsOffset = 2;

const FieldSpec& FieldOf(std::string_view control) {
    // Every name in the two order lists is in the table; the tests walk both lists.
    return *FieldByControl(control);
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

std::span<const std::string_view> EncodingOrder() {
    return kEncodingOrder;
}

std::span<const std::string_view> DecodingOrder() {
    return kDecodingOrder;
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
    for (std::string_view control : kEncodingOrder) {
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
    for (std::string_view control : kDecodingOrder) {
        const FieldSpec& field = FieldOf(control);
        WriteSetting(settings, field, ReadField(loaded, field));
    }
}

} // namespace kestravo
