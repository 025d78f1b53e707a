// "SEND CONFIG TO SAT" end to end: the real window, driven by clicks, and the real client against
// the gateway stand-in (tools/sbd-gateway-sim) on loopback, in its strict and lenient modes, plus a
// few scripted relays for what the stand-in never does.
#include "app/tform1.h"
#include "record/codec.h"
#include "scripted_dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using kestravo::TForm1;
using kestravo::mail::smtpReady;

namespace {

constexpr int kWait = 30000; // ms; an upper bound for a loopback exchange, never a speed check
const QString kImei = QStringLiteral("300234010123450");

QString Result(int code)
{
    return QStringLiteral("Письмо отправлено\r\nMail sended\r\nError code ") + QString::number(code);
}

// The attachment temp.sbd of a message gathered by a scripted relay, decoded.
QByteArray Attachment(const QList<QByteArray>& message)
{
    qsizetype i = 0;
    while (i < message.size() && !message[i].contains("filename=\"temp.sbd\""))
        ++i;
    while (i < message.size() && !message[i].isEmpty())
        ++i;
    QByteArray base64;
    for (++i; i < message.size() && !message[i].isEmpty() && !message[i].startsWith("--"); ++i)
        base64 += message[i];
    return QByteArray::fromBase64(base64);
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// tools/sbd-gateway-sim on a free loopback port, storing what it accepts.
class Gateway {
public:
    explicit Gateway(bool lenient)
    {
        QStringList args{QStringLiteral(KESTRAVO_GATEWAY_SIM), QStringLiteral("--port"), QStringLiteral("0"),
                         QStringLiteral("--store"), store.path(), QStringLiteral("--record-tool"),
                         QStringLiteral(KESTRAVO_RECORD_TOOL)};
        if (lenient)
            args << QStringLiteral("--lenient");
        process.start(QStringLiteral("/usr/bin/python3"), args);
        if (!process.waitForStarted(kWait))
            return;
        while (!process.canReadLine() && process.waitForReadyRead(kWait)) {
        }
        const QByteArray first = process.readLine().trimmed();
        if (first.startsWith("listening on "))
            port = QString::fromLatin1(first.mid(first.lastIndexOf(':') + 1));
    }
    ~Gateway()
    {
        process.terminate();
        if (!process.waitForFinished(kWait))
            process.kill();
        process.waitForFinished(kWait);
    }
    QStringList Stored(const QString& suffix) const
    {
        QStringList out;
        for (const QString& name : QDir(store.path()).entryList({QStringLiteral("*") + suffix}, QDir::Files))
            out << QDir(store.path()).filePath(name);
        return out;
    }

    QTemporaryDir store;
    QProcess process;
    QString port;
};

// A relay played by the test: greets (or not) and answers every command line with the next reply
// of its list, the last one repeated. After a 354 reply to DATA it gathers the message up to the
// "." line, which takes the next reply. A reply "HOLD" leaves the line unanswered until Answer();
// "CLOSE" drops the connection instead of answering.
class ScriptedRelay : public QObject {
public:
    ScriptedRelay(QByteArray greeting, QList<QByteArray> replies) : greeting_(greeting), replies_(replies)
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* s = server.nextPendingConnection();
            peer_ = s;
            ++connections;
            if (!greeting_.isEmpty())
                s->write(greeting_ + "\r\n");
            connect(s, &QTcpSocket::readyRead, s, [this, s] {
                while (s->canReadLine()) {
                    const QByteArray line = s->readLine().chopped(2);
                    if (inData_) {
                        if (line != ".") {
                            message << line;
                            continue;
                        }
                        inData_ = false;
                    }
                    lines << line;
                    const QByteArray reply = replies_.size() > 1 ? replies_.takeFirst() : replies_.value(0);
                    if (reply == "CLOSE") {
                        s->disconnectFromHost();
                        return;
                    }
                    if (reply == "HOLD")
                        continue;
                    if (!reply.isEmpty())
                        s->write(reply + "\r\n");
                    inData_ = line == "DATA" && reply.startsWith("354");
                    if (line == "QUIT")
                        s->disconnectFromHost();
                }
            });
        });
    }
    QString Port() const { return QString::number(server.serverPort()); }
    // Answers the line left on hold.
    void Answer(const QByteArray& reply)
    {
        if (peer_)
            peer_->write(reply + "\r\n");
    }
    void Drop()
    {
        if (peer_)
            peer_->disconnectFromHost();
    }
    QByteArray Header(const QByteArray& name) const
    {
        for (const QByteArray& line : message)
            if (line.startsWith(name + ": "))
                return line.mid(name.size() + 2);
        return {};
    }

    QTcpServer server;
    QList<QByteArray> lines;
    QList<QByteArray> message;
    int connections = 0;

