// SPDX-License-Identifier: Apache-2.0
// kestravo-record: builds, reads, compares and sends configuration records (.sbd files) from the
// command line, through the same codec and the same send flow as the window.
#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"
#include "tools/record_tool/usage.h"

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

namespace {

using kestravo::tool::Args;

struct Subcommand {
    std::string_view name;
    int (*run)(Args);
};

// A new subcommand is one function in its own source file and one row here.
constexpr Subcommand kSubcommands[] = {
    {"encode", kestravo::tool::RunEncode},   {"decode", kestravo::tool::RunDecode},
    {"send", kestravo::tool::RunSend},       {"history", kestravo::tool::RunHistory},
    {"diff", kestravo::tool::RunDiff},       {"password", kestravo::tool::RunPassword},
};

int Refuse(const std::string& message) {
    kestravo::tool::PrintDiagnostic(message);
    return kestravo::tool::kExitRefused;
}

} // namespace

int main(int argc, char** argv) {
    // A file-size limit or a reader that goes away makes the write fail with EFBIG or EPIPE, which
    // the tool reports and cleans up after, instead of ending it silently halfway.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty())
        return Refuse("no subcommand given; try \"kestravo-record --help\"");
    if (words[0] == "--help" || words[0] == "-h") {
        std::cout << kestravo::tool::kUsage;
        return kestravo::tool::kExitOk;
    }
    if (words[0] == "--version") {
        std::cout << kestravo::tool::VersionLine() << "\n";
        return kestravo::tool::kExitOk;
    }
    for (const Subcommand& sub : kSubcommands) {
        if (words[0] != sub.name) continue;
        try {
            return sub.run(Args(words).subspan(1));
        } catch (const kestravo::tool::ToolFailure& failure) {
            kestravo::tool::PrintDiagnostic(failure.what());
            return failure.ExitCode();
        } catch (const std::exception& failure) {
            kestravo::tool::PrintDiagnostic(failure.what());
            return kestravo::tool::kExitIoFailure;
        }
    }
    if (words[0].starts_with("-"))
        return Refuse("unknown option \"" + words[0] + "\"; try \"kestravo-record --help\"");
    return Refuse("unknown subcommand \"" + words[0] + "\"; try \"kestravo-record --help\"");
}
