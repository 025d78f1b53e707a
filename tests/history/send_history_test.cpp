// SPDX-License-Identifier: Apache-2.0
#include "history/send_history.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include <sys/resource.h>

#include <sqlite3.h>

namespace kestravo::history {
namespace {

QByteArray Record(char fill) { return QByteArray(44, fill); }

SendEntry Entry(const QString& imei, const QDateTime& time = {}, Origin origin = Origin::Tool) {
    SendEntry e;
    e.timeUtc = time;
    e.imei = imei;
    e.record = Record('\x5a');
    e.relayHost = QStringLiteral("relay.example");
    e.relayPort = QStringLiteral("2525");
    e.sender = QStringLiteral("ops@example.org");
    e.gateway = QStringLiteral("data@sbd.iridium.com");
    e.origin = origin;
    return e;
}

QDateTime At(const char* iso) { return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODateWithMs); }

class SendHistoryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString Path() const { return dir.filePath(QStringLiteral("data/kestravo/history.sqlite")); }
    QTemporaryDir dir;
};

TEST_F(SendHistoryTest, BeginFinishRoundTripKeepsEveryColumn) {
    SendHistory history(Path());
    SendEntry entry = Entry(QStringLiteral("300234010753370"), At("2026-03-01T10:20:30.456Z"), Origin::Window);
    entry.record[0] = '\x01';
    entry.record[43] = '\xff';
    const qint64 id = history.Begin(entry);
    history.Finish(id, 554, QStringLiteral("554 5.7.1 refused"), QStringLiteral("<1.2@host>"));

    const std::optional<SendEntry> got = history.Get(id);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->id, id);
    EXPECT_EQ(got->timeUtc, entry.timeUtc);
    EXPECT_EQ(got->timeUtc.timeSpec(), Qt::UTC);
    EXPECT_EQ(got->imei, entry.imei);
    EXPECT_EQ(got->record, entry.record);
    EXPECT_EQ(got->relayHost, entry.relayHost);
    EXPECT_EQ(got->relayPort, entry.relayPort);
    EXPECT_EQ(got->sender, entry.sender);
    EXPECT_EQ(got->gateway, entry.gateway);
    ASSERT_TRUE(got->finished());
    EXPECT_EQ(*got->code, 554);
    EXPECT_EQ(got->reply, QStringLiteral("554 5.7.1 refused"));
    EXPECT_EQ(got->messageId, QStringLiteral("<1.2@host>"));
    EXPECT_EQ(got->origin, Origin::Window);

    const std::vector<SendEntry> all = history.List();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].id, id);
    EXPECT_FALSE(history.Get(id + 1));
}

// The history window only reads: a missing file stays missing, and a read-only handle writes
// nothing, while another handle goes on writing beside it.
TEST_F(SendHistoryTest, ReadOnlyOpenNeverCreatesOrWrites) {
    EXPECT_THROW(SendHistory::OpenReadOnly(Path()), HistoryError);
    EXPECT_FALSE(QFileInfo::exists(Path()));
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(Path()).absolutePath()));

    SendHistory writer(Path());
    const qint64 first = writer.Begin(Entry(QStringLiteral("300234010753370")));
    const std::unique_ptr<SendHistory> reader = SendHistory::OpenReadOnly(Path());
    ASSERT_EQ(reader->List().size(), 1u);
    EXPECT_EQ(reader->Get(first)->imei, QStringLiteral("300234010753370"));
    EXPECT_THROW(reader->Begin(Entry(QStringLiteral("300234010753371"))), HistoryError);
    writer.Finish(first, 0, QStringLiteral("250 ok"), QStringLiteral("<a@b>"));
    writer.Begin(Entry(QStringLiteral("300234010753372")));
    const std::vector<SendEntry> seen = reader->List();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].imei, QStringLiteral("300234010753372"));
    EXPECT_EQ(*reader->Get(first)->code, 0);
}

TEST_F(SendHistoryTest, StoredTimeIsUtcWithMillisecondsAndZ) {
    {
        SendHistory history(Path());
        history.Begin(Entry(QStringLiteral("300234010753370"), At("2026-03-01T12:00:00.007+02:00")));
        const qint64 now = history.Begin(Entry(QStringLiteral("300234010753371")));
        const QDateTime stamped = history.Get(now)->timeUtc;
        EXPECT_TRUE(stamped.isValid());
        EXPECT_LE(qAbs(stamped.secsTo(QDateTime::currentDateTimeUtc())), 3600) << "an unset time means now";
    }
    // The text in the file, read through a second handle.
    SendHistory again(Path());
    EXPECT_EQ(again.List({QStringLiteral("300234010753370"), {}, 0}).at(0).timeUtc,
              At("2026-03-01T10:00:00.007Z"));
}