private:
    QByteArray greeting_;
    QList<QByteArray> replies_;
    QPointer<QTcpSocket> peer_;
    bool inData_ = false;
};

} // namespace

class TestSendCommand : public QObject {
    Q_OBJECT

private:
    DialogScript script;
    std::unique_ptr<TForm1> form;

    TForm1& Window(const QString& port)
    {
        script = DialogScript{};
        form = NewScriptedForm(script);
        form->SetRelay(QStringLiteral("127.0.0.1"), port);
        form->show();
        form->findChild<QLineEdit*>(QStringLiteral("Edit1"))->setText(kImei);
        return *form;
    }
    void Click() { QTest::mouseClick(form->findChild<QPushButton*>(QStringLiteral("Button3")), Qt::LeftButton); }
    QLineEdit* Edit(const char* name) { return form->findChild<QLineEdit*>(QString::fromLatin1(name)); }
    QByteArray CurrentRecord()
    {
        const kestravo::TConfigRecord r = kestravo::EncodeRecord(*form);
        return QByteArray(reinterpret_cast<const char*>(r.data()), r.size());
    }

private slots:
    void cleanup()
    {
        form.reset();
        QFile::remove(TForm1::TempRecordPath(QCoreApplication::applicationDirPath()));
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
        QVERIFY2(!gateway.port.isEmpty(), "the gateway stand-in did not start");
        Window(gateway.port);
        Edit("Edit3")->setText(QStringLiteral("1440"));
        Edit("Edit20")->setText(QStringLiteral("-20"));

        Click();
        // Changed after the click, before the connection is up: this is what must go out.
        Edit("Edit18")->setText(QStringLiteral("120"));
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);

        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QVERIFY(script.Errors().isEmpty());
        QVERIFY(!form->SessionReady);
        QTRY_COMPARE_WITH_TIMEOUT(form->SmtpClient().State(), smtpReady, kWait);
        const QStringList stored = gateway.Stored(QStringLiteral(".sbd"));
        QCOMPARE(stored.size(), 1);
        QVERIFY(stored[0].endsWith(QStringLiteral("-") + kImei + QStringLiteral(".sbd")));
        QCOMPARE(ReadAll(stored[0]), CurrentRecord());
        QVERIFY(ReadAll(stored[0]).size() == 44);
        const QByteArray eml = ReadAll(gateway.Stored(QStringLiteral(".eml")).value(0));
        QVERIFY(eml.contains("\r\nSubject: " + kImei.toLatin1() + "\r\n"));
        QVERIFY(eml.contains("name=\"temp.sbd\""));
    }

    void anUnreachableRelayGives500AndTheNextClickStartsOver()
    {
        QTcpServer unused;
        unused.listen(QHostAddress::LocalHost, 0);
        const QString deadPort = QString::number(unused.serverPort());
        unused.close();

        Window(deadPort);
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(500)});
        QVERIFY(!form->SessionReady);

        Gateway gateway(true);
        form->SetRelay(QStringLiteral("127.0.0.1"), gateway.port);
        QTRY_COMPARE_WITH_TIMEOUT(form->SmtpClient().State(), smtpReady, kWait);
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(script.Messages().last(), Result(0));
        QCOMPARE(gateway.Stored(QStringLiteral(".sbd")).size(), 1);
    }

    void aSettingThatIsNotANumberIsShownAndTheNextClickStartsAfresh()
    {
        Gateway gateway(true);
        Window(gateway.port);
        Edit("Edit22")->setText(QStringLiteral("abc"));
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Errors().isEmpty(), kWait);
        QCOMPARE(script.Errors(), QStringList{QStringLiteral("''abc'' is not a valid integer value.")});
        QVERIFY(script.Messages().isEmpty());
        QVERIFY(!form->SessionReady);

        Edit("Edit22")->setText(QStringLiteral("500"));
        QTRY_COMPARE_WITH_TIMEOUT(form->SmtpClient().State(), smtpReady, kWait);
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(gateway.Stored(QStringLiteral(".sbd")).size(), 1);
    }

    void aRecordThatCannotBeWrittenIsNeverReplacedByAnOlderOne()
    {
        Gateway gateway(true);
        Window(gateway.port);
        // A folder where temp.sbd belongs: the record cannot be written there.
        const QString path = TForm1::TempRecordPath(QCoreApplication::applicationDirPath());
        QFile::remove(path);
        QVERIFY(QDir().mkdir(path));
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Errors().isEmpty(), kWait);
        QDir().rmdir(path);
        QVERIFY2(script.Errors()[0].contains(path), qPrintable(script.Errors()[0]));
        QVERIFY(script.Messages().isEmpty());
        QVERIFY(gateway.Stored(QStringLiteral(".sbd")).isEmpty());
        QVERIFY(!form->SessionReady);
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
        ScriptedRelay relay("220 ready", {"250 ok"});
        Window(relay.Port());
        Edit("Edit1")->setText(imei);
        Click();
        QCOMPARE(script.Messages(),
                 QStringList{QStringLiteral("Введен не полный IMEI !\r\nDo not enter the full IMEI !")});
        QTest::qWait(50); // let a wrongly started connection show itself
        QCOMPARE(relay.connections, 0);
        QCOMPARE(form->SmtpClient().State(), smtpReady);
    }

    void aFailedSendIsShownAndTheNextClickStartsOver_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::addColumn<int>("shown");
        QTest::newRow("greeting 421") << QByteArray("421 too busy") << QList<QByteArray>{"221 bye"} << 500;
        QTest::newRow("hangs up at MAIL") << QByteArray("220 ready") << QList<QByteArray>{"CLOSE"} << 10004;
        QTest::newRow("421 to MAIL") << QByteArray("220 ready") << QList<QByteArray>{"421 closing", "221 bye"} << 421;
        QTest::newRow("recipient refused")
            << QByteArray("220 ready") << QList<QByteArray>{"250 ok", "550 no such user", "221 bye"} << 550;
        QTest::newRow("message refused at its end")
            << QByteArray("220 ready") << QList<QByteArray>{"250 ok", "250 ok", "354 go", "554 not for us", "221 bye"}
            << 554;
    }
    void aFailedSendIsShownAndTheNextClickStartsOver()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QList<QByteArray>, replies);
        QFETCH(int, shown);
        ScriptedRelay relay(greeting, replies);
        Window(relay.Port());
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(shown)});
        QVERIFY(!form->SessionReady);
        QTRY_COMPARE_WITH_TIMEOUT(form->SmtpClient().State(), smtpReady, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(form->SmtpClient().Socket()->State() != kestravo::mail::wsConnected, kWait);

        Click();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(relay.connections, 2);
        QVERIFY(script.Errors().isEmpty());
    }

    void theCodeIsShownUnsigned()
    {
        // No relay reply carries this code (a reply code has three digits): the handler is given
        // it directly.
        ScriptedRelay relay("220 ready", {"221 bye"});
        Window(relay.Port());
        form->SessionReady = true;
        form->SmtpClientRequestDone(&form->SmtpClient(), kestravo::mail::smtpMail, 65535);
        QCOMPARE(script.Messages(), QStringList{Result(65535)});
        QVERIFY(!form->SessionReady);
        QTRY_COMPARE_WITH_TIMEOUT(form->SmtpClient().State(), smtpReady, kWait);
    }

    void aRelayRefusingTheGreetingToo_data()
    {
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::addColumn<int>("shown");
        QTest::addColumn<QByteArray>("last");
        // 503 before a greeting, then HELO refused: the operator sees HELO's code.
        QTest::newRow("HELO refused") << QList<QByteArray>{"503 send HELO first", "550 no", "221 bye"} << 550
                                      << QByteArray("QUIT");
        // The relay hangs up instead of answering HELO: its 503 is its last word, not a lost
        // connection.
        QTest::newRow("hangs up at HELO") << QList<QByteArray>{"503 send HELO first", "CLOSE"} << 503 << QByteArray();
    }
    void aRelayRefusingTheGreetingToo()
    {
        QFETCH(QList<QByteArray>, replies);
        QFETCH(int, shown);
        QFETCH(QByteArray, last);
        ScriptedRelay relay("220 ready", replies);
        Window(relay.Port());
        Click();
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(shown)});
        QVERIFY(relay.lines.value(0).startsWith("MAIL FROM:<"));
        QVERIFY(relay.lines.value(1).startsWith("HELO "));
        if (!last.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(relay.lines.value(2), last, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(form->SmtpClient().State(), smtpReady, kWait);
        QVERIFY(!form->SessionReady);
    }

    void closingTheWindowNeverWaitsForTheRelay_data()
    {
        QTest::addColumn<QString>("when");
        QTest::newRow("while connecting") << QStringLiteral("connecting");
        QTest::newRow("while waiting for the greeting") << QStringLiteral("waiting");
        QTest::newRow("connected, idle") << QStringLiteral("idle");
        QTest::newRow("while the relay holds its reply to MAIL") << QStringLiteral("mailing");
    }
    void closingTheWindowNeverWaitsForTheRelay()
    {
        QFETCH(QString, when);
        // "waiting": the relay accepts and never greets.
        ScriptedRelay relay(when == QStringLiteral("waiting") ? QByteArray() : QByteArray("220 ready"),
                            {when == QStringLiteral("mailing") ? QByteArray("HOLD") : QByteArray("221 bye")});
        Window(relay.Port());
        if (when == QStringLiteral("idle")) {
            // The IMEI shortened before the connection came up stops the second pass.
            Click();
            Edit("Edit1")->setText(kImei.left(14));
            QTRY_VERIFY_WITH_TIMEOUT(form->SessionReady, kWait);
            QCOMPARE(script.Messages().size(), 1);
        } else {
            Click();
            if (when == QStringLiteral("waiting"))
                QTRY_COMPARE_WITH_TIMEOUT(relay.connections, 1, kWait);
            if (when == QStringLiteral("mailing"))
                QTRY_COMPARE_WITH_TIMEOUT(relay.lines.size(), 1, kWait);
        }
        QVERIFY(form->close());
        QVERIFY(!form->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(form->SmtpClient().State(), smtpReady, kWait);
        QTest::qWait(50); // nothing more may happen for this window
        QVERIFY2(script.Errors().isEmpty(), qPrintable(script.Errors().join(u'|')));
        if (when == QStringLiteral("idle"))
            QTRY_COMPARE_WITH_TIMEOUT(relay.lines, QList<QByteArray>{"QUIT"}, kWait);
        else
            QCOMPARE(script.Messages().size(), 0);
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
        for (const auto& c : cases) {
            const QString path = TForm1::TempRecordPath(c.folder);
            QCOMPARE(QFileInfo(path).fileName(), QStringLiteral("temp.sbd"));
            const QFileInfo folder(QFileInfo(path).absolutePath());
            QVERIFY2((folder.absoluteFilePath() == QFileInfo(c.folder).absoluteFilePath()) == c.beside,
                     qPrintable(c.folder + QStringLiteral(" -> ") + path));
            QVERIFY(folder.isDir());
            if (!c.beside)
                QCOMPARE(folder.permissions() &
                             (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                         QFile::Permissions());
        }
    }

    void aClickWhileTheMailIsUnderWayChangesNothingOfIt()
    {
        // The reply to MAIL is held while the operator types another IMEI and setting and clicks.
        ScriptedRelay relay("220 ready", {"HOLD", "250 ok", "354 go", "250 queued", "221 bye"});
        Window(relay.Port());
        Edit("Edit3")->setText(QStringLiteral("1440"));
        const QByteArray record = CurrentRecord();
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(relay.lines.size(), 1, kWait);
        const QString path = TForm1::TempRecordPath(QCoreApplication::applicationDirPath());
        QCOMPARE(ReadAll(path), record);

        Edit("Edit1")->setText(QStringLiteral("300234010999999"));
        Edit("Edit3")->setText(QStringLiteral("60"));
        Click();
        QCOMPARE(script.Errors(), QStringList{QStringLiteral("SMTP component not ready.")});
        QCOMPARE(ReadAll(path), record);

        relay.Answer("250 ok");
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(relay.Header("Subject"), kImei.toLatin1());
        QCOMPARE(Attachment(relay.message), record);
        QTRY_COMPARE_WITH_TIMEOUT(relay.lines.value(4), QByteArray("QUIT"), kWait);
    }

    void aSecondClickBeforeTheGreetingIsRefusedAndTheSendGoesOn()
    {
        ScriptedRelay relay(QByteArray(), {"250 ok", "250 ok", "354 go", "250 queued", "221 bye"});
        Window(relay.Port());
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(relay.connections, 1, kWait);
        Click();
        QCOMPARE(script.Errors(), QStringList{QStringLiteral("SMTP component not ready.")});
        QVERIFY(script.Messages().isEmpty());

        relay.Answer("220 ready");
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(relay.connections, 1);
        QCOMPARE(Attachment(relay.message), CurrentRecord());
    }

    void aSecondWindowNeverReplacesTheRecordOfASendUnderWay()
    {
        // Both windows run from the same folder and so write the same temp.sbd.
        ScriptedRelay relay("220 ready", {"HOLD", "250 ok", "354 go", "250 queued", "221 bye"});
        Window(relay.Port());
        const QByteArray record = CurrentRecord();
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(relay.lines.size(), 1, kWait);

        DialogScript otherScript;
        std::unique_ptr<TForm1> other = NewScriptedForm(otherScript);
        ScriptedRelay otherRelay("220 ready", {"250 ok", "250 ok", "354 go", "250 queued", "221 bye"});
        other->SetRelay(QStringLiteral("127.0.0.1"), otherRelay.Port());
        other->findChild<QLineEdit*>(QStringLiteral("Edit1"))->setText(QStringLiteral("300234010999999"));
        other->findChild<QLineEdit*>(QStringLiteral("Edit3"))->setText(QStringLiteral("60"));
        QTest::mouseClick(other->findChild<QPushButton*>(QStringLiteral("Button3")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!otherScript.Errors().isEmpty(), kWait);
        QVERIFY2(otherScript.Errors()[0].startsWith(QStringLiteral("Another send is using ")),
                 qPrintable(otherScript.Errors()[0]));
        QVERIFY(!other->SessionReady);
        QVERIFY(otherRelay.lines.isEmpty());

        relay.Answer("250 ok");
        QTRY_VERIFY_WITH_TIMEOUT(!script.Messages().isEmpty(), kWait);
        QCOMPARE(script.Messages(), QStringList{Result(0)});
        QCOMPARE(Attachment(relay.message), record);

        // Once the first send is done the other window sends its own record.
        QTRY_COMPARE_WITH_TIMEOUT(other->SmtpClient().State(), smtpReady, kWait);
        QTest::mouseClick(other->findChild<QPushButton*>(QStringLiteral("Button3")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!otherScript.Messages().isEmpty(), kWait);
        QCOMPARE(otherScript.Messages(), QStringList{Result(0)});
        const kestravo::TConfigRecord otherRecord = kestravo::EncodeRecord(*other);
        QCOMPARE(Attachment(otherRelay.message),
                 QByteArray(reinterpret_cast<const char*>(otherRecord.data()), otherRecord.size()));
    }

    void aClickAfterTheRelayDroppedTheIdleConnectionStartsOver()
    {
        ScriptedRelay relay("220 ready", {"250 ok", "250 ok", "354 go", "250 queued", "221 bye"});
        Window(relay.Port());
        // The IMEI shortened before the connection came up leaves the command connected and idle.
        Click();
        Edit("Edit1")->setText(kImei.left(14));
        QTRY_VERIFY_WITH_TIMEOUT(form->SessionReady, kWait);
        relay.Drop();
        QTRY_VERIFY_WITH_TIMEOUT(form->SmtpClient().Socket()->State() != kestravo::mail::wsConnected, kWait);

        Edit("Edit1")->setText(kImei);
        Click();
        QTRY_COMPARE_WITH_TIMEOUT(script.Messages().size(), 2, kWait);
        QCOMPARE(script.Messages().last(), Result(0));
        QCOMPARE(relay.connections, 2);
        QCOMPARE(Attachment(relay.message), CurrentRecord());
    }
};

QTEST_MAIN(TestSendCommand)
#include "tst_send_command.moc"
