// SPDX-License-Identifier: Apache-2.0
// What the window refuses or asks before it acts: a send's failure worded as one, values the
// record cannot hold (at save and at send), and a record file whose check bytes do not match.
#include "app/application.h"
#include "app/tform1.h"
#include "record/codec.h"
#include "record/map_settings_store.h"
#include "record/record_file.h"
#include "scripted_dialogs.h"

#include <QBuffer>
#include <QComboBox>
#include <QImage>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kImei = QStringLiteral("300234010123450");

} // namespace

class RecordGuardsTest : public QObject {
    Q_OBJECT

    DialogScript script;
    std::unique_ptr<kestravo::TForm1> form;
    std::unique_ptr<QTemporaryDir> dir;

    QLineEdit* Edit(const char* name) { return form->findChild<QLineEdit*>(name); }
    void Click(const char* button) { form->findChild<QPushButton*>(button)->click(); }

    QStringList Snapshot()
    {
        QStringList state{Edit("Edit1")->text()};
        for (const kestravo::FieldSpec& field : kestravo::Fields())
            state << QString::number(kestravo::ReadSetting(*form, field));
        return state;
    }

    // Puts value into the control as the operator leaves it (the keystroke rules keep it).
    void SetControl(const QString& control, int value)
    {
        if (control.startsWith(QLatin1String("ComboBox")))
            form->findChild<QComboBox*>(control)->setCurrentIndex(value);
        else
            form->findChild<QLineEdit*>(control)->setText(QString::number(value));
    }

private slots:
    void init()
    {
        script = DialogScript{};
        form = NewScriptedForm(script);
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        form->SetRecordFolder(dir->path());
        Edit("Edit1")->setText(kImei);
    }
    void cleanup()
    {
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        form.reset();
        dir.reset();
        qunsetenv("KESTRAVO_RELAY");
        qunsetenv("KESTRAVO_HISTORY");
    }

