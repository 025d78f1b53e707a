// SPDX-License-Identifier: Apache-2.0
// The settings dialog: the file's keys shown and written back, bad values named and refused with
// the file untouched, a key the environment sets shown read-only, and "Test connection" greeting a
// relay and leaving without a mail.
#include "app/settings_dialog.h"
#include "endpoints/endpoints.h"
#include "scripted_dialogs.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kWait = 30000; // ms; an upper bound for a loopback exchange, never a speed check

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> home;
    DialogScript script;
    std::unique_ptr<ScriptedDialogs> dialogs;
    QString path;

    std::unique_ptr<kestravo::SettingsDialog> Dialog()
    {
        return std::make_unique<kestravo::SettingsDialog>(path, *dialogs);
    }

private slots:
    void init()
    {
        home = std::make_unique<QTemporaryDir>();
        QVERIFY(home->isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home->path()));
        for (const kestravo::SettingKey& key : kestravo::SettingKeys())
            qunsetenv(key.variable);
        qputenv("KESTRAVO_SENDER", "ops@example.org");
        script = DialogScript{};
        dialogs = std::make_unique<ScriptedDialogs>(script);
        path = kestravo::endpoints::EndpointsConfigPath();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[mail]\nrelay=old.example:2525\ntimeout=30\nsender=file@example.org\n");
    }
    void cleanup()
    {
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        qunsetenv("KESTRAVO_SENDER");
        qunsetenv("XDG_CONFIG_HOME");
    }

    void showsTheFileAndTheEnvironment()
    {
        auto dialog = Dialog();
        QCOMPARE(dialog->Edit("mail", "relay")->text(), QStringLiteral("old.example:2525"));
        QCOMPARE(dialog->Edit("mail", "timeout")->text(), QStringLiteral("30"));
        QVERIFY(!dialog->Edit("mail", "relay")->isReadOnly());
        // The environment wins: its value, read-only, named by its variable.
        QLineEdit* sender = dialog->Edit("mail", "sender");
        QCOMPARE(sender->text(), QStringLiteral("ops@example.org"));
        QVERIFY(sender->isReadOnly());
        QVERIFY(sender->accessibleName().contains(QStringLiteral("KESTRAVO_SENDER")));
        // Every key the transports read has its row.
        for (const auto& [section, key] : {std::pair{"mail", "transport"}, {"mail", "security"}, {"mail", "user"},
                                          {"mail", "auth"}, {"mail", "cafile"}, {"mail", "password_command"},
                                          {"directip", "host"}, {"directip", "port"}, {"mail", "history"},
                                          {"mail", "gateway"}})
            QVERIFY2(dialog->Edit(section, key) != nullptr, key);
    }

    void savesAndTheSendReadsIt()
    {
        auto dialog = Dialog();
        dialog->Edit("mail", "relay")->setText(QStringLiteral("127.0.0.1:2600"));
        dialog->Edit("mail", "timeout")->setText(QStringLiteral("45"));
        dialog->Edit("mail", "history")->setText(QStringLiteral("off"));
        dialog->Edit("mail", "security")->setText(QStringLiteral("starttls"));
        dialog->Edit("directip", "port")->setText(QStringLiteral("10800"));
        QVERIFY(dialog->Save());
        QVERIFY(script.Errors().isEmpty());

        const kestravo::endpoints::Endpoints endpoints = kestravo::endpoints::ResolveEndpoints();
        QCOMPARE(endpoints.relayHost, QStringLiteral("127.0.0.1"));
        QCOMPARE(endpoints.relayPort, QStringLiteral("2600"));
        QCOMPARE(endpoints.timeoutSeconds, 45);
        QVERIFY(!endpoints.historyEnabled);
        QCOMPARE(endpoints.sender, QStringLiteral("ops@example.org"));
        // The environment's value is not written over the file's own.
        const QByteArray written = ReadAll(path);
        QVERIFY2(written.contains("sender=file@example.org"), written.constData());
        QVERIFY(!written.contains("ops@example.org"));
        QVERIFY(written.contains("[directip]"));

        // A second dialog shows what was saved; an emptied key leaves the file.
        auto again = Dialog();
        QCOMPARE(again->Edit("mail", "relay")->text(), QStringLiteral("127.0.0.1:2600"));
        again->Edit("mail", "timeout")->clear();
        QVERIFY(again->Save());
        QVERIFY(!ReadAll(path).contains("timeout"));
        QCOMPARE(kestravo::endpoints::ResolveEndpoints().timeoutSeconds, 120);
    }

    void aBadValueIsNamedAndNothingIsWritten_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("port out of range") << "mail" << "relay" << "relay.example:70000";
        QTest::newRow("no host") << "mail" << "relay" << ":25";
        QTest::newRow("timeout zero") << "mail" << "timeout" << "0";
        QTest::newRow("timeout with a unit") << "mail" << "timeout" << "30s";
        QTest::newRow("address without @") << "mail" << "gateway" << "sbd.example";
        QTest::newRow("switch") << "mail" << "history" << "maybe";
        QTest::newRow("transport") << "mail" << "transport" << "fax";
        QTest::newRow("security") << "mail" << "security" << "ssl";
        QTest::newRow("auth") << "mail" << "auth" << "digest";
        QTest::newRow("DirectIP port") << "directip" << "port" << "0";
        QTest::newRow("DirectIP host with a blank") << "directip" << "host" << "gate way";
        QTest::newRow("line break in a path") << "mail" << "cafile" << "/etc/ssl/a\nb";
    }
    void aBadValueIsNamedAndNothingIsWritten()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QByteArray before = ReadAll(path);
        auto dialog = Dialog();
        dialog->Edit("mail", "relay")->setText(QStringLiteral("new.example")); // a good change beside it
        dialog->Edit(section, key)->setText(value);
        QVERIFY(!dialog->Save());
        QCOMPARE(script.Errors().size(), 1);
        QVERIFY2(script.Errors()[0].contains(QStringLiteral("[%1] %2").arg(section, key)), qPrintable(script.Errors()[0]));
        QCOMPARE(ReadAll(path), before);
    }

    void testConnectionGreetsAndLeaves()
    {
        QTcpServer relay;
        QVERIFY(relay.listen(QHostAddress::LocalHost, 0));
        QByteArray heard;
        QTcpSocket* peer = nullptr;
        connect(&relay, &QTcpServer::newConnection, this, [&] {
            peer = relay.nextPendingConnection();
            peer->write("220 relay.example ready\r\n");
            connect(peer, &QTcpSocket::readyRead, this, [&] { heard += peer->readAll(); });
        });
        auto dialog = Dialog();
        dialog->Edit("mail", "relay")->setText(QStringLiteral("127.0.0.1:%1").arg(relay.serverPort()));
        dialog->TestConnection();
        QTRY_VERIFY_WITH_TIMEOUT(dialog->TestResult().contains(QStringLiteral("220 relay.example ready")), kWait);
        QVERIFY(dialog->TestResult().contains(QStringLiteral("nothing was sent")));
        QTRY_VERIFY_WITH_TIMEOUT(heard.contains("QUIT"), kWait);
        QVERIFY2(!heard.contains("MAIL") && !heard.contains("RCPT") && !heard.contains("DATA"), heard.constData());
        // Nothing was saved by testing.
        QVERIFY(ReadAll(path).contains("relay=old.example:2525"));
    }

    void testConnectionReportsAnUnreachableRelay()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        auto dialog = Dialog();
        dialog->Edit("mail", "relay")->setText(QStringLiteral("127.0.0.1:%1").arg(port));
        dialog->TestConnection();
        QTRY_VERIFY_WITH_TIMEOUT(dialog->TestResult().contains(QStringLiteral("could not be reached")), kWait);
        dialog->Edit("mail", "relay")->setText(QStringLiteral("bad:port:here"));
        dialog->TestConnection();
        QVERIFY2(dialog->TestResult().contains(QStringLiteral("[mail] relay")), qPrintable(dialog->TestResult()));
    }

    // Over DirectIP the test is a real connection to the gateway: a listening one is reached and
    // left without a byte, a closed port is reported as such.
    void testConnectionOverDirectIpConnectsForReal_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::newRow("gateway listening") << true;
        QTest::newRow("port closed") << false;
    }
    void testConnectionOverDirectIpConnectsForReal()
    {
        QFETCH(bool, listening);
        QTcpServer gateway;
        QVERIFY(gateway.listen(QHostAddress::LocalHost, 0));
        const quint16 port = gateway.serverPort();
        if (!listening)
            gateway.close();
        QByteArray heard;
        bool closedByClient = false;
        connect(&gateway, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* peer = gateway.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [&heard, peer] { heard += peer->readAll(); });
            connect(peer, &QTcpSocket::disconnected, this, [&closedByClient] { closedByClient = true; });
        });
        qputenv("KESTRAVO_TRANSPORT", "directip");
        qputenv("KESTRAVO_DIRECTIP", "127.0.0.1:" + QByteArray::number(port));
        auto dialog = Dialog();
        dialog->TestConnection();
        const QString peer = QStringLiteral("127.0.0.1:%1").arg(port);
        if (listening) {
            QTRY_VERIFY_WITH_TIMEOUT(dialog->TestResult().contains(QStringLiteral("took the connection")), kWait);
            QTRY_VERIFY_WITH_TIMEOUT(closedByClient, kWait);
            QVERIFY2(heard.isEmpty(), heard.toHex().constData());
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(dialog->TestResult().contains(QStringLiteral("could not be reached")), kWait);
            QVERIFY2(dialog->TestResult().contains(QStringLiteral("10061")), qPrintable(dialog->TestResult()));
        }
        QVERIFY2(dialog->TestResult().startsWith(peer), qPrintable(dialog->TestResult()));
        qunsetenv("KESTRAVO_TRANSPORT");
        qunsetenv("KESTRAVO_DIRECTIP");
    }
};

QTEST_MAIN(SettingsDialogTest)
#include "tst_settings_dialog.moc"
