// SPDX-License-Identifier: Apache-2.0
#include "history/send_history.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/stat.h>

#if __has_include(<dlfcn.h>) && __has_include(<sqlite3.h>)
#include <dlfcn.h>
#include <sqlite3.h>
#define KESTRAVO_HISTORY_KEEPS_LOG 1
#endif

namespace kestravo::history {

namespace {

constexpr int kSchemaVersion = 2;
constexpr int kSqliteLocked = 6; // SQLITE_LOCKED
constexpr int kRecordBytes = 44;
constexpr int kSqliteBusy = 5; // SQLITE_BUSY, the low byte of its extended codes

std::atomic<unsigned> connectionCounter{0};

const char* const kColumns =
    "id, time_utc, imei, record, relay_host, relay_port, sender, gateway, code, reply, message_id, origin,"
    " transport, endpoint, gateway_reference, queue_place, flags, priority";

// The columns version 2 adds to version 1; a version 1 file gets them in place, its rows the
// values that say what they were: mail through the relay they name.
const char* const kVersion2Columns[] = {
    "ALTER TABLE sends ADD COLUMN transport TEXT NOT NULL DEFAULT 'email' CHECK (transport IN ('email', 'directip'))",
    "ALTER TABLE sends ADD COLUMN endpoint TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE sends ADD COLUMN gateway_reference TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE sends ADD COLUMN queue_place INTEGER NULL",
    "ALTER TABLE sends ADD COLUMN flags INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE sends ADD COLUMN priority INTEGER NOT NULL DEFAULT 0",
    "UPDATE sends SET endpoint = relay_host || ':' || relay_port, gateway_reference = message_id",
};

// A null QString binds as SQL NULL; the text columns hold '' instead.
QString Text(const QString& s) { return s.isNull() ? QStringLiteral("") : s; }

QString TimeText(const QDateTime& time) { return time.toUTC().toString(Qt::ISODateWithMs); }

SendEntry EntryFrom(const QSqlQuery& q) {
    SendEntry e;
    e.id = q.value(0).toLongLong();
    e.timeUtc = QDateTime::fromString(q.value(1).toString(), Qt::ISODateWithMs).toUTC();
    e.imei = q.value(2).toString();
    e.record = q.value(3).toByteArray();
    e.relayHost = q.value(4).toString();
    e.relayPort = q.value(5).toString();
    e.sender = q.value(6).toString();
    e.gateway = q.value(7).toString();
    if (!q.value(8).isNull()) e.code = q.value(8).toInt();
    e.reply = q.value(9).toString();
    e.messageId = q.value(10).toString();
    e.origin = q.value(11).toString() == QLatin1String("window") ? Origin::Window : Origin::Tool;
    e.transport = q.value(12).toString();
    e.endpoint = q.value(13).toString();
    e.reference = q.value(14).toString();
    if (!q.value(15).isNull()) e.queuePlace = q.value(15).toInt();
    e.flags = q.value(16).toInt();
    e.priority = q.value(17).toInt();
    return e;
}

// The folder is created private: the history lists devices and where their records went.
QString EnsureFolder(const QString& folder) {
    const QFileInfo info(folder);
    if (info.isDir()) return {};
    if (info.exists()) return QStringLiteral("cannot create folder %1: a file of that name is in the way").arg(folder);
    const QString parent = QFileInfo(folder).absolutePath();
    if (!QDir().mkpath(parent)) return QStringLiteral("cannot create folder ") + parent;
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
        return QStringLiteral("cannot create folder %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    if (!QFileInfo(folder).isDir()) return QStringLiteral("%1 is not a folder").arg(folder);
    return {};
}

// Whether the closing connection folds the log in. The call goes to the SQLite the driver itself
// uses, found from the driver's own code; a driver with a private copy of SQLite is left to its
// default, which folds it in.
void FoldLogOnClose(const QSqlDatabase& db, bool fold) {
#ifdef KESTRAVO_HISTORY_KEEPS_LOG
    const QSqlDriver* const sqlDriver = db.driver();
    const QVariant handle = sqlDriver ? sqlDriver->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) return;
    sqlite3* const connection = *static_cast<sqlite3* const*>(handle.constData());
    Dl_info where {};
    if (!connection || ::dladdr(sqlDriver->metaObject(), &where) == 0 || !where.dli_fname) return;
    void* const driver = ::dlopen(where.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!driver) return;
    using DbConfig = int (*)(sqlite3*, int, ...);
    if (const auto config = reinterpret_cast<DbConfig>(::dlsym(driver, "sqlite3_db_config")))
        config(connection, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, fold ? 0 : 1, static_cast<int*>(nullptr));
    ::dlclose(driver);
#else
    Q_UNUSED(db);
    Q_UNUSED(fold);
#endif
}

// Removes a history file this process created but could not set up: only while it and its log
// are still empty, so a file another first run has meanwhile filled is left to it.
void RemoveIfEmpty(const QString& path) {
    const QString wal = path + QStringLiteral("-wal");
    const QFileInfo file(path), log(wal);
    if (!file.isFile() || file.size() != 0 || (log.exists() && log.size() != 0)) return;
    QFile::remove(wal);
    QFile::remove(path + QStringLiteral("-shm"));
    QFile::remove(path);
}

} // namespace

QString OriginText(Origin origin) {
    return origin == Origin::Window ? QStringLiteral("window") : QStringLiteral("tool");
}

// Begin and Finish run twice per message of a fleet: their statements are prepared once.
struct SendHistory::Statements {
    explicit Statements(const QSqlDatabase& db) : begin(db), finish(db) {}
    QSqlQuery begin;
    QSqlQuery finish;
    bool beginPrepared = false;
    bool finishPrepared = false;
};

QString SendHistory::DefaultPath() {
    // Relative values are invalid for XDG variables and are ignored.
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/kestravo/history.sqlite");
}

void SendHistory::Fail(const QString& what, const QString& driverText) const {
    QString message = QStringLiteral("send history %1: %2").arg(path_, what);
    if (!driverText.trimmed().isEmpty()) message += QStringLiteral(": ") + driverText.trimmed();
    throw HistoryError(message.toStdString());
}

SendHistory::SendHistory(const QString& path, int busyTimeoutMs) : path_(path), busyTimeoutMs_(busyTimeoutMs) {
    if (path_.isEmpty()) throw HistoryError("send history: no file name given");
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        Fail(QStringLiteral("the SQLite driver for Qt SQL (QSQLITE) is not installed"), {});
    if (const QString problem = EnsureFolder(QFileInfo(path_).absolutePath()); !problem.isEmpty())
        Fail(problem, {});

    connectionName_ = QStringLiteral("kestravo-history-%1").arg(connectionCounter.fetch_add(1));
    // Opening creates the file; if it cannot be set up (a full disk, a file-size limit) the empty
    // file it leaves is taken away again, so that nothing half-made stays at the user's path.
    const bool existed = QFileInfo::exists(path_);
    try {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
        if (!db.isValid()) Fail(QStringLiteral("cannot load the SQLite driver"), db.lastError().text());
        db.setDatabaseName(path_);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
        if (!db.open()) Fail(QStringLiteral("cannot open"), db.lastError().text());
        FoldLogOnClose(db, true);

        QSqlQuery q(db);
        // Another program's database at this path is left exactly as it is: nothing is written
        // (not even the switch to WAL) before the file is known to be ours or empty.
        {
            // One statement, one snapshot: another first run may create the schema meanwhile, and
            // its tables and its version must be seen together or not at all.
            if (!q.exec(QStringLiteral("SELECT (SELECT count(*) FROM sqlite_master),"
                                       " (SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'sends'),"
                                       " (SELECT user_version FROM pragma_user_version)")) ||
                !q.next())
                Fail(QStringLiteral("cannot read it as an SQLite database"), q.lastError().text());
            const int objects = q.value(0).toInt();
            const bool hasSends = q.value(1).toInt() == 1;
            const int version = q.value(2).toInt();
            q.finish();
            if ((version == 0 && objects > 0) || (version > 0 && !hasSends))
                Fail(QStringLiteral("is a database of another program (its tables are not the send history's); "
                                    "it is left as it is: move it away or set XDG_DATA_HOME elsewhere"),
                     {});
        }
        // Switching a new file to WAL needs it to itself, and SQLite answers "locked" at once,
        // without the busy wait, while another process sets the same file up: ask again until the
        // busy wait would have ended.
        const QDeadlineTimer switchDeadline(busyTimeoutMs);
        while (!q.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !q.next()) {
            if ((q.lastError().nativeErrorCode().toInt() & 0xFF) != kSqliteBusy || switchDeadline.hasExpired())
                Fail(QStringLiteral("cannot switch to WAL mode"), q.lastError().text());
            q.finish();
            QThread::msleep(10);
        }
        if (q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
            Fail(QStringLiteral("the file system does not allow WAL mode (got %1)").arg(q.value(0).toString()), {});
        q.finish();

        // FULL would wait for the disk on every commit, two per send. In WAL mode NORMAL keeps the
        // file consistent and every commit survives a crash of this process; only a power loss can
        // take the last commits back, and those go in order. That may lose a row or leave a sent
        // one unfinished, but never makes a row lie: no "finished" outlives the row it finishes.
        if (!q.exec(QStringLiteral("PRAGMA synchronous = NORMAL")))
            Fail(QStringLiteral("cannot set the sync mode"), q.lastError().text());
        q.finish();

        const auto readVersion = [&] {
            if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
                return std::optional<int>();
            const int v = q.value(0).toInt();
            q.finish();
            return std::optional<int>(v);
        };
        const auto refuseNewer = [&](int version) {
            Fail(QStringLiteral("written by a newer version of this program (schema %1, this one knows %2)")
                     .arg(version)
                     .arg(kSchemaVersion),
                 {});
        };
        // A file already set up needs no write lock just to be looked at.
        const std::optional<int> seen = readVersion();
        if (!seen) Fail(QStringLiteral("cannot read the schema version"), q.lastError().text());
        if (*seen > kSchemaVersion) refuseNewer(*seen);
        if (*seen == kSchemaVersion) return;

        // IMMEDIATE takes the write lock at once, so two first runs do not both create the schema.
        if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
            Fail(QStringLiteral("cannot lock"), q.lastError().text());
        auto rollback = [&] { QSqlQuery(db).exec(QStringLiteral("ROLLBACK")); };
        const std::optional<int> locked = readVersion();
        if (!locked) {
            const QString text = q.lastError().text();
            rollback();
            Fail(QStringLiteral("cannot read the schema version"), text);
        }
        const int version = *locked;
        if (version > kSchemaVersion) {
            rollback();
            refuseNewer(version);
        }
        if (version == 0) {
            const char* const statements[] = {
                "CREATE TABLE sends ("
                " id INTEGER PRIMARY KEY,"
                " time_utc TEXT NOT NULL,"
                " imei TEXT NOT NULL,"
                " record BLOB NOT NULL,"
                " relay_host TEXT NOT NULL DEFAULT '',"
                " relay_port TEXT NOT NULL DEFAULT '',"
                " sender TEXT NOT NULL DEFAULT '',"
                " gateway TEXT NOT NULL DEFAULT '',"
                " code INTEGER NULL,"
                " reply TEXT NOT NULL DEFAULT '',"
                " message_id TEXT NOT NULL DEFAULT '',"
                " origin TEXT NOT NULL CHECK (origin IN ('window', 'tool')))",
                "CREATE INDEX sends_time ON sends (time_utc)",
                "CREATE INDEX sends_imei_time ON sends (imei, time_utc)",
            };
            for (const char* statement : statements) {
                if (!q.exec(QString::fromLatin1(statement))) {
                    const QString text = q.lastError().text();
                    rollback();
                    Fail(QStringLiteral("cannot create the tables"), text);
                }
            }
        }
        // Version 1 (made by an earlier program, or just above) to 2, in this same transaction:
        // either every row gains the new columns or the file stays as it was.
        if (version < 2) {
            for (const char* statement : kVersion2Columns) {
                if (!q.exec(QString::fromLatin1(statement))) {
                    const QString text = q.lastError().text();
                    rollback();
                    Fail(QStringLiteral("cannot bring the history from version %1 to 2").arg(version), text);
                }
            }
            if (!q.exec(QStringLiteral("PRAGMA user_version = 2"))) {
                const QString text = q.lastError().text();
                rollback();
                Fail(QStringLiteral("cannot write the schema version"), text);
            }
        }
        if (!q.exec(QStringLiteral("COMMIT"))) {
            const QString text = q.lastError().text();
            rollback();
            Fail(QStringLiteral("cannot write the schema"), text);
        }
        // A new or migrated file holds its own schema, not only the log.
        q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    } catch (...) {
        QSqlDatabase::database(connectionName_, false).close();
        QSqlDatabase::removeDatabase(connectionName_);
        if (!existed) RemoveIfEmpty(path_);
        throw;
    }
}

std::unique_ptr<SendHistory> SendHistory::OpenReadOnly(const QString& path) {
    return std::unique_ptr<SendHistory>(new SendHistory(path, ReadOnly{}));
}

SendHistory::SendHistory(const QString& path, ReadOnly) : path_(path) {
    if (path_.isEmpty()) throw HistoryError("send history: no file name given");
    if (!QFileInfo(path_).isFile()) Fail(QStringLiteral("no sends have been kept yet"), {});
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        Fail(QStringLiteral("the SQLite driver for Qt SQL (QSQLITE) is not installed"), {});
    connectionName_ = QStringLiteral("kestravo-history-%1").arg(connectionCounter.fetch_add(1));
    try {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
        if (!db.isValid()) Fail(QStringLiteral("cannot load the SQLite driver"), db.lastError().text());
        db.setDatabaseName(path_);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kDefaultBusyTimeoutMs));
        if (!db.open()) Fail(QStringLiteral("cannot open"), db.lastError().text());
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
            Fail(QStringLiteral("cannot read the schema version"), q.lastError().text());
        const int version = q.value(0).toInt();
        q.finish();
        if (version > kSchemaVersion)
            Fail(QStringLiteral("written by a newer version of this program (schema %1, this one knows %2)")
                     .arg(version)
                     .arg(kSchemaVersion),
                 {});
        if (version < 1) Fail(QStringLiteral("holds no send history"), {});
    } catch (...) {
        QSqlDatabase::database(connectionName_, false).close();
        QSqlDatabase::removeDatabase(connectionName_);
        throw;
    }
}