TEST_F(SendHistoryTest, UnfinishedRowStaysUnfinishedAcrossReopen) {
    qint64 id = 0;
    {
        SendHistory history(Path());
        id = history.Begin(Entry(QStringLiteral("300234010753370")));
        // The process "dies" here: no Finish.
    }
    SendHistory reopened(Path());
    const std::optional<SendEntry> got = reopened.Get(id);
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->finished());
    EXPECT_FALSE(got->code.has_value());
    EXPECT_TRUE(got->reply.isEmpty());
    EXPECT_TRUE(got->messageId.isEmpty());
}

TEST_F(SendHistoryTest, FinishRefusesUnknownAndAlreadyFinishedIds) {
    SendHistory history(Path());
    const qint64 id = history.Begin(Entry(QStringLiteral("300234010753370")));
    history.Finish(id, 0, QStringLiteral("250 ok"), QStringLiteral("<a@b>"));
    try {
        history.Finish(id, 10060, QStringLiteral("timed out"), {});
        ADD_FAILURE() << "finishing twice was accepted";
    } catch (const HistoryError& e) {
        EXPECT_NE(std::strstr(e.what(), "already finished"), nullptr) << e.what();
    }
    EXPECT_EQ(*history.Get(id)->code, 0) << "the first result must survive";
    EXPECT_THROW(history.Finish(id + 100, 0, {}, {}), HistoryError);
}

TEST_F(SendHistoryTest, BeginRefusesARecordThatIsNot44Bytes) {
    SendHistory history(Path());
    SendEntry entry = Entry(QStringLiteral("300234010753370"));
    entry.record.chop(1);
    EXPECT_THROW(history.Begin(entry), HistoryError);
    EXPECT_TRUE(history.List().empty());
}

TEST_F(SendHistoryTest, ListFiltersNewestFirst) {
    SendHistory history(Path());
    const QString a = QStringLiteral("300234010753370");
    const QString b = QStringLiteral("300234010753371");
    const qint64 a1 = history.Begin(Entry(a, At("2026-01-01T00:00:00.000Z")));
    const qint64 b1 = history.Begin(Entry(b, At("2026-01-02T00:00:00.000Z")));
    const qint64 a2 = history.Begin(Entry(a, At("2026-01-03T00:00:00.000Z")));
    const qint64 b2 = history.Begin(Entry(b, At("2026-01-03T00:00:00.000Z"))); // same time: later id first
    const qint64 a0 = history.Begin(Entry(a, At("2025-12-31T23:59:59.999Z")));  // written last, older

    struct Case {
        const char* name;
        HistoryFilter filter;
        std::vector<qint64> ids;
    };
    const Case cases[] = {
        {"no filter", {}, {b2, a2, b1, a1, a0}},
        {"imei", {a, {}, 0}, {a2, a1, a0}},
        {"since is inclusive", {{}, At("2026-01-02T00:00:00.000Z"), 0}, {b2, a2, b1}},
        {"since in another zone", {{}, At("2026-01-02T02:00:00.000+02:00"), 0}, {b2, a2, b1}},
        {"limit", {{}, {}, 2}, {b2, a2}},
        {"all three", {b, At("2026-01-01T12:00:00.000Z"), 1}, {b2}},
        {"unknown imei", {QStringLiteral("999999999999999"), {}, 0}, {}},
        {"negative limit means none", {{}, {}, -1}, {b2, a2, b1, a1, a0}},
        {"imei text is a value, not SQL", {QStringLiteral("' OR 1=1 --"), {}, 0}, {}},
    };
    for (const Case& c : cases) {
        std::vector<qint64> ids;
        for (const SendEntry& e : history.List(c.filter)) ids.push_back(e.id);
        EXPECT_EQ(ids, c.ids) << c.name;
    }
}

