// SPDX-License-Identifier: Apache-2.0
// "SEND CONFIG TO SAT" as the window's own: the real window, driven by clicks, against the gateway
// stand-in (tools/sbd-gateway-sim) and scripted relays on loopback: its texts, its two passes,
// SessionReady, the busy cursor, the deadline's box, a malformed setting, closing during a send,
// the send history.
// How the flow meets each kind of relay is tested once, on the flow itself (tests/mail).
#include "app/tform1.h"
#include "endpoints/settings_keys.h"
#include "history/send_history.h"
#include "record/codec.h"
#include "scripted_dialogs.h"
#include "kit/gateway_sim.h"
#include "kit/scripted_relay.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

using kestravo::TForm1;
using kestravo::history::SendHistory;
using kestravo::testkit::Attachment;
using kestravo::testkit::ScriptedRelay;

namespace {

constexpr int kWait = 30000; // ms; an upper bound for a loopback exchange, never a speed check
const QString kImei = QStringLiteral("300234010123450");

// The success box, as it has always read.
QString Result(int code)
{
    return QStringLiteral("Письмо отправлено\r\nMail sended\r\nError code ") + QString::number(code);
}

// The start of a failure's box; the reason follows on a line of its own.
QString Failure(int code)
{
    return QStringLiteral("Письмо не отправлено\r\nMail not sent\r\nError code ") + QString::number(code) +
           QStringLiteral("\r\n");
}

// One failure box for code, with a reason after the code.
bool IsFailureBox(const QStringList& shown, int code)
{
    return shown.size() == 1 && shown[0].startsWith(Failure(code)) && shown[0].size() > Failure(code).size();
}


QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// tools/sbd-gateway-sim on free loopback ports, storing what it accepts as this window's tests
// address it.
class Gateway : public kestravo::testkit::GatewaySim {
public:
    explicit Gateway(bool lenient, const QStringList& more = {})
        : GatewaySim(QStringList{QStringLiteral("--record-tool"), QStringLiteral(KESTRAVO_RECORD_TOOL),
                                 QStringLiteral("--gateway"), QStringLiteral("data@sbd.example")} +
                         (lenient ? QStringList{QStringLiteral("--lenient")} : QStringList()) + more,
                     Store)
    {
    }
};

// A whole accepted transaction after the greeting, with the client's QUIT.
#define MAIL_ACCEPTED                                                                                        \
    "C: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\nS: 250 ok\nC: DATA\n"      \
    "S: 354 go on\nM\nS: 250 queued\nC: QUIT\nS: 221 bye\nX\n"

QByteArray Header(const QList<QByteArray>& message, const QByteArray& name)
{
    for (const QByteArray& line : message)
        if (line.startsWith(name + ": "))
            return line.mid(name.size() + 2);
    return {};
}

} // namespace

class TestSendCommand : public QObject {
    Q_OBJECT

private:
    DialogScript script;
    std::unique_ptr<TForm1> form;
    QTemporaryDir config;   // XDG_CONFIG_HOME: no configuration file of the user's
    QTemporaryDir programs; // where the window writes temp.sbd
    std::unique_ptr<QTemporaryDir> data; // XDG_DATA_HOME, where the send history goes: one per test

    TForm1& Window(const QString& port)
    {
        qputenv("KESTRAVO_RELAY", ("127.0.0.1:" + port).toLatin1());
        script = DialogScript{};
        form = NewScriptedForm(script);
        form->SetRecordFolder(programs.path());
        form->show();
        form->findChild<QLineEdit*>(QStringLiteral("Edit1"))->setText(kImei);
        return *form;
    }
    TForm1& Window(quint16 port) { return Window(QString::number(port)); }
    QPushButton* SendButton() { return form->findChild<QPushButton*>(QStringLiteral("Button3")); }
    void Click() { QTest::mouseClick(SendButton(), Qt::LeftButton); }
    QLineEdit* Edit(const char* name) { return form->findChild<QLineEdit*>(QString::fromLatin1(name)); }
    QByteArray CurrentRecord()
    {
        const kestravo::TConfigRecord r = kestravo::EncodeRecord(*form);
        return QByteArray(reinterpret_cast<const char*>(r.data()), r.size());
    }
    QString RecordPath() const { return TForm1::TempRecordPath(programs.path()); }
    bool BusyCursorShown() const
    {
        return form->cursor().shape() == Qt::BusyCursor;
    }

private slots:
    void initTestCase()
    {
        // Every variable of the settings table, the security ones included.
        for (const kestravo::endpoints::SettingKey& key : kestravo::endpoints::SettingKeys())
            qunsetenv(key.variable);
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        qputenv("KESTRAVO_SENDER", "ops@example.org");
        qputenv("KESTRAVO_GATEWAY", "data@sbd.example");
    }
    void init()
    {
        data = std::make_unique<QTemporaryDir>();
        qputenv("XDG_DATA_HOME", data->path().toLocal8Bit());
    }
    void cleanup()
    {
        form.reset();
        qunsetenv("KESTRAVO_TRANSPORT");
        qunsetenv("KESTRAVO_DIRECTIP");
        data.reset();
        QFile::remove(RecordPath());
        qunsetenv("KESTRAVO_TIMEOUT");
        qunsetenv("KESTRAVO_HISTORY");
        qunsetenv("KESTRAVO_USER");
        QFile::remove(config.filePath(QStringLiteral("kestravo/kestravo.conf")));
    }

