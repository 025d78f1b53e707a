// SPDX-License-Identifier: Apache-2.0
#pragma once
// A record of every send, kept in a small SQLite database in the user's data folder. A row is
// written before a send starts and completed when it ends, so a crash leaves an unfinished row,
// never a false "sent". WAL mode and a busy timeout let the window and several tool runs write to
// the same file at once. One object is one connection, kept for the whole run, with its statements
// prepared once: a run pays for opening the file once, not per message.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

struct sqlite3;

namespace kestravo::history {

namespace detail { class Statement; }

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

// Any failure to open, read or write the history; what() names the file and says what went wrong
// in words. kind() tells apart the failures a caller may answer differently.
class HistoryError : public std::runtime_error {
public:
    enum class Kind {
        Other,
        Busy,      // another program holds the file locked for longer than the wait allowed
        Damaged,   // the file is not a whole SQLite database (garbage bytes, cut short)
        SizeLimit, // the file-size limit of the process (ulimit -f) stops the write
        DiskFull,
        Foreign,   // a database of another program, or of a newer version of this one
    };
    explicit HistoryError(const std::string& what, Kind kind = Kind::Other) : std::runtime_error(what), kind_(kind) {}
    explicit HistoryError(const char* what, Kind kind = Kind::Other) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }
    bool busy() const { return kind_ == Kind::Busy; }

private:
    Kind kind_;
};

// The answer of one message, for FinishMany: the arguments of Finish.
struct SendResult {
    qint64 id = 0;
    int code = 0;
    QString reply;
    QString messageId;
    QString reference;
    std::optional<int> queuePlace;
};

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
    // nothing is written. Throws HistoryError, also when there is no file yet. Opening and every
    // read wait at most busyTimeoutMs for a writer that holds the file (a HistoryError whose busy()
    // is true after that), so a window that must not freeze gives a short wait.
    static std::unique_ptr<SendHistory> OpenReadOnly(const QString& path = DefaultPath());
    static std::unique_ptr<SendHistory> OpenReadOnly(const QString& path, int busyTimeoutMs);
    ~SendHistory();
    SendHistory(const SendHistory&) = delete;
    SendHistory& operator=(const SendHistory&) = delete;

    const QString& path() const { return path_; }

    // Writes the unfinished row before the send starts; returns its id. entry.id and entry.code
    // are ignored.
    qint64 Begin(const SendEntry& entry);
    // The rows of a batch, in one transaction, before any of its messages goes out; the ids in the
    // order of the entries. A record that is not 44 bytes refuses the whole batch, nothing written.
    std::vector<qint64> BeginMany(const std::vector<SendEntry>& entries);
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
    // Completes several rows in one transaction, as answers that came together. Every row that can
    // be completed is; an unknown or already finished id is then a HistoryError naming it.
    void FinishMany(const std::vector<SendResult>& results);

    // A consistent copy of the whole history into `target` (a new file), by SQLite's backup,
    // while others may be writing. Throws HistoryError.
    void Backup(const QString& target) const;

    std::vector<SendEntry> List(const HistoryFilter& filter = {}) const; // newest first
    std::optional<SendEntry> Get(qint64 id) const;

private:
    using Statement = detail::Statement;
    struct Statements;
    struct ReadOnly {};
    SendHistory(const QString& path, int busyTimeoutMs, ReadOnly);

    void Open(bool readOnly);
    void SetUp();
    [[noreturn]] void Fail(const QString& what, HistoryError::Kind kind = HistoryError::Kind::Other) const;
    // Fails with what the connection's last error means, in words.
    [[noreturn]] void FailSql(const QString& what, int code) const;
    Statement& Prepared(const char* sql) const;
    void Execute(const char* sql, const QString& what);
    void FinishOne(const SendResult& result, std::vector<qint64>* notFinished);

    QString path_;
    int busyTimeoutMs_ = kDefaultBusyTimeoutMs;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Statements> statements_;
};

} // namespace kestravo::history
