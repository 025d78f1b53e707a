// SPDX-License-Identifier: Apache-2.0
#pragma once
// A record of every send, kept in a small SQLite database in the user's data folder. A row is
// written before a send starts and completed when it ends, so a crash leaves an unfinished row,
// never a false "sent". WAL mode and a busy timeout let the window and several tool runs write to
// the same file at once.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace kestravo::history {

enum class Origin { Window, Tool };

// "window" or "tool", as the file stores it.
QString OriginText(Origin origin);

struct SendEntry {
    qint64 id = 0;
    QDateTime timeUtc;       // an invalid time means "now" to Begin
    QString imei;
    QByteArray record;       // the 44 bytes
    QString relayHost; QString relayPort; QString sender; QString gateway;
    std::optional<int> code; // empty while unfinished
    QString reply; QString messageId; // reply: the answer that judged the message, or the error text
    Origin origin = Origin::Tool;
    // How it travelled: "email" or "directip", and to where (HOST:PORT of the relay or gateway).
    QString transport = QStringLiteral("email");
    QString endpoint;
    // The gateway side's reference (the Message-ID by mail, the auto ID reference by DirectIP) and
    // the place in the device's queue (DirectIP; empty when none was given).
    QString reference;
    std::optional<int> queuePlace;
    // DirectIP disposition flags sent (0x0001 flush the queue) and the priority (0: none).
    int flags = 0;
    int priority = 0;
    bool finished() const { return code.has_value(); }
};

// Empty imei, an invalid since and limit <= 0 each mean "no restriction".
struct HistoryFilter { QString imei; QDateTime since; int limit = 0; };

// Any failure to open, read or write the history; what() names the file and the driver's text.
class HistoryError : public std::runtime_error { using std::runtime_error::runtime_error; };

class SendHistory {
public:
    // $XDG_DATA_HOME/kestravo/history.sqlite, ~/.local/share/kestravo/history.sqlite without it.
    static QString DefaultPath();

    // How long a write waits for another writer's transaction before it fails. A window, which
    // must not freeze behind a long writer, gives a shorter wait than a command-line run.
    static constexpr int kDefaultBusyTimeoutMs = 10000;

    // Opens or creates the file (its folder too, mode 0700); throws HistoryError.
    explicit SendHistory(const QString& path = DefaultPath(), int busyTimeoutMs = kDefaultBusyTimeoutMs);
    // Opens an existing file for reading only: neither the file nor its folder is ever created,
    // nothing is written. Throws HistoryError, also when there is no file yet.
    static std::unique_ptr<SendHistory> OpenReadOnly(const QString& path = DefaultPath());
    ~SendHistory();
    SendHistory(const SendHistory&) = delete;
    SendHistory& operator=(const SendHistory&) = delete;

    const QString& path() const { return path_; }

    // Writes the unfinished row before the send starts; returns its id. entry.id and entry.code
    // are ignored.
    qint64 Begin(const SendEntry& entry);
    // Keeps the gateway side's reference of an unfinished row as soon as it is known (the
    // Message-ID once composed), so that a send that never hears its answer still names it.
    void Reference(qint64 id, const QString& reference, bool isMessageId);
    // Replaces the record of an unfinished row: a row begun before its record was final (the
    // window writes its row before connecting, and builds the record to send once the relay greets).
    void Record(qint64 id, const QByteArray& record);
    // Completes an unfinished row; an unknown or already finished id is a HistoryError. A write
    // another writer holds up is tried again until the busy timeout has passed once more.
    void Finish(qint64 id, int code, const QString& reply, const QString& messageId,
                const QString& reference = QString(), std::optional<int> queuePlace = std::nullopt);

    // A consistent copy of the whole history into `target` (a new file), by SQLite's backup,
    // while others may be writing. Throws HistoryError.
    void Backup(const QString& target) const;

    std::vector<SendEntry> List(const HistoryFilter& filter = {}) const; // newest first
    std::optional<SendEntry> Get(qint64 id) const;

private:
    struct Statements;
    struct ReadOnly {};
    SendHistory(const QString& path, ReadOnly);

    [[noreturn]] void Fail(const QString& what, const QString& driverText) const;
    Statements& Prepared();

    QString path_;
    QString connectionName_;
    int busyTimeoutMs_ = kDefaultBusyTimeoutMs;
    std::unique_ptr<Statements> statements_;
};

} // namespace kestravo::history
