// SPDX-License-Identifier: Apache-2.0
// The send history through SQLite's own interface: one connection per object, statements prepared
// once, the failures read from SQLite's result codes (and the system's errno behind an I/O error)
// so that a lock, a damaged file and a file-size limit each say what they are.
#include "history/send_history.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

namespace kestravo::history {

using Kind = HistoryError::Kind;

namespace detail {

// One prepared statement, reset and cleared before each use.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement& Start() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        next_ = 1;
        return *this;
    }
    // Binds the next parameter; a null QString binds as '' (the text columns hold no NULL).
    Statement& Bind(const QString& text) {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(stmt_, next_++, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(const QByteArray& bytes) {
        sqlite3_bind_blob(stmt_, next_++, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(qint64 number) {
        sqlite3_bind_int64(stmt_, next_++, number);
        return *this;
    }
    Statement& Bind(std::optional<int> number) {
        if (number) sqlite3_bind_int64(stmt_, next_++, *number);
        else sqlite3_bind_null(stmt_, next_++);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(stmt_); }
    // Runs a statement that returns no rows, waiting while another writer holds the file until
    // waitMs has passed (SQLite answers some of those at once, without its own busy wait).
    int Run(int waitMs) {
        const QDeadlineTimer deadline(waitMs);
        for (;;) {
            const int rc = Step();
            sqlite3_reset(stmt_);
            const int primary = rc & 0xFF;
            if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || deadline.hasExpired()) return rc;
            QThread::msleep(5);
        }
    }

    bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    qint64 Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    QString Text(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return text ? QString::fromUtf8(text, sqlite3_column_bytes(stmt_, column)) : QString();
    }
    QByteArray Blob(int column) const {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
        return bytes ? QByteArray(bytes, sqlite3_column_bytes(stmt_, column)) : QByteArray();
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int next_ = 1;
};

} // namespace detail

namespace {

constexpr int kRecordBytes = 44;
// The log is folded into the file at close once it has grown this far; a short send leaves it for
// a later run, so that it pays for no sync of its own.
constexpr qint64 kFoldLogBytes = 512 * 1024;

QString TimeText(const QDateTime& time) { return time.toUTC().toString(Qt::ISODateWithMs); }

// When a column's value is written: by the database (the id), with the row before the send, or
// with the answer. A result column that keeps its value when given '' is written only when known.
enum class Written { ByDatabase, AtBegin, AtFinish, AtFinishWhenGiven };

using detail::Statement;

// The history's columns, in their order in the file. Each is named once here, with the type it is
// created with, the schema version that added it, and how it is written and read; the SQL to
// create, migrate, insert, complete and select is made from this table.
struct Column {
    const char* name;
    const char* type;
    int since;
    Written written;
    void (*bind)(Statement&, const SendEntry&);
    void (*read)(const Statement&, int, SendEntry&);
    const char* holds;
};

const Column kColumns[] = {
    {"id", "INTEGER PRIMARY KEY", 1, Written::ByDatabase, nullptr,
     [](const Statement& s, int i, SendEntry& e) { e.id = s.Int(i); }, "the row's number, the ID the tool shows"},
    {"time_utc", "TEXT NOT NULL", 1, Written::AtBegin, [](Statement& s, const SendEntry& e) { s.Bind(TimeText(e.timeUtc)); },
     [](const Statement& s, int i, SendEntry& e) {
         e.timeUtc = QDateTime::fromString(s.Text(i), Qt::ISODateWithMs).toUTC();
     },
     "when the attempt began: ISO 8601 in UTC, with milliseconds and Z"},
    {"imei", "TEXT NOT NULL", 1, Written::AtBegin, [](Statement& s, const SendEntry& e) { s.Bind(e.imei); },
     [](const Statement& s, int i, SendEntry& e) { e.imei = s.Text(i); }, "the device"},
    {"record", "BLOB NOT NULL", 1, Written::AtBegin, [](Statement& s, const SendEntry& e) { s.Bind(e.record); },
     [](const Statement& s, int i, SendEntry& e) { e.record = s.Blob(i); }, "the 44 bytes sent"},
    {"relay_host", "TEXT NOT NULL DEFAULT ''", 1, Written::AtBegin,
     [](Statement& s, const SendEntry& e) { s.Bind(e.relayHost); },
     [](const Statement& s, int i, SendEntry& e) { e.relayHost = s.Text(i); }, "the SMTP relay; empty by DirectIP"},
    {"relay_port", "TEXT NOT NULL DEFAULT ''", 1, Written::AtBegin,
     [](Statement& s, const SendEntry& e) { s.Bind(e.relayPort); },
     [](const Statement& s, int i, SendEntry& e) { e.relayPort = s.Text(i); }, "its port; empty by DirectIP"},
    {"sender", "TEXT NOT NULL DEFAULT ''", 1, Written::AtBegin, [](Statement& s, const SendEntry& e) { s.Bind(e.sender); },
     [](const Statement& s, int i, SendEntry& e) { e.sender = s.Text(i); }, "the envelope sender"},
    {"gateway", "TEXT NOT NULL DEFAULT ''", 1, Written::AtBegin, [](Statement& s, const SendEntry& e) { s.Bind(e.gateway); },
     [](const Statement& s, int i, SendEntry& e) { e.gateway = s.Text(i); }, "the gateway's mail address"},
    {"code", "INTEGER NULL", 1, Written::AtFinish,
     [](Statement& s, const SendEntry& e) { s.Bind(e.code); },
     [](const Statement& s, int i, SendEntry& e) {
         if (!s.IsNull(i)) e.code = int(s.Int(i));
     },
     "the result code, 0 for accepted; NULL while unfinished"},
    {"reply", "TEXT NOT NULL DEFAULT ''", 1, Written::AtFinish, [](Statement& s, const SendEntry& e) { s.Bind(e.reply); },
     [](const Statement& s, int i, SendEntry& e) { e.reply = s.Text(i); },
     "the answer that judged the message, or the error's text"},
    {"message_id", "TEXT NOT NULL DEFAULT ''", 1, Written::AtFinishWhenGiven,
     [](Statement& s, const SendEntry& e) { s.Bind(e.messageId); },
     [](const Statement& s, int i, SendEntry& e) { e.messageId = s.Text(i); }, "the mail's Message-ID"},
    {"origin", "TEXT NOT NULL CHECK (origin IN ('window', 'tool'))", 1, Written::AtBegin,
     [](Statement& s, const SendEntry& e) { s.Bind(OriginText(e.origin)); },
     [](const Statement& s, int i, SendEntry& e) {
         e.origin = s.Text(i) == QLatin1String("window") ? Origin::Window : Origin::Tool;
     },
     "which program sent it"},
    {"transport", "TEXT NOT NULL DEFAULT 'email' CHECK (transport IN ('email', 'directip'))", 2, Written::AtBegin,
     [](Statement& s, const SendEntry& e) { s.Bind(e.transport); },
     [](const Statement& s, int i, SendEntry& e) { e.transport = s.Text(i); }, "the way: email or directip"},
    {"endpoint", "TEXT NOT NULL DEFAULT ''", 2, Written::AtBegin, [](Statement& s, const SendEntry& e) { s.Bind(e.endpoint); },
     [](const Statement& s, int i, SendEntry& e) { e.endpoint = s.Text(i); },
     "HOST:PORT of the relay or the DirectIP gateway"},
    {"gateway_reference", "TEXT NOT NULL DEFAULT ''", 2, Written::AtFinishWhenGiven,
     [](Statement& s, const SendEntry& e) { s.Bind(e.reference); },
     [](const Statement& s, int i, SendEntry& e) { e.reference = s.Text(i); },
     "the gateway side's reference: the Message-ID, or DirectIP's auto ID reference"},
    {"queue_place", "INTEGER NULL", 2, Written::AtFinish, [](Statement& s, const SendEntry& e) { s.Bind(e.queuePlace); },
     [](const Statement& s, int i, SendEntry& e) {
         if (!s.IsNull(i)) e.queuePlace = int(s.Int(i));
     },
     "the place in the device's queue (DirectIP), NULL when none was given"},
    {"flags", "INTEGER NOT NULL DEFAULT 0", 2, Written::AtBegin, [](Statement& s, const SendEntry& e) { s.Bind(qint64(e.flags)); },
     [](const Statement& s, int i, SendEntry& e) { e.flags = int(s.Int(i)); }, "the DirectIP disposition flags sent"},
    {"priority", "INTEGER NOT NULL DEFAULT 0", 2, Written::AtBegin,
     [](Statement& s, const SendEntry& e) { s.Bind(qint64(e.priority)); },
     [](const Statement& s, int i, SendEntry& e) { e.priority = int(s.Int(i)); }, "the DirectIP priority, 0 for none"},
};

// The steps from one schema version to the next, in order: step N makes version N from N-1 by
// adding the columns of version N (step 1 creates the table with them) and then running its own
// statements. A file of any older version takes every later step, all in one transaction.
struct Migration {
    std::vector<const char*> then;
};
const Migration kMigrations[] = {
    {{"CREATE INDEX sends_time ON sends (time_utc)", "CREATE INDEX sends_imei_time ON sends (imei, time_utc)"}},
    // The rows of version 1 were all mail, through the relay they name.
    {{"UPDATE sends SET endpoint = relay_host || ':' || relay_port, gateway_reference = message_id"}},
};
constexpr int kSchemaVersion = int(std::size(kMigrations));

std::vector<std::string> MigrationStatements(int version) {
    std::vector<std::string> statements;
    if (version == 1) {
        std::string create = "CREATE TABLE sends (";
        const char* separator = " ";
        for (const Column& c : kColumns) {
            if (c.since != 1) continue;
            create += separator + std::string(c.name) + ' ' + c.type;
            separator = ", ";
        }
        statements.push_back(create + ")");
    } else {
        for (const Column& c : kColumns)
            if (c.since == version) statements.push_back(std::string("ALTER TABLE sends ADD COLUMN ") + c.name + ' ' + c.type);
    }
    for (const char* statement : kMigrations[version - 1].then) statements.emplace_back(statement);
    return statements;
}

std::string SelectSql(const char* tail) {
    std::string sql = "SELECT ";
    for (const Column& c : kColumns) sql += std::string(&c == kColumns ? "" : ", ") + c.name;
    return sql + " FROM sends" + tail;
}

std::string InsertSql() {
    std::string names, values;
    for (const Column& c : kColumns) {
        if (c.written != Written::AtBegin) continue;
        names += std::string(names.empty() ? "" : ", ") + c.name;
        values += values.empty() ? "?" : ", ?";
    }
    return "INSERT INTO sends (" + names + ") VALUES (" + values + ")";
}

// Completes an unfinished row; a value given as '' keeps what the row has where the column says so.
std::string FinishSql() {
    std::string sets;
    for (const Column& c : kColumns) {
        if (c.written != Written::AtFinish && c.written != Written::AtFinishWhenGiven) continue;
        const std::string name = c.name;
        sets += sets.empty() ? "" : ", ";
        sets += c.written == Written::AtFinish ? name + " = ?" : name + " = coalesce(nullif(?, ''), " + name + ")";
    }
    return "UPDATE sends SET " + sets + " WHERE id = ? AND code IS NULL";
}

SendEntry EntryFrom(const Statement& row) {
    SendEntry e;
    int index = 0;
    for (const Column& c : kColumns) c.read(row, index++, e);
    // Rows of version 2 kept the relay's defaults for DirectIP sends that never used a relay.
    if (e.transport == QLatin1String("directip")) {
        e.relayHost.clear();
        e.relayPort.clear();
    }
    return e;
}

// What Begin stores of an entry: the time now when none is given, the way as one of its two
// words, the endpoint of a mail send from its relay, and no relay for a DirectIP send.
SendEntry ForBegin(const SendEntry& entry) {
    SendEntry e = entry;
    if (!e.timeUtc.isValid()) e.timeUtc = QDateTime::currentDateTimeUtc();
    const bool directIp = e.transport == QLatin1String("directip");
    e.transport = directIp ? QStringLiteral("directip") : QStringLiteral("email");
    if (directIp) {
        e.relayHost = QString();
        e.relayPort = QString();
    } else if (e.endpoint.isEmpty()) {
        e.endpoint = e.relayHost + u':' + e.relayPort;
    }
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

// Whether the history or its log has grown to the file-size limit the process runs under (SQLite's
// record of the write's errno does not survive the rollback that follows it).
bool NearFileSizeLimit(const QString& path) {
    rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
    const qint64 largest = std::max(QFileInfo(path).size(), QFileInfo(path + QStringLiteral("-wal")).size());
    return rlim_t(largest) + 64 * 1024 >= limit.rlim_cur;
}

bool IsBusy(int code) { return (code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED; }

} // namespace

struct SendHistory::Statements {
    std::map<const char*, std::unique_ptr<Statement>> bySql; // keyed by the text's address: each is a constant
};

QString OriginText(Origin origin) {
    return origin == Origin::Window ? QStringLiteral("window") : QStringLiteral("tool");
}

QString SendHistory::DefaultPath() {
    // Relative values are invalid for XDG variables and are ignored.
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/kestravo/history.sqlite");
}

void SendHistory::Fail(const QString& what, Kind kind) const {
    throw HistoryError(QStringLiteral("send history %1: %2").arg(path_, what).toStdString(), kind);
}

void SendHistory::FailSql(const QString& what, int code) const {
    const int primary = code & 0xFF;
    const int systemError = db_ ? sqlite3_system_errno(db_) : 0;
    const QString sqliteText = db_ ? QString::fromUtf8(sqlite3_errmsg(db_)) : QString::fromUtf8(sqlite3_errstr(code));
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        Fail(QStringLiteral("%1: another program holds the file locked; gave up after waiting %2 ms").arg(what).arg(busyTimeoutMs_),
             Kind::Busy);
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || code == SQLITE_IOERR_SHORT_READ)
        Fail(QStringLiteral("%1: the file is damaged, not a whole SQLite database (garbage bytes, or cut short); "
                            "it is left as it is: move it away to start a new history (SQLite: %2)")
                 .arg(what, sqliteText),
             Kind::Damaged);
    if (systemError == EFBIG || ((primary == SQLITE_IOERR || primary == SQLITE_FULL) && NearFileSizeLimit(path_)))
        Fail(QStringLiteral("%1: the file has reached the file-size limit this program runs under (ulimit -f); "
                            "nothing more can be written to it")
                 .arg(what),
             Kind::SizeLimit);
    if (primary == SQLITE_FULL || systemError == ENOSPC || systemError == EDQUOT)
        Fail(QStringLiteral("%1: the disk is full").arg(what), Kind::DiskFull);
    if (systemError != 0 && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_READONLY ||
                             primary == SQLITE_PERM))
        Fail(QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(systemError))));
    Fail(QStringLiteral("%1: %2").arg(what, sqliteText));
}

detail::Statement& SendHistory::Prepared(const char* sql) const {
    std::unique_ptr<Statement>& statement = statements_->bySql[sql];
    if (!statement) {
        statement = std::make_unique<Statement>(db_, sql);
        if (!statement->ok()) {
            const int code = sqlite3_extended_errcode(db_);
            statement.reset();
            FailSql(QStringLiteral("cannot read it"), code);
        }
    }
    return statement->Start();
}

void SendHistory::Execute(const char* sql, const QString& what) {
    if (const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); rc != SQLITE_OK) FailSql(what, sqlite3_extended_errcode(db_));
}