SendHistory::~SendHistory() {
    statements_.reset(); // the connection closes with no statement of its own left open
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
        // The file stands alone between runs, as a user who copies "the one SQLite file" expects:
        // the log goes into it now (a log others still write to stays theirs to fold in).
        if (db.isOpen()) QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName_);
}

SendHistory::Statements& SendHistory::Prepared() {
    if (!statements_) statements_ = std::make_unique<Statements>(QSqlDatabase::database(connectionName_, false));
    return *statements_;
}

qint64 SendHistory::Begin(const SendEntry& entry) {
    if (entry.record.size() != kRecordBytes)
        Fail(QStringLiteral("a record of %1 bytes, not %2").arg(entry.record.size()).arg(kRecordBytes), {});
    const QDateTime time = entry.timeUtc.isValid() ? entry.timeUtc : QDateTime::currentDateTimeUtc();

    Statements& statements = Prepared();
    QSqlQuery& q = statements.begin;
    if (!statements.beginPrepared)
        statements.beginPrepared =
            q.prepare(QStringLiteral("INSERT INTO sends (time_utc, imei, record, relay_host, relay_port, sender, gateway,"
                                     " code, reply, message_id, origin, transport, endpoint, flags, priority)"
                                     " VALUES (?, ?, ?, ?, ?, ?, ?, NULL, '', '', ?, ?, ?, ?, ?)"));
    q.bindValue(0, TimeText(time));
    q.bindValue(1, Text(entry.imei));
    q.bindValue(2, entry.record);
    q.bindValue(3, Text(entry.relayHost));
    q.bindValue(4, Text(entry.relayPort));
    q.bindValue(5, Text(entry.sender));
    q.bindValue(6, Text(entry.gateway));
    q.bindValue(7, OriginText(entry.origin));
    q.bindValue(8, entry.transport == QLatin1String("directip") ? QStringLiteral("directip") : QStringLiteral("email"));
    q.bindValue(9, entry.endpoint.isEmpty() ? Text(entry.relayHost) + u':' + Text(entry.relayPort) : entry.endpoint);
    q.bindValue(10, entry.flags);
    q.bindValue(11, entry.priority);
    const bool written = q.exec();
    const QVariant id = written ? q.lastInsertId() : QVariant();
    const QString error = q.lastError().text();
    q.finish();
    if (!written) Fail(QStringLiteral("cannot write the entry for %1").arg(entry.imei), error);
    if (!id.isValid()) Fail(QStringLiteral("the new entry for %1 has no id").arg(entry.imei), {});
    return id.toLongLong();
}

