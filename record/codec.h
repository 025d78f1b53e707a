#pragma once
// Moves a configuration between the settings (SettingsStore) and a 44-byte TConfigRecord.
#include "record/config_record.h"
#include "record/record_file.h"
#include "record/settings_store.h"

#include <array>
#include <cstdint>
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

// The controls in the order EncodeRecord reads them (after Edit2 for the header) and in the order
// DecodeRecord writes them. The order of reading decides which text a conversion failure names;
// the order of writing decides what the store's rules see while a record is loaded.
std::span<const std::string_view> EncodingOrder();
std::span<const std::string_view> DecodingOrder();

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
