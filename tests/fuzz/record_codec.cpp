// SPDX-License-Identifier: Apache-2.0
// Any 44 bytes load into the settings and come back: every field's bits, every bit no setting
// covers, the header the encoder writes and both check bytes.
#include "fuzz_check.h"
#include "record/codec.h"
#include "record/map_settings_store.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace kestravo;

namespace {

// Bits the encoder writes itself: the header's password (bits 0-11) and tag (12-15) and the
// lowest bit of the header flags; all else of offsets 0-41 passes through from the loaded record.
constexpr std::uint8_t kEncoderOwned[kPayloadCheckOffset] = {0xFF, 0xFF, 0x01};

TConfigRecord EncodeThrough(const TConfigRecord& record)
{
    MapSettingsStore store;
    DecodeRecord(store, record);
    return EncodeRecord(store);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Shorter inputs are padded with zeros and longer ones cut, so every input is a record.
    TConfigRecord input{};
    std::copy_n(data, std::min(size, input.size()), input.begin());

    const TConfigRecord encoded = EncodeThrough(input);

    for (const FieldSpec& field : Fields())
        FUZZ_CHECK(ReadField(encoded, field) == ReadField(input, field), "field %.*s changed",
                   int(field.name.size()), field.name.data());

    for (std::size_t i = 0; i < kPayloadCheckOffset; ++i)
        FUZZ_CHECK(((encoded[i] ^ input[i]) & ~kEncoderOwned[i] & 0xFF) == 0,
                   "offset %zu: uncovered bits changed (%02x -> %02x)", i, input[i], encoded[i]);

    const unsigned header = encoded[0] | (unsigned(encoded[1]) << 8);
    const FieldSpec& password = *FieldByName("Password");
    FUZZ_CHECK(int(header & 0x0FFF) == ReadField(input, password), "header password %u", header & 0x0FFF);
    FUZZ_CHECK((header >> 12) == 3, "header tag %u", header >> 12);
    FUZZ_CHECK((encoded[2] & 1) == 0, "header flag bit 0 set");

    FUZZ_CHECK(encoded[kPayloadCheckOffset] == ConfigChecksum(encoded.data() + kHeaderSize, kPayloadSize - 1),
               "payload check byte");
    FUZZ_CHECK(encoded[kRecordCheckOffset] == ConfigChecksum(encoded.data(), kRecordSize - 1), "record check byte");

    // A record the program wrote loads and saves as itself.
    FUZZ_CHECK(EncodeThrough(encoded) == encoded, "an encoded record does not survive a second round");
    return 0;
}