    void oneClickDeliversTheRecord_data()
    {
        QTest::addColumn<bool>("lenient");
        QTest::newRow("relay that takes MAIL at once") << true;
        QTest::newRow("relay that wants a greeting first") << false;
    }
    void oneClickDeliversTheRecord()
    {
        QFETCH(bool, lenient);
        Gateway gateway(lenient);
        QVERIFY2(!gateway.Port().isEmpty(), "the gateway stand-in did not start");
        Window(gateway.Port());
        Edit("Edit3")->setText(QStringLiteral("1440"));
        Edit("Edit20")->setText(QStringLiteral("-20"));

        Click();
        // The send shows itself over the window only, and the window stays usable meanwhile.
        QVERIFY(BusyCursorShown());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QVERIFY(form->isEnabled());
        QVERIFY(!form->SessionReady);
        const QByteArray clicked = CurrentRecord();
        // Changed after the click, before the connection is up: this belongs to the next send.
        Edit("Edit18")->setText(QStringLiteral("120"));
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);

        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QVERIFY(script.Errors().isEmpty());
        QVERIFY(!form->SessionReady);
        QTRY_VERIFY_WITH_TIMEOUT(!form->SendUnderWay(), kWait);
        QVERIFY(!BusyCursorShown());
        const QStringList stored = gateway.Stored(QStringLiteral(".sbd"));
        QCOMPARE(stored.size(), 1);
        QVERIFY(stored[0].endsWith(QStringLiteral("-") + kImei + QStringLiteral(".sbd")));
        QCOMPARE(ReadAll(stored[0]), clicked);
        QCOMPARE(ReadAll(RecordPath()), clicked);
        QVERIFY(clicked != CurrentRecord());
        const QByteArray eml = ReadAll(gateway.Stored(QStringLiteral(".eml")).value(0));
        QVERIFY(eml.contains("\r\nSubject: " + kImei.toLatin1() + "\r\n"));
        QVERIFY(eml.contains("name=\"temp.sbd\""));
    }

    // By DirectIP the box says where the record waits in the device's queue, or why the gateway
    // refused it; the stand-in prints the record it queued.
    void aDirectIpSendShowsTheQueuePlaceOrTheRefusal()
    {
        Gateway gateway(true, {QStringLiteral("--directip-port"), QStringLiteral("0"), QStringLiteral("--unknown-imei"),
                               QStringLiteral("300234010999999")});
        QVERIFY2(!gateway.DirectIpPort().isEmpty(), "the gateway stand-in did not start its DirectIP side");
        qputenv("KESTRAVO_TRANSPORT", "directip");
        qputenv("KESTRAVO_DIRECTIP", ("127.0.0.1:" + gateway.DirectIpPort()).toLatin1());
        Window(gateway.Port());
        for (int place = 1; place <= 2; ++place) {
            script = DialogScript{};
            Click();
            QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
            QCOMPARE(script.Messages(),
                     QStringList{Result(0) + QStringLiteral("\r\nqueued, place %1 of the device's queue (reference %1)").arg(place)});
            QTRY_VERIFY_WITH_TIMEOUT(!form->SendUnderWay(), kWait);
        }
        const QStringList stored = gateway.Stored(QStringLiteral(".sbd"));
        QCOMPARE(stored.size(), 2);
        QCOMPARE(ReadAll(stored[1]), CurrentRecord());

        form->findChild<QLineEdit*>(QStringLiteral("Edit1"))->setText(QStringLiteral("300234010999999"));
        script = DialogScript{};
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Failure(-2) + QStringLiteral("unknown IMEI: the gateway has no such "
                                                                             "device provisioned for you")});
        // The history knows the way, the gateway and the queue place.
        const std::vector<kestravo::history::SendEntry> rows = SendHistory(SendHistory::DefaultPath()).List();
        QCOMPARE(rows.size(), std::size_t(3));
        QCOMPARE(rows[2].transport, QStringLiteral("directip"));
        QCOMPARE(rows[2].endpoint, QStringLiteral("127.0.0.1:") + gateway.DirectIpPort());
        QCOMPARE(rows[2].queuePlace, std::optional<int>(1));
        QCOMPARE(rows[2].reference, QStringLiteral("1"));
        QCOMPARE(rows[0].code, std::optional<int>(-2));
    }

    void anUnreachableRelayGives500AndTheNextClickStartsOver()
    {
        QTcpServer unused;
        unused.listen(QHostAddress::LocalHost, 0);
        const quint16 deadPort = unused.serverPort();
        unused.close();

        Window(deadPort);
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QVERIFY2(IsFailureBox(script.Messages(), 500), qPrintable(script.Messages().join(u'|')));
        QVERIFY(!form->SessionReady);
        QTRY_VERIFY_WITH_TIMEOUT(!form->SendUnderWay(), kWait);
        QVERIFY(!BusyCursorShown());

        // The relay's setting is read again at the next click.
        ScriptedRelay relay("S: 220 ready\n" MAIL_ACCEPTED);
        qputenv("KESTRAVO_RELAY", "127.0.0.1:" + QByteArray::number(relay.Port()));
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(script.Messages().last(), Result(0));
        QCOMPARE(Attachment(relay.MessageLines()), CurrentRecord());
    }

    // With a user set and no other source of the password, the window asks for it once per run;
    // it goes to a loopback relay, signed in with, and the relay's refusal shows its code and
    // reason on lines of their own.
    void thePasswordIsAskedOnceAndARefusalIsShownWithItsReason()
    {
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"); // no keyring here
        qputenv("KESTRAVO_USER", "ops@example.org");
        const QByteArray password = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        const QByteArray credentials = QByteArray(1, '\0') + "ops@example.org" + QByteArray(1, '\0') + password;
        const QByteArray plain = "C: AUTH PLAIN " + credentials.toBase64() + "\n";
        const QByteArray greeting = "S: 220 ready\nC~: ^EHLO \nS: 250-relay\nS: 250 AUTH PLAIN LOGIN\n";
        ScriptedRelay relay(QString::fromLatin1(greeting + plain + "S: 235 welcome\n" MAIL_ACCEPTED "A\n" + greeting +
                                                plain + "S: 535 5.7.8 no\nC: QUIT\nS: 221 bye\nX\n"));
        Window(relay.Port());
        script.passwordAnswers << QString::fromLatin1(password);
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty() || !script.Errors().isEmpty(), kWait);
        QVERIFY2(script.Errors().isEmpty(), qPrintable(script.Errors().join(u'|') + relay.Unexpected().join(u'|')));
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(script.passwordQuestions, QStringList{QStringLiteral("Password for ops@example.org@127.0.0.1:%1").arg(relay.Port())});
        QTRY_VERIFY_WITH_TIMEOUT(!form->SendUnderWay(), kWait);

        Click(); // no second question: the answer holds for this run
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(script.passwordQuestions.size(), 1);
        const QStringList lines = script.Messages().last().split(QStringLiteral("\r\n"));
        QCOMPARE(lines.mid(0, 3).join(u'|'), Failure(535).split(QStringLiteral("\r\n")).mid(0, 3).join(u'|'));
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[3].contains(QStringLiteral("refused the user name or password")), qPrintable(lines[3]));
        QVERIFY(!script.Messages().join(u' ').contains(QString::fromLatin1(password)));
        QVERIFY(script.unexpected.isEmpty());

        // Cancelled: nothing is sent, and the box says why.
        qputenv("KESTRAVO_USER", "other@example.org");
        ScriptedRelay untouched("S: 220 ready\n");
        Window(untouched.Port());
        script.passwordAnswers << std::nullopt;
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Errors().isEmpty(), kWait);
        QVERIFY2(script.Errors().first().contains(QStringLiteral("no password was given")), qPrintable(script.Errors().first()));
        QVERIFY(script.Messages().isEmpty());
        QCOMPARE(untouched.Connections(), 0);
        qunsetenv("KESTRAVO_USER");
    }

    void aRefusedMailIsShownAndTheNextClickStartsOver()
    {
        ScriptedRelay relay("S: 220 ready\nC: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\n"
                            "S: 550 no such user\nC: QUIT\nS: 221 bye\nX\nA\nS: 220 ready\n" MAIL_ACCEPTED);
        Window(relay.Port());
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QVERIFY2(IsFailureBox(script.Messages(), 550), qPrintable(script.Messages().join(u'|')));
        QVERIFY(script.Messages()[0].endsWith(QStringLiteral("550 no such user")));
        QVERIFY(!form->SessionReady);
        QTRY_VERIFY_WITH_TIMEOUT(!form->SendUnderWay(), kWait);

        Click();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(script.Messages().last(), Result(0));
        QCOMPARE(relay.Connections(), 2);
        QVERIFY(relay.Finished());
        QVERIFY(script.Errors().isEmpty());
        // Both attempts are in the history, newest first.
        const auto rows = SendHistory().List();
        QCOMPARE(rows.size(), std::size_t(2));
        QCOMPARE(rows[0].code, std::optional<int>(0));
        QCOMPARE(rows[1].code, std::optional<int>(550));
    }

    void aRelayThatStopsAnsweringEndsWith10060AndTheNextClickStartsOver_data()
    {
        QTest::addColumn<QString>("relayScript");
        QTest::newRow("never greets") << QString();
        QTest::newRow("stops after the message") << QStringLiteral(
            "S: 220 ready\nC: MAIL FROM:<ops@example.org>\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\nS: 250 ok\n"
            "C: DATA\nS: 354 go on\nM\nH\n");
    }
    void aRelayThatStopsAnsweringEndsWith10060AndTheNextClickStartsOver()
    {
        QFETCH(QString, relayScript);
        qputenv("KESTRAVO_TIMEOUT", "1");
        ScriptedRelay relay(relayScript);
        Window(relay.Port());
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages().size(), 1);
        const QString shown = script.Messages()[0];
        QVERIFY2(shown.startsWith(Failure(10060) + QStringLiteral("10060 Connection timed out: the relay 127.0.0.1:")),
                 qPrintable(shown));
        QVERIFY2(shown.contains(QStringLiteral("did not answer within 1 second ")), qPrintable(shown));
        QVERIFY(!form->SessionReady);
        QVERIFY(!form->SendUnderWay());
        QVERIFY(!BusyCursorShown());

        ScriptedRelay next("S: 220 ready\n" MAIL_ACCEPTED);
        qputenv("KESTRAVO_RELAY", "127.0.0.1:" + QByteArray::number(next.Port()));
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(script.Messages().last(), Result(0));
    }

    void aMalformedSettingIsShownAndNothingIsSent_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("relay port 0") << QByteArray("KESTRAVO_RELAY") << QByteArray("127.0.0.1:0")
                                      << QStringLiteral("KESTRAVO_RELAY: relay \"127.0.0.1:0\": the port \"0\" is not a "
                                                        "whole number from 1 to 65535.");
        QTest::newRow("sender that would add a header")
            << QByteArray("KESTRAVO_SENDER") << QByteArray("ops@example.org\nBcc: x@y")
            << QStringLiteral("KESTRAVO_SENDER: address \"ops@example.org\\nBcc: x@y\" holds a blank, a control or "
                              "a non-ASCII character.");
        QTest::newRow("timeout past a day") << QByteArray("KESTRAVO_TIMEOUT") << QByteArray("86401")
                                            << QStringLiteral("KESTRAVO_TIMEOUT: timeout \"86401\" is not a whole number "
                                                              "of seconds from 1 to 86400.");
    }
    void aMalformedSettingIsShownAndNothingIsSent()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, value);
        QFETCH(QString, shown);
        ScriptedRelay relay("S: 220 ready\n");
        Window(relay.Port());
        const QByteArray before = qgetenv(variable.constData());
        qputenv(variable.constData(), value);
        Click();
        qputenv(variable.constData(), before);
        if (variable == "KESTRAVO_RELAY")
            qputenv("KESTRAVO_RELAY", "127.0.0.1:" + QByteArray::number(relay.Port()));
        if (before.isEmpty())
            qunsetenv(variable.constData());
        QCOMPARE(script.Errors(), QStringList{shown});
        QVERIFY(script.Messages().isEmpty());
        QVERIFY(!form->SessionReady);
        QVERIFY(!form->SendUnderWay());
        QVERIFY(!BusyCursorShown());
        QTest::qWait(50); // let a wrongly started connection show itself
        QCOMPARE(relay.Connections(), 0);
    }

    void aSettingThatIsNotANumberIsShownAndTheNextClickStartsAfresh()
    {
        Gateway gateway(true);
        Window(gateway.Port());
        Edit("Edit22")->setText(QStringLiteral("abc"));
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Errors().isEmpty(), kWait);
        QCOMPARE(script.Errors(), QStringList{QStringLiteral("''abc'' is not a valid integer value.")});
        QVERIFY(script.Messages().isEmpty());
        QVERIFY(!form->SessionReady);
        QVERIFY(!BusyCursorShown());

        Edit("Edit22")->setText(QStringLiteral("500"));
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(gateway.Stored(QStringLiteral(".sbd")).size(), 1);
    }

    void aRecordThatCannotBeWrittenIsNeverReplacedByAnOlderOne()
    {
        ScriptedRelay relay("S: 220 ready\n");
        Window(relay.Port());
        // A folder where temp.sbd belongs: the record cannot be written there.
        const QString path = RecordPath();
        QFile::remove(path);
        QVERIFY(QDir().mkdir(path));
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Errors().isEmpty(), kWait);
        QDir().rmdir(path);
        QVERIFY2(script.Errors()[0].contains(path), qPrintable(script.Errors()[0]));
        QVERIFY(script.Messages().isEmpty());
        QVERIFY(relay.MessageLines().isEmpty());
        QVERIFY(!form->SessionReady);
        QVERIFY(!BusyCursorShown());
    }

    void imeiRefusedBeforeAnythingIsSent_data()
    {
        QTest::addColumn<QString>("imei");
        QTest::newRow("14 characters") << QStringLiteral("30023401012345");
        QTest::newRow("a letter from a file name") << QStringLiteral("30023401012345a");
        QTest::newRow("a blank") << QStringLiteral("3002340101234 5");
    }
    void imeiRefusedBeforeAnythingIsSent()
    {
        QFETCH(QString, imei);
        ScriptedRelay relay("S: 220 ready\n");
        Window(relay.Port());
        Edit("Edit1")->setText(imei);
        Click();
        QCOMPARE(script.Messages(),
                 QStringList{QStringLiteral("Введен не полный IMEI !\r\nDo not enter the full IMEI !")});
        QTest::qWait(50); // let a wrongly started connection show itself
        QCOMPARE(relay.Connections(), 0);
        QVERIFY(!form->SendUnderWay());
    }

    void closingTheWindowNeverWaitsForTheRelay_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("while waiting for the greeting") << QStringLiteral("waiting");
        QTest::newRow("while the relay holds its reply to MAIL") << QStringLiteral("mailing");
    }
    void closingTheWindowNeverWaitsForTheRelay()
    {
        QFETCH(QString, when);
        ScriptedRelay relay(when == QStringLiteral("waiting") ? QStringLiteral("H\n")
                                                              : QStringLiteral("S: 220 ready\nC~: ^MAIL FROM\nH\n"));
        Window(relay.Port());
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(relay.Connections(), 1, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(relay.Holding(), kWait);
        QVERIFY(BusyCursorShown());
        QVERIFY(form->close());
        QVERIFY(!form->isVisible());
        QVERIFY(!form->SendUnderWay());
        QVERIFY(!form->SessionReady);
        QTest::qWait(50); // nothing more may happen for this window
        QVERIFY2(script.Errors().isEmpty(), qPrintable(script.Errors().join(u'|')));
        QCOMPARE(script.Messages().size(), 0);
        // Nothing reached the relay before the greeting: the row says "not sent", not unfinished.
        if (when == QStringLiteral("waiting")) {
            const auto rows = SendHistory().List();
            QCOMPARE(rows.size(), std::size_t(1));
            QCOMPARE(rows[0].code, std::optional<int>(500));
            QVERIFY2(rows[0].reply.contains(QStringLiteral("Not sent")), qPrintable(rows[0].reply));
        }
    }

    void eachSendIsKeptInTheHistory_data()
    {
        QTest::addColumn<QString>("relayAnswer"); // to RCPT TO, and what follows
        QTest::addColumn<int>("code");
        QTest::newRow("accepted") << QStringLiteral("S: 250 ok\nC: DATA\nS: 354 go on\nM\nS: 250 queued\n"
                                                    "C: QUIT\nS: 221 bye\nX\n")
                                  << 0;
        QTest::newRow("refused") << QStringLiteral("S: 550 no such user\nC: QUIT\nS: 221 bye\nX\n") << 550;
    }
    void eachSendIsKeptInTheHistory()
    {
        QFETCH(QString, relayAnswer);
        QFETCH(int, code);
        // The reply to MAIL is held: the row must already be there, unfinished.
        ScriptedRelay relay(QStringLiteral("S: 220 ready\nC: MAIL FROM:<ops@example.org>\nH\nS: 250 ok\n"
                                           "C: RCPT TO:<data@sbd.example>\n") +
                            relayAnswer);
        Window(relay.Port());
        Edit("Edit3")->setText(QStringLiteral("1440"));
        QVERIFY(!QFileInfo::exists(SendHistory::DefaultPath())); // not opened with the window
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(relay.Holding(), kWait);
        {
            const auto rows = SendHistory().List();
            QCOMPARE(rows.size(), std::size_t(1));
            QVERIFY(!rows[0].finished());
            QCOMPARE(rows[0].record, ReadAll(RecordPath()));
        }

        relay.Resume();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        if (code == 0)
            QCOMPARE(script.Messages(), QStringList{Result(code)});
        else
            QVERIFY2(IsFailureBox(script.Messages(), code), qPrintable(script.Messages().join(u'|')));
        QVERIFY(script.Errors().isEmpty());
        const auto rows = SendHistory().List();
        QCOMPARE(rows.size(), std::size_t(1));
        const kestravo::history::SendEntry& row = rows[0];
        QVERIFY(row.finished());
        QCOMPARE(*row.code, code);
        QCOMPARE(row.origin, kestravo::history::Origin::Window);
        QCOMPARE(row.imei, kImei);
        QCOMPARE(row.record.size(), qsizetype(44));
        QCOMPARE(row.record, ReadAll(RecordPath()));
        QCOMPARE(row.record, CurrentRecord());
        QCOMPARE(row.relayHost, QStringLiteral("127.0.0.1"));
        QCOMPARE(row.relayPort, QString::number(relay.Port()));
        QCOMPARE(row.sender, QStringLiteral("ops@example.org"));
        QCOMPARE(row.gateway, QStringLiteral("data@sbd.example"));
        QVERIFY(row.timeUtc.isValid());
        QVERIFY(qAbs(row.timeUtc.secsTo(QDateTime::currentDateTimeUtc())) < 3600);
        if (code == 0) {
            QVERIFY2(row.reply.startsWith(QStringLiteral("250")), qPrintable(row.reply));
            QVERIFY(!row.messageId.isEmpty());
            QCOMPARE("<" + row.messageId.toLatin1() + ">", Header(relay.MessageLines(), "Message-ID"));
        } else {
            QVERIFY2(row.reply.contains(QStringLiteral("550 no such user")), qPrintable(row.reply));
        }
    }

    void aHistoryTurnedOffWritesNothing_data()
    {
        QTest::addColumn<bool>("inTheFile"); // else in the environment
        QTest::newRow("KESTRAVO_HISTORY=off") << false;
        QTest::newRow("history=off in the settings file") << true;
    }
    void aHistoryTurnedOffWritesNothing()
    {
        QFETCH(bool, inTheFile);
        if (inTheFile) {
            QVERIFY(QDir().mkpath(config.filePath(QStringLiteral("kestravo"))));
            QFile conf(config.filePath(QStringLiteral("kestravo/kestravo.conf")));
            QVERIFY(conf.open(QIODevice::WriteOnly));
            conf.write("[mail]\nhistory=off\n");
        } else {
            qputenv("KESTRAVO_HISTORY", "off");
        }
        ScriptedRelay relay("S: 220 ready\n" MAIL_ACCEPTED);
        Window(relay.Port());
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QVERIFY(script.Errors().isEmpty());
        QVERIFY(!QFileInfo::exists(SendHistory::DefaultPath()));
        QVERIFY(QDir(data->path()).isEmpty());
    }

    void aHistoryThatCannotBeKeptIsToldOnceAndTheSendsGoOn()
    {
        // XDG_DATA_HOME names a file: the history's folder cannot be made.
        const QString blocker = data->filePath(QStringLiteral("not-a-folder"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        qputenv("XDG_DATA_HOME", blocker.toLocal8Bit());
        ScriptedRelay relay("S: 220 ready\n" MAIL_ACCEPTED "A\nS: 220 ready\n" MAIL_ACCEPTED);
        Window(relay.Port());

        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!form->SendUnderWay(), kWait);
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(relay.Finished(), kWait);
        QCOMPARE(relay.Connections(), 2);
        QCOMPARE(Attachment(relay.MessageLines()), CurrentRecord());

        // The result first, then the history's problem, once.
        QCOMPARE(script.shown.size(), 3);
        QVERIFY(!script.shown[0].error);
        QCOMPARE(script.shown[0].text, Result(0));
        QVERIFY(script.shown[1].error);
        QVERIFY2(script.shown[1].text.startsWith(QStringLiteral("The send history cannot be kept: ")),
                 qPrintable(script.shown[1].text));
        QVERIFY2(script.shown[1].text.contains(blocker), qPrintable(script.shown[1].text));
        QVERIFY(!script.shown[2].error);
        QCOMPARE(script.shown[2].text, Result(0));
        QVERIFY(QFileInfo(blocker).isFile());
    }

    void theRecordStaysBesideTheProgramOnlyInAFolderOfTheUsersOwn()
    {
        QTemporaryDir own;
        QTemporaryDir open;
        QVERIFY(QFile::setPermissions(open.path(), QFile::Permissions(0x7777)));
        const struct {
            QString folder;
            bool beside;
        } cases[] = {
            {own.path(), true},
            {QStringLiteral("/nonexistent/kestravo/folder"), false},
            {QString(), false},
            // Open to every user, like /tmp: another user could swap the file the mail carries.
            {open.path(), false},
        };
        // The private folder is made under XDG_DATA_HOME: a temporary one here.
        QTemporaryDir data;
        const QByteArray savedData = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
        for (const auto& c : cases) {
            const QString path = TForm1::TempRecordPath(c.folder);
            QCOMPARE(QFileInfo(path).fileName(), QStringLiteral("temp.sbd"));
            const QFileInfo folder(QFileInfo(path).absolutePath());
            QVERIFY2((folder.absoluteFilePath() == QFileInfo(c.folder).absoluteFilePath()) == c.beside,
                     qPrintable(c.folder + QStringLiteral(" -> ") + path));
            QVERIFY(folder.isDir());
            if (!c.beside) {
                QVERIFY2(path.startsWith(data.path()), qPrintable(path));
                QCOMPARE(folder.permissions() &
                             (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                         QFile::Permissions());
            }
        }
        if (savedData.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", savedData);
    }

    void aLinkInPlaceOfTempSbdIsNotFollowed()
    {
        Gateway gateway(true);
        QVERIFY2(!gateway.Port().isEmpty(), "the gateway stand-in did not start");
        Window(gateway.Port());
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.filePath(QStringLiteral("victim"));
        QFile seed(victim);
        QVERIFY(seed.open(QIODevice::WriteOnly) && seed.write("keep me") == 7);
        seed.close();
        QVERIFY(QFile::link(victim, RecordPath()));

        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(ReadAll(victim), QByteArray("keep me"));
        QVERIFY(!QFileInfo(RecordPath()).isSymLink());
        QCOMPARE(ReadAll(RecordPath()), CurrentRecord());
    }

    void aClickWhileTheMailIsUnderWayChangesNothingOfIt()
    {
        // The reply to MAIL is held while the operator types another IMEI and setting and clicks.
        ScriptedRelay relay("S: 220 ready\nC: MAIL FROM:<ops@example.org>\nH\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\n"
                            "S: 250 ok\nC: DATA\nS: 354 go on\nM\nS: 250 queued\nC: QUIT\nS: 221 bye\nX\n");
        Window(relay.Port());
        Edit("Edit3")->setText(QStringLiteral("1440"));
        const QByteArray record = CurrentRecord();
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(relay.Holding(), kWait);
        QCOMPARE(ReadAll(RecordPath()), record);

        Edit("Edit1")->setText(QStringLiteral("300234010999999"));
        Edit("Edit3")->setText(QStringLiteral("60"));
        Click();
        // A plain note, never an error box that reads like a failure of the send under way.
        QVERIFY(script.Errors().isEmpty());
        QCOMPARE(script.Messages(), QStringList{TForm1::SendUnderWayNote()});
        QCOMPARE(ReadAll(RecordPath()), record);
        QVERIFY(BusyCursorShown());
        QCOMPARE(SendButton()->text(), QStringLiteral("SENDING…"));

        relay.Resume();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(script.Messages().last(), Result(0));
        QCOMPARE(SendButton()->text(), QStringLiteral("SEND CONFIG TO SAT"));
        QCOMPARE(Header(relay.MessageLines(), "Subject"), kImei.toLatin1());
        QCOMPARE(Attachment(relay.MessageLines()), record);
        QTRY_VERIFY_WITH_TIMEOUT(relay.Finished(), kWait);
    }

    void aSecondClickBeforeTheGreetingIsRefusedAndTheSendGoesOn()
    {
        ScriptedRelay relay("H\nS: 220 ready\n" MAIL_ACCEPTED);
        Window(relay.Port());
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(relay.Connections(), 1, kWait);
        // The row is on record before the relay has greeted: a send stopped here is "unfinished".
        {
            const auto rows = SendHistory().List();
            QCOMPARE(rows.size(), std::size_t(1));
            QVERIFY(!rows[0].finished());
            QCOMPARE(rows[0].imei, form->findChild<QLineEdit*>(QStringLiteral("Edit1"))->text());
        }
        Click();
        QVERIFY(script.Errors().isEmpty());
        QCOMPARE(script.Messages(), QStringList{TForm1::SendUnderWayNote()});

        relay.Resume();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(script.Messages().last(), Result(0));
        QCOMPARE(relay.Connections(), 1);
        QCOMPARE(Attachment(relay.MessageLines()), CurrentRecord());
        // The same row, completed, with the record that went out.
        const auto rows = SendHistory().List();
        QCOMPARE(rows.size(), std::size_t(1));
        QCOMPARE(rows[0].code, std::optional<int>(0));
        QCOMPARE(rows[0].record, CurrentRecord());
    }

    void aSecondWindowNeverReplacesTheRecordOfASendUnderWay()
    {
        // Both windows run from the same folder and so write the same temp.sbd.
        ScriptedRelay relay("S: 220 ready\nC: MAIL FROM:<ops@example.org>\nH\nS: 250 ok\nC: RCPT TO:<data@sbd.example>\n"
                            "S: 250 ok\nC: DATA\nS: 354 go on\nM\nS: 250 queued\nC: QUIT\nS: 221 bye\nX\n");
        Window(relay.Port());
        const QByteArray record = CurrentRecord();
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(relay.Holding(), kWait);

        DialogScript otherScript;
        std::unique_ptr<TForm1> other = NewScriptedForm(otherScript);
        other->SetRecordFolder(programs.path());
        ScriptedRelay otherRelay("S: 220 ready\n" MAIL_ACCEPTED);
        qputenv("KESTRAVO_RELAY", "127.0.0.1:" + QByteArray::number(otherRelay.Port()));
        other->findChild<QLineEdit*>(QStringLiteral("Edit1"))->setText(QStringLiteral("300234010999999"));
        other->findChild<QLineEdit*>(QStringLiteral("Edit3"))->setText(QStringLiteral("60"));
        QTest::mouseClick(other->findChild<QPushButton*>(QStringLiteral("Button3")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!otherScript.Errors().isEmpty(), kWait);
        QVERIFY2(otherScript.Errors()[0].startsWith(QStringLiteral("Another send is using ")),
                 qPrintable(otherScript.Errors()[0]));
        QVERIFY(!other->SessionReady);
        QTest::qWait(50); // let a wrongly started connection show itself
        QCOMPARE(otherRelay.Connections(), 0);

        relay.Resume();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(Attachment(relay.MessageLines()), record);

        // Once the first send is done the other window sends its own record.
        QTest::mouseClick(other->findChild<QPushButton*>(QStringLiteral("Button3")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!otherScript.Messages().isEmpty(), kWait);
        QCOMPARE(otherScript.Messages(), QStringList{Result(0)});
        const kestravo::TConfigRecord otherRecord = kestravo::EncodeRecord(*other);
        QCOMPARE(Attachment(otherRelay.MessageLines()),
                 QByteArray(reinterpret_cast<const char*>(otherRecord.data()), otherRecord.size()));
    }

    // The send belongs to the click: an IMEI and a setting typed while the relay has not yet
    // greeted change neither the mail nor its history row.
    void whatIsTypedWhileConnectingBelongsToTheNextSend()
    {
        ScriptedRelay relay("H\nS: 220 ready\n" MAIL_ACCEPTED);
        Window(relay.Port());
        const QByteArray clicked = CurrentRecord();
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(relay.Holding(), kWait);
        Edit("Edit1")->setText(QStringLiteral("300234010999999"));
        Edit("Edit3")->setText(QStringLiteral("60"));
        QVERIFY(CurrentRecord() != clicked);

        relay.Resume();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(Header(relay.MessageLines(), "Subject"), kImei.toLatin1());
        QCOMPARE(Attachment(relay.MessageLines()), clicked);
        const auto rows = SendHistory().List();
        QCOMPARE(rows.size(), std::size_t(1));
        QCOMPARE(rows[0].imei, kImei);
        QCOMPARE(rows[0].record, clicked);
        QCOMPARE(rows[0].code, std::optional<int>(0));
        QCOMPARE("<" + rows[0].messageId.toLatin1() + ">", Header(relay.MessageLines(), "Message-ID"));
    }
};

QTEST_MAIN(TestSendCommand)
#include "tst_send_command.moc"