TEST_F(SendHistoryTest, CreatesAPrivateFolderAndUsesWal) {
    { SendHistory history(Path()); }
    const QFileInfo folder(QFileInfo(Path()).absolutePath());
    EXPECT_TRUE(folder.isDir());
    EXPECT_EQ(folder.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                                      QFile::WriteOther | QFile::ExeOther),
              QFile::Permissions{});
    QFile file(Path());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray header = file.read(20);
    ASSERT_EQ(header.size(), 20);
    EXPECT_TRUE(header.startsWith("SQLite format 3"));
    EXPECT_EQ(header[18], 2) << "WAL write version";
}

TEST_F(SendHistoryTest, UnusablePathsGiveHistoryErrorNamingThePath) {
    // A regular file where a folder should be: refused even for root.
    const QString blocker = dir.filePath(QStringLiteral("blocker"));
    {
        QFile f(blocker);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QString notSqlite = dir.filePath(QStringLiteral("notes.sqlite"));
    {
        QFile f(notSqlite);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
    }
    const QString newer = dir.filePath(QStringLiteral("newer.sqlite"));
    {
        SendHistory history(newer);
    }
    {
        // Only a later program would write this; patch the version in the file header (offset 60).
        QFile f(newer);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.seek(60));
        f.write(QByteArray("\x00\x00\x00\x07", 4));
    }
    QFile::remove(newer + QStringLiteral("-wal"));
    QFile::remove(newer + QStringLiteral("-shm"));

    const struct {
        QString path;
        const char* expected;
    } cases[] = {
        {blocker + QStringLiteral("/kestravo/history.sqlite"), "cannot create folder"},
        {blocker + QStringLiteral("/history.sqlite"), "cannot create folder"},
        {dir.path(), "cannot open"},
        {notSqlite, "not a database"},
        {newer, "newer version"},
    };
    for (const auto& c : cases) {
        try {
            SendHistory history(c.path);
            ADD_FAILURE() << "opened " << c.path.toStdString();
        } catch (const HistoryError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.path.toStdString()), std::string::npos) << what;
            EXPECT_NE(what.find(c.expected), std::string::npos) << what;
        }
    }
    // The refusals left nothing behind that breaks the next good open.
    SendHistory good(Path());
    EXPECT_TRUE(good.List().empty());
}

