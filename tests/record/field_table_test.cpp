// SPDX-License-Identifier: Apache-2.0
#include "record/codec.h"
#include "record/config_record.h"
#include "record/map_settings_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

// The orders come from the table's ranks; these are the orders the window has always used.
TEST(FieldTable, DerivedOrdersAreTheWindowsOrders) {
    const std::vector<std::string_view> encoding = {
        "Edit2",      "ComboBox1",  "ComboBox2",  "Edit3",      "Edit4",      "Edit5",
        "Edit6",      "ComboBox3",  "ComboBox4",  "ComboBox5",  "Edit7",      "Edit11",
        "Edit8",      "Edit9",      "Edit10",     "Edit12",     "Edit13",     "Edit14",
        "ComboBox6",  "ComboBox7",  "Edit16",     "Edit17",     "ComboBox8",  "ComboBox9",
        "Edit15",     "Edit18",     "Edit19",     "Edit20",     "Edit21",     "ComboBox10",
        "ComboBox11", "CheckBox1",  "CheckBox2",  "CheckBox3",  "CheckBox4",  "CheckBox5",
        "ComboBox12", "CheckBox6",  "CheckBox7",  "CheckBox14", "CheckBox13", "CheckBox12",
        "CheckBox11", "CheckBox10", "CheckBox9",  "CheckBox8",  "Edit22",     "Edit23",
        "Edit24",     "Edit25",     "Edit26"};
    const std::vector<std::string_view> decoding = {
        "Edit2",      "ComboBox1",  "ComboBox2",  "Edit3",      "Edit4",      "Edit5",
        "Edit6",      "ComboBox3",  "ComboBox4",  "ComboBox5",  "Edit7",      "Edit11",
        "Edit8",      "Edit9",      "Edit10",     "Edit12",     "Edit13",     "Edit14",
        "ComboBox6",  "ComboBox7",  "Edit16",     "Edit17",     "ComboBox8",  "ComboBox9",
        "Edit15",     "Edit18",     "Edit19",     "Edit20",     "Edit21",     "ComboBox10",
        "ComboBox11", "CheckBox1",  "CheckBox2",  "CheckBox3",  "CheckBox4",  "CheckBox5",
        "ComboBox12", "CheckBox6",  "CheckBox7",  "CheckBox14", "CheckBox8",  "CheckBox9",
        "CheckBox10", "CheckBox11", "CheckBox12", "CheckBox13", "Edit22",     "Edit23",
        "Edit24",     "Edit25",     "Edit26"};
    EXPECT_EQ(std::vector<std::string_view>(EncodingOrder().begin(), EncodingOrder().end()), encoding);
    EXPECT_EQ(std::vector<std::string_view>(DecodingOrder().begin(), DecodingOrder().end()), decoding);
}

// The window's initial values: every number 0 but StabilityPoints 5, lists at item 0, boxes
// clear; the map store starts from them.
TEST(FieldTable, InitialValuesAreTheWindowsAndFillTheMapStore) {
    MapSettingsStore store;
    for (const FieldSpec& f : Fields()) {
        EXPECT_EQ(f.initial, f.name == "StabilityPoints" ? 5 : 0) << f.name;
        EXPECT_EQ(ReadSetting(store, f), f.initial) << f.name;
        EXPECT_FALSE(CheckFieldValue(f, f.initial)) << f.name;
    }
    EXPECT_EQ(store.Text("Edit26"), "5");
}