namespace {

// Runs a write, trying again while another writer holds the file, until the wait has passed.
bool ExecWaiting(QSqlQuery& q, int waitMs) {
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        if (q.exec()) return true;
        const int code = q.lastError().nativeErrorCode().toInt() & 0xFF;
        if ((code != kSqliteBusy && code != kSqliteLocked) || deadline.hasExpired()) return false;
        QThread::msleep(5);
    }
}

} // namespace

void SendHistory::Reference(qint64 id, const QString& reference, bool isMessageId) {
    QSqlQuery q(QSqlDatabase::database(connectionName_, false));
    q.prepare(QStringLiteral("UPDATE sends SET message_id = CASE WHEN ? THEN ? ELSE message_id END,"
                             " gateway_reference = ? WHERE id = ? AND code IS NULL"));
    q.addBindValue(isMessageId ? 1 : 0);
    q.addBindValue(Text(reference));
    q.addBindValue(Text(reference));
    q.addBindValue(id);
    if (!ExecWaiting(q, busyTimeoutMs_)) Fail(QStringLiteral("cannot keep the reference of entry %1").arg(id), q.lastError().text());
}

void SendHistory::Record(qint64 id, const QByteArray& record) {
    QSqlQuery q(QSqlDatabase::database(connectionName_, false));
    q.prepare(QStringLiteral("UPDATE sends SET record = ? WHERE id = ? AND code IS NULL"));
    q.addBindValue(record);
    q.addBindValue(id);
    if (!ExecWaiting(q, busyTimeoutMs_)) Fail(QStringLiteral("cannot keep the record of entry %1").arg(id), q.lastError().text());
}

