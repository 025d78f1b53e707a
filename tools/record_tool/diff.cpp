// SPDX-License-Identifier: Apache-2.0
// kestravo-record diff: the fields in which two records differ, as diff(1) reports files.
#include "record/codec.h"
#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"

#include <algorithm>
#include <iostream>

namespace kestravo::tool {

namespace {

// "@ID" is a send in the history; anything else a record file.
TConfigRecord ReadRecordArgument(const QString& argument) {
    if (argument.startsWith(QLatin1Char('@')))
        return HistoryRecord(ParseHistoryId(argument.mid(1), "diff: \"@ID\""));
    return ReadRecordFile(LocalText(argument));
}

// The copy of the password in the header (bits 0-11 of its first word); the codec writes it from
// the same setting as Password, so it is news only when the two Passwords agree.
constexpr FieldSpec kHeaderPassword{0, 0, 12, false, ControlKind::Edit, "Edit2", "HeaderPassword"};

} // namespace

int RunDiff(Args args) {
    QCommandLineParser parser;
    if (const auto done = ParseSubcommand(parser, "diff", args)) return *done;
    const QStringList names = parser.positionalArguments();
    if (names.size() != 2) throw ToolFailure(kExitRefused, "diff: give two records, A and B");
    const TConfigRecord a = ReadRecordArgument(names[0]);
    const TConfigRecord b = ReadRecordArgument(names[1]);

    bool differ = false;
    // Fields as decode shows them (through the settings, so lists and boxes read as the window's).
    MapSettingsStore storeA, storeB;
    DecodeRecord(storeA, a);
    DecodeRecord(storeB, b);
    for (const FieldSpec& field : Fields()) {
        const std::int32_t before = ReadSetting(storeA, field), after = ReadSetting(storeB, field);
        if (before == after) continue;
        differ = true;
        std::cout << field.name << ": " << before << " -> " << after << "\n";
    }
    const std::int32_t headerA = ReadField(a, kHeaderPassword), headerB = ReadField(b, kHeaderPassword);
    const FieldSpec& password = *FieldByName("Password");
    if (headerA != headerB && ReadField(a, password) == ReadField(b, password)) {
        differ = true;
        std::cout << kHeaderPassword.name << ": " << headerA << " -> " << headerB << "\n";
    }
    // The bits no field covers (the header's tag and flags, carried bits): the fields cleared,
    // what is left.
    TConfigRecord restA = a, restB = b;
    for (const FieldSpec& field : Fields()) {
        WriteField(restA, field, 0);
        WriteField(restB, field, 0);
    }
    WriteField(restA, kHeaderPassword, 0);
    WriteField(restB, kHeaderPassword, 0);
    for (std::size_t i = 0; i < kPayloadCheckOffset; ++i) {
        if (restA[i] == restB[i]) continue;
        differ = true;
        std::cout << "Byte " << i << ": " << HexByte(restA[i]) << " -> " << HexByte(restB[i]) << "\n";
    }
    // A check byte follows from the bytes it covers; it is news only when they are equal.
    const bool payloadSame = std::equal(a.begin() + kHeaderSize, a.begin() + kPayloadCheckOffset, b.begin() + kHeaderSize);
    if (payloadSame && a[kPayloadCheckOffset] != b[kPayloadCheckOffset]) {
        differ = true;
        std::cout << "PayloadCheck: " << HexByte(a[kPayloadCheckOffset]) << " -> " << HexByte(b[kPayloadCheckOffset]) << "\n";
    }
    const bool recordSame = std::equal(a.begin(), a.begin() + kRecordCheckOffset, b.begin());
    if (recordSame && a[kRecordCheckOffset] != b[kRecordCheckOffset]) {
        differ = true;
        std::cout << "RecordCheck: " << HexByte(a[kRecordCheckOffset]) << " -> " << HexByte(b[kRecordCheckOffset]) << "\n";
    }
    std::cout.flush();
    if (!std::cout) throw ToolFailure(kExitRefused, "diff: cannot write the output");
    return differ ? 1 : kExitOk;
}

} // namespace kestravo::tool
