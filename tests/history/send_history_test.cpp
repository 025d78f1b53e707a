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

// Without the SQLite driver plugin the history refuses with a HistoryError instead of crashing;
// run in a child so that this process keeps its plugins.
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

// The history file stands alone once a program has closed it (a copy of it alone holds every
// row), and a backup taken while it is open holds every row too.
TEST_F(SendHistoryTest, TheFileAloneHoldsEveryRowAfterCloseAndTheBackupToo) {
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
    const QString copy = dir.filePath(QStringLiteral("copy/history.sqlite"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(copy).absolutePath()));
    ASSERT_TRUE(QFile::copy(Path(), copy));
    EXPECT_EQ(SendHistory(copy).List().size(), 7u);
    EXPECT_EQ(SendHistory(backup).List().size(), 7u);
}

TEST_F(SendHistoryTest, MissingSqliteDriverIsAHistoryError) {
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--without-driver"), Path()});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.constData();
    EXPECT_EQ(child.exitCode(), 0) << output.constData();
    EXPECT_TRUE(output.contains("SQLite driver")) << output.constData();
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(Path()).absolutePath())) << "nothing created without a driver";
}

// Child mode of the driver test: no plugin folders at all.
int OpenWithoutDriver(const QString& path) {
    QCoreApplication::setLibraryPaths({});
    try {
        SendHistory history(path);
        std::fprintf(stderr, "opened without a driver\n");
        return 1;
    } catch (const HistoryError& e) {
        std::printf("%s\n", e.what());
        return 0;
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
    if (argc == 3 && std::strcmp(argv[1], "--without-driver") == 0)
        return kestravo::history::OpenWithoutDriver(QString::fromLocal8Bit(argv[2]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
