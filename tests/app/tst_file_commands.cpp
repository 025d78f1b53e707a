// SPDX-License-Identifier: Apache-2.0
// "SAVE TO FILE" and "Open FROM FILE": the IMEI check, the dialogs, the files written and read,
// and the refusals that leave the window and the retained record as they were.
#include "app/tform1.h"
#include "record/codec.h"
#include "scripted_dialogs.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using kestravo::TConfigRecord;

namespace {

const QString kShortImei = QStringLiteral("Введен не полный IMEI !\r\nDo not enter the full IMEI !");

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Leaves a socket file at path (its descriptor is closed; the file stays).
void BindSocket(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(name.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(s >= 0);
    QCOMPARE(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(s);
}

QByteArray Bytes(const TConfigRecord& record)
{
    return QByteArray(reinterpret_cast<const char*>(record.data()), record.size());
}

// A record with a few settings set and every carried byte holding a pattern.
TConfigRecord SampleRecord()
{
    TConfigRecord r{};
    auto set = [&](const char* control, int value) {
        kestravo::WriteField(r, *kestravo::FieldByControl(control), value);
    };
    set("Edit2", 7);
    set("Edit3", 120);
    set("Edit23", 60);
    set("Edit4", 33);
    set("Edit26", 12);
    set("ComboBox3", 2);
    set("CheckBox9", 1);
    r[2] |= 0xFE;
    for (int offset : {8, 28, 37, 38, 39, 40, 41})
        r[offset] = static_cast<std::uint8_t>(0x11 * (offset % 13) + 1);
    // Sound check bytes: a damaged record is a question of its own (tst_record_guards).
    r[kestravo::kPayloadCheckOffset] = kestravo::ConfigChecksum(r.data() + kestravo::kHeaderSize, 39);
    r[kestravo::kRecordCheckOffset] = kestravo::ConfigChecksum(r.data(), 43);
    return r;
}

} // namespace

class FileCommandsTest : public QObject {
    Q_OBJECT

    DialogScript script;
    std::unique_ptr<kestravo::TForm1> form;
    std::unique_ptr<QTemporaryDir> dir;

    QLineEdit* Edit(const char* name) { return form->findChild<QLineEdit*>(name); }
    QString Path(const QString& name) const { return dir->filePath(name); }
    void Save() { form->findChild<QPushButton*>("Button1")->click(); }
    void Open() { form->findChild<QPushButton*>("Button2")->click(); }

    // Everything an open could change, to prove a refused one changed nothing.
    QStringList Snapshot()
    {
        QStringList state{Edit("Edit1")->text()};
        for (int i = 2; i <= 26; ++i)
            state << QString::fromStdString(form->Text("Edit" + std::to_string(i)));
        for (int i = 1; i <= 12; ++i)
            state << QString::number(form->ItemIndex("ComboBox" + std::to_string(i)));
        for (int i = 1; i <= 14; ++i)
            state << QString::number(form->Checked("CheckBox" + std::to_string(i)));
        const auto& retained = kestravo::RetainedRecord();
        state << QByteArray(reinterpret_cast<const char*>(retained.data()), retained.size()).toHex();
        return state;
    }

private slots:
    void init()
    {
        script = DialogScript{};
        form = NewScriptedForm(script);
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
    }
    void cleanup()
    {
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        form.reset();
        dir.reset();
    }

    void saveChecksTheImeiLength_data()
    {
        QTest::addColumn<QString>("imei");
        QTest::addColumn<bool>("dialogShown");
        QTest::newRow("empty") << "" << false;
        QTest::newRow("14 characters") << "35015002000000" << false;
        QTest::newRow("15 digits") << "350150020000001" << true;
        QTest::newRow("15 with signs") << "+35015002-00001" << true;
    }
    void saveChecksTheImeiLength()
    {
        QFETCH(QString, imei);
        QFETCH(bool, dialogShown);
        Edit("Edit1")->setText(imei);
        const QString target = Path("out.sbd");
        if (dialogShown)
            script.saveAnswers << target;
        Save();
        if (dialogShown) {
            QCOMPARE(script.proposedNames, QStringList{imei + ".sbd"});
            QVERIFY(script.shown.isEmpty()); // no message after a save
            QCOMPARE(ReadAll(target).size(), 44);
        } else {
            QCOMPARE(script.Messages(), QStringList{kShortImei});
            QVERIFY(script.proposedNames.isEmpty());
            QVERIFY(!QFile::exists(target));
        }
    }

    void saveCancelledWritesNothing()
    {
        Edit("Edit1")->setText("350150020000001");
        script.saveAnswers << std::nullopt;
        Save();
        QVERIFY(script.shown.isEmpty());
        QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void saveReplacesAnExistingFileAsChosen()
    {
        // The chosen path is used exactly: no extension is added to a name without one.
        const QString target = Path("existing");
        WriteAll(target, QByteArray(300, 'x'));
        Edit("Edit1")->setText("350150020000001");
        Edit("Edit4")->setText("77");
        script.saveAnswers << target;
        Save();
        const QByteArray written = ReadAll(target);
        QCOMPARE(written.size(), 44);
        TConfigRecord record{};
        std::copy(written.begin(), written.end(), record.begin());
        QCOMPARE(kestravo::ReadField(record, *kestravo::FieldByControl("Edit4")), 77);
        QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"existing"});
    }

    void saveWithANonNumberKeepsTheOldFile()
    {
        const QString target = Path("kept.sbd");
        WriteAll(target, "old content");
        Edit("Edit1")->setText("350150020000001");
        Edit("Edit2")->setText("");
        script.saveAnswers << target;
        Save();
        QCOMPARE(script.Errors(), QStringList{"'''' is not a valid integer value."});
        QCOMPARE(ReadAll(target), QByteArray("old content"));
    }

    void saveIntoAnImpossiblePlace_data()
    {
        QTest::addColumn<QString>("blocker"); // a regular file, or a folder, in the way
        QTest::addColumn<QString>("chosen");
        QTest::newRow("parent is a regular file") << "plain" << "plain/x.sbd";
        QTest::newRow("target is a folder") << "folder" << "folder";
    }
    void saveIntoAnImpossiblePlace()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, chosen);
        if (blocker == "plain")
            WriteAll(Path("plain"), "old content");
        else
            QVERIFY(QDir(dir->path()).mkdir("folder"));
        Edit("Edit1")->setText("350150020000001");
        script.saveAnswers << Path(chosen);
        Save();
        const QStringList errors = script.Errors();
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().contains(Path(chosen)), qPrintable(errors.first()));
        if (blocker == "plain")
            QCOMPARE(ReadAll(Path("plain")), QByteArray("old content"));
        else
            QVERIFY(QFileInfo(Path("folder")).isDir());
        // Nothing half-written is left beside it.
        QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{blocker});
    }

    void openTakesTheImeiFromTheName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("imei");
        QTest::newRow("3 letters and extension") << "abc.sbd" << "abc.sbd";
        QTest::newRow("15 digits and extension") << "350150020000001.sbd" << "350150020000001";
        QTest::newRow("20 digits") << "35015002000000199999.sbd" << "350150020000001";
        QTest::newRow("non-ASCII name") << "прибор.sbd" << "прибор.sbd";
    }
    void openTakesTheImeiFromTheName()
    {
        QFETCH(QString, name);
        QFETCH(QString, imei);
        const TConfigRecord record = SampleRecord();
        WriteAll(Path(name), Bytes(record));
        script.openAnswers << Path(name);
        Open();
        QCOMPARE(Edit("Edit1")->text(), imei);
        QCOMPARE(Edit("Edit4")->text(), QStringLiteral("33"));
        QCOMPARE(Edit("Edit26")->text(), QStringLiteral("12"));
        QVERIFY(script.Errors().isEmpty());
    }

    void shortNameFromAFileRefusesTheNextSave()
    {
        WriteAll(Path("abc.sbd"), Bytes(SampleRecord()));
        script.openAnswers << Path("abc.sbd");
        Open();
        Save();
        QCOMPARE(script.Messages(), QStringList{kShortImei});
        QVERIFY(script.proposedNames.isEmpty());
    }

    void openUsesTheFirst44BytesOnly()
    {
        const TConfigRecord record = SampleRecord();
        QByteArray content = Bytes(record);
        content += QByteArray(56, '\xFF');
        WriteAll(Path("350150020000001.sbd"), content);
        script.openAnswers << Path("350150020000001.sbd");
        Open();
        const auto& retained = kestravo::RetainedRecord();
        QVERIFY(std::equal(retained.begin(), retained.end(), record.begin()));
        QCOMPARE(Edit("Edit3")->text(), QStringLiteral("120"));
        QCOMPARE(form->ItemIndex("ComboBox3"), 2);
        QVERIFY(form->Checked("CheckBox9"));
    }

    void openCancelledChangesNothing()
    {
        const QStringList before = Snapshot();
        script.openAnswers << std::nullopt;
        Open();
        QCOMPARE(Snapshot(), before);
        QVERIFY(script.shown.isEmpty());
    }

    // Each row: the file offered (made by the row), and what the error box must name.
    void openRefusesAndChangesNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("mentions");
        QTest::newRow("missing") << "missing" << "350150020000001.sbd"
                                 << QStringList{"350150020000001.sbd"};
        QTest::newRow("folder") << "folder" << "350150020000001.sbd"
                                << QStringList{"350150020000001.sbd", "folder"};
        QTest::newRow("named pipe") << "fifo" << "350150020000001.sbd"
                                    << QStringList{"350150020000001.sbd", "not a regular file"};
        QTest::newRow("socket") << "socket" << "350150020000001.sbd"
                                << QStringList{"350150020000001.sbd", "not a regular file"};
        QTest::newRow("short file") << "short" << "350150020000001.sbd"
                                    << QStringList{"350150020000001.sbd", "43 bytes"};
        QTest::newRow("one-byte file") << "one" << "350150020000001.sbd"
                                       << QStringList{"350150020000001.sbd", "holds 1 byte,"};
        QTest::newRow("empty file") << "empty" << "350150020000001.sbd"
                                    << QStringList{"350150020000001.sbd", "0 bytes"};
        QTest::newRow("short file with percent signs in the name")
            << "short" << "35%2%3%1 50%.sbd" << QStringList{"/35%2%3%1 50%.sbd'", "43 bytes"};
        QTest::newRow("line feed in the name") << "record" << "35015\n0020000001.sbd"
                                               << QStringList{"35015\\x0A0020000001.sbd"};
        QTest::newRow("tab in the name") << "record" << "\t350150020000001.sbd"
                                         << QStringList{"\\x09350150020000001.sbd"};
        QTest::newRow("carriage return in the name") << "record" << "350150020000001\r"
                                                     << QStringList{"\\x0D"};
        QTest::newRow("DEL in the name") << "record" << "3501500200\x7f" "00001"
                                         << QStringList{"\\x7F"};
    }
    void openRefusesAndChangesNothing()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(QStringList, mentions);

        // A first, good open puts a known state into the window and the retained record.
        WriteAll(Path("good.sbd"), Bytes(SampleRecord()));
        script.openAnswers << Path("good.sbd");
        Open();
        Edit("Edit1")->setText("999999999999999");
        const QStringList before = Snapshot();

        TConfigRecord other{};
        other.fill(0x5A);
        if (kind == "folder")
            QVERIFY(QDir(dir->path()).mkdir(name));
        else if (kind == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(Path(name)).constData(), 0600), 0);
        else if (kind == "socket")
            BindSocket(Path(name));
        else if (kind == "short")
            WriteAll(Path(name), Bytes(other).left(43));
        else if (kind == "one")
            WriteAll(Path(name), QByteArray(1, '\x01'));
        else if (kind == "empty")
            WriteAll(Path(name), QByteArray());
        else if (kind == "record")
            WriteAll(Path(name), Bytes(other));
        script.openAnswers << Path(name);
        Open();

        QCOMPARE(Snapshot(), before);
        QVERIFY(script.Messages().isEmpty());
        const QStringList errors = script.Errors();
        QCOMPARE(errors.size(), 1);
        for (const QString& m : mentions)
            QVERIFY2(errors.first().contains(m), qPrintable(errors.first()));
    }

    void carriedBitsReappearInTheNextSave()
    {
        const TConfigRecord opened = SampleRecord();
        WriteAll(Path("350150020000001.sbd"), Bytes(opened));
        script.openAnswers << Path("350150020000001.sbd");
        Open();
        script.saveAnswers << Path("again.sbd");
        Save();
        const QByteArray saved = ReadAll(Path("again.sbd"));
        QCOMPARE(saved.size(), 44);
        for (int offset : {8, 28, 37, 38, 39, 40, 41})
            QCOMPARE(static_cast<std::uint8_t>(saved.at(offset)), opened[offset]);
        QCOMPARE(static_cast<std::uint8_t>(saved.at(2)), std::uint8_t{0xFE});
        QCOMPARE(static_cast<std::uint8_t>(saved.at(1)) >> 4, 3); // HeaderTag
        // The settings come back as they were opened.
        QCOMPARE(saved.mid(3, 39), Bytes(opened).mid(3, 39));
    }
};

QTEST_MAIN(FileCommandsTest)
#include "tst_file_commands.moc"