void SendHistory::Finish(qint64 id, int code, const QString& reply, const QString& messageId, const QString& reference,
                         std::optional<int> queuePlace) {
    Statements& statements = Prepared();
    QSqlQuery& q = statements.finish;
    if (!statements.finishPrepared)
        statements.finishPrepared = q.prepare(
            QStringLiteral("UPDATE sends SET code = ?, reply = ?, message_id = CASE WHEN ? = '' THEN message_id ELSE ? END,"
                           " gateway_reference = CASE WHEN ? = '' THEN gateway_reference ELSE ? END, queue_place = ?"
                           " WHERE id = ? AND code IS NULL"));
    const QString ref = reference.isEmpty() ? Text(messageId) : reference;
    q.bindValue(0, code);
    q.bindValue(1, Text(reply));
    q.bindValue(2, Text(messageId));
    q.bindValue(3, Text(messageId));
    q.bindValue(4, ref);
    q.bindValue(5, ref);
    q.bindValue(6, queuePlace ? QVariant(*queuePlace) : QVariant(QMetaType(QMetaType::Int)));
    q.bindValue(7, id);
    const bool written = ExecWaiting(q, busyTimeoutMs_);
    const int rows = written ? q.numRowsAffected() : 0;
    const QString error = q.lastError().text();
    q.finish();
    if (!written) Fail(QStringLiteral("cannot complete entry %1").arg(id), error);
    if (rows == 1) return;
    if (Get(id)) Fail(QStringLiteral("entry %1 is already finished").arg(id), {});
    Fail(QStringLiteral("there is no entry %1").arg(id), {});
}