void SendHistory::Open(bool readOnly) {
    statements_ = std::make_unique<Statements>();
    const QByteArray name = QFile::encodeName(path_);
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(name.constData(), &db_, flags, nullptr);
    if (db_) {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, busyTimeoutMs_);
    }
    if (rc != SQLITE_OK) FailSql(QStringLiteral("cannot open"), db_ ? sqlite3_extended_errcode(db_) : rc);
}

SendHistory::SendHistory(const QString& path, int busyTimeoutMs) : path_(path), busyTimeoutMs_(busyTimeoutMs) {
    if (path_.isEmpty()) throw HistoryError("send history: no file name given");
    if (const QString problem = EnsureFolder(QFileInfo(path_).absolutePath()); !problem.isEmpty()) Fail(problem);
    // Opening creates the file; if it cannot be set up (a full disk, a file-size limit) the empty
    // file it leaves is taken away again, so that nothing half-made stays at the user's path.
    const bool existed = QFileInfo::exists(path_);
    try {
        Open(false);
        SetUp();
    } catch (...) {
        statements_.reset();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        if (!existed) RemoveIfEmpty(path_);
        throw;
    }
}

void SendHistory::SetUp() {
    // Another program's database at this path is left exactly as it is: nothing is written (not
    // even the switch to WAL) before the file is known to be ours or empty. One statement, one
    // snapshot: another first run may create the schema meanwhile, and its tables and its version
    // must be seen together or not at all.
    int version = 0;
    {
        Statement& look = Prepared("SELECT (SELECT count(*) FROM sqlite_master),"
                                   " (SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'sends'),"
                                   " (SELECT user_version FROM pragma_user_version)");
        if (const int rc = look.Step(); rc != SQLITE_ROW) FailSql(QStringLiteral("cannot read it"), sqlite3_extended_errcode(db_));
        const qint64 objects = look.Int(0);
        const bool hasSends = look.Int(1) == 1;
        version = int(look.Int(2));
        look.Start();
        if ((version == 0 && objects > 0) || (version > 0 && !hasSends))
            Fail(QStringLiteral("is a database of another program (its tables are not the send history's); "
                                "it is left as it is: move it away or set XDG_DATA_HOME elsewhere"),
                 Kind::Foreign);
    }
    const auto refuseNewer = [&](int newer) {
        Fail(QStringLiteral("written by a newer version of this program (schema %1, this one knows %2)")
                 .arg(newer)
                 .arg(kSchemaVersion),
             Kind::Foreign);
    };
    if (version > kSchemaVersion) refuseNewer(version);

    // Switching a new file to WAL needs it to itself, and SQLite answers "locked" at once, without
    // the busy wait, while another process sets the same file up: ask again until the busy wait
    // would have ended.
    {
        const QDeadlineTimer deadline(busyTimeoutMs_);
        Statement& wal = Prepared("PRAGMA journal_mode = WAL");
        int rc = 0;
        while ((rc = wal.Step()) != SQLITE_ROW) {
            if (!IsBusy(rc) || deadline.hasExpired()) FailSql(QStringLiteral("cannot switch to WAL mode"), sqlite3_extended_errcode(db_));
            wal.Start();
            QThread::msleep(10);
        }
        const QString mode = wal.Text(0);
        wal.Start();
        if (mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
            Fail(QStringLiteral("the file system does not allow WAL mode (got %1)").arg(mode));
    }
    // In WAL mode NORMAL syncs nothing at a commit, only when the log is folded in: every commit
    // survives a crash of this process; a power loss can take the last commits back, in order. That
    // may lose a row or leave a sent one unfinished, but never makes a row lie: no "finished"
    // outlives the row it finishes.
    Execute("PRAGMA synchronous = NORMAL", QStringLiteral("cannot set the sync mode"));
    // Closing leaves the log beside the file: a short send pays for no fold of its own; the
    // destructor folds it once it has grown.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, static_cast<int*>(nullptr));
    if (version == kSchemaVersion) return;

    // IMMEDIATE takes the write lock at once, so two first runs do not both create the schema.
    Execute("BEGIN IMMEDIATE", QStringLiteral("cannot lock it to set it up"));
    try {
        Statement& again = Prepared("PRAGMA user_version");
        if (again.Step() != SQLITE_ROW) FailSql(QStringLiteral("cannot read the schema version"), sqlite3_extended_errcode(db_));
        const int locked = int(again.Int(0));
        again.Start();
        if (locked > kSchemaVersion) refuseNewer(locked);
        // Either every step applies or the file stays as it was.
        for (int step = locked + 1; step <= kSchemaVersion; ++step)
            for (const std::string& statement : MigrationStatements(step))
                Execute(statement.c_str(), step == 1 ? QStringLiteral("cannot create the tables")
                                                     : QStringLiteral("cannot bring the history from version %1 to %2")
                                                           .arg(step - 1)
                                                           .arg(step));
        Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(),
                QStringLiteral("cannot write the schema version"));
        Execute("COMMIT", QStringLiteral("cannot write the schema"));
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // A new or migrated file holds its own schema, not only the log.
    sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

std::unique_ptr<SendHistory> SendHistory::OpenReadOnly(const QString& path) {
    return OpenReadOnly(path, kDefaultBusyTimeoutMs);
}

std::unique_ptr<SendHistory> SendHistory::OpenReadOnly(const QString& path, int busyTimeoutMs) {
    return std::unique_ptr<SendHistory>(new SendHistory(path, busyTimeoutMs, ReadOnly{}));
}

SendHistory::SendHistory(const QString& path, int busyTimeoutMs, ReadOnly) : path_(path), busyTimeoutMs_(busyTimeoutMs) {
    if (path_.isEmpty()) throw HistoryError("send history: no file name given");
    if (!QFileInfo(path_).isFile()) Fail(QStringLiteral("no sends have been kept yet"));
    try {
        Open(true);
        // A reader leaves the log as it finds it, and waits for a writer no longer than it was told.
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, static_cast<int*>(nullptr));
        Statement& look = Prepared("PRAGMA user_version");
        if (look.Step() != SQLITE_ROW) FailSql(QStringLiteral("cannot read it"), sqlite3_extended_errcode(db_));
        const int version = int(look.Int(0));
        look.Start();
        if (version > kSchemaVersion)
            Fail(QStringLiteral("written by a newer version of this program (schema %1, this one knows %2)")
                     .arg(version)
                     .arg(kSchemaVersion),
                 Kind::Foreign);
        if (version < 1) Fail(QStringLiteral("holds no send history"), Kind::Foreign);
    } catch (...) {
        statements_.reset();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

SendHistory::~SendHistory() {
    statements_.reset(); // the connection closes with no statement of its own left open
    if (!db_) return;
    // The log is folded in once it has grown, when a run ends; a log others still read from stays
    // theirs to fold in, and nobody waits for them here.
    if (!sqlite3_db_readonly(db_, "main") && QFileInfo(path_ + QStringLiteral("-wal")).size() >= kFoldLogBytes) {
        sqlite3_busy_timeout(db_, 0);
        sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    }
    sqlite3_close_v2(db_);
}

qint64 SendHistory::Begin(const SendEntry& entry) { return BeginMany({entry}).front(); }

std::vector<qint64> SendHistory::BeginMany(const std::vector<SendEntry>& entries) {
    for (const SendEntry& entry : entries)
        if (entry.record.size() != kRecordBytes)
            Fail(QStringLiteral("a record of %1 bytes, not %2, for %3").arg(entry.record.size()).arg(kRecordBytes).arg(entry.imei));
    static const std::string insertSql = InsertSql();
    std::vector<qint64> ids;
    ids.reserve(entries.size());
    const bool batch = entries.size() > 1;
    if (batch) Execute("BEGIN IMMEDIATE", QStringLiteral("cannot write the entries"));
    try {
        for (const SendEntry& given : entries) {
            const SendEntry entry = ForBegin(given);
            Statement& insert = Prepared(insertSql.c_str());
            for (const Column& c : kColumns)
                if (c.written == Written::AtBegin) c.bind(insert, entry);
            if (const int rc = insert.Run(batch ? 0 : busyTimeoutMs_); rc != SQLITE_DONE)
                FailSql(QStringLiteral("cannot write the entry for %1").arg(entry.imei), sqlite3_extended_errcode(db_));
            ids.push_back(sqlite3_last_insert_rowid(db_));
        }
        if (batch) Execute("COMMIT", QStringLiteral("cannot write the entries"));
    } catch (...) {
        if (batch) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return ids;
}

void SendHistory::Reference(qint64 id, const QString& reference, bool isMessageId) {
    Statement& q = Prepared("UPDATE sends SET message_id = CASE WHEN ? THEN ? ELSE message_id END,"
                            " gateway_reference = ? WHERE id = ? AND code IS NULL");
    q.Bind(qint64(isMessageId ? 1 : 0)).Bind(reference).Bind(reference).Bind(id);
    if (q.Run(busyTimeoutMs_) != SQLITE_DONE)
        FailSql(QStringLiteral("cannot keep the reference of entry %1").arg(id), sqlite3_extended_errcode(db_));
}

void SendHistory::Record(qint64 id, const QByteArray& record) {
    Statement& q = Prepared("UPDATE sends SET record = ? WHERE id = ? AND code IS NULL");
    q.Bind(record).Bind(id);
    if (q.Run(busyTimeoutMs_) != SQLITE_DONE)
        FailSql(QStringLiteral("cannot keep the record of entry %1").arg(id), sqlite3_extended_errcode(db_));
}

void SendHistory::FinishOne(const SendResult& result, std::vector<qint64>* notFinished) {
    static const std::string finishSql = FinishSql();
    SendEntry values;
    values.code = result.code;
    values.reply = result.reply;
    values.messageId = result.messageId;
    values.reference = result.reference.isEmpty() ? result.messageId : result.reference;
    values.queuePlace = result.queuePlace;
    Statement& q = Prepared(finishSql.c_str());
    for (const Column& c : kColumns)
        if (c.written == Written::AtFinish || c.written == Written::AtFinishWhenGiven) c.bind(q, values);
    q.Bind(result.id);
    // A write another writer holds up is tried again until the busy timeout has passed once more.
    if (q.Run(notFinished ? 0 : busyTimeoutMs_) != SQLITE_DONE)
        FailSql(QStringLiteral("cannot complete entry %1").arg(result.id), sqlite3_extended_errcode(db_));
    if (sqlite3_changes(db_) == 1) return;
    if (notFinished) {
        notFinished->push_back(result.id);
        return;
    }
    if (Get(result.id)) Fail(QStringLiteral("entry %1 is already finished").arg(result.id));
    Fail(QStringLiteral("there is no entry %1").arg(result.id));
}

void SendHistory::Finish(qint64 id, int code, const QString& reply, const QString& messageId, const QString& reference,
                         std::optional<int> queuePlace) {
    FinishOne({id, code, reply, messageId, reference, queuePlace}, nullptr);
}

void SendHistory::FinishMany(const std::vector<SendResult>& results) {
    if (results.empty()) return;
    if (results.size() == 1) return FinishOne(results.front(), nullptr);
    std::vector<qint64> notFinished;
    Execute("BEGIN IMMEDIATE", QStringLiteral("cannot complete the entries"));
    try {
        for (const SendResult& result : results) FinishOne(result, &notFinished);
        Execute("COMMIT", QStringLiteral("cannot complete the entries"));
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (notFinished.empty()) return;
    const qint64 first = notFinished.front();
    Fail(Get(first) ? QStringLiteral("entry %1 is already finished").arg(first) : QStringLiteral("there is no entry %1").arg(first));
}

void SendHistory::Backup(const QString& target) const {
    if (QFileInfo::exists(target)) Fail(QStringLiteral("the backup %1 exists already; nothing was written").arg(target));
    // VACUUM INTO reads the history in one transaction: a consistent copy while others write, a
    // whole database in one file, log included.
    Statement& q = Prepared("VACUUM INTO ?");
    q.Bind(target);
    if (q.Run(busyTimeoutMs_) != SQLITE_DONE) FailSql(QStringLiteral("cannot write the backup %1").arg(target), sqlite3_extended_errcode(db_));
}

std::vector<SendEntry> SendHistory::List(const HistoryFilter& filter) const {
    // One statement per combination of filters, each prepared once.
    static const std::array<std::string, 8> sqls = [] {
        std::array<std::string, 8> made;
        for (int mask = 0; mask < 8; ++mask) {
            QStringList conditions;
            if (mask & 1) conditions << QStringLiteral("imei = ?");
            if (mask & 2) conditions << QStringLiteral("time_utc >= ?");
            std::string tail = conditions.isEmpty() ? "" : " WHERE " + conditions.join(QStringLiteral(" AND ")).toStdString();
            tail += " ORDER BY time_utc DESC, id DESC";
            if (mask & 4) tail += " LIMIT ?";
            made[mask] = SelectSql(tail.c_str());
        }
        return made;
    }();
    const int mask = (filter.imei.isEmpty() ? 0 : 1) | (filter.since.isValid() ? 2 : 0) | (filter.limit > 0 ? 4 : 0);
    Statement& q = Prepared(sqls[mask].c_str());
    if (mask & 1) q.Bind(filter.imei);
    if (mask & 2) q.Bind(TimeText(filter.since));
    if (mask & 4) q.Bind(qint64(filter.limit));

    std::vector<SendEntry> entries;
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) entries.push_back(EntryFrom(q));
    if (rc != SQLITE_DONE) {
        const int code = sqlite3_extended_errcode(db_);
        q.Start();
        FailSql(QStringLiteral("cannot read the entries"), code);
    }
    q.Start();
    return entries;
}

std::optional<SendEntry> SendHistory::Get(qint64 id) const {
    static const std::string sql = SelectSql(" WHERE id = ?");
    Statement& q = Prepared(sql.c_str());
    q.Bind(id);
    const int rc = q.Step();
    std::optional<SendEntry> entry;
    if (rc == SQLITE_ROW) entry = EntryFrom(q);
    const int code = sqlite3_extended_errcode(db_);
    q.Start();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) FailSql(QStringLiteral("cannot read entry %1").arg(id), code);
    return entry;
}

} // namespace kestravo::history
