// SPDX-License-Identifier: Apache-2.0
#pragma once
// The help text. The fields' limits and initial values in it are written from the field table,
// the settings' options, variables and keys from the table of settings keys.
// "SUBCOMMAND --help" prints the synopsis and the paragraph of that subcommand (see UsageFor).
#include "endpoints/settings_keys.h"
#include "record/config_record.h"

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestravo::tool {

namespace usage {

// Words joined into lines of at most 88 columns, each starting with indent.
inline std::string Wrap(const std::vector<std::string>& words, const std::string& indent) {
    std::string text;
    std::string line = indent;
    for (const std::string& word : words) {
        if (line.size() > indent.size() && line.size() + 1 + word.size() > 88) {
            text += line + "\n";
            line = indent;
        }
        if (line.size() > indent.size()) line += ' ';
        line += word;
    }
    return text + line + "\n";
}

inline std::string Range(const FieldSpec& f) {
    return std::to_string(f.min) + "-" + std::to_string(f.max);
}

// "A, B 0-250;" for each limit the edits share, in table order; then the lists and the boxes.
inline std::string FieldLimits() {
    std::vector<std::pair<std::string, std::vector<std::string>>> groups; // range -> names
    std::vector<std::string> listRanges;
    std::vector<std::string> narrowLists;
    std::vector<std::string> boxRanges;
    std::vector<std::string> signedNames;
    auto add = [](std::vector<std::string>& to, const std::string& text) {
        for (const std::string& t : to)
            if (t == text) return;
        to.push_back(text);
    };
    for (const FieldSpec& f : Fields()) {
        if (f.min < 0) signedNames.emplace_back(f.name);
        if (f.kind == ControlKind::ComboBox) {
            add(listRanges, Range(f));
            if (f.max > (std::int32_t{1} << f.width) - 1) narrowLists.emplace_back(f.name);
            continue;
        }
        if (f.kind == ControlKind::CheckBox) {
            add(boxRanges, Range(f));
            continue;
        }
        auto group = groups.begin();
        while (group != groups.end() && group->first != Range(f)) ++group;
        if (group == groups.end()) group = groups.insert(groups.end(), {Range(f), {}});
        group->second.emplace_back(f.name);
    }
    std::vector<std::string> words;
    for (const auto& [range, names] : groups) {
        for (std::size_t i = 0; i < names.size(); ++i)
            words.push_back(names[i] + (i + 1 < names.size() ? "," : ""));
        words.push_back(range + ";");
    }
    std::string lists = "lists";
    for (const std::string& r : listRanges) lists += " " + r;
    words.push_back(lists);
    for (std::size_t i = 0; i < narrowLists.size(); ++i) {
        std::string note = (i == 0 ? "(" : "") + narrowLists[i];
        note += i + 1 < narrowLists.size()
                    ? ","
                    : " too: the list has 4 items, the record keeps the lowest bit);";
        for (std::size_t at = 0; at < note.size();) { // split into words for wrapping
            const auto space = note.find(' ', at);
            words.push_back(note.substr(at, space == std::string::npos ? space : space - at));
            at = space == std::string::npos ? note.size() : space + 1;
        }
    }
    if (narrowLists.empty()) words.back() += ";";
    std::string boxes = "boxes";
    for (const std::string& r : boxRanges) boxes += " " + r;
    words.push_back(boxes + ".");
    std::string text = Wrap(words, "          ");

    std::vector<std::string> sentence = {"Negative", "values", "are", "refused", "for", "every",
                                         "field", "but"};
    for (std::size_t i = 0; i < signedNames.size(); ++i) {
        sentence.push_back(signedNames[i] + (i + 2 < signedNames.size() ? "," : ""));
        if (i + 2 == signedNames.size()) sentence.push_back("and");
    }
    sentence.back() += ", whose fields are signed.";
    return text + Wrap(sentence, "        ");
}

// "every number 0 except StabilityPoints 5, every list at item 0, every box clear."
inline std::string InitialValues() {
    auto describe = [](ControlKind kind, const std::string& every,
                       auto&& shown) -> std::vector<std::string> {
        std::map<std::int32_t, int> counts;
        for (const FieldSpec& f : Fields())
            if (f.kind == kind) ++counts[f.initial];
        std::int32_t usual = 0;
        int most = -1;
        for (const auto& [value, count] : counts)
            if (count > most) {
                usual = value;
                most = count;
            }
        std::vector<std::string> words = {every};
        words.back() += " " + shown(usual);
        bool first = true;
        for (const FieldSpec& f : Fields()) {
            if (f.kind != kind || f.initial == usual) continue;
            words.push_back(first ? "except" : "and");
            words.push_back(std::string(f.name));
            words.push_back(shown(f.initial));
            first = false;
        }
        return words;
    };
    std::vector<std::string> words = {"Fields", "not", "given", "take", "the", "window's",
                                      "initial", "values:"};
    const auto numbers = describe(ControlKind::Edit, "every number",
                                  [](std::int32_t v) { return std::to_string(v); });
    const auto lists = describe(ControlKind::ComboBox, "every list",
                                [](std::int32_t v) { return "at item " + std::to_string(v); });
    const auto boxes = describe(ControlKind::CheckBox, "every box", [](std::int32_t v) {
        return std::string(v == 1 ? "checked" : "clear");
    });
    for (const auto* part : {&numbers, &lists, &boxes}) {
        words.insert(words.end(), part->begin(), part->end());
        words.back() += part == &boxes ? "." : ",";
    }
    return Wrap(words, "        ");
}

// Words of a text, for Wrap.
inline std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < text.size();) {
        const auto space = text.find(' ', at);
        const auto end = space == std::string_view::npos ? text.size() : space;
        if (end > at) words.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

// The settings' options of send, in the table's order: "  --opt VALUE" and its help.
inline std::string SettingOptions() {
    std::string text;
    for (const endpoints::SettingKey& key : endpoints::SettingKeys()) {
        if (!key.option || key.givenWith) continue;
        std::string help = key.help;
        if (key.way == endpoints::Way::Email) help += " E-mail only.";
        if (key.way == endpoints::Way::DirectIp) help += " DirectIP only.";
        help += std::string(" Default: ") + key.defaultText + ".";
        const std::string head = std::string("  ") + key.option + " " + key.valueName;
        const std::string indent(19, ' ');
        if (head.size() + 1 < indent.size()) {
            // The help starts beside the option: Wrap it with the option as the first line's indent.
            std::string wrapped = Wrap(Words(help), indent);
            text += head + std::string(indent.size() - head.size(), ' ') + wrapped.substr(indent.size());
        } else {
            text += head + "\n" + Wrap(Words(help), indent);
        }
    }
    return text;
}

// The paragraph that names every variable and key.
inline std::string SettingsParagraph() {
    std::vector<std::string> variables;
    std::vector<std::pair<std::string, std::vector<std::string>>> sections;
    for (const endpoints::SettingKey& key : endpoints::SettingKeys()) {
        if (key.variable && !key.givenWith) variables.emplace_back(key.variable);
        if (sections.empty() || sections.back().first != key.section) sections.push_back({key.section, {}});
        sections.back().second.emplace_back(key.key);
    }
    const auto list = [](const std::vector<std::string>& names, std::vector<std::string>& words) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i + 1 == names.size() && i > 0) words.push_back("and");
            words.push_back(names[i] + (i + 2 < names.size() ? "," : ""));
        }
    };
    std::vector<std::string> words = {"Settings:", "the", "environment", "variables"};
    list(variables, words);
    words.back() += ",";
    for (const std::string w : {"else", "the", "file", "$XDG_CONFIG_HOME/kestravo/kestravo.conf", "(default",
                                "~/.config/kestravo/kestravo.conf),"})
        words.push_back(w);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (i > 0) words.push_back("and");
        words.push_back("section");
        words.push_back("[" + sections[i].first + "],");
        words.push_back("keys");
        list(sections[i].second, words);
        words.back() += i + 1 < sections.size() ? "," : ".";
    }
    for (const std::string& w : Words("A password is never read from the file. The options win over both. A "
                                     "malformed value is refused (exit 2) with its origin named."))
        words.push_back(w);
    return Wrap(words, "        ");
}

} // namespace usage

