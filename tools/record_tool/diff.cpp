// SPDX-License-Identifier: Apache-2.0
// kestravo-record diff: the fields in which two records differ, as diff(1) reports files.
#include "record/codec.h"
#include "record/record_text.h"
#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"

#include <iostream>

namespace kestravo::tool {

namespace {

// "@ID" is a send in the history; anything else a record file.
TConfigRecord ReadRecordArgument(const QString& argument) {
    if (argument.startsWith(QLatin1Char('@')))
        return HistoryRecord(ParseHistoryId(argument.mid(1), "diff: \"@ID\""));
    return ReadRecordFile(LocalText(argument));
}

} // namespace

int RunDiff(Args args) {
    QCommandLineParser parser;
    if (const auto done = ParseSubcommand(parser, "diff", args)) return *done;
    const QStringList names = parser.positionalArguments();
    if (names.size() != 2) throw ToolFailure(kExitRefused, "diff: give two records, A and B");
    const TConfigRecord a = ReadRecordArgument(names[0]);
    const TConfigRecord b = ReadRecordArgument(names[1]);

    const std::vector<std::string> differences = RecordDifferences(a, b);
    for (const std::string& line : differences) std::cout << line << "\n";
    const bool differ = !differences.empty();
    std::cout.flush();
    if (!std::cout) throw ToolFailure(kExitRefused, "diff: cannot write the output");
    return differ ? 1 : kExitOk;
}

} // namespace kestravo::tool
