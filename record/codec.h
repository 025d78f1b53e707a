// SPDX-License-Identifier: Apache-2.0
#pragma once
// Moves a configuration between the settings (SettingsStore) and a 44-byte TConfigRecord.
#include "record/config_record.h"
#include "record/record_file.h"
#include "record/settings_store.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestravo {

// A setting's text is not a number: "''%s'' is not a valid integer value".
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Header and payload (record offsets 0-42) of the last record built or read, process-wide.
// Zero at start. The bits no setting covers pass from the last record read into every record built.
using RetainedRecordBytes = std::array<std::uint8_t, kRecordSize - 1>;
RetainedRecordBytes& RetainedRecord();

// Reads a signed 32-bit integer: leading blanks, optional sign, decimal or hexadecimal
// ("$", "x", "X", "0x", "0X"), nothing after the digits. Throws EConvertError.
std::int32_t TextToInt(std::string_view text);

// A field's value as the store holds it: an edit's text through TextToInt, a list's item index,
// a box 1 when checked. Throws EConvertError for a text that is not a number.
std::int32_t ReadSetting(const SettingsStore& settings, const FieldSpec& field);
// Writes value into the field's control: an edit gets the decimal text, a list the item of that
// index, a box is checked when value is 1 (the flag the record holds), cleared otherwise.
void WriteSetting(SettingsStore& settings, const FieldSpec& field, std::int32_t value);

// The combinations the window's rules never leave on screen: the dynamic geofence with an
// auto-tracking mode, a check-out interval greater than the send interval, an input 5 event on a
// frequency input. Returns why the settings break the first one that fails, or nothing. When
// concerns is given, only the rules with a field for which it returns true are looked at.
// Throws EConvertError for an edit of a rule whose text is not a number.
std::optional<std::string> CheckRecordRules(
    const SettingsStore& settings,
    const std::function<bool(std::string_view fieldName)>& concerns = {});

// Reads every setting in the encoding order, packs it into RetainedRecord and returns the whole
// record with both check bytes. Throws EConvertError at the first text that is not a number.
TConfigRecord EncodeRecord(const SettingsStore& settings);

// EncodeRecord, then WriteRecordFile: every setting is read before any file is touched, and the
// file is written as WriteRecordFile describes (EFileError on failure).
void SaveToFile(const SettingsStore& settings, const std::string& path);

// Keeps the record in RetainedRecord and writes every setting through the store, in the decoding
// order; the store's rules run as the writes change controls. Takes a whole record only.
void DecodeRecord(SettingsStore& settings, std::span<const std::uint8_t, kRecordSize> record);

} // namespace kestravo
