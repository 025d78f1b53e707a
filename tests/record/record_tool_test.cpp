// SPDX-License-Identifier: Apache-2.0
// Runs the built kestravo-record binary and checks what it writes, prints and refuses.
#include "record/codec.h"
#include "tests/record/record_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace kestravo {
namespace {

using test::ReadBytes;
using test::ScratchFolder;
using test::WriteBytes;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class RecordTool : public testing::Test {
protected:
    // The tool never reads the user's settings nor writes the user's send history here.
    RecordTool() {
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    }

    ToolRun Tool(const std::vector<std::string>& args) {
        const char* fromEnv = std::getenv("KESTRAVO_RECORD_TOOL");
        const std::string binary = fromEnv != nullptr ? fromEnv : KESTRAVO_RECORD_TOOL;
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(binary.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);

        const auto outPath = (output / "stdout").string();
        const auto errPath = (output / "stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ToolRun run;
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << binary;
            return run;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = ReadText(outPath);
        run.err = ReadText(errPath);
        return run;
    }

    // decode's "Field=value" lines as a map.
    std::map<std::string, std::string> Decode(const std::filesystem::path& file) {
        const ToolRun run = Tool({"decode", file.string()});
        EXPECT_EQ(run.status, 0) << run.err;
        std::map<std::string, std::string> values;
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);) {
            const auto eq = line.find('=');
            if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return values;
    }

    ScratchFolder folder; // the files the tool reads and writes
    ScratchFolder output; // its captured output
    ScratchFolder home;   // its settings and history folders
};

const std::vector<std::string> kWorkedExampleTwo = {
    "In1ShortEvent=2",   "In1LongEvent=3",     "In2ShortEvent=1",      "In2LongEvent=2",
    "In3ShortEvent=3",   "In3LongEvent=3",     "In4TrackingMode=2",    "In5Event=1",
    "In5Condition=2",    "TempEvent=2",        "TempCondition=1",      "TrafficEvent=1",
    "SendInterval=1440", "In1TimeXX=200",      "In1TimeYY=30",         "In1TimesZZ=9",
    "In2TimeXX=10",      "In2TimeYY=59",       "In2TimesZZ=15",        "In2TimeNN=45",
    "In3TimeXX=20",      "In3TimeYY=1",        "In3TimesZZ=2",         "In3TimeNN=3",
    "In4TrackingStep=65000", "In4SendRepeats=1", "In4TimeNN=33",       "In5HighLevel=120",
    "In5LowLevel=60",    "TempHighLevel=-20",  "TempLowLevel=45",      "GeofenceRadius=500",
    "CheckoutInterval=1440", "TrafficLimit=2048", "StartupDelay=30",   "StabilityPoints=100",
    "GeofenceEvent=1",   "Out1WhileActive=1",  "ConfirmCommands=1",    "ConfigInConfirmation=1",
    "LedIndication=1",   "ExtraSpeedCompass=1", "ExtraTraffic=1",      "ExtraOdometer=1",
    "CheckoutOnStateChange=1", "Password=$123"};

TEST_F(RecordTool, EncodeBuildsTheSecondWorkedExampleAndDecodeReadsItBack) {
    const auto file = folder / "300234010000001.sbd";
    std::vector<std::string> args = {"encode", "-o", file.string()};
    args.insert(args.end(), kWorkedExampleTwo.begin(), kWorkedExampleTwo.end());
    const ToolRun run = Tool(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    const std::vector<std::uint8_t> expected = {
        0x23, 0x31, 0x00, 0x23, 0xE1, 0xA0, 0x05, 0xC8, 0x00, 0x5E, 0xE6, 0x0A, 0x14, 0xFB, 0xB7,
        0x81, 0x0C, 0x5B, 0x98, 0xE8, 0xFD, 0x78, 0x3C, 0xEC, 0x2D, 0xE6, 0x17, 0x15, 0x00, 0xF4,
        0x01, 0xA0, 0x05, 0x00, 0x08, 0x1E, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7, 0x12};
    EXPECT_EQ(ReadBytes(file), expected);

    const auto values = Decode(file);
    EXPECT_EQ(values.size(), 53u);
    for (const std::string& given : kWorkedExampleTwo) {
        const auto eq = given.find('=');
        const std::string name = given.substr(0, eq);
        const std::string value = name == "Password" ? "291" : given.substr(eq + 1);
        EXPECT_EQ(values.at(name), value) << name;
    }
    EXPECT_EQ(values.at("GeofenceEnabled"), "0");
    EXPECT_EQ(values.at("PayloadCheck"), "ok");
    EXPECT_EQ(values.at("RecordCheck"), "ok");
}

TEST_F(RecordTool, DecodePrintsFieldsInRecordOrderAndReportsBadChecks) {
    const auto file = folder / "a.sbd";
    ASSERT_EQ(Tool({"encode", "-o", file.string(), "TempHighLevel=-20"}).status, 0);
    auto bytes = ReadBytes(file);
    bytes[42] = 0x12;
    bytes.insert(bytes.end(), {0xDE, 0xAD}); // bytes after the record are ignored
    WriteBytes(file, bytes);

    const ToolRun run = Tool({"decode", file.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string expected;
    for (const FieldSpec& f : Fields())
        expected += std::string(f.name) + "=" +
                    (f.name == "TempHighLevel" ? "-20" : f.name == "StabilityPoints" ? "5" : "0") + "\n";
    const std::uint8_t payload = ConfigChecksum(bytes.data() + 3, 39);
    const std::uint8_t record = ConfigChecksum(bytes.data(), 43);
    char checks[160];
    std::snprintf(checks, sizeof checks,
                  "PayloadCheck=bad (stored 0x12, computed 0x%02X)\n"
                  "RecordCheck=bad (stored 0x%02X, computed 0x%02X)\n",
                  payload, bytes[43], record);
    EXPECT_EQ(run.out, expected + checks);

    const ToolRun json = Tool({"decode", "--json", file.string()});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.front(), '{');
    EXPECT_NE(json.out.find("\"TempHighLevel\": -20,"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"StabilityPoints\": 5,"), std::string::npos) << json.out;
    const auto payloadCheck = json.out.find("\"PayloadCheck\": {");
    ASSERT_NE(payloadCheck, std::string::npos) << json.out;
    const std::string check = json.out.substr(payloadCheck, json.out.find('}', payloadCheck) - payloadCheck);
    for (const std::string& member :
         {std::string("\"ok\": false"), std::string("\"stored\": 18"), "\"computed\": " + std::to_string(payload)})
        EXPECT_NE(check.find(member), std::string::npos) << check;
    EXPECT_EQ(json.out.substr(json.out.size() - 2), "}\n");
}

TEST_F(RecordTool, EncodeWithBaseCarriesItsBitsAndKeepsItsFields) {
    const auto base = folder / "base.sbd";
    std::vector<std::string> args = {"encode", "-o", base.string()};
    args.insert(args.end(), kWorkedExampleTwo.begin(), kWorkedExampleTwo.end());
    ASSERT_EQ(Tool(args).status, 0);
    auto bytes = ReadBytes(base);
    bytes[1] = 0x91; // wrong header tag
    bytes[2] = 0xFF;
    bytes[8] = 0x81;
    bytes[28] = 0x42;
    for (std::size_t i = 37; i <= 41; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    WriteBytes(base, bytes);

    const auto out = folder / "out.sbd";
    const ToolRun run = Tool({"encode", "--base", base.string(), "-o", out.string(), "Password=7",
                          "In1TimeXX=250"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto saved = ReadBytes(out);
    ASSERT_EQ(saved.size(), kRecordSize);
    EXPECT_EQ(saved[0], 0x07);
    EXPECT_EQ(saved[1], 0x30);
    EXPECT_EQ(saved[2], 0xFE);
    EXPECT_EQ(saved[8], 0x81);
    EXPECT_EQ(saved[28], 0x42);
    for (std::size_t i = 37; i <= 41; ++i) EXPECT_EQ(saved[i], i);
    for (const FieldSpec& f : Fields()) {
        if (f.name == "Password" || f.name == "In1TimeXX") continue;
        EXPECT_EQ(ReadField(saved, f), ReadField(bytes, f)) << f.name;
    }
    EXPECT_EQ(ReadField(saved, *FieldByName("In1TimeXX")), 250);
    EXPECT_EQ(saved[43], saved[0] ^ saved[1] ^ saved[2]);
}

TEST_F(RecordTool, RawStoresTheLowBitsWithoutChecks) {
    const auto file = folder / "raw.sbd";
    const ToolRun run = Tool({"encode", "--raw", "-o", file.string(), "In1TimeXX=300",
                          "TempHighLevel=200", "Password=-1", "TrafficEvent=2", "In4SendRepeats=5",
                          "GeofenceEnabled=1", "In4TrackingMode=1", "StabilityPoints=0",
                          "In1ShortEvent=-1", "GeofenceEvent=3", "LedIndication=2"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto values = Decode(file);
    const std::map<std::string, std::string> expected = {
        {"In1TimeXX", "44"},    {"TempHighLevel", "-56"},  {"Password", "4095"},
        {"TrafficEvent", "0"},  {"In4SendRepeats", "1"},   {"GeofenceEnabled", "1"},
        {"In4TrackingMode", "1"}, {"StabilityPoints", "0"}, {"In1ShortEvent", "3"},
        {"GeofenceEvent", "1"}, {"LedIndication", "0"}};
    for (const auto& [name, value] : expected) EXPECT_EQ(values.at(name), value) << name;
}

TEST_F(RecordTool, ValuesAtTheWindowsLimitsAreAccepted) {
    const auto file = folder / "edge.sbd";
    const ToolRun run = Tool({"encode", "-o", file.string(), "StabilityPoints=250", "In1TimeXX=250",
                          "In4TrackingStep=65000", "TempLowLevel=-128", "TempHighLevel=127",
                          "TrafficEvent=3", "Password=0xFFF", "In2TimeNN=60", "In3TimesZZ=15",
                          "SendInterval=65535", "CheckoutInterval=65535", "In5FrequencyType=1",
                          "GeofenceEnabled=1"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto values = Decode(file);
    EXPECT_EQ(values.at("TrafficEvent"), "1");
    EXPECT_EQ(values.at("TempLowLevel"), "-128");
    EXPECT_EQ(values.at("In4TrackingStep"), "65000");
}

// Every refusal exits 2, says why on stderr and leaves the output as it was.
TEST_F(RecordTool, RefusedRequestsWriteNothing) {
    const auto base = folder / "short.sbd";
    WriteBytes(base, std::vector<std::uint8_t>(43, 0));
    const auto kept = folder / "kept.sbd";
    WriteBytes(kept, {'o', 'l', 'd'});

    struct Case {
        std::vector<std::string> words;
        std::string mentions;
    };
    const std::vector<Case> cases = {
        {{"In1TimeXX=251"}, "In1TimeXX"},
        {{"StartupDelay=255"}, "StartupDelay"},
        {{"In1TimeYY=61"}, "In1TimeYY"},
        {{"In4TimeNN=63"}, "In4TimeNN"},
        {{"In2TimesZZ=16"}, "In2TimesZZ"},
        {{"In4TrackingStep=65001"}, "In4TrackingStep"},
        {{"StabilityPoints=4"}, "StabilityPoints"},
        {{"StabilityPoints=251"}, "StabilityPoints"},
        {{"Password=4096"}, "Password"},
        {{"Password=-1"}, "Password"},
        {{"In1TimeXX=-7"}, "In1TimeXX"},
        {{"SendInterval=65536"}, "SendInterval"},
        {{"In4SendRepeats=4"}, "In4SendRepeats"},
        {{"TempHighLevel=128"}, "TempHighLevel"},
        {{"TempLowLevel=-129"}, "TempLowLevel"},
        {{"In1ShortEvent=4"}, "In1ShortEvent"},
        {{"TrafficEvent=4"}, "TrafficEvent"},
        {{"GeofenceEnabled=2"}, "GeofenceEnabled"},
        {{"GeofenceEnabled=1", "In4TrackingMode=1"}, "In4TrackingMode"},
        {{"In4TrackingMode=3", "GeofenceEnabled=1"}, "GeofenceEnabled"},
        {{"SendInterval=10", "CheckoutInterval=20"}, "CheckoutInterval"},
        {{"In5FrequencyType=1", "In5Event=2"}, "In5Event"},
        {{"Bogus=1"}, "Bogus"},
        {{"Password"}, "Password"},
        {{"=5"}, "=5"},
        {{"Password=1", "Password=2"}, "Password"},
        {{"Password=abc"}, "''abc'' is not a valid integer value"},
        // Control characters in a value are shown escaped: the message stays one line.
        {{"Password=1\r\n\x1b[2J"}, "''1\\r\\n\\x1B[2J'' is not a valid integer value"},
        {{"SendInterval=12 "}, "SendInterval"},
        {{"--base", base.string()}, "43 bytes"},
        {{"--base", (folder / "missing.sbd").string()}, "missing.sbd"},
        {{"--frobnicate"}, "--frobnicate"},
    };
    for (const Case& c : cases) {
        for (const auto& target : {kept, folder / "new.sbd"}) {
            std::vector<std::string> args = {"encode", "-o", target.string()};
            args.insert(args.end(), c.words.begin(), c.words.end());
            const ToolRun run = Tool(args);
            SCOPED_TRACE(c.words.front());
            EXPECT_EQ(run.status, 2);
            EXPECT_TRUE(run.err.starts_with("kestravo-record: ")) << run.err;
            EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
            EXPECT_EQ(run.out, "");
        }
        EXPECT_EQ(ReadBytes(kept), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
        EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"kept.sbd", "short.sbd"}));
    }
}

// Under a file-size limit (one that binds root too) the tool is not killed by SIGXFSZ: it says
// the file is too large, exits 1 and leaves neither a temporary file nor a changed record. The
// child starts with SIGXFSZ at its default, so it is the tool itself that holds the signal off.
TEST_F(RecordTool, AFileSizeLimitGivesAClearErrorAndLeavesNothingBehind) {
    const auto kept = folder / "kept.sbd";
    WriteBytes(kept, {'o', 'l', 'd'});
    const std::string binary = std::getenv("KESTRAVO_RECORD_TOOL") != nullptr ? std::getenv("KESTRAVO_RECORD_TOOL")
                                                                               : KESTRAVO_RECORD_TOOL;
    struct Case {
        rlim_t limit;
        std::filesystem::path target;
    };
    for (const Case& c : {Case{0, folder / "new.sbd"}, Case{8, folder / "new.sbd"}, Case{8, kept}}) {
        SCOPED_TRACE(c.target.filename().string() + " under a limit of " + std::to_string(c.limit) + " bytes");
        int errPipe[2];
        ASSERT_EQ(::pipe(errPipe), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(errPipe[1], 2);
            ::close(errPipe[0]);
            ::close(errPipe[1]);
            std::signal(SIGXFSZ, SIG_DFL);
            const rlimit limit{c.limit, c.limit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::execl(binary.c_str(), binary.c_str(), "encode", "-o", c.target.c_str(), "SendInterval=1440",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(errPipe[1]);
        std::string err;
        char buffer[512];
        for (ssize_t n; (n = ::read(errPipe[0], buffer, sizeof buffer)) > 0;) err.append(buffer, std::size_t(n));
        ::close(errPipe[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WEXITSTATUS(status), 1) << err;
        EXPECT_NE(err.find("\"" + c.target.string() + "\": " + std::strerror(EFBIG)), std::string::npos) << err;
        EXPECT_EQ(folder.Entries(), std::vector<std::string>{"kept.sbd"});
        EXPECT_EQ(ReadBytes(kept), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    }
}

// A device is written like a stream: "-o /dev/stdout" prints the record.
TEST_F(RecordTool, EncodeToStandardOutputPrintsTheRecord) {
    const ToolRun run = Tool({"encode", "-o", "/dev/stdout", "Password=7"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.out.size(), kRecordSize);
    EXPECT_EQ(static_cast<std::uint8_t>(run.out[0]), 0x07);
    EXPECT_EQ(run.err, "");
}

TEST_F(RecordTool, UsageErrorsAndUnreadableInputs) {
    WriteBytes(folder / "short.sbd", std::vector<std::uint8_t>(10, 0));
    ASSERT_EQ(::mkfifo((folder / "pipe.sbd").c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string mentions;
    };
    const std::vector<Case> cases = {
        {{}, 2, "subcommand"},
        {{"frobnicate"}, 2, "frobnicate"},
        {{"encode", "Password=1"}, 2, "-o"},
        {{"encode", "-o"}, 2, "-o"},
        {{"decode"}, 2, "file"},
        {{"decode", (folder / "short.sbd").string()}, 2, "short.sbd\" holds 10 bytes"},
        {{"decode", (folder / "missing.sbd").string()}, 2, "missing.sbd"},
        {{"decode", folder.Path().string()}, 2, "Is a directory"},
        {{"decode", (folder / "pipe.sbd").string()}, 2, "pipe.sbd\": it is a pipe"},
        {{"encode", "--base", (folder / "pipe.sbd").string(), "-o", (folder / "x.sbd").string()},
         2, "pipe.sbd\": it is a pipe"},
        {{"decode", "a.sbd", "b.sbd"}, 2, "one file"},
        {{"encode", "-o", folder.Path().string()}, 1, "Is a directory"},
        {{"encode", "-o", (folder / "nowhere" / "x.sbd").string()}, 1, "No such file"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(run.err.starts_with("kestravo-record: ")) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
    }
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"pipe.sbd", "short.sbd"}));
}

// The whole help, or a subcommand's own part of it, on stdout.
TEST_F(RecordTool, HelpGoesToStdout) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        // (arguments, texts the help holds)
        {{"--help"}, {"encode -o", "decode FILE.sbd", "--manifest", "history --show", "diff A B", "--base"}},
        {{"-h"}, {"encode -o", "--imei-file"}},
        {{"encode", "--help"}, {"kestravo-record encode", "--base", "--raw", "Exit status"}},
        {{"decode", "-h"}, {"kestravo-record decode", "--json"}},
        {{"send", "--imei=1", "--help"}, {"kestravo-record send", "--skip-bad-rows", "--dry-run", "KESTRAVO_RELAY"}},
        {{"history", "--help"}, {"kestravo-record history", "--since", "--export", "unfinished"}},
        {{"diff", "--help"}, {"kestravo-record diff", "@ID"}},
    };
    for (const auto& [args, texts] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.out.starts_with("Usage:\n")) << run.out;
        for (const std::string& text : texts) EXPECT_NE(run.out.find(text), std::string::npos) << text;
        EXPECT_EQ(run.err, "");
    }
    // A subcommand's help leaves out the others.
    const ToolRun decode = Tool({"decode", "--help"});
    EXPECT_EQ(decode.out.find("--base"), std::string::npos) << decode.out;
    EXPECT_EQ(decode.out.find("kestravo-record send"), std::string::npos) << decode.out;
}

// Options in either spelling, "--" before a name that starts with "-", the version, and numbers
// read as whole strings only.
TEST_F(RecordTool, CommandLineParsing) {
    const auto dashed = folder / "-dashed.sbd";
    ASSERT_EQ(Tool({"encode", "--output=" + dashed.string(), "--", "SendInterval=60"}).status, 0);
    ASSERT_EQ(Tool({"encode", "--base=" + dashed.string(), "--output", (folder / "b.sbd").string(),
                    "Password=7"}).status, 0);
    EXPECT_EQ(Decode(folder / "b.sbd").at("SendInterval"), "60");
    // After "--" a word that starts with "-" is a file name.
    const ToolRun afterDashes = Tool({"decode", "--", "-x"});
    EXPECT_EQ(afterDashes.status, 2);
    EXPECT_NE(afterDashes.err.find("cannot read \"-x\""), std::string::npos) << afterDashes.err;

    for (const std::vector<std::string>& args : {std::vector<std::string>{"--version"}, {"encode", "--version"},
                                                  {"history", "--version"}}) {
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "kestravo-record 2.2\n");
    }

    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    };
    const std::string file = dashed.string();
    const std::vector<Case> refused = {
        {{"--frobnicate"}, "--frobnicate"},
        {{"decode", "-x", file}, "\"-x\""},
        {{"encode", "-o", (folder / "c.sbd").string(), "-o", (folder / "d.sbd").string()}, "given twice"},
        {{"encode", "--output="}, "-o"},
        {{"send", "--imei", "300234010123450", "--timeout", "12s", file}, "--timeout"},
        {{"send", "--imei", "300234010123450", "--timeout= 12", file}, "--timeout"},
        {{"send", "--imei", "300234010123450", "--timeout=0x10", file}, "--timeout"},
        {{"send", "--imei", "300234010123450", "--timeout=0", file}, "--timeout"},
        {{"send", "--imei", "300234010123450", "--timeout=86401", file}, "--timeout"},
        {{"history", "--limit=ten"}, "--limit"},
        {{"history", "--limit", "-1"}, "--limit"},
        {{"history", "--show", "1x"}, "--show"},
        {{"history", "--since", "yesterday"}, "--since"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.err.starts_with("kestravo-record: ")) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "c.sbd"));
}

} // namespace
} // namespace kestravo
