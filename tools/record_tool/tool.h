#pragma once
// Shared pieces of kestravo-record: the in-memory settings, the failure that ends a subcommand,
// and reading a record file. Each subcommand lives in its own source file and is listed once in
// main.cpp.
#include "record/config_record.h"
#include "record/map_settings_store.h"
#include "record/settings_store.h"

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

// The value of a field as the store holds it (edit text through TextToInt, item index, 0 or 1).
std::int32_t SettingValue(const SettingsStore& store, const FieldSpec& field);

using Args = std::span<const std::string>;

// One function per subcommand; args are the words after the subcommand's name.
int RunEncode(Args args);
int RunDecode(Args args);
int RunSend(Args args);

} // namespace kestravo::tool
