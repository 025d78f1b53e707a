// SPDX-License-Identifier: Apache-2.0
#include "record/codec.h"
#include "tests/record/record_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kestravo {
namespace {

using test::RecordingStore;

class Codec : public testing::Test {
protected:
    // The buffer lives for the whole process; every test starts as the program does.
    void SetUp() override { RetainedRecord().fill(0); }
    void TearDown() override { RetainedRecord().fill(0); }
};

struct PasswordCase {
    std::string text;
    std::uint8_t low;  // L: bits 0-7
    std::uint8_t high; // H: bits 8-11
};

const PasswordCase kPasswords[] = {
    {"0", 0x00, 0x0}, {"$123", 0x23, 0x1}, {"4095", 0xFF, 0xF}, {"0x1234", 0x34, 0x2},
    {"-1", 0xFF, 0xF},
};

TEST_F(Codec, WindowDefaultsGiveTheFirstWorkedExample) {
    for (const PasswordCase& p : kPasswords) {
        SCOPED_TRACE("password " + p.text);
        RetainedRecord().fill(0);
        RecordingStore store;
        store.SetText("Edit2", p.text);
        TConfigRecord expected{};
        expected[0] = p.low;
        expected[1] = static_cast<std::uint8_t>(0x30 + p.high);
        expected[3] = p.low;
        expected[4] = p.high;
        expected[36] = 0x05;
        expected[42] = static_cast<std::uint8_t>(0xAF ^ p.low ^ p.high);
        expected[43] = static_cast<std::uint8_t>(0x30 ^ p.low ^ p.high);
        EXPECT_EQ(EncodeRecord(store), expected);
    }
}

TEST_F(Codec, EverySettingSetGivesTheSecondWorkedExample) {
    const std::uint8_t middle[] = {0xA0, 0x05, 0xC8, 0x00, 0x5E, 0xE6, 0x0A, 0x14, 0xFB, 0xB7,
                                   0x81, 0x0C, 0x5B, 0x98, 0xE8, 0xFD, 0x78, 0x3C, 0xEC, 0x2D,
                                   0xE6, 0x17, 0x15, 0x00, 0xF4, 0x01, 0xA0, 0x05, 0x00, 0x08,
                                   0x1E, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00};
    static_assert(sizeof middle == 37);
    for (const PasswordCase& p : kPasswords) {
        SCOPED_TRACE("password " + p.text);
        RetainedRecord().fill(0);
        RecordingStore store;
        test::SetWorkedExampleTwo(store);
        store.SetText("Edit2", p.text);
        TConfigRecord expected{};
        expected[0] = p.low;
        expected[1] = static_cast<std::uint8_t>(0x30 + p.high);
        expected[3] = p.low;
        expected[4] = static_cast<std::uint8_t>(0xE0 + p.high);
        std::copy(std::begin(middle), std::end(middle), expected.begin() + 5);
        expected[42] = static_cast<std::uint8_t>(0xD5 ^ p.low ^ p.high);
        expected[43] = static_cast<std::uint8_t>(0x30 ^ p.low ^ p.high);
        const TConfigRecord record = EncodeRecord(store);
        EXPECT_EQ(record, expected);
        EXPECT_TRUE(std::equal(record.begin(), record.begin() + 43, RetainedRecord().begin()));
    }
}

// Each setting keeps only its field's low bits; decoding gives back what the record holds.
TEST_F(Codec, SettingsKeepTheirLowBitsAndReadBackAsStored) {
    struct Case {
        const char* control;
        std::string text; // for lists and boxes: the index or 0/1
        const char* field;
        std::int32_t stored;
        std::string readBack;
    };
    const Case cases[] = {
        {"Edit3", "70000", "SendInterval", 4464, "4464"},
        {"Edit18", "300", "In5HighLevel", 44, "44"},
        {"Edit18", "$1F", "In5HighLevel", 31, "31"},
        {"Edit18", "0x1f", "In5HighLevel", 31, "31"},
        {"Edit18", " 12", "In5HighLevel", 12, "12"},
        {"Edit16", "5", "In4SendRepeats", 1, "1"},
        {"Edit20", "-20", "TempHighLevel", -20, "-20"},
        {"Edit21", "200", "TempLowLevel", -56, "-56"},
        {"Edit4", "-7", "In1TimeXX", 249, "249"},
        {"Edit26", "0", "StabilityPoints", 0, "0"},
        {"Edit15", "65535", "In4TrackingStep", 65535, "65535"},
        {"ComboBox12", "2", "TrafficEvent", 0, "0"},
        {"ComboBox12", "3", "TrafficEvent", 1, "1"},
        {"ComboBox7", "3", "In4TrackingMode", 3, "3"},
        {"CheckBox13", "1", "ExtraReserved", 1, "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.control) + " = " + c.text);
        RecordingStore store;
        const FieldSpec& field = *FieldByControl(c.control);
        if (field.kind == ControlKind::Edit) store.SetText(c.control, c.text);
        if (field.kind == ControlKind::ComboBox) store.SetItemIndex(c.control, std::stoi(c.text));
        if (field.kind == ControlKind::CheckBox) store.SetChecked(c.control, c.text == "1");

        const TConfigRecord record = EncodeRecord(store);
        EXPECT_EQ(ReadField(record, *FieldByName(c.field)), c.stored);

        RecordingStore loaded;
        DecodeRecord(loaded, record);
        const std::string written = std::string(c.control) + "=" + c.readBack;
        EXPECT_NE(std::find(loaded.writes.begin(), loaded.writes.end(), written), loaded.writes.end())
            << "expected the write " << written;
    }
}

TEST_F(Codec, PasswordWiderThanTwelveBitsKeepsItsLowBitsInHeaderAndPayload) {
    RecordingStore store;
    store.SetText("Edit2", "$7ABC");
    const TConfigRecord record = EncodeRecord(store);
    EXPECT_EQ(record[0], 0xBC);
    EXPECT_EQ(record[1], 0x3A);
    EXPECT_EQ(ReadField(record, *FieldByName("Password")), 0xABC);
}

TEST_F(Codec, RecordCheckIsTheXorOfTheThreeHeaderBytes) {
    RecordingStore store;
    test::SetWorkedExampleTwo(store);
    for (const char* password : {"0", "1", "$FFF", "2730"}) {
        store.SetText("Edit2", password);
        const TConfigRecord record = EncodeRecord(store);
        EXPECT_EQ(record[43], record[0] ^ record[1] ^ record[2]) << password;
        EXPECT_EQ(record[42], ConfigChecksum(record.data() + 3, 39)) << password;
    }
}

// The bits no setting covers pass from the last record read into the next one built.
TEST_F(Codec, CarriedBitsSurviveADecodeAndAnEncode) {
    TConfigRecord file{};
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(0x5A + 7 * i);
    file[1] = 0xF9; // a header tag other than 3
    file[2] = 0xFF;
    file[8] = 0x81;
    file[26] = 0xE0 | (file[26] & 0x1F);
    file[27] = 0xC0 | (file[27] & 0x3F);
    file[28] = 0x42;
    for (std::size_t i = 37; i <= 41; ++i) file[i] = static_cast<std::uint8_t>(0x10 + i);

    RecordingStore store;
    DecodeRecord(store, file);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 43, RetainedRecord().begin()));