    // Only code 0 says the mail was sent; any other code says it was not, and why.
    void resultBoxSaysWhetherTheMailWasSent_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("shown");
        QTest::newRow("accepted: the box as it always read")
            << 0 << "250 queued as 1A2B" << QStringLiteral("Письмо отправлено\r\nMail sended\r\nError code 0");
        QTest::newRow("500 from the relay")
            << 500 << "500 5.5.2 Syntax error"
            << QStringLiteral("Письмо не отправлено\r\nMail not sent\r\nError code 500\r\n500 5.5.2 Syntax error");
        QTest::newRow("10061 connection refused")
            << 10061 << "Connection refused"
            << QStringLiteral("Письмо не отправлено\r\nMail not sent\r\nError code 10061\r\nConnection refused");
        QTest::newRow("10060 silent relay")
            << 10060 << "10060 Connection timed out: the relay 127.0.0.1:25 did not answer for 120 seconds\r\n"
            << QStringLiteral("Письмо не отправлено\r\nMail not sent\r\nError code 10060\r\n10060 Connection "
                              "timed out: the relay 127.0.0.1:25 did not answer for 120 seconds");
        QTest::newRow("failure without a reason") << 421 << ""
                                                  << QStringLiteral("Письмо не отправлено\r\nMail not sent\r\nError code 421");
    }
    void resultBoxSaysWhetherTheMailWasSent()
    {
        QFETCH(int, code);
        QFETCH(QString, reason);
        QFETCH(QString, shown);
        QCOMPARE(kestravo::SendResultText(code, reason), shown);
    }

    // One value per kind of field that its bits cannot hold; the keystroke rules let each
    // through, and the record would carry it wrapped.
    void outOfRange_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("named");
        QTest::addColumn<QString>("range");
        QTest::newRow("unsigned 16 bits above") << "Edit3" << 70000 << "Send time interval" << "0 to 65535";
        QTest::newRow("unsigned 16 bits in a group") << "Edit24" << 99999 << "Traffic limit" << "0 to 65535";
        QTest::newRow("unsigned 8 bits below") << "Edit4" << -1 << "INPUT 1: Time XX, min" << "0 to 255";
        QTest::newRow("unsigned 2 bits below") << "Edit16" << -2 << "INPUT 4: Repeat for send" << "0 to 3";
        QTest::newRow("signed 8 bits above") << "Edit20" << 200 << "Temperature HIGH level" << "-128 to 127";
        QTest::newRow("signed 8 bits below") << "Edit21" << -129 << "Temperature LOW level" << "-128 to 127";
        QTest::newRow("1-bit field behind a list of four") << "ComboBox12" << 2 << "Traffic counter: Events"
                                                           << "0 to 1";
    }
    void outOfRangeIsRefusedAtSave_data() { outOfRange_data(); }
    void outOfRangeIsRefusedAtSave()
    {
        QFETCH(QString, control);
        QFETCH(int, value);
        QFETCH(QString, named);
        QFETCH(QString, range);
        SetControl(control, value);
        QCOMPARE(kestravo::ReadSetting(*form, *kestravo::FieldByControl(control.toStdString())), value);
        const QString target = dir->filePath(kImei + QStringLiteral(".sbd"));
        script.saveAnswers << target;
        Click("Button1");
        QCOMPARE(script.Errors().size(), 1);
        const QString error = script.Errors()[0];
        QVERIFY2(error.contains(named) && error.contains(QString::number(value)) && error.contains(range) &&
                     error.contains(QStringLiteral("nothing was saved")),
                 qPrintable(error));
        QVERIFY(script.proposedNames.isEmpty()); // refused before the dialog
        script.saveAnswers.clear();
        QVERIFY(!QFile::exists(target));
        // The value is left as typed, for the operator to correct.
        QCOMPARE(kestravo::ReadSetting(*form, *kestravo::FieldByControl(control.toStdString())), value);
    }

    void outOfRangeIsRefusedAtSend_data() { outOfRange_data(); }
    void outOfRangeIsRefusedAtSend()
    {
        QFETCH(QString, control);
        QFETCH(int, value);
        QFETCH(QString, named);
        QFETCH(QString, range);
        QTcpServer relay;
        QVERIFY(relay.listen(QHostAddress::LocalHost, 0));
        qputenv("KESTRAVO_RELAY", "127.0.0.1:" + QByteArray::number(relay.serverPort()));
        qputenv("KESTRAVO_HISTORY", "off");
        SetControl(control, value);
        Click("Button3");
        QCOMPARE(script.Errors().size(), 1);
        const QString error = script.Errors()[0];
        QVERIFY2(error.contains(named) && error.contains(QString::number(value)) && error.contains(range) &&
                     error.contains(QStringLiteral("nothing was sent")),
                 qPrintable(error));
        QVERIFY(!form->SendUnderWay());
        QVERIFY(!form->SessionReady);
        QVERIFY(!relay.waitForNewConnection(200));
        QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("temp.sbd"))));
        QVERIFY(script.Messages().isEmpty());
    }

    // Values at the very ends of each field's bits pass: the check refuses only what would wrap.
    void valuesAtTheEndsOfTheBitsAreSaved()
    {
        SetControl(QStringLiteral("Edit3"), 65535);
        SetControl(QStringLiteral("Edit20"), -128);
        SetControl(QStringLiteral("Edit21"), 127);
        SetControl(QStringLiteral("ComboBox12"), 1);
        const QString target = dir->filePath(kImei + QStringLiteral(".sbd"));
        script.saveAnswers << target;
        Click("Button1");
        QVERIFY2(script.Errors().isEmpty(), qPrintable(script.Errors().join(u'|')));
        const kestravo::TConfigRecord saved = kestravo::ReadRecordFile(QFile::encodeName(target).toStdString());
        QCOMPARE(kestravo::ReadField(saved, *kestravo::FieldByName("SendInterval")), 65535);
        QCOMPARE(kestravo::ReadField(saved, *kestravo::FieldByName("TempHighLevel")), -128);
        QCOMPARE(kestravo::ReadField(saved, *kestravo::FieldByName("TempLowLevel")), 127);
    }

    // A file whose check bytes do not match is loaded only when the operator says Yes.
    void damagedFileIsLoadedOnlyOnYes_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("answer");
        kestravo::MapSettingsStore store;
        store.SetText("Edit3", "1440");
        store.SetText("Edit20", "-20");
        const kestravo::TConfigRecord good = kestravo::EncodeRecord(store);
        QByteArray flipped(reinterpret_cast<const char*>(good.data()), good.size());
        flipped[5] = static_cast<char>(flipped[5] ^ 0x01);
        QImage image(16, 16, QImage::Format_RGB32);
        image.fill(Qt::red);
        QByteArray picture;
        QBuffer buffer(&picture);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        QTest::newRow("one flipped bit, No") << flipped << false;
        QTest::newRow("one flipped bit, Yes") << flipped << true;
        QTest::newRow("a picture renamed, No") << picture << false;
        QTest::newRow("a picture renamed, Yes") << picture << true;
    }
    void damagedFileIsLoadedOnlyOnYes()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, answer);
        QVERIFY(content.size() >= 44);
        const QString path = dir->filePath(QStringLiteral("300234010999999.sbd"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        const QStringList before = Snapshot();
        const auto retained = kestravo::RetainedRecord();
        script.openAnswers << path;
        script.questionAnswers << answer;
        Click("Button2");
        QCOMPARE(script.questions.size(), 1);
        QVERIFY2(script.questions[0].contains(path) && script.questions[0].contains(QStringLiteral("check bytes")),
                 qPrintable(script.questions[0]));
        QVERIFY(script.Errors().isEmpty());
        if (!answer) {
            QCOMPARE(Snapshot(), before);
            QVERIFY(kestravo::RetainedRecord() == retained);
            return;
        }
        QCOMPARE(Edit("Edit1")->text(), QStringLiteral("300234010999999"));
        QVERIFY(Snapshot() != before);
    }

    // A sound file asks nothing.
    void soundFileLoadsWithoutAQuestion()
    {
        kestravo::MapSettingsStore store;
        store.SetText("Edit3", "1440");
        const QString path = dir->filePath(QStringLiteral("300234010999999.sbd"));
        kestravo::WriteRecordFile(QFile::encodeName(path).toStdString(), kestravo::EncodeRecord(store));
        script.openAnswers << path;
        Click("Button2");
        QVERIFY(script.questions.isEmpty());
        QCOMPARE(Edit("Edit3")->text(), QStringLiteral("1440"));
    }
};

QTEST_MAIN(RecordGuardsTest)
#include "tst_record_guards.moc"