inline const std::string kUsage = std::string(R"USAGE(Usage:
  kestravo-record encode -o OUT.sbd [--base FILE.sbd] [--raw] FIELD=VALUE ...
  kestravo-record decode FILE.sbd [--json]
  kestravo-record send --imei IMEI [--imei IMEI ...] [--imei-file FILE] [SEND OPTIONS] FILE.sbd
  kestravo-record send --manifest FILE.csv [--base FILE.sbd] [--skip-bad-rows] [SEND OPTIONS]
  kestravo-record history [--imei IMEI] [--since DATE] [--limit N] [--json]
  kestravo-record history --show ID [--json]
  kestravo-record history --export ID -o OUT.sbd
  kestravo-record history --backup FILE
  kestravo-record diff A B
  kestravo-record password set|clear [--relay HOST[:PORT]] [--user NAME] [--security MODE]
  kestravo-record --help    (also "-h", and after a subcommand: that subcommand's help)
  kestravo-record --version

An option takes its value after a blank or after "=" (--imei IMEI or --imei=IMEI); "--" ends
the options, so that a file whose name starts with "-" can follow it.

encode  Builds a 44-byte configuration record and writes it to OUT.sbd, as the window
        saves: a file is replaced only once the whole record is written beside it, or
        written in place where replacing it would break a hard link or change its owner;
        a symbolic link is followed; a device or a pipe is written, never replaced
        ("-o /dev/stdout" prints the record). On any refusal nothing is written.
        FIELD is a record field name (Password, SendInterval, In1ShortEvent, GeofenceEnabled,
        StabilityPoints, ... as "decode" lists them). VALUE is read as the window reads a
        setting: decimal, or hexadecimal after "$", "x", "X", "0x" or "0X", with an optional
        sign. Lists take the item index, boxes 0 or 1. Each field may be given once.
)USAGE") + usage::InitialValues() + R"USAGE(  -o, --output OUT.sbd
        The record file to write.
  --base FILE.sbd
        Start from an existing record, as opening it in the window would: its bits that no
        setting covers pass into the new record, and the fields not given keep the values
        stored in FILE.sbd exactly (no window correction is applied to them). FILE.sbd must
        hold at least 44 bytes; bytes after them are ignored.
  --raw Store every value as the window would store it, keeping only the field's low bits
        (negative numbers as their two's complement bits, a box its lowest bit), without
        any check.
        Without --raw a request is refused, and nothing written, when a value lies outside
        the range the window keeps for it or outside its field's range:
)USAGE" + usage::FieldLimits() + R"USAGE(        It is refused too for a combination the window does not let the operator make,
        when the request names at least one field of the pair:
          GeofenceEnabled=1 with In4TrackingMode other than 0;
          CheckoutInterval greater than SendInterval;
          In5FrequencyType=1 with In5Event other than 0.

decode  Prints the fields of FILE.sbd, one "Field=value" line each in record order
        (temperatures signed, lists as the item index, boxes 0 or 1), then
        "PayloadCheck=ok" or "PayloadCheck=bad (stored 0xNN, computed 0xNN)", and the same
        for RecordCheck. The first 44 bytes are read; bytes after them are ignored.
  --json
        Print one JSON object instead: each field as a number, and "PayloadCheck" and
        "RecordCheck" as objects {"ok": true|false, "stored": N, "computed": N} (keys in
        alphabetical order).

send    Mails a record to the SBD gateway through the relay, one message per device, as the
        window's "SEND CONFIG TO SAT" does: the IMEI as subject, the record attached as
        "temp.sbd". All messages of a run go through one session with the relay. A relay
        that wants a greeting first (503 to MAIL) is greeted with HELO and the mail is tried
        once more; when the relay hangs up mid-run, each message it has not accepted is
        tried once more on a fresh connection.
        With one --imei and a record file, it prints "Mail sended" and "Error code 0" when
        the relay accepted the message; otherwise the error code and the relay's reply go to
        stderr, exit 1. With several devices (more --imei, --imei-file or --manifest) it
        prints one line per device as its message is done: "IMEI CODE OUTCOME REPLY" (CODE 0
        when accepted, else the relay's, the gateway's or the connection's error code;
        OUTCOME accepted, refused, unqueued (DirectIP status 0: nothing queued, code 20700)
        or failed, the last when the connection failed), and a
        progress line on stderr when stderr is a terminal; exit 1 when any message was not
        accepted. Every attempt is kept in the send history (see "history").
  --imei IMEI      15 characters of digits, "+" or "-". May be given more than once; each
                   device gets the first 44 bytes of FILE.sbd.
  --imei-file FILE One IMEI a line; blank lines and lines starting with "#" are skipped.
  --manifest FILE.csv
                   One device per row (CSV as RFC 4180: a header row, commas, quoted values,
                   UTF-8 with or without BOM). The column IMEI names the device; every other
                   column is a record field (as for "encode") whose value that row's record
                   takes (an empty cell leaves the field as the start has it). Each record
                   starts from --base FILE.sbd, or from the window's initial values, and is
                   checked as "encode" checks it (no --raw). Takes no FILE.sbd.
  --skip-bad-rows  Send to the good rows when some rows (or IMEI lines) are bad. Without it
                   a bad row (bad IMEI, unknown column, value refused, IMEI given twice) is
                   reported with its line number and the run is refused (exit 2) before
                   anything is sent. With it the run exits 1 when any row was skipped.
  --dry-run        Build and check every record and print what would be sent, one line per
                   device ("IMEI RECORD" with the 44 bytes in hexadecimal, after a first line
                   "# relay HOST:PORT from ADDR to ADDR"); no connection is made.
  --json           One JSON object per device per line instead of the result lines (also for
                   a single device): {"imei", "code", "outcome", "reply", "transport",
                   "messageId"} ("reference" and "queuePlace" by DirectIP); with --dry-run
                   {"imei", "record"}.
  SEND OPTIONS: --dry-run, --json above, and:
)USAGE" + usage::SettingOptions() + R"USAGE(  --flush-queue    DirectIP: the gateway empties the device's queue first, so this record
                   replaces any still waiting.
  --priority 1-5   DirectIP: the message's priority, 1 the highest.
)USAGE" + usage::SettingsParagraph() + R"USAGE(
history Lists the sends kept in the history, newest first, one line each:
        "ID TIME IMEI RESULT RELAY REPLY" (TIME in UTC as 2026-12-10T13:40:00Z, RESULT the
        error code or "unfinished" when the send never ended, RELAY as HOST:PORT, or
        directip:HOST:PORT for the DirectIP gateway). The
        history is $XDG_DATA_HOME/kestravo/history.sqlite (default ~/.local/share/kestravo/);
        the window's sends are there too. KESTRAVO_HISTORY=off, or history=off in the
        settings file, stops keeping it; a history that cannot be written never stops a send.
  --imei IMEI      Only the sends to that device.
  --since DATE     Only the sends from then on: DATE as 2026-12-10 or 2026-12-10T13:40:00
                   (UTC).
  --limit N        At most the N newest sends.
  --json           One JSON object per send per line: {"id", "time", "imei", "code" (null
                   when unfinished), "reply", "messageId", "relayHost", "relayPort" (both
                   absent for DirectIP), "sender", "gateway", "origin" ("window" or "tool"),
                   "record" (hexadecimal), "transport" ("email" or "directip"), "endpoint"
                   (HOST:PORT of the relay or gateway), "reference" (the Message-ID, or the
                   gateway's reference by DirectIP), "queuePlace" (null when none), "flags",
                   "priority" (DirectIP's, 0 when none)}.
  --show ID        Prints the record of that send as "decode" prints a file (--json too).
  --backup FILE    Writes a consistent copy of the whole history to the new FILE, also
                   while others are writing to it.
  --export ID -o OUT.sbd
                   Writes the record of that send to OUT.sbd.

password Stores ("set") or removes ("clear") the password of the relay and user of the
        settings (or of --relay, --user, --security) in the desktop's keyring; "set" reads
        it from the terminal without echo, or as one line from standard input.

diff    Compares two records, A then B, and prints each field that differs as
        "Field: A's value -> B's value", in record order; bits no field covers as
        "Byte N: 0xNN -> 0xNN", and a check byte only when the bytes it covers are equal.
        A and B are record files, or "@ID" for the record of a send in the history (write
        "./@name" for a file whose name starts with "@"). Exit 0 when the records are
        equal, 1 when they differ, 2 when one cannot be read.

Exit status: 0 done; 2 bad usage, a refused value, or an input that is missing,
unreadable, short, a folder, a pipe, a socket or a device; 1 the output file could not
be written (an existing file keeps its content, unless it had to be written in place and
the message says it may be incomplete), the relay did not accept a message, or (diff)
the records differ.
)USAGE";

// The help of one subcommand: the "Usage:" lines naming it, its paragraph (up to the next line
// that starts a paragraph) and the exit status.
inline std::string UsageFor(std::string_view subcommand) {
    const std::string_view text = kUsage;
    const std::string synopsis = "  kestravo-record " + std::string(subcommand) + " ";
    const std::string heading = std::string(subcommand) + " ";
    std::string usage = "Usage:\n", paragraph, exitStatus;
    bool inSynopsis = false, inParagraph = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::string_view line = text.substr(at, end - at + 1);
        at = end + 1;
        if (line.starts_with("  kestravo-record ")) inSynopsis = line.starts_with(synopsis);
        else if (!line.starts_with("   ")) inSynopsis = false;
        if (inSynopsis) usage += line;
        if (!line.starts_with(' ') && line != "\n") inParagraph = line.starts_with(heading);
        if (inParagraph) paragraph += line;
        if (line.starts_with("Exit status:")) exitStatus = text.substr(at - line.size());
    }
    return usage + "\n" + paragraph + exitStatus;
}

} // namespace kestravo::tool
