// SPDX-License-Identifier: Apache-2.0
// The send history window against a history written by kestravo-record send through the gateway
// stand-in: the list newest first, its filters, a send's record as decode shows it, two sends
// compared as diff does, the export, the load into the main window and the refresh after a send.
#include "app/history_window.h"
#include "app/second_windows.h"
#include "app/tform1.h"
#include "history/send_history.h"
#include "record/codec.h"
#include "kit/gateway_sim.h"
#include "scripted_dialogs.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QApplication>
#include <QPointer>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kWait = 30000; // ms; an upper bound for a loopback exchange, never a speed check
const QString kTool = QStringLiteral(KESTRAVO_RECORD_TOOL);
const QString kFirst = QStringLiteral("300234010123450");
const QString kSecond = QStringLiteral("300234010123451");

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Run {
    int code = -1;
    QString out;
};

Run Tool(const QStringList& args)
{
    QProcess p;
    p.start(kTool, args);
    p.waitForFinished(kWait);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput())};
}

} // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir home;
    std::unique_ptr<kestravo::testkit::GatewaySim> gateway;
    QString port;
    DialogScript script;
    std::unique_ptr<kestravo::TForm1> form;

    QString Path(const QString& name) const { return home.filePath(name); }

    void Send(const QString& imei, const QString& file)
    {
        const Run run = Tool({QStringLiteral("send"), QStringLiteral("--imei"), imei, QStringLiteral("--relay"),
                              QStringLiteral("127.0.0.1:") + port, QStringLiteral("--to"),
                              QStringLiteral("data@sbd.example"), file});
        QVERIFY2(run.code == 0, qPrintable(run.out));
    }

    kestravo::HistoryWindow* Window() { return form->Windows().History(); }
    int Shown() { return Window()->Shown()->rowCount(); }
    QString ShownText(int row, int column) { return Window()->Shown()->index(row, column).data().toString(); }

    QStringList FormState(kestravo::TForm1& f)
    {
        QStringList state{f.findChild<QLineEdit*>(QStringLiteral("Edit1"))->text()};
        for (const kestravo::FieldSpec& field : kestravo::Fields())
            state << QString::number(kestravo::ReadSetting(f, field));
        return state;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(Path(QStringLiteral("data"))));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Path(QStringLiteral("config"))));
        qunsetenv("KESTRAVO_HISTORY");
        qunsetenv("KESTRAVO_RELAY");
        gateway = std::make_unique<kestravo::testkit::GatewaySim>(
            QStringList{QStringLiteral("--lenient"), QStringLiteral("--no-decode"), QStringLiteral("--gateway"),
                        QStringLiteral("data@sbd.example")});
        port = gateway->Port();
        QVERIFY2(!port.isEmpty(), qPrintable(gateway->Error()));

        QCOMPARE(Tool({QStringLiteral("encode"), QStringLiteral("-o"), Path(QStringLiteral("hourly.sbd")),
                       QStringLiteral("SendInterval=60")})
                     .code,
                 0);
        QCOMPARE(Tool({QStringLiteral("encode"), QStringLiteral("-o"), Path(QStringLiteral("daily.sbd")),
                       QStringLiteral("SendInterval=1440"), QStringLiteral("TempHighLevel=-20")})
                     .code,
                 0);
        // Oldest first: the first device hourly, the second daily, the first daily.
        Send(kFirst, Path(QStringLiteral("hourly.sbd")));
        Send(kSecond, Path(QStringLiteral("daily.sbd")));
        Send(kFirst, Path(QStringLiteral("daily.sbd")));
    }
    void cleanupTestCase()
    {
        gateway.reset();
    }
    void init()
    {
        script = DialogScript{};
        form = NewScriptedForm(script);
        form->Windows().OpenHistory();
        QVERIFY(Window() != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!Window()->Reading(), kWait);
    }
    void cleanup()
    {
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        form.reset();
    }

    void listsTheSendsNewestFirst()
    {
        QCOMPARE(Shown(), 3);
        QCOMPARE(ShownText(0, kestravo::HistoryWindow::ImeiColumn), kFirst);
        QCOMPARE(ShownText(1, kestravo::HistoryWindow::ImeiColumn), kSecond);
        QCOMPARE(ShownText(2, kestravo::HistoryWindow::ImeiColumn), kFirst);
        QCOMPARE(ShownText(0, kestravo::HistoryWindow::ResultColumn), QStringLiteral("sent (code 0)"));
        QVERIFY(ShownText(0, kestravo::HistoryWindow::RouteColumn).startsWith(QStringLiteral("127.0.0.1:") + port));
        QVERIFY(ShownText(0, kestravo::HistoryWindow::RouteColumn).endsWith(QStringLiteral("data@sbd.example")));
        QCOMPARE(ShownText(0, kestravo::HistoryWindow::OriginColumn), QStringLiteral("tool"));
        // Local time, as the operator's clock shows it.
        const QDateTime shown = QDateTime::fromString(ShownText(0, kestravo::HistoryWindow::TimeColumn),
                                                      QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY(shown.isValid());
        QVERIFY(qAbs(shown.secsTo(QDateTime::currentDateTime())) < 3600);
        // Reading created nothing beside the file.
        QVERIFY(!QFile::exists(kestravo::history::SendHistory::DefaultPath() + QStringLiteral("-journal")));
    }

    void filtersByImeiAndDate()
    {
        auto* imei = Window()->findChild<QLineEdit*>(QStringLiteral("imeiFilter"));
        auto* dateOn = Window()->findChild<QCheckBox*>(QStringLiteral("dateFilterOn"));
        auto* date = Window()->findChild<QDateEdit*>(QStringLiteral("dateFilter"));
        imei->setText(kSecond);
        QCOMPARE(Shown(), 1);
        imei->setText(kFirst);
        QCOMPARE(Shown(), 2);
        imei->clear();
        date->setDate(QDate::currentDate());
        dateOn->setChecked(true);
        QCOMPARE(Shown(), 3);
        date->setDate(QDate::currentDate().addDays(-1));
        QCOMPARE(Shown(), 0);
        dateOn->setChecked(false);
        QCOMPARE(Shown(), 3);
    }

    void showsTheRecordAsDecodeDoes()
    {
        Window()->SelectRows({1});
        const Run decode = Tool({QStringLiteral("decode"), Path(QStringLiteral("daily.sbd"))});
        QCOMPARE(decode.code, 0);
        QVERIFY2(Window()->Details().endsWith(decode.out.trimmed()), qPrintable(Window()->Details()));
        QVERIFY(Window()->Details().contains(kSecond));
    }

    void comparesTwoSendsAsDiffDoes()
    {
        Window()->SelectRows({0, 2});
        Window()->CompareSelected();
        const Run diff = Tool({QStringLiteral("diff"), Path(QStringLiteral("hourly.sbd")), Path(QStringLiteral("daily.sbd"))});
        QCOMPARE(diff.code, 1);
        QVERIFY(diff.out.contains(QStringLiteral("SendInterval: 60 -> 1440")));
        QVERIFY2(Window()->Details().endsWith(diff.out.trimmed()), qPrintable(Window()->Details()));
    }

    void exportIsWhatWasSentAndLoadIsWhatOpenGives()
    {
        Window()->SelectRows({0});
        const QString exported = Path(kFirst + QStringLiteral(".sbd"));
        script.saveAnswers << exported;
        Window()->ExportSelected();
        QCOMPARE(script.proposedNames, QStringList{kFirst + QStringLiteral(".sbd")});
        QCOMPARE(ReadAll(exported), ReadAll(Path(QStringLiteral("daily.sbd"))));

        Window()->LoadSelected();
        DialogScript otherScript;
        auto opened = NewScriptedForm(otherScript);
        otherScript.openAnswers << exported;
        opened->Button2Click();
        QVERIFY(otherScript.shown.isEmpty());
        QCOMPARE(FormState(*form), FormState(*opened));
        QCOMPARE(form->findChild<QLineEdit*>(QStringLiteral("Edit3"))->text(), QStringLiteral("1440"));
    }

    void refreshesWhenASendEnds()
    {
        QCOMPARE(Shown(), 3);
        Send(kSecond, Path(QStringLiteral("hourly.sbd")));
        QCOMPARE(Shown(), 3);
        emit form->SendEnded();
        QTRY_COMPARE_WITH_TIMEOUT(Shown(), 4, kWait);
        QCOMPARE(ShownText(0, kestravo::HistoryWindow::ImeiColumn), kSecond);
    }

    // The keyboard: Tab leaves the list (the selection stays), Esc closes the window; the list
    // shows a whole IMEI and time.
    void tabLeavesTheListAndEscapeCloses()
    {
        Window()->show();
        Window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(Window()));
        auto* view = Window()->findChild<QTableView*>(QStringLiteral("sendsView"));
        const QFontMetrics metrics(view->font());
        QVERIFY(view->columnWidth(kestravo::HistoryWindow::ImeiColumn) >= metrics.horizontalAdvance(kFirst));
        QVERIFY(view->columnWidth(kestravo::HistoryWindow::TimeColumn) >=
                metrics.horizontalAdvance(QStringLiteral("2026-12-31 23:59:59")));
        Window()->SelectRows({0});
        view->setFocus();
        QTest::keyClick(view, Qt::Key_Tab);
        QVERIFY(!view->hasFocus());
        QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(view->selectionModel()->selectedRows().at(0).row(), 0);
        const QPointer<kestravo::HistoryWindow> window = Window();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QTRY_VERIFY(window == nullptr || !window->isVisible());
    }

    // Another program holds the file in an exclusive transaction: the window shows at once what it
    // listed before and says in words that the file is busy; let go, the next refresh lists again.
    void aBusyFileIsSaidInWordsAndTriedAgain()
    {
        QProcess holder;
        holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        holder.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"),
                      QStringLiteral("import sqlite3, sys\n"
                                     "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                     "c.execute('PRAGMA locking_mode=EXCLUSIVE')\n"
                                     "c.execute('BEGIN EXCLUSIVE')\n"
                                     "c.execute('SELECT count(*) FROM sends').fetchall()\n"
                                     "print('held', flush=True)\n"
                                     "sys.stdin.read()\n"),
                      kestravo::history::SendHistory::DefaultPath()});
        QVERIFY(holder.waitForStarted(kWait));
        QVERIFY(holder.waitForReadyRead(kWait));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

        const int listed = Shown();
        QVERIFY(listed > 0);
        Window()->Refresh();
        QVERIFY(Window()->Reading());
        QCOMPARE(Shown(), listed); // what the last read found stays listed meanwhile
        QTRY_VERIFY2_WITH_TIMEOUT(Window()->Status().startsWith(QStringLiteral("The history file is busy")),
                                  qPrintable(Window()->Status()), kWait);

        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(kWait));
        QTRY_VERIFY_WITH_TIMEOUT(!Window()->Reading(), kWait);
        Window()->Refresh();
        QTRY_VERIFY_WITH_TIMEOUT(!Window()->Reading(), kWait);
        QCOMPARE(Shown(), listed);
        QVERIFY2(Window()->Status().startsWith(QStringLiteral("%1 sends kept").arg(listed)), qPrintable(Window()->Status()));
    }
};

QTEST_MAIN(HistoryWindowTest)
#include "tst_history_window.moc"
