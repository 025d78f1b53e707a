// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared pieces of kestravo-record: the in-memory settings, the failure that ends a subcommand,
// and reading a record file. Each subcommand lives in its own source file and is listed once in
// main.cpp.
#include "record/config_record.h"
#include "record/map_settings_store.h"
#include "record/settings_store.h"

#include <QString>

#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestravo::tool {

using kestravo::MapSettingsStore;

// Exit codes: 0 done, 1 the file system refused a well-formed request, 2 the request or its input
// was refused.
inline constexpr int kExitOk = 0;
inline constexpr int kExitIoFailure = 1;
inline constexpr int kExitRefused = 2;

// Ends the subcommand; main prints "kestravo-record: " and the message on stderr.
class ToolFailure : public std::runtime_error {
public:
    ToolFailure(int exitCode, const std::string& message)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int ExitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// kestravo::ReadRecordFile, with its refusals (a missing, unreadable or short file, a folder, a
// pipe, a socket or a device) as ToolFailure, exit 2.
TConfigRecord ReadRecordFile(const std::string& path);

// Field values requested by field name, each field once.
using FieldValues = std::map<std::string_view, std::int32_t>;

// Adds NAME=VALUE text, VALUE read as the window reads a setting. Refused (ToolFailure, exit 2)
// for an unknown field, a field given twice or a value that is not a number.
void AddFieldValue(FieldValues& values, const std::string& name, const std::string& valueText);

// The settings a record is built from, as "encode" builds it: base's settings (as opening it in
// the window; its uncovered bits pass into the record) or the window's initial values, with the
// values stored. Unless raw, a value outside its accepted range and a forbidden combination are
// refused (ToolFailure, exit 2). EncodeRecord or SaveToFile then make the record.
MapSettingsStore BuildSettings(const std::optional<TConfigRecord>& base, const FieldValues& values, bool raw);

// decode's output for a record: "Field=value" lines and the two checks, or the JSON object.
void PrintRecord(std::ostream& out, const TConfigRecord& record, bool json);

// The record of a send in the send history; refused (exit 2) when there is none or the history
// cannot be read.
TConfigRecord HistoryRecord(qint64 id);
// A history id (a whole number from 1); refused naming what.
qint64 ParseHistoryId(const QString& text, const std::string& what);

using Args = std::span<const std::string>;

// One function per subcommand; args are the words after the subcommand's name.
int RunEncode(Args args);
int RunDecode(Args args);
int RunSend(Args args);
int RunHistory(Args args);
int RunDiff(Args args);
int RunPassword(Args args);

} // namespace kestravo::tool
