// SPDX-License-Identifier: Apache-2.0
// kestravo-record history: the sends kept in the send history, and the record of one of them.
#include "record/codec.h"
#include "record/record_file.h"
#include "tools/record_tool/cli.h"
#include "tools/record_tool/tool.h"

#include "history/send_history.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cstring>
#include <limits>
#include <iostream>

namespace kestravo::tool {

namespace {

using history::HistoryError;
using history::HistoryFilter;
using history::SendEntry;
using history::SendHistory;

QString TimeText(const SendEntry& entry) { return entry.timeUtc.toUTC().toString(Qt::ISODate); }

// A port as a JSON number; the service name the settings allow ("smtp") is its number too.
QJsonValue PortJson(const QString& port) {
    bool ok = false;
    const int number = port.toInt(&ok);
    if (ok) return number;
    if (port == QLatin1String("smtp")) return 25;
    return port;
}

// Where the send went, one word: the relay as HOST:PORT, a DirectIP gateway as directip:HOST:PORT.
std::string EndpointText(const SendEntry& entry) {
    if (entry.transport == QLatin1String("directip")) return "directip:" + LocalText(entry.endpoint);
    return RelayText(entry.relayHost, entry.relayPort);
}

QJsonObject EntryJson(const SendEntry& entry) {
    QJsonObject object{
        {QStringLiteral("transport"), entry.transport},
        {QStringLiteral("endpoint"), entry.endpoint},
        {QStringLiteral("reference"), entry.reference},
        {QStringLiteral("queuePlace"), entry.queuePlace ? QJsonValue(*entry.queuePlace) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("flags"), entry.flags},
        {QStringLiteral("priority"), entry.priority},
        {QStringLiteral("id"), entry.id},
        {QStringLiteral("time"), TimeText(entry)},
        {QStringLiteral("imei"), entry.imei},
        {QStringLiteral("code"), entry.code ? QJsonValue(*entry.code) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("reply"), entry.reply},
        {QStringLiteral("messageId"), entry.messageId},
        {QStringLiteral("sender"), entry.sender},
        {QStringLiteral("gateway"), entry.gateway},
        {QStringLiteral("origin"), history::OriginText(entry.origin)},
        {QStringLiteral("record"), QString::fromLatin1(entry.record.toHex())},
    };
    // A DirectIP send went through no relay.
    if (entry.transport != QLatin1String("directip")) {
        object.insert(QStringLiteral("relayHost"), entry.relayHost);
        object.insert(QStringLiteral("relayPort"), PortJson(entry.relayPort));
    }
    return object;
}

// 2026-12-10 or 2026-12-10T13:40[:00][Z], in UTC.
QDateTime ParseSince(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral(R"(^(\d{4}-\d{2}-\d{2})(?:T(\d{2}:\d{2}(?::\d{2})?)Z?)?$)"));
    const QRegularExpressionMatch match = form.match(text);
    QDateTime since;
    if (match.hasMatch()) {
        const QDate date = QDate::fromString(match.captured(1), Qt::ISODate);
        QTime time(0, 0);
        if (match.hasCaptured(2))
            time = QTime::fromString(match.captured(2), match.captured(2).size() == 5 ? QStringLiteral("HH:mm")
                                                                                     : QStringLiteral("HH:mm:ss"));
        if (date.isValid() && time.isValid()) since = QDateTime(date, time, Qt::UTC);
    }
    if (!since.isValid())
        throw ToolFailure(kExitRefused, "history: --since takes a date as 2026-12-10 or 2026-12-10T13:40:00 "
                                        "(UTC), not \"" + LocalText(text) + "\"");
    return since;
}

// The record as it was sent, byte for byte, through the one record writer.
void WriteRecord(const std::string& path, const TConfigRecord& record) {
    try {
        WriteRecordFile(path, record);
    } catch (const EFileError& error) {
        throw ToolFailure(kExitIoFailure, error.what());
    }
}

} // namespace

qint64 ParseHistoryId(const QString& text, const std::string& what) {
    return ParseWholeNumber(text, 1, std::numeric_limits<qint64>::max() / 10, what);
}

// Reading never creates the history: without its file there is nothing to read.
static bool HistoryExists() { return QFileInfo::exists(SendHistory::DefaultPath()); }

// Reading takes no write lock and folds nothing in: a reader beside a running fleet costs it nothing.
static std::unique_ptr<SendHistory> Reader() { return SendHistory::OpenReadOnly(SendHistory::DefaultPath()); }