    // Change some settings as the operator might, then save.
    store.SetText("Edit2", "$321");
    store.SetText("Edit3", "60");
    store.SetChecked("CheckBox1", true);
    store.SetItemIndex("ComboBox12", 0);
    const TConfigRecord saved = EncodeRecord(store);

    EXPECT_EQ(saved[2], 0xFE);
    EXPECT_EQ(saved[1] >> 4, 3);
    EXPECT_EQ(saved[8], 0x81);
    EXPECT_EQ(saved[26] & 0xE0, 0xE0);
    EXPECT_EQ(saved[27] & 0xC0, 0xC0);
    EXPECT_EQ(saved[28], 0x42);
    for (std::size_t i = 37; i <= 41; ++i) EXPECT_EQ(saved[i], 0x10 + i) << "offset " << i;
    EXPECT_EQ(ReadField(saved, *FieldByName("SendInterval")), 60);
    EXPECT_EQ(ReadField(saved, *FieldByName("Password")), 0x321);

    // Unchanged settings come back as the file held them.
    for (const FieldSpec& f : Fields()) {
        if (f.name == "SendInterval" || f.name == "Password" || f.name == "GeofenceEnabled" ||
            f.name == "TrafficEvent")
            continue;
        EXPECT_EQ(ReadField(saved, f), ReadField(file, f)) << f.name;
    }

    // A later save without another open still carries them.
    store.SetText("Edit26", "100");
    const TConfigRecord again = EncodeRecord(store);
    EXPECT_EQ(again[8], 0x81);
    EXPECT_EQ(again[41], 0x10 + 41);
}

TEST_F(Codec, AnInvalidTextNamesTheFirstOneReadAndStopsThere) {
    RecordingStore store;
    store.SetText("Edit3", "100");
    store.SetText("Edit4", "7");
    store.SetText("Edit5", "x");
    store.SetText("Edit22", "oops");
    store.SetText("Edit2", "$155");
    try {
        EncodeRecord(store);
        FAIL() << "accepted";
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "''x'' is not a valid integer value");
    }
    // The buffer holds what was read before the failing edit, and nothing after it.
    const auto& buffer = RetainedRecord();
    EXPECT_EQ(ReadField(buffer, *FieldByName("Password")), 0x155);
    EXPECT_EQ(buffer[0], 0x55);
    EXPECT_EQ(buffer[1], 0x31);
    EXPECT_EQ(ReadField(buffer, *FieldByName("SendInterval")), 100);
    EXPECT_EQ(ReadField(buffer, *FieldByName("In1TimeXX")), 7);
    EXPECT_EQ(ReadField(buffer, *FieldByName("StabilityPoints")), 0);
    EXPECT_EQ(buffer[42], 0);
    // Edit5 was the last control read.
    ASSERT_FALSE(store.reads.empty());
    EXPECT_EQ(store.reads.back(), "Edit5");

    store.SetText("Edit5", "1");
    try {
        EncodeRecord(store);
        FAIL() << "accepted";
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "''oops'' is not a valid integer value");
    }
}