// A history that cannot be set up (here a file-size limit of 0, which binds root too) is a clear
// error and leaves no empty file of its own at the path; a file that was there stays.
TEST_F(SendHistoryTest, AFileSizeLimitLeavesNoEmptyHistoryBehind) {
    const QString own = Path();
    const QString users = dir.filePath(QStringLiteral("users.sqlite"));
    {
        QFile f(users);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    std::string ownError, usersError;
    try {
        SendHistory history(own);
    } catch (const HistoryError& e) {
        ownError = e.what();
    }
    try {
        SendHistory history(users);
    } catch (const HistoryError& e) {
        usersError = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    EXPECT_NE(ownError.find(own.toStdString()), std::string::npos) << ownError;
    EXPECT_NE(usersError.find(users.toStdString()), std::string::npos) << usersError;
    EXPECT_NE(ownError.find("file-size limit"), std::string::npos) << ownError;
    EXPECT_NE(usersError.find("file-size limit"), std::string::npos) << usersError;
    const QStringList left = QDir(QFileInfo(own).absolutePath()).entryList(QDir::Files | QDir::Hidden);
    EXPECT_TRUE(left.isEmpty()) << left.join(u' ').toStdString();
    EXPECT_TRUE(QFileInfo(users).isFile());
    // Without the limit the same path is set up as on any first run.
    SendHistory good(own);
    EXPECT_TRUE(good.List().empty());
}

TEST(SendHistoryPath, DefaultPathFollowsXdgDataHome) {
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "/srv/data");
    EXPECT_EQ(SendHistory::DefaultPath(), QStringLiteral("/srv/data/kestravo/history.sqlite"));
    qputenv("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(SendHistory::DefaultPath(), QDir::homePath() + QStringLiteral("/.local/share/kestravo/history.sqlite"));
    qunsetenv("XDG_DATA_HOME");
    EXPECT_EQ(SendHistory::DefaultPath(), QDir::homePath() + QStringLiteral("/.local/share/kestravo/history.sqlite"));
    if (!saved.isNull()) qputenv("XDG_DATA_HOME", saved);
}

// Closing may leave the newest rows in the log beside the file, for the next open to read; a log
// grown long is folded in at close, and the file alone then holds every row.
TEST_F(SendHistoryTest, RowsOutliveCloseWhetherTheLogIsKeptOrFoldedIn) {
    for (const int rows : {1, 100}) {
        SCOPED_TRACE(rows);
        const QString path = dir.filePath(QStringLiteral("log-%1/history.sqlite").arg(rows));
        {
            SendHistory history(path);
            for (int i = 0; i < rows; ++i)
                history.Finish(history.Begin(Entry(QStringLiteral("300234010753370"))), 0, QStringLiteral("250 ok"), {});
        }
        {
            const std::vector<SendEntry> entries = SendHistory(path).List();
            ASSERT_EQ(entries.size(), std::size_t(rows));
            for (const SendEntry& e : entries) EXPECT_TRUE(e.finished());
        }
        if (rows < 100) continue;
        const QString alone = dir.filePath(QStringLiteral("alone/history.sqlite"));
        ASSERT_TRUE(QDir().mkpath(QFileInfo(alone).absolutePath()));
        ASSERT_TRUE(QFile::copy(path, alone));
        EXPECT_EQ(SendHistory(alone).List().size(), std::size_t(rows));
    }
}

TEST_F(SendHistoryTest, TwoHandlesInOneProcessShareTheFile) {
    SendHistory first(Path());
    auto second = std::make_unique<SendHistory>(Path());
    const qint64 id = first.Begin(Entry(QStringLiteral("300234010753370")));
    second->Finish(id, 0, QStringLiteral("250 ok"), {});
    second.reset();
    EXPECT_TRUE(first.Get(id)->finished());
}

// Several processes open the same new file at once and each writes its rows: nothing is lost and
// every row ends finished.
constexpr int kWriters = 4;
constexpr int kRowsPerWriter = 100;

TEST_F(SendHistoryTest, ConcurrentWriterProcessesLoseNothing) {
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int w = 0; w < kWriters; ++w) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--write-rows"), Path(), QString::number(w), QString::number(kRowsPerWriter)});
        writers.push_back(std::move(p));
    }
    for (auto& p : writers) {
        ASSERT_TRUE(p->waitForFinished(120000)) << "a writer hung";
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0);
    }

    SendHistory history(Path());
    const std::vector<SendEntry> all = history.List();
    EXPECT_EQ(all.size(), std::size_t{kWriters * kRowsPerWriter});
    std::set<QString> seen;
    for (const SendEntry& e : all) {
        EXPECT_TRUE(e.finished()) << e.id;
        EXPECT_EQ(e.reply, QStringLiteral("250 ok ") + e.imei);
        seen.insert(e.imei);
    }
    EXPECT_EQ(seen.size(), all.size()) << "every writer's rows are distinct";
}

