// SPDX-License-Identifier: Apache-2.0
// The window's "SEND CONFIG TO SAT" against the relay named by KESTRAVO_RELAY, nothing else: run by
// exim_relay.sh with a real mail server behind that address. The record the controls hold is
// written to KESTRAVO_E2E_RECORD_OUT for the script to compare with what was delivered.
#include "app/tform1.h"
#include "record/codec.h"
#include "scripted_dialogs.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

constexpr int kWait = 60000; // ms; an upper bound for a loopback exchange, never a speed check

} // namespace

class TestWindowSendE2E : public QObject {
    Q_OBJECT

private slots:
    void sendsToTheRelayOfTheEnvironment()
    {
        const QString out = qEnvironmentVariable("KESTRAVO_E2E_RECORD_OUT");
        QVERIFY2(!qEnvironmentVariable("KESTRAVO_RELAY").isEmpty(), "KESTRAVO_RELAY is not set");
        QVERIFY2(!out.isEmpty(), "KESTRAVO_E2E_RECORD_OUT is not set");

        DialogScript script;
        auto form = NewScriptedForm(script);
        form->show();
        auto edit = [&](const char* name) {
            return form->findChild<QLineEdit*>(QString::fromLatin1(name));
        };
        edit("Edit1")->setText(QStringLiteral("300234010123450"));
        edit("Edit3")->setText(QStringLiteral("1440"));
        edit("Edit20")->setText(QStringLiteral("-20"));
        QTest::mouseClick(form->findChild<QPushButton*>(QStringLiteral("Button3")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!script.shown.isEmpty(), kWait);

        QVERIFY2(script.Errors().isEmpty(), qPrintable(script.Errors().join(u'\n')));
        QCOMPARE(script.Messages().size(), 1);
        QVERIFY2(script.Messages().first().endsWith(QStringLiteral("Error code 0")),
                 qPrintable(script.Messages().first()));

        const kestravo::TConfigRecord record = kestravo::EncodeRecord(*form);
        QFile file(out);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(reinterpret_cast<const char*>(record.data()),
                            static_cast<qint64>(record.size())),
                 static_cast<qint64>(record.size()));
    }
};

QTEST_MAIN(TestWindowSendE2E)
#include "tst_window_send_e2e.moc"