TEST_F(Codec, AnInvalidPasswordLeavesTheBufferUntouched) {
    RetainedRecord().fill(0x77);
    RecordingStore store;
    store.SetText("Edit2", "");
    try {
        EncodeRecord(store);
        FAIL() << "accepted";
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "'''' is not a valid integer value");
    }
    for (std::uint8_t b : RetainedRecord()) EXPECT_EQ(b, 0x77);
}

TEST_F(Codec, SettingsAreReadInTheEncodingOrder) {
    RecordingStore store;
    EncodeRecord(store);
    const std::vector<std::string> expected = {
        "Edit2",      "Edit2",      "ComboBox1",  "ComboBox2",  "Edit3",      "Edit4",
        "Edit5",      "Edit6",      "ComboBox3",  "ComboBox4",  "ComboBox5",  "Edit7",
        "Edit11",     "Edit8",      "Edit9",      "Edit10",     "Edit12",     "Edit13",
        "Edit14",     "ComboBox6",  "ComboBox7",  "Edit16",     "Edit17",     "ComboBox8",
        "ComboBox9",  "Edit15",     "Edit18",     "Edit19",     "Edit20",     "Edit21",
        "ComboBox10", "ComboBox11", "CheckBox1",  "CheckBox2",  "CheckBox3",  "CheckBox4",
        "CheckBox5",  "ComboBox12", "CheckBox6",  "CheckBox7",  "CheckBox14", "CheckBox13",
        "CheckBox12", "CheckBox11", "CheckBox10", "CheckBox9",  "CheckBox8",  "Edit22",
        "Edit23",     "Edit24",     "Edit25",     "Edit26"};
    EXPECT_EQ(store.reads, expected);
}

// Decoding writes every control in its own order, with the record's values; the store (not the
// codec) decides whether an equal value is a change.
TEST_F(Codec, DecodeWritesEverySettingInTheDecodingOrder) {
    RecordingStore source;
    test::SetWorkedExampleTwo(source);
    source.SetText("Edit2", "$ABC");
    TConfigRecord record = EncodeRecord(source);
    record[42] ^= 0xFF; // wrong check bytes do not matter
    record[43] ^= 0x0F;
    record[1] = 0x0A; // nor does the header
    RetainedRecord().fill(0);

    RecordingStore loaded;
    DecodeRecord(loaded, record);
    const std::vector<std::string> expected = {
        "Edit2=2748",      "ComboBox1=2",    "ComboBox2=3",     "Edit3=1440",     "Edit4=200",
        "Edit5=30",        "Edit6=9",        "ComboBox3=1",     "ComboBox4=2",    "ComboBox5=3",
        "Edit7=10",        "Edit11=20",      "Edit8=59",        "Edit9=15",       "Edit10=45",
        "Edit12=1",        "Edit13=2",       "Edit14=3",        "ComboBox6=3",    "ComboBox7=2",
        "Edit16=1",        "Edit17=33",      "ComboBox8=1",     "ComboBox9=2",    "Edit15=65000",
        "Edit18=120",      "Edit19=60",      "Edit20=-20",      "Edit21=45",      "ComboBox10=2",
        "ComboBox11=1",    "CheckBox1=0",    "CheckBox2=1",     "CheckBox3=1",    "CheckBox4=1",
        "CheckBox5=1",     "ComboBox12=1",   "CheckBox6=1",     "CheckBox7=0",    "CheckBox14=1",
        "CheckBox8=1",     "CheckBox9=0",    "CheckBox10=1",    "CheckBox11=0",   "CheckBox12=1",
        "CheckBox13=0",    "Edit22=500",     "Edit23=1440",     "Edit24=2048",    "Edit25=30",
        "Edit26=100"};
    EXPECT_EQ(loaded.writes, expected);
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 43, RetainedRecord().begin()));
}

// A store whose rule corrects a value while the record loads: the codec goes on from the record,
// and the buffer keeps the file's bytes until the next save reads the corrected control.
class ClampingStore : public RecordingStore {
public:
    void SetText(std::string_view control, const std::string& text) override {
        RecordingStore::SetText(control, text);
        if (control == "Edit4" && std::stoi(text) > 250) RecordingStore::SetText(control, "250");
    }
};

TEST_F(Codec, ARuleCorrectingALoadedValueChangesTheControlNotTheBuffer) {
    TConfigRecord file{};
    WriteField(file, *FieldByName("In1TimeXX"), 255);
    ClampingStore store;
    DecodeRecord(store, file);
    EXPECT_EQ(ReadField(RetainedRecord(), *FieldByName("In1TimeXX")), 255);
    EXPECT_EQ(store.Text("Edit4"), "250");
    EXPECT_EQ(ReadField(EncodeRecord(store), *FieldByName("In1TimeXX")), 250);
}

} // namespace
} // namespace kestravo
