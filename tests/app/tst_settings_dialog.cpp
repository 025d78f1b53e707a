// SPDX-License-Identifier: Apache-2.0
// The settings dialog: the file's keys shown and written back line for line, bad values named and
// refused with the file untouched, a file every send refuses said at once and kept from tests and
// saves, a key the environment sets shown read-only (to a screen reader too), and "Test
// connection" greeting a relay and leaving without a mail.
#include "app/settings_dialog.h"
#include "endpoints/endpoints.h"
#include "endpoints/settings_keys.h"
#include "scripted_dialogs.h"

#include <QAccessible>
#include <QDir>
#include <QFile>
#include <QApplication>
#include <QLabel>
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
        for (const kestravo::endpoints::SettingKey& key : kestravo::endpoints::SettingKeys())
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
        // A screen reader hears it as read-only, not as a field to type in; the file's key as
        // editable.
        QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(sender);
        QVERIFY(reader);
        QVERIFY(reader->state().readOnly);
        QVERIFY(!reader->state().editable);
        QAccessibleInterface* relayReader = QAccessible::queryAccessibleInterface(dialog->Edit("mail", "relay"));
        QVERIFY(relayReader && relayReader->state().editable && !relayReader->state().readOnly);
        // Every key of the table has its row, in the table's order.
        const QList<QLineEdit*> edits = dialog->findChildren<QLineEdit*>();
        qsizetype at = 0;
        for (const kestravo::endpoints::SettingKey& key : kestravo::endpoints::SettingKeys()) {
            QLineEdit* edit = dialog->Edit(key.section, key.key);
            QVERIFY2(edit != nullptr, key.key);
            QVERIFY2(edits.indexOf(edit) >= at, key.key);
            at = edits.indexOf(edit);
        }
        QVERIFY(!dialog->findChild<QWidget*>(QStringLiteral("fileProblem"))->isVisibleTo(dialog.get()));
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
        // A file that is there but holds no certificate: every send refuses it, so the dialog does.
        QTest::newRow("cafile without certificates") << "mail" << "cafile" << QFINDTESTDATA("tst_settings_dialog.cpp");
        QTest::newRow("DirectIP parallel") << "directip" << "parallel" << "33";
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
        // The focus is on the field named, for the operator to mend it.
        QCOMPARE(QApplication::focusWidget() == dialog->Edit(section, key) || !dialog->isActiveWindow(), true);
    }

    void savingChangesOnlyTheChangedLines()
    {
        const QByteArray before = "; kept by hand\n"
                                  "[mail]\n"
                                  "# the relay of the site\n"
                                  "timeout = 30\n"
                                  "\n"
                                  "relay=old.example:2525\n"
                                  "gateway=data@sbd.iridium.com\n"
                                  "\n"
                                  "[directip]\n"
                                  "; the stand-in\n"
                                  "host=gw.example\n";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(before);
        file.close();
        auto dialog = Dialog();
        dialog->Edit("mail", "timeout")->setText(QStringLiteral("45"));
        dialog->Edit("mail", "gateway")->clear();
        dialog->Edit("mail", "password_command")->setText(QStringLiteral("pass show \"mail, provider\""));
        dialog->Edit("directip", "parallel")->setText(QStringLiteral("8"));
        QVERIFY(dialog->Save());
        QCOMPARE(ReadAll(path), QByteArray("; kept by hand\n"
                                           "[mail]\n"
                                           "# the relay of the site\n"
                                           "timeout = 45\n"
                                           "\n"
                                           "relay=old.example:2525\n"
                                           "password_command=\"pass show \\\"mail, provider\\\"\"\n"
                                           "\n"
                                           "[directip]\n"
                                           "; the stand-in\n"
                                           "host=gw.example\n"
                                           "parallel=8\n"));
        const kestravo::endpoints::Endpoints read = kestravo::endpoints::ResolveEndpoints();
        QCOMPARE(read.passwordCommand, QStringLiteral("pass show \"mail, provider\""));
        QCOMPARE(read.directipParallel, 8);
        QCOMPARE(read.timeoutSeconds, 45);
        // Saved again unchanged, the file stays byte for byte.
        const QByteArray saved = ReadAll(path);
        QVERIFY(Dialog()->Save());
        QCOMPARE(ReadAll(path), saved);
    }

    // The file every send refuses is said when the dialog opens, in the send's own words, and
    // neither a test nor a save goes ahead until it is mended or left for the defaults.
    void aRefusedFileIsSaidAndHoldsTestAndSave_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("named");
        QTest::newRow("a key in another case") << QByteArray("[mail]\nsender=a@example.org\nRelay=foo\n")
                                               << QStringLiteral(":3 [mail] Relay");
        QTest::newRow("a bad value") << QByteArray("[mail]\ntimeout=0\n") << QStringLiteral("[mail] timeout");
        QTest::newRow("not UTF-8") << QByteArray("[mail]\nrelay=a\n; caf\xE9\n") << QStringLiteral(":3:");
    }
    void aRefusedFileIsSaidAndHoldsTestAndSave()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, named);
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(file);
        f.close();
        QString sendSays;
        try {
            kestravo::endpoints::ResolveEndpoints();
        } catch (const std::exception& e) {
            sendSays = QString::fromUtf8(e.what());
        }
        QVERIFY(sendSays.contains(named));

        QTcpServer relay; // a test that went ahead would connect here
        QVERIFY(relay.listen(QHostAddress::LocalHost, 0));
        qputenv("KESTRAVO_RELAY", QByteArray("127.0.0.1:") + QByteArray::number(relay.serverPort()));
        auto dialog = Dialog();
        qunsetenv("KESTRAVO_RELAY");
        QCOMPARE(dialog->FileRefusal(), sendSays);
        auto* problem = dialog->findChild<QLabel*>(QStringLiteral("fileProblem"));
        QVERIFY(problem->isVisibleTo(dialog.get()));
        QVERIFY(problem->text().contains(sendSays));

        dialog->findChild<QPushButton*>(QStringLiteral("testButton"))->click();
        QVERIFY(!relay.waitForNewConnection(200));
        QCOMPARE(script.Errors().size(), 1);
        QVERIFY(!dialog->Save());
        QCOMPARE(script.Errors().size(), 2);
        QVERIFY2(script.Errors()[1].contains(named), qPrintable(script.Errors()[1]));
        QCOMPARE(ReadAll(path), file);

        // Starting again from the defaults: the refusal goes, and the new file is one a send reads.
        auto* defaults = dialog->findChild<QPushButton*>(QStringLiteral("defaultsButton"));
        QVERIFY(defaults->isVisibleTo(dialog.get()));
        defaults->click();
        QVERIFY(!problem->isVisibleTo(dialog.get()));
        dialog->Edit("mail", "timeout")->setText(QStringLiteral("60"));
        QVERIFY(dialog->Save());
        QCOMPARE(ReadAll(path), QByteArray("[mail]\ntimeout=60\n"));
        QCOMPARE(kestravo::endpoints::ResolveEndpoints().timeoutSeconds, 60);
    }

    void aBadValueMendedInTheDialogIsSaved()
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("# ours\n[mail]\ntimeout=0\n");
        f.close();
        auto dialog = Dialog();
        QVERIFY(dialog->FileRefusal().contains(QStringLiteral("[mail] timeout")));
        dialog->Edit("mail", "timeout")->setText(QStringLiteral("30"));
        QVERIFY(dialog->Save());
        QCOMPARE(ReadAll(path), QByteArray("# ours\n[mail]\ntimeout=30\n"));
    }

    void aFileThatCannotBeWrittenSaysWhy()
    {
        // A link to a folder that is not there: nothing can be written at its target.
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::link(home->filePath(QStringLiteral("gone/kestravo.conf")), path));
        auto dialog = Dialog();
        dialog->Edit("mail", "timeout")->setText(QStringLiteral("30"));
        QVERIFY(!dialog->Save());
        QCOMPARE(script.Errors().size(), 1);
        QVERIFY2(script.Errors()[0].startsWith(QStringLiteral("Cannot write %1: ").arg(path)), qPrintable(script.Errors()[0]));
        QVERIFY2(script.Errors()[0].size() > QStringLiteral("Cannot write %1: .").arg(path).size(), qPrintable(script.Errors()[0]));
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