// Runs statements on an SQLite file outside SendHistory, as another program (or an earlier version
// of this one) would.
void RunSql(const QString& path, const QStringList& statements) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("outside"));
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const QString& statement : statements) ASSERT_TRUE(q.exec(statement)) << statement.toStdString();
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("outside"));
}

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A version 1 file exactly as the program before version 2 made it (its schema, word for word),
// with a finished and an unfinished row; the new program brings it to version 2 in place.
TEST_F(SendHistoryTest, AVersion1FileIsMigratedInPlaceAndLosesNothing) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(Path()).absolutePath()));
    RunSql(Path(), {
        QStringLiteral("PRAGMA journal_mode = WAL"),
        QStringLiteral("CREATE TABLE sends ( id INTEGER PRIMARY KEY, time_utc TEXT NOT NULL, imei TEXT NOT NULL,"
                       " record BLOB NOT NULL, relay_host TEXT NOT NULL DEFAULT '', relay_port TEXT NOT NULL DEFAULT '',"
                       " sender TEXT NOT NULL DEFAULT '', gateway TEXT NOT NULL DEFAULT '', code INTEGER NULL,"
                       " reply TEXT NOT NULL DEFAULT '', message_id TEXT NOT NULL DEFAULT '',"
                       " origin TEXT NOT NULL CHECK (origin IN ('window', 'tool')))"),
        QStringLiteral("CREATE INDEX sends_time ON sends (time_utc)"),
        QStringLiteral("CREATE INDEX sends_imei_time ON sends (imei, time_utc)"),
        QStringLiteral("PRAGMA user_version = 1"),
        QStringLiteral("INSERT INTO sends (time_utc, imei, record, relay_host, relay_port, sender, gateway, code, reply,"
                       " message_id, origin) VALUES ('2026-12-01T10:00:00.000Z', '300234010123450', zeroblob(44),"
                       " 'relay.example', '2525', 'ops@example.org', 'data@sbd.iridium.com', 0, '250 queued as A1',"
                       " '1.2@host', 'window')"),
        QStringLiteral("INSERT INTO sends (time_utc, imei, record, relay_host, relay_port, sender, gateway, code, reply,"
                       " message_id, origin) VALUES ('2026-12-01T11:00:00.000Z', '300234010123451', zeroblob(44),"
                       " 'localhost', 'smtp', 'ops@example.org', 'data@sbd.iridium.com', NULL, '', '', 'tool')"),
    });

    {
        SendHistory history(Path());
        const std::vector<SendEntry> rows = history.List();
        ASSERT_EQ(rows.size(), 2u);
        const SendEntry& unfinished = rows[0];
        const SendEntry& sent = rows[1];
        EXPECT_EQ(sent.code, 0);
        EXPECT_EQ(sent.reply, QStringLiteral("250 queued as A1"));
        EXPECT_EQ(sent.messageId, QStringLiteral("1.2@host"));
        EXPECT_EQ(sent.origin, Origin::Window);
        EXPECT_EQ(sent.transport, QStringLiteral("email"));
        EXPECT_EQ(sent.endpoint, QStringLiteral("relay.example:2525"));
        EXPECT_EQ(sent.reference, QStringLiteral("1.2@host"));
        EXPECT_FALSE(sent.queuePlace);
        EXPECT_FALSE(unfinished.finished());
        EXPECT_EQ(unfinished.endpoint, QStringLiteral("localhost:smtp"));
        // The old unfinished row can still be completed, and new rows of either way go beside.
        history.Finish(unfinished.id, 10060, QStringLiteral("10060 timed out"), QString());
        SendEntry direct = Entry(QStringLiteral("300234010123452"));
        direct.transport = QStringLiteral("directip");
        direct.endpoint = QStringLiteral("gateway.example:10800");
        direct.flags = 1;
        direct.priority = 2;
        const qint64 id = history.Begin(direct);
        history.Finish(id, 0, QStringLiteral("queued, place 3 of the device's queue (reference 77)"), QString(),
                       QStringLiteral("77"), 3);
        const std::optional<SendEntry> got = history.Get(id);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->transport, QStringLiteral("directip"));
        EXPECT_EQ(got->endpoint, QStringLiteral("gateway.example:10800"));
        EXPECT_EQ(got->reference, QStringLiteral("77"));
        EXPECT_EQ(got->queuePlace, 3);
        EXPECT_EQ((std::pair{got->flags, got->priority}), (std::pair{1, 2}));
    }
    // Opened again it is simply version 2.
    SendHistory again(Path());
    EXPECT_EQ(again.List().size(), 3u);
}

// Another program's SQLite file where the history should be is refused, byte for byte untouched:
// no tables of ours, no switch to WAL.
TEST_F(SendHistoryTest, AForeignDatabaseIsRefusedAndLeftUntouched) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(Path()).absolutePath()));
    RunSql(Path(), {QStringLiteral("CREATE TABLE notes (body TEXT)"), QStringLiteral("INSERT INTO notes VALUES ('mine')")});
    const QByteArray before = FileBytes(Path());
    try {
        SendHistory history(Path());
        FAIL() << "a foreign database was taken";
    } catch (const HistoryError& error) {
        EXPECT_NE(std::string(error.what()).find("another program"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(Path().toStdString()), std::string::npos) << error.what();
    }
    EXPECT_EQ(FileBytes(Path()), before);
    EXPECT_FALSE(QFileInfo::exists(Path() + QStringLiteral("-wal")));
}

// A short run leaves its rows in the log beside the file (it pays for no fold): the file and its
// log copied together hold every row, and so does a backup taken while the history is open.
TEST_F(SendHistoryTest, TheFileWithItsLogHoldsEveryRowAfterCloseAndTheBackupToo) {
    const QString backup = dir.filePath(QStringLiteral("backup.sqlite"));
    {
        SendHistory history(Path());
        SendHistory other(Path()); // another program with the file open meanwhile
        for (int i = 0; i < 7; ++i)
            history.Finish(history.Begin(Entry(QStringLiteral("30023401012345%1").arg(i))), 0, QStringLiteral("250 ok"),
                           QStringLiteral("id%1@host").arg(i));
        history.Backup(backup);
        EXPECT_THROW(history.Backup(backup), HistoryError); // never over an existing file
    }
    EXPECT_GT(QFileInfo(Path() + QStringLiteral("-wal")).size(), 0) << "a short run folds nothing in";
    const QString copy = dir.filePath(QStringLiteral("copy/history.sqlite"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(copy).absolutePath()));
    ASSERT_TRUE(QFile::copy(Path(), copy));
    ASSERT_TRUE(QFile::copy(Path() + QStringLiteral("-wal"), copy + QStringLiteral("-wal")));
    EXPECT_EQ(SendHistory(copy).List().size(), 7u);
    EXPECT_EQ(SendHistory(backup).List().size(), 7u);
}