TConfigRecord HistoryRecord(qint64 id) {
    std::optional<SendEntry> entry;
    try {
        if (HistoryExists()) entry = Reader()->Get(id);
    } catch (const HistoryError& error) {
        throw ToolFailure(kExitRefused, error.what());
    }
    if (!entry) throw ToolFailure(kExitRefused, "the send history holds no send " + std::to_string(id));
    TConfigRecord record{};
    if (entry->record.size() != qsizetype(record.size()))
        throw ToolFailure(kExitRefused, "send " + std::to_string(id) + " in the history holds " +
                                            std::to_string(entry->record.size()) + " bytes, not a record");
    std::memcpy(record.data(), entry->record.constData(), record.size());
    return record;
}

int RunHistory(Args args) {
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"));
    parser.addOptions({ValuedOption("imei", "IMEI"), ValuedOption("since", "DATE"), ValuedOption("limit", "N"), ValuedOption("show", "ID"),
                       ValuedOption("export", "ID"), QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")},
                                                                  QString(), QStringLiteral("OUT.sbd")),
                       ValuedOption("backup", "FILE"), json});
    if (const auto done = ParseSubcommand(parser, "history", args)) return *done;
    if (!parser.positionalArguments().isEmpty())
        throw ToolFailure(kExitRefused, "history: unexpected argument \"" +
                                            LocalText(parser.positionalArguments().constFirst()) + "\"");
    const auto single = [&](const char* name) { return SingleValue(parser, QLatin1String(name), "history"); };
    const auto show = single("show");
    const auto exportId = single("export");
    const auto output = single("o");
    const auto imei = single("imei");
    const auto since = single("since");
    const auto limit = single("limit");
    const auto backup = single("backup");

    if (backup) {
        if (show || exportId || output || imei || since || limit || parser.isSet(json))
            throw ToolFailure(kExitRefused, "history: --backup FILE goes alone");
        if (!HistoryExists()) throw ToolFailure(kExitRefused, "history: there is no send history to back up");
        try {
            Reader()->Backup(*backup);
        } catch (const HistoryError& error) {
            throw ToolFailure(kExitIoFailure, error.what());
        }
        return kExitOk;
    }

    if (show && exportId) throw ToolFailure(kExitRefused, "history: --show and --export exclude each other");
    if ((show || exportId) && (imei || since || limit))
        throw ToolFailure(kExitRefused, "history: --imei, --since and --limit are for the list, not one send");
    if (output && !exportId) throw ToolFailure(kExitRefused, "history: -o goes with --export ID");

    if (show) {
        const TConfigRecord record = HistoryRecord(ParseHistoryId(*show, "history: --show"));
        PrintRecord(std::cout, record, parser.isSet(json));
    } else if (exportId) {
        if (!output) throw ToolFailure(kExitRefused, "history: --export needs -o OUT.sbd");
        const TConfigRecord record = HistoryRecord(ParseHistoryId(*exportId, "history: --export"));
        WriteRecord(LocalText(*output), record);
        return kExitOk;
    } else {
        HistoryFilter filter;
        if (imei) filter.imei = *imei;
        if (since) filter.since = ParseSince(*since);
        if (limit) filter.limit = int(ParseWholeNumber(*limit, 1, 1'000'000'000, "history: --limit"));
        std::vector<SendEntry> entries;
        try {
            if (HistoryExists()) entries = Reader()->List(filter);
        } catch (const HistoryError& error) {
            throw ToolFailure(kExitRefused, error.what());
        }
        for (const SendEntry& entry : entries) {
            if (parser.isSet(json)) {
                std::cout << QJsonDocument(EntryJson(entry)).toJson(QJsonDocument::Compact).toStdString() << "\n";
                continue;
            }
            std::cout << entry.id << " " << LocalText(TimeText(entry)) << " " << LocalText(entry.imei) << " "
                      << (entry.code ? std::to_string(*entry.code) : std::string("unfinished")) << " "
                      << EndpointText(entry) << " " << OneLine(entry.reply) << "\n";
        }
        // Nothing on stdout for a script to read, and a word for the one at the terminal.
        if (entries.empty())
            std::cerr << "kestravo-record: the send history holds no send"
                      << (imei || since ? " that matches" : "") << "\n";
    }
    std::cout.flush();
    if (!std::cout) throw ToolFailure(kExitIoFailure, "history: cannot write the output");
    return kExitOk;
}

} // namespace kestravo::tool
