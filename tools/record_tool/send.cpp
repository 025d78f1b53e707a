// SPDX-License-Identifier: Apache-2.0
// kestravo-record send: sends records to the SBD gateway, one message per device, over the send
// flow the window uses (send/sbd_send.h). This file only turns the command line into messages and
// the results into lines; the deadline and the IMEI check live in send/, the ways in mail/ and
// directip/.
#include "record/codec.h"
#include "tools/record_tool/cli.h"
#include "mail/credentials.h"
#include "tools/record_tool/manifest.h"
#include "tools/record_tool/tool.h"

#include "history/send_history.h"
#include "ways/history_binding.h"
#include "ways/send_ways.h"
#include "endpoints/endpoints.h"
#include "send/sbd_send.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravo::tool {

namespace {

using send::SbdMessage;
using send::SbdResult;

struct SendOptions {
    bool json = false;
    bool dryRun = false;
    bool skipBadRows = false;
    // One --imei and a record file: the output the single send has always had.
    bool single = false;
    endpoints::Endpoints endpoints;
    send::SendOptions way; // greeting, --flush-queue, --priority
};

// An input line (an IMEI file's or a manifest's) that cannot become a message.
struct BadRow {
    std::string where; // "FILE:LINE"
    std::string message;
};

struct Batch {
    std::vector<SbdMessage> messages;
    std::vector<BadRow> badRows;
};

constexpr off_t kMaxListBytes = 16 * 1024 * 1024;

// The whole of an IMEI list or a manifest. Only a regular file is read (a FIFO could hold the run
// forever), and only up to a size no device list comes near.
std::string ReadListFile(const std::string& path, const char* option) {
    const auto refuse = [&](const std::string& why) {
        return ToolFailure(kExitRefused, std::string("send: ") + option + " \"" + path + "\": " + why);
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw refuse(std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxListBytes) {
        const bool regular = S_ISREG(info.st_mode);
        ::close(fd);
        throw refuse(regular ? "larger than 16 MiB" : "not a regular file");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw refuse(std::strerror(error));
        }
        if (n == 0) break;
        text.append(buffer, std::size_t(n));
        if (text.size() > std::size_t(kMaxListBytes)) {
            ::close(fd);
            throw refuse("larger than 16 MiB");
        }
    }
    ::close(fd);
    return text;
}

std::string ImeiRefusal(const std::string& imei) {
    return "the IMEI must be 15 characters of digits, \"+\" or \"-\", not \"" + imei + "\"";
}

// Why a message cannot go to imei by the way chosen, or "". DirectIP carries the IMEI as 15 ASCII
// digits; the e-mail subject takes "+" and "-" too, as it always has.
std::string ImeiProblem(const QString& imei, bool directIp) {
    if (!send::IsImeiText(imei)) return ImeiRefusal(LocalText(imei));
    if (directIp)
        for (const QChar c : imei)
            if (c < u'0' || c > u'9')
                return "DirectIP needs an IMEI of 15 digits, not \"" + LocalText(imei) + "\"";
    return {};
}

// Every device of --imei (each already checked) and --imei-file gets the same record; a bad line
// of the file is a bad row.
Batch ImeiBatch(const QStringList& imeis, const std::optional<QString>& imeiFile, const TConfigRecord& record, bool directIp) {
    Batch batch;
    std::map<QString, std::string> seen; // IMEI -> where it was first given
    for (const QString& imei : imeis) {
        if (!seen.emplace(imei, "--imei").second)
            throw ToolFailure(kExitRefused, "send: --imei " + LocalText(imei) + " is given twice");
        batch.messages.push_back({imei, record});
    }
    if (!imeiFile) return batch;
    const std::string path = LocalText(*imeiFile);
    const std::string text = ReadListFile(path, "--imei-file");
    int lineNumber = 0;
    // Editors on some systems start a UTF-8 file with a byte-order mark.
    for (std::size_t at = text.starts_with("\xEF\xBB\xBF") ? 3 : 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        line = line.substr(first, line.find_last_not_of(" \t") - first + 1);
        const std::string where = path + ":" + std::to_string(lineNumber);
        const QString imei = QString::fromUtf8(line);
        if (const std::string why = ImeiProblem(imei, directIp); !why.empty()) {
            batch.badRows.push_back({where, why});
        } else if (const auto [it, inserted] = seen.emplace(imei, where); !inserted) {
            batch.badRows.push_back({where, "IMEI " + line + " is given again (first at " + it->second + ")"});
        } else {
            batch.messages.push_back({imei, record});
        }
    }
    return batch;
}

// One message per manifest row, each record built as "encode" builds one from the row's fields.
Batch ManifestBatch(const QString& manifestFile, const std::optional<TConfigRecord>& base, bool directIp) {
    const std::string path = LocalText(manifestFile);
    const Manifest manifest = ParseManifest(ReadListFile(path, "--manifest"));
    Batch batch;
    for (const ManifestProblem& problem : manifest.problems)
        batch.badRows.push_back({path + ":" + std::to_string(problem.line), problem.message});
    // A header that cannot be read leaves no row to skip to.
    if (manifest.rows.empty() && !batch.badRows.empty()) {
        for (const BadRow& bad : batch.badRows) PrintDiagnostic(bad.where + ": " + bad.message);
        throw ToolFailure(kExitRefused, "send: the manifest " + path + " is refused; nothing sent");
    }
    for (const ManifestRow& row : manifest.rows) {
        const std::string where = path + ":" + std::to_string(row.line);
        if (const std::string why = ImeiProblem(QString::fromStdString(row.imei), directIp); !why.empty()) {
            batch.badRows.push_back({where, why});
            continue;
        }
        try {
            FieldValues values;
            // An empty cell leaves the field as the base (or the initial values) has it.
            for (const auto& [name, text] : row.fields)
                if (!text.empty()) AddFieldValue(values, name, text);
            const MapSettingsStore settings = BuildSettings(base, values, false);
            batch.messages.push_back({QString::fromStdString(row.imei), EncodeRecord(settings)});
        } catch (const ToolFailure& failure) {
            batch.badRows.push_back({where, failure.what()});
        } catch (const EConvertError& error) {
            batch.badRows.push_back({where, error.what()});
        }
    }
    return batch;
}

QByteArray RecordBytes(const TConfigRecord& record) {
    return QByteArray(reinterpret_cast<const char*>(record.data()), qsizetype(record.size()));
}

std::string HexRecord(const TConfigRecord& record) { return RecordBytes(record).toHex().toStdString(); }

// One word for how a message ended: "accepted", "refused" (by the relay or the gateway),
// "unqueued" (the DirectIP gateway took it but queued nothing) or "failed" (on the connection: no
// answer judged it).
QString OutcomeWord(const SbdResult& result) {
    switch (result.outcome) {
    case send::Outcome::Accepted: return QStringLiteral("accepted");
    case send::Outcome::Refused: return QStringLiteral("refused");
    case send::Outcome::NothingQueued: return QStringLiteral("unqueued");
    case send::Outcome::ConnectionFailed: break;
    }
    return QStringLiteral("failed");
}

QJsonObject ResultJson(const SbdMessage& message, const SbdResult& result, const endpoints::Endpoints& endpoints) {
    QJsonObject o{{QStringLiteral("imei"), message.imei},
                  {QStringLiteral("code"), result.code},
                  {QStringLiteral("outcome"), OutcomeWord(result)},
                  {QStringLiteral("reply"), result.detail}};
    if (endpoints.transport == endpoints::Transport::DirectIp) {
        o.insert(QStringLiteral("transport"), QStringLiteral("directip"));
        o.insert(QStringLiteral("reference"), result.reference);
        o.insert(QStringLiteral("queuePlace"), result.queuePlace >= 0 ? QJsonValue(result.queuePlace) : QJsonValue());
    } else {
        o.insert(QStringLiteral("transport"), QStringLiteral("email"));
        o.insert(QStringLiteral("messageId"), result.reference);
    }
    return o;
}

int DryRun(const SendOptions& options, const std::vector<SbdMessage>& messages) {
    if (!options.json)
    {
        if (options.endpoints.transport == endpoints::Transport::DirectIp)
            std::cout << "# directip " << RelayText(options.endpoints.directipHost, options.endpoints.directipPort)
                      << (options.way.flushQueue ? " flush-queue" : "")
                      << (options.way.priority ? " priority " + std::to_string(options.way.priority) : std::string()) << "\n";
        else
            std::cout << "# relay " << RelayText(options.endpoints.relayHost, options.endpoints.relayPort) << " from "
                      << LocalText(options.endpoints.sender) << " to " << LocalText(options.endpoints.gateway) << "\n";
    }
    for (const SbdMessage& message : messages) {
        if (options.json)
            std::cout << QJsonDocument(QJsonObject{{QStringLiteral("imei"), message.imei},
                                                   {QStringLiteral("record"), QString::fromStdString(HexRecord(message.record))}})
                             .toJson(QJsonDocument::Compact)
                             .toStdString()
                      << "\n";
        else
            std::cout << LocalText(message.imei) << " " << HexRecord(message.record) << "\n";
    }
    std::cout.flush();
    if (!std::cout) throw ToolFailure(kExitIoFailure, "send: cannot write the output");
    return kExitOk;
}

int Send(SendOptions options, std::vector<SbdMessage> messages) {
    // A reader that goes away (| head -1) must not end the run halfway through a fleet: the
    // messages still go out and are kept in the history; the lost output shows in the exit status.
    std::signal(SIGPIPE, SIG_IGN);
    // The application object outlives the history: Qt SQL gives a connection only to the thread
    // that opened it, and once the object is gone it no longer counts this one as that thread, so
    // the history could not close its file itself. SendAll uses this object.
    static int argc = 1;
    static char name[] = "kestravo";
    static char* argv[] = {name, nullptr};
    const QCoreApplication app(argc, argv);
    // The keyring is asked from this application's event loop; nothing goes out without a password.
    try {
        mail::FetchPassword(options.endpoints);
    } catch (const mail::CredentialError& error) {
        throw ToolFailure(kExitRefused, error.what());
    }
    const std::vector<SbdMessage> sent = messages; // SendAll takes the list; the results name them
    // Losing the history never stops a send: its first failure is said once on stderr and the rest
    // of the run goes on without it.
    const std::unique_ptr<send::HistoryRecorder> recorder = ways::Recorder(
        options.endpoints, history::Origin::Tool, options.way,
        [] { return std::make_shared<history::SendHistory>(); },
        [](const QString& problem) {
            PrintDiagnostic("the send history is not kept for this run: " + problem.toStdString());
        });
    const bool progress = !options.single && ::isatty(STDERR_FILENO) == 1;
    const std::size_t total = messages.size();
    std::size_t done = 0;
    std::size_t refused = 0;

    const auto showProgress = [&] {
        std::cerr << "\r\033[Kkestravo-record: " << done << " of " << total << " messages done" << std::flush;
    };
    if (progress) showProgress();
    // The history opens from the send's event loop, once the connection is on its way: the file
    // is read while the relay accepts and greets, not before the connection is even asked for.
    QTimer::singleShot(0, &app, [&recorder] { recorder->OpenNow(); });
    const std::vector<SbdResult> results = ways::SendAll(
        options.endpoints, std::move(messages),
        [&](std::size_t index, const SbdResult& result) {
            recorder->Finish(index, result);
            ++done;
            if (!result.accepted()) ++refused;
            if (progress) std::cerr << "\r\033[K" << std::flush;
            if (options.json)
                std::cout << QJsonDocument(ResultJson(sent[index], result, options.endpoints)).toJson(QJsonDocument::Compact).toStdString()
                          << "\n";
            else if (!options.single)
                std::cout << LocalText(sent[index].imei) << " " << result.code << " " << LocalText(OutcomeWord(result)) << " "
                          << OneLine(result.detail) << "\n";
            std::cout.flush();
            if (progress) showProgress();
        },
        [&](std::size_t index) { recorder->Begin(index, sent[index]); }, send::QuitReply::DoNotAwait, options.way,
        [&](std::size_t index, const QString& reference) { recorder->Reference(index, reference); });
    if (progress) std::cerr << "\r\033[K" << std::flush;

    if (options.single && !options.json && options.endpoints.transport == endpoints::Transport::DirectIp) {
        const SbdResult& result = results.front();
        if (!result.accepted())
            throw ToolFailure(kExitIoFailure, "the gateway did not accept the message: error code " +
                                                  std::to_string(result.code) + ": " + OneLine(result.detail));
        std::cout << OneLine(result.detail) << "\n";
    } else if (options.single && !options.json) {
        const SbdResult& result = results.front();
        if (result.code == 10060 && result.reference.isEmpty())
            throw ToolFailure(kExitIoFailure, "the relay did not finish within " +
                                                  std::to_string(options.endpoints.timeoutSeconds) +
                                                  " seconds; nothing is known to be sent");
        if (!result.accepted())
            throw ToolFailure(kExitIoFailure, "the relay did not accept the message: error code " +
                                                  std::to_string(result.code) +
                                                  (result.detail.isEmpty() ? std::string() : ": " + OneLine(result.detail)));
        std::cout << "Mail sended\nError code 0\n";
    }
    std::cout.flush();
    if (!std::cout) throw ToolFailure(kExitIoFailure, "send: cannot write the output");
    if (refused > 0) {
        if (!options.single || options.json)
            PrintDiagnostic(std::to_string(refused) + " of " + std::to_string(total) + " messages were not accepted");
        return kExitIoFailure;
    }
    return kExitOk;
}

} // namespace