// SQLite as another program uses it: its own connection to the file.
class Outside {
public:
    explicit Outside(const QString& path) { EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db_), SQLITE_OK); }
    ~Outside() { sqlite3_close(db_); }
    void Exec(const char* sql) { ASSERT_EQ(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db_); }
    // Every row of a one-column query, as text.
    QStringList Texts(const char* sql) {
        QStringList out;
        sqlite3_stmt* stmt = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
        while (stmt && sqlite3_step(stmt) == SQLITE_ROW)
            out << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

QStringList Schema(const QString& path) {
    return Outside(path).Texts("SELECT type || ' ' || name || ': ' || sql FROM sqlite_master ORDER BY name");
}

QString OldFile(const char* name) { return QStringLiteral(KESTRAVO_HISTORY_FILES "/") + QLatin1String(name); }

// Files as the programs of versions 1 and 2 left them (made by those programs, kept in the tree):
// they open as before, their rows intact, and end with the very schema a new file gets.
TEST_F(SendHistoryTest, RealFilesOfEarlierVersionsOpenAsBefore) {
    { SendHistory fresh(Path()); }
    const QStringList freshSchema = Schema(Path());
    ASSERT_EQ(freshSchema.size(), 3);

    for (const char* name : {"history-v1.sqlite", "history-v2.sqlite"}) {
        SCOPED_TRACE(name);
        const QString copy = dir.filePath(QLatin1String(name));
        ASSERT_TRUE(QFile::copy(OldFile(name), copy));
        QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
        const QByteArray before = FileBytes(copy);
        const bool version2 = QByteArray(name).contains("v2");
        {
            SendHistory history(copy);
            const std::vector<SendEntry> rows = history.List();
            ASSERT_EQ(rows.size(), version2 ? 3u : 2u);
            const SendEntry& sent = rows.back();
            EXPECT_EQ(sent.timeUtc, At("2026-11-02T08:15:00.125Z"));
            EXPECT_EQ(sent.imei, QStringLiteral("300234010123450"));
            EXPECT_EQ(sent.record.toHex(), QByteArray("0030000000a00500000000000000000000000000000000ec0000000000000000"
                                                      "00000000050000000000e630"));
            EXPECT_EQ(std::pair(sent.relayHost, sent.relayPort), std::pair(QStringLiteral("relay.example"), QStringLiteral("2525")));
            EXPECT_EQ(sent.code, 0);
            EXPECT_EQ(sent.reply, QStringLiteral("250 2.0.0 queued as A1"));
            EXPECT_EQ(sent.messageId, QStringLiteral("<1.2@host.example>"));
            EXPECT_EQ(sent.reference, QStringLiteral("<1.2@host.example>"));
            EXPECT_EQ(sent.origin, Origin::Window);
            EXPECT_EQ(std::pair(sent.transport, sent.endpoint), std::pair(QStringLiteral("email"), QStringLiteral("relay.example:2525")));
            const SendEntry& unfinished = rows[rows.size() - 2];
            EXPECT_FALSE(unfinished.finished());
            EXPECT_EQ(unfinished.origin, Origin::Tool);
            if (version2) {
                // The program of version 2 stored a relay it never used for DirectIP rows.
                const SendEntry& direct = rows.front();
                EXPECT_EQ(std::pair(direct.transport, direct.endpoint),
                          std::pair(QStringLiteral("directip"), QStringLiteral("gateway.example:10800")));
                EXPECT_TRUE(direct.relayHost.isEmpty() && direct.relayPort.isEmpty());
                EXPECT_EQ(std::pair(direct.reference, direct.queuePlace), std::pair(QStringLiteral("77"), std::optional<int>(3)));
                EXPECT_EQ(std::pair(direct.flags, direct.priority), std::pair(1, 2));
            }
            history.Finish(unfinished.id, 10060, QStringLiteral("timed out"), {});
        }
        if (version2) EXPECT_EQ(FileBytes(copy), before) << "a file of this version is opened, not rewritten";
        EXPECT_EQ(Schema(copy), freshSchema);
        EXPECT_EQ(Outside(copy).Texts("PRAGMA user_version"), QStringList{QStringLiteral("2")});
    }
}

// The steps from a version 1 file run in one transaction: a step that fails half-way (here a
// column of version 2 that a stray tool already added) leaves the file exactly at version 1.
TEST_F(SendHistoryTest, AMigrationThatFailsHalfWayLeavesTheFileAsItWas) {
    const QString copy = dir.filePath(QStringLiteral("v1.sqlite"));
    ASSERT_TRUE(QFile::copy(OldFile("history-v1.sqlite"), copy));
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
    Outside(copy).Exec("ALTER TABLE sends ADD COLUMN priority INTEGER");
    const QStringList schema = Schema(copy);
    try {
        SendHistory history(copy);
        FAIL() << "opened";
    } catch (const HistoryError& e) {
        EXPECT_NE(std::string(e.what()).find("from version 1 to 2"), std::string::npos) << e.what();
    }
    EXPECT_EQ(Schema(copy), schema);
    Outside after(copy);
    EXPECT_EQ(after.Texts("PRAGMA user_version"), QStringList{QStringLiteral("1")});
    EXPECT_EQ(after.Texts("SELECT count(*) FROM sends"), QStringList{QStringLiteral("2")});
}

// A batch's rows go in together before its messages go out, and answers that came together are
// kept together; one bad entry refuses the whole batch, one stale id loses no other answer.
TEST_F(SendHistoryTest, BatchesAreWrittenWholeAndAnswersTogether) {
    SendHistory history(Path());
    std::vector<SendEntry> batch;
    for (int i = 0; i < 3; ++i) batch.push_back(Entry(QStringLiteral("30023401012345%1").arg(i)));
    std::vector<SendEntry> spoilt = batch;
    spoilt[1].record.chop(1);
    EXPECT_THROW(history.BeginMany(spoilt), HistoryError);
    EXPECT_TRUE(history.List().empty());

    const std::vector<qint64> ids = history.BeginMany(batch);
    ASSERT_EQ(ids.size(), 3u);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::optional<SendEntry> row = history.Get(ids[i]);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->imei, batch[i].imei);
        EXPECT_FALSE(row->finished());
    }
    history.Finish(ids[1], 0, QStringLiteral("250 ok"), QStringLiteral("<b@host>"));
    try {
        history.FinishMany({{ids[0], 0, QStringLiteral("250 ok"), QStringLiteral("<a@host>"), {}, {}},
                            {ids[1], 554, QStringLiteral("554 late"), {}, {}, {}},
                            {ids[2], 0, QStringLiteral("queued"), {}, QStringLiteral("77"), 2}});
        ADD_FAILURE() << "a finished row was finished again";
    } catch (const HistoryError& e) {
        EXPECT_NE(std::string(e.what()).find(QStringLiteral("entry %1 is already finished").arg(ids[1]).toStdString()),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(history.Get(ids[0])->reference, QStringLiteral("<a@host>"));
    EXPECT_EQ(history.Get(ids[1])->reply, QStringLiteral("250 ok")) << "the first answer stays";
    EXPECT_EQ(std::pair(history.Get(ids[2])->reference, history.Get(ids[2])->queuePlace),
              std::pair(QStringLiteral("77"), std::optional<int>(2)));
}

// A DirectIP send used no relay: whatever the caller passes, its row keeps none.
TEST_F(SendHistoryTest, DirectIpRowsKeepNoRelay) {
    SendHistory history(Path());
    SendEntry direct = Entry(QStringLiteral("300234010123450"));
    direct.relayHost = QStringLiteral("localhost");
    direct.relayPort = QStringLiteral("25");
    direct.transport = QStringLiteral("directip");
    direct.endpoint = QStringLiteral("gateway.example:10800");
    const qint64 id = history.Begin(direct);
    EXPECT_EQ(Outside(Path()).Texts("SELECT relay_host || '|' || relay_port || '|' || endpoint FROM sends"),
              QStringList{QStringLiteral("||gateway.example:10800")});
    EXPECT_TRUE(history.Get(id)->relayHost.isEmpty());
}

// What stops the history is said in words, and kind() tells a busy file from the rest.
TEST_F(SendHistoryTest, LocksDamageAndFileSizeLimitsAreToldApart) {
    const auto failure = [](auto&& open) -> std::pair<HistoryError::Kind, std::string> {
        try {
            open();
        } catch (const HistoryError& e) {
            return {e.kind(), e.what()};
        }
        return {HistoryError::Kind::Other, "no failure"};
    };
    using Kind = HistoryError::Kind;

    // Garbage bytes, and a real history cut short.
    const QString garbage = dir.filePath(QStringLiteral("garbage.sqlite"));
    {
        QFile f(garbage);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
    }
    const QString cut = dir.filePath(QStringLiteral("cut.sqlite"));
    {
        SendHistory history(cut);
        for (int i = 0; i < 200; ++i) history.Begin(Entry(QStringLiteral("300234010%1").arg(i, 6, 10, QLatin1Char('0'))));
    }
    Outside(cut).Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    ASSERT_GT(QFileInfo(cut).size(), 16384);
    ASSERT_TRUE(QFile::resize(cut, QFileInfo(cut).size() / 2));
    for (const QString& path : {garbage, cut}) {
        SCOPED_TRACE(path.toStdString());
        for (const auto& [kind, what] : {failure([&] { SendHistory(path).List(); }),
                                         failure([&] { SendHistory::OpenReadOnly(path)->List(); })}) {
            EXPECT_EQ(kind, Kind::Damaged) << what;
            EXPECT_NE(what.find("the file is damaged"), std::string::npos) << what;
        }
    }

    // Another program holds the file with BEGIN EXCLUSIVE: writers wait their own time and no more.
    {
        SendHistory history(Path(), 200);
        Outside locker(Path());
        locker.Exec("BEGIN EXCLUSIVE");
        const auto [kind, what] = failure([&] { history.Begin(Entry(QStringLiteral("300234010123450"))); });
        EXPECT_EQ(kind, Kind::Busy) << what;
        EXPECT_NE(what.find("another program holds the file locked"), std::string::npos) << what;
        locker.Exec("ROLLBACK");
    }
    // A reader is held up only where the other program's lock keeps readers out too (a file it
    // switched out of WAL mode): opening and listing wait what the reader gave, then say busy.
    {
        Outside locker(Path());
        locker.Exec("PRAGMA journal_mode = DELETE");
        const std::unique_ptr<SendHistory> reader = SendHistory::OpenReadOnly(Path(), 100);
        locker.Exec("BEGIN EXCLUSIVE");
        locker.Exec("UPDATE sends SET reply = reply");
        for (const auto& [kind, what] : {failure([&] { reader->List(); }),
                                         failure([&] { SendHistory::OpenReadOnly(Path(), 100); })}) {
            EXPECT_EQ(kind, Kind::Busy) << what;
            EXPECT_NE(what.find("waiting 100 ms"), std::string::npos) << what;
        }
        locker.Exec("ROLLBACK");
    }

    // A file-size limit met while writing (it binds root too); SIGXFSZ is the program's to ignore.
    {
        const QString limited = dir.filePath(QStringLiteral("limited.sqlite"));
        SendHistory history(limited);
        rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 64 * 1024;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const auto [kind, what] = failure([&] {
            for (int i = 0; i < 1000; ++i) history.Begin(Entry(QStringLiteral("300234010%1").arg(i, 6, 10, QLatin1Char('0'))));
        });
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, savedHandler);
        EXPECT_EQ(kind, Kind::SizeLimit) << what;
        EXPECT_NE(what.find("file-size limit"), std::string::npos) << what;
    }
}

// Child mode of the concurrent test: write count rows, each begun and finished.
int WriteRows(const QString& path, int writer, int count) {
    try {
        SendHistory history(path);
        for (int i = 0; i < count; ++i) {
            const QString imei = QStringLiteral("3002340%1%2").arg(writer, 2, 10, QLatin1Char('0')).arg(i, 6, 10, QLatin1Char('0'));
            const qint64 id = history.Begin(Entry(imei));
            history.Finish(id, 0, QStringLiteral("250 ok ") + imei, QStringLiteral("<%1@test>").arg(imei));
        }
        return 0;
    } catch (const HistoryError& e) {
        std::fprintf(stderr, "writer %d: %s\n", writer, e.what());
        return 1;
    }
}

} // namespace
} // namespace kestravo::history

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "--write-rows") == 0)
        return kestravo::history::WriteRows(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