TEST(FieldTable, CheckFieldValueKeepsTheWindowsLimitsAndTheFieldsRange) {
    struct Case {
        const char* field;
        std::int32_t value;
        const char* refusal; // nullptr: accepted
    };
    const Case cases[] = {
        {"In1TimeXX", 250, nullptr},
        {"In1TimeXX", 251, "In1TimeXX=251 is outside 0-250"},
        {"In1TimeXX", -7, "In1TimeXX=-7 is outside 0-250"},
        {"In2TimeNN", 61, "In2TimeNN=61 is outside 0-60"},
        {"In3TimesZZ", 16, "In3TimesZZ=16 is outside 0-15"},
        {"In4TrackingStep", 65000, nullptr},
        {"In4TrackingStep", 65001, "In4TrackingStep=65001 is outside 0-65000"},
        {"StabilityPoints", 4, "StabilityPoints=4 is outside 5-250"},
        {"StabilityPoints", 5, nullptr},
        {"Password", 4095, nullptr},
        {"Password", 4096, "Password=4096 is outside 0-4095"},
        {"SendInterval", 65535, nullptr},
        {"TempLowLevel", -128, nullptr},
        {"TempLowLevel", -129, "TempLowLevel=-129 is outside -128-127"},
        {"In4SendRepeats", 4, "In4SendRepeats=4 is outside 0-3"},
        {"TrafficEvent", 3, nullptr}, // its list has four items, though the record keeps one bit
        {"In1ShortEvent", 4, "In1ShortEvent=4 is outside 0-3"},
        {"GeofenceEnabled", 2, "GeofenceEnabled=2 is outside 0-1"},
    };
    for (const Case& c : cases) {
        const auto refusal = CheckFieldValue(*FieldByName(c.field), c.value);
        if (c.refusal == nullptr)
            EXPECT_FALSE(refusal) << c.field << "=" << c.value << ": " << *refusal;
        else
            EXPECT_EQ(refusal.value_or("accepted"), c.refusal);
    }
}

// The pair rules, alone and as a request that names only some fields sees them.
TEST(FieldTable, RecordRulesRefuseWhatTheWindowNeverLeavesOnScreen) {
    struct Case {
        std::vector<std::pair<const char*, std::int32_t>> values;
        std::vector<std::string> named; // empty: every rule is looked at
        std::string refusal;            // empty: accepted
    };
    const std::vector<Case> cases = {
        {{}, {}, ""},
        {{{"SendInterval", 10}, {"CheckoutInterval", 10}}, {}, ""},
        {{{"SendInterval", 10}, {"CheckoutInterval", 20}}, {},
         "CheckoutInterval=20 is greater than SendInterval=10"},
        {{{"SendInterval", 10}, {"CheckoutInterval", 20}}, {"SendInterval"},
         "CheckoutInterval=20 is greater than SendInterval=10"},
        {{{"SendInterval", 10}, {"CheckoutInterval", 20}}, {"Password"}, ""},
        {{{"In5FrequencyType", 1}, {"In5Event", 2}}, {},
         "In5Event=2 cannot go with In5FrequencyType=1 (a frequency input has no events)"},
        {{{"In5FrequencyType", 1}, {"In5Event", 0}}, {}, ""},
        {{{"In5FrequencyType", 0}, {"In5Event", 3}}, {}, ""},
        {{{"GeofenceEnabled", 1}, {"In4TrackingMode", 2}}, {"In4TrackingMode"},
         "GeofenceEnabled=1 cannot go with In4TrackingMode=2 (the dynamic geofence and "
         "auto-tracking exclude each other)"},
    };
    for (const Case& c : cases) {
        MapSettingsStore store;
        for (const auto& [name, value] : c.values) WriteSetting(store, *FieldByName(name), value);
        std::function<bool(std::string_view)> concerns;
        if (!c.named.empty())
            concerns = [&](std::string_view name) {
                return std::find(c.named.begin(), c.named.end(), name) != c.named.end();
            };
        EXPECT_EQ(CheckRecordRules(store, concerns).value_or(""), c.refusal);
    }
}

// A box is checked by the flag 1 only, as the window loads a record; the tool's --raw first
// keeps a value's low bits, so 3 checks a box there.
TEST(FieldTable, WriteSettingChecksABoxForOneOnly) {
    MapSettingsStore store;
    const FieldSpec& box = *FieldByName("GeofenceEvent");
    WriteSetting(store, box, 1);
    EXPECT_TRUE(store.Checked("CheckBox2"));
    WriteSetting(store, box, 3);
    EXPECT_FALSE(store.Checked("CheckBox2"));
    WriteSetting(store, box, FieldBitsOf(box, 3));
    EXPECT_TRUE(store.Checked("CheckBox2"));
    EXPECT_EQ(FieldBitsOf(*FieldByName("TempHighLevel"), 200), -56);
    EXPECT_EQ(FieldBitsOf(*FieldByName("SendInterval"), 70000), 4464);
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
