#include "record/codec.h"
#include "record/config_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <string>

namespace kestravo {
namespace {

struct BitRange {
    std::size_t offset; // byte, or low byte of the little-endian word
    unsigned bit;
    unsigned width;
    std::string what;
};

// Everything in the record that is not a setting, as the record layout lists it.
const std::vector<BitRange>& NonSettingBits() {
    static const std::vector<BitRange> ranges = {
        {0, 0, 12, "HeaderPassword"},
        {0, 12, 4, "HeaderTag"},
        {2, 0, 1, "HeaderFlags bit 0"},
        {2, 1, 7, "carried header flags"},
        {8, 0, 8, "carried"},
        {26, 5, 3, "carried"},
        {27, 6, 2, "carried"},
        {28, 0, 8, "carried"},
        {37, 0, 8, "carried"},
        {38, 0, 8, "carried"},
        {39, 0, 8, "carried"},
        {40, 0, 8, "carried"},
        {41, 0, 8, "carried"},
        {42, 0, 8, "PayloadCheck"},
        {43, 0, 8, "RecordCheck"},
    };
    return ranges;
}

TEST(FieldTable, TableCarriedHeaderAndCheckBitsCoverEveryBitOnce) {
    std::array<std::string, kRecordSize * 8> owner{};
    auto claim = [&](std::size_t offset, unsigned bit, unsigned width, const std::string& what) {
        for (unsigned b = bit; b < bit + width; ++b) {
            const std::size_t index = offset * 8 + b; // word bit 8+ is the next byte's bit 0+
            ASSERT_LT(index, owner.size()) << what;
            EXPECT_TRUE(owner[index].empty())
                << "bit " << index % 8 << " of byte " << index / 8 << " claimed by " << owner[index]
                << " and " << what;
            owner[index] = what;
        }
    };
    ASSERT_EQ(Fields().size(), 51u);
    for (const FieldSpec& f : Fields()) claim(f.offset, f.bit, f.width, std::string(f.name));

    unsigned carried = 0;
    for (const BitRange& r : NonSettingBits()) {
        claim(r.offset, r.bit, r.width, r.what);
        if (r.what.starts_with("carried")) carried += r.width;
    }
    EXPECT_EQ(carried, 68u);
    for (std::size_t i = 0; i < owner.size(); ++i)
        EXPECT_FALSE(owner[i].empty()) << "bit " << i % 8 << " of byte " << i / 8 << " unclaimed";
}

TEST(FieldTable, EveryControlCarriesExactlyOneFieldAndBothOrdersListThemAll) {
    std::set<std::string> expected;
    for (int i = 2; i <= 26; ++i) expected.insert("Edit" + std::to_string(i));
    for (int i = 1; i <= 12; ++i) expected.insert("ComboBox" + std::to_string(i));
    for (int i = 1; i <= 14; ++i) expected.insert("CheckBox" + std::to_string(i));

    std::multiset<std::string> inTable, names;
    for (const FieldSpec& f : Fields()) {
        inTable.emplace(f.control);
        names.emplace(f.name);
        EXPECT_EQ(FieldByControl(f.control), &f);
        EXPECT_EQ(FieldByName(f.name), &f);
        const std::string prefix = f.kind == ControlKind::Edit       ? "Edit"
                                   : f.kind == ControlKind::ComboBox ? "ComboBox"
                                                                     : "CheckBox";
        EXPECT_TRUE(f.control.starts_with(prefix)) << f.control;
    }
    EXPECT_EQ(std::set<std::string>(inTable.begin(), inTable.end()), expected);
    EXPECT_EQ(inTable.size(), expected.size());
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    EXPECT_EQ(FieldByControl("Edit1"), nullptr);
    EXPECT_EQ(FieldByName("HeaderTag"), nullptr);

    for (auto order : {EncodingOrder(), DecodingOrder()}) {
        std::multiset<std::string> listed(order.begin(), order.end());
        EXPECT_EQ(listed, inTable);
    }
}

TEST(FieldTable, SignednessOnlyForTheTemperatures) {
    for (const FieldSpec& f : Fields())
        EXPECT_EQ(f.isSigned, f.name == "TempHighLevel" || f.name == "TempLowLevel") << f.name;
}

// Writing a field changes exactly its bits, whatever surrounds it, and reads back.
TEST(FieldTable, WriteChangesOnlyTheFieldsBitsAndReadsBack) {
    std::mt19937 random(12345);
    for (const FieldSpec& f : Fields()) {
        for (int round = 0; round < 8; ++round) {
            TConfigRecord record;
            for (auto& b : record) b = static_cast<std::uint8_t>(random());
            const TConfigRecord before = record;
            const std::int32_t value = static_cast<std::int32_t>(random());
            WriteField(record, f, value);

            const std::uint32_t lowBits = static_cast<std::uint32_t>(value) & ((1u << f.width) - 1u);
            std::int32_t expected = static_cast<std::int32_t>(lowBits);
            if (f.isSigned && (lowBits >> (f.width - 1)) != 0) expected -= 1 << f.width;
            EXPECT_EQ(ReadField(record, f), expected) << f.name;

            // Put the old bits back through the field alone: the record must be as before.
            WriteField(record, f, ReadField(before, f));
            EXPECT_EQ(record, before) << f.name << " touched bits outside itself";
        }
    }
}

TEST(FieldTable, StraddlingAndSignedFieldsUseTheWordAndTwosComplement) {
    TConfigRecord record{};
    WriteField(record, *FieldByName("In1TimesZZ"), 9);
    EXPECT_EQ(record[9], 0x40); // word bit 6
    EXPECT_EQ(record[10], 0x02); // word bit 9

    WriteField(record, *FieldByName("TempHighLevel"), -20);
    EXPECT_EQ(record[23], 0xEC);
    WriteField(record, *FieldByName("TempLowLevel"), 200);
    EXPECT_EQ(record[24], 0xC8);
    EXPECT_EQ(ReadField(record, *FieldByName("TempLowLevel")), -56);

    WriteField(record, *FieldByName("SendInterval"), 70000);
    EXPECT_EQ(ReadField(record, *FieldByName("SendInterval")), 4464);
    EXPECT_EQ(record[5], 0x70);
    EXPECT_EQ(record[6], 0x11);
}

TEST(ConfigChecksumTest, SeedsWithAAAndXorsTheFirstCountBytes) {
    const std::uint8_t bytes[] = {0x01, 0x02, 0x04, 0xFF};
    EXPECT_EQ(ConfigChecksum(bytes, 0), 0xAA);
    EXPECT_EQ(ConfigChecksum(bytes, 1), 0xAB);
    EXPECT_EQ(ConfigChecksum(bytes, 3), 0xAA ^ 0x07);
    EXPECT_EQ(ConfigChecksum(bytes, 4), 0xAA ^ 0x07 ^ 0xFF);
    std::array<std::uint8_t, 255> many{};
    many.fill(0x11);
    EXPECT_EQ(ConfigChecksum(many.data(), 255), 0xAA ^ 0x11); // an odd count of equal bytes
}

} // namespace
} // namespace kestravo