void SendHistory::Backup(const QString& target) const {
    if (QFileInfo::exists(target)) Fail(QStringLiteral("the backup %1 exists already; nothing was written").arg(target), {});
    // VACUUM INTO reads the history in one transaction: a consistent copy while others write, a
    // whole database in one file, log included.
    QSqlQuery q(QSqlDatabase::database(connectionName_, false));
    q.prepare(QStringLiteral("VACUUM INTO ?"));
    q.addBindValue(target);
    if (!ExecWaiting(q, busyTimeoutMs_)) Fail(QStringLiteral("cannot write the backup %1").arg(target), q.lastError().text());
}

std::vector<SendEntry> SendHistory::List(const HistoryFilter& filter) const {
    QString sql = QStringLiteral("SELECT %1 FROM sends").arg(QLatin1String(kColumns));
    QStringList conditions;
    if (!filter.imei.isEmpty()) conditions << QStringLiteral("imei = ?");
    if (filter.since.isValid()) conditions << QStringLiteral("time_utc >= ?");
    if (!conditions.isEmpty()) sql += QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    sql += QStringLiteral(" ORDER BY time_utc DESC, id DESC");
    if (filter.limit > 0) sql += QStringLiteral(" LIMIT ?");

    QSqlQuery q(QSqlDatabase::database(connectionName_, false));
    q.setForwardOnly(true);
    q.prepare(sql);
    if (!filter.imei.isEmpty()) q.addBindValue(filter.imei);
    if (filter.since.isValid()) q.addBindValue(TimeText(filter.since));
    if (filter.limit > 0) q.addBindValue(filter.limit);
    if (!q.exec()) Fail(QStringLiteral("cannot read the entries"), q.lastError().text());

    std::vector<SendEntry> entries;
    while (q.next()) entries.push_back(EntryFrom(q));
    if (q.lastError().isValid()) Fail(QStringLiteral("cannot read the entries"), q.lastError().text());
    return entries;
}

std::optional<SendEntry> SendHistory::Get(qint64 id) const {
    QSqlQuery q(QSqlDatabase::database(connectionName_, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM sends WHERE id = ?").arg(QLatin1String(kColumns)));
    q.addBindValue(id);
    if (!q.exec()) Fail(QStringLiteral("cannot read entry %1").arg(id), q.lastError().text());
    if (q.next()) return EntryFrom(q);
    if (q.lastError().isValid()) Fail(QStringLiteral("cannot read entry %1").arg(id), q.lastError().text());
    return std::nullopt;
}

} // namespace kestravo::history