int RunSend(Args args) {
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json")), dryRun(QStringLiteral("dry-run")),
        skipBadRows(QStringLiteral("skip-bad-rows")), flushQueue(QStringLiteral("flush-queue"));
    parser.addOptions({ValuedOption("imei", "IMEI"), ValuedOption("imei-file", "FILE"), ValuedOption("manifest", "FILE.csv"),
                       ValuedOption("base", "FILE.sbd"), ValuedOption("priority", "1-5"), flushQueue, json, dryRun,
                       skipBadRows});
    AddSettingOptions(parser);
    if (const auto done = ParseSubcommand(parser, "send", args)) return *done;
    const auto single = [&](const char* name) { return SingleValue(parser, QLatin1String(name), "send"); };
    const QStringList imeis = parser.values(QStringLiteral("imei"));
    const auto imeiFile = single("imei-file");
    const auto manifest = single("manifest");
    const auto base = single("base");
    const QStringList files = parser.positionalArguments();

    SendOptions options;
    options.json = parser.isSet(json);
    options.dryRun = parser.isSet(dryRun);
    options.skipBadRows = parser.isSet(skipBadRows);
    endpoints::EndpointOptions given;
    const auto taken = TakeSettingOptions(parser, "send", given);
    try {
        options.endpoints = endpoints::ResolveEndpoints(given);
    } catch (const endpoints::EndpointError& error) {
        throw ToolFailure(kExitRefused, error.what());
    }
    const bool directIp = options.endpoints.transport == endpoints::Transport::DirectIp;
    // An option of the other way would be silently ignored; the operator meant something by it.
    for (const endpoints::SettingKey* key : taken)
        if (key->way != endpoints::Way::Both && (key->way == endpoints::Way::DirectIp) != directIp)
            throw ToolFailure(kExitRefused, std::string("send: ") + key->option +
                                                (directIp ? " goes with e-mail, not with DirectIP (--via directip)"
                                                          : " goes with DirectIP (--via directip), not with e-mail"));
    // The tool's session greets before its first MAIL, as relays expect; the window keeps its own.
    options.way.greetFirst = true;
    options.way.flushQueue = parser.isSet(flushQueue);
    if (const auto priority = single("priority")) {
        qint64 level = 0;
        if (!endpoints::ParseWholeNumber(*priority, 1, 5, level))
            throw ToolFailure(kExitRefused, "--priority: \"" + LocalText(*priority) + "\" is not a whole number from 1 to 5");
        options.way.priority = int(level);
    }
    if (options.endpoints.transport != endpoints::Transport::DirectIp && (options.way.flushQueue || options.way.priority != 0))
        throw ToolFailure(kExitRefused, std::string("send: ") + (options.way.flushQueue ? "--flush-queue" : "--priority") +
                                            " goes with DirectIP (--via directip), not with e-mail");

    Batch batch;
    if (manifest) {
        if (!imeis.isEmpty() || imeiFile)
            throw ToolFailure(kExitRefused, "send: --manifest names the devices; --imei and --imei-file go without it");
        if (!files.isEmpty())
            throw ToolFailure(kExitRefused, "send: --manifest builds the records; give a starting record as --base FILE.sbd");
        std::optional<TConfigRecord> baseRecord;
        if (base) baseRecord = ReadRecordFile(LocalText(*base));
        batch = ManifestBatch(*manifest, baseRecord, directIp);
    } else {
        if (base) throw ToolFailure(kExitRefused, "send: --base goes with --manifest");
        if (files.size() > 1) throw ToolFailure(kExitRefused, "more than one record file given");
        if (files.isEmpty()) throw ToolFailure(kExitRefused, "send needs a record file");
        if (imeis.isEmpty() && !imeiFile) throw ToolFailure(kExitRefused, "send needs --imei IMEI");
        for (const QString& imei : imeis)
            if (const std::string why = ImeiProblem(imei, directIp); !why.empty()) throw ToolFailure(kExitRefused, why);
        const TConfigRecord record = ReadRecordFile(LocalText(files.constFirst()));
        batch = ImeiBatch(imeis, imeiFile, record, directIp);
        options.single = imeis.size() == 1 && !imeiFile;
    }

    for (const BadRow& bad : batch.badRows)
        PrintDiagnostic(bad.where + ": " + bad.message + (options.skipBadRows ? " (skipped)" : ""));
    if (!batch.badRows.empty() && !options.skipBadRows)
        throw ToolFailure(kExitRefused, "send: " + std::to_string(batch.badRows.size()) +
                                            " bad rows; nothing sent (--skip-bad-rows sends to the others)");
    if (batch.messages.empty()) throw ToolFailure(kExitRefused, "send: no device to send to");

    const int status = options.dryRun ? DryRun(options, batch.messages) : Send(options, std::move(batch.messages));
    // A skipped row is a device that got nothing: the run did not do all it was asked.
    if (status == kExitOk && !batch.badRows.empty()) {
        const std::size_t skipped = batch.badRows.size();
        PrintDiagnostic(skipped == 1 ? "1 bad row was skipped" : std::to_string(skipped) + " bad rows were skipped");
        return kExitIoFailure;
    }
    return status;
}

} // namespace kestravo::tool
