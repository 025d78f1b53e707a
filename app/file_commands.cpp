// SPDX-License-Identifier: Apache-2.0
// "SAVE TO FILE" and "Open FROM FILE": the IMEI check, the dialogs, and the record file written or
// read through the shared writer and reader.
#include "app/tform1.h"

#include "app/application.h"
#include "app/imei_input.h"
#include "record/codec.h"
#include "record/record_file.h"
#include "ui_Form1.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace kestravo {

namespace {

// A file name fit to become an IMEI holds no control characters (C0 range and DEL).
QString ControlCharactersShown(const QString& name, bool& found)
{
    found = false;
    QString shown;
    for (QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            found = true;
            shown += QStringLiteral("\\x") +
                     QString::number(c.unicode(), 16).rightJustified(2, u'0').toUpper();
        } else {
            shown += c;
        }
    }
    return shown;
}

// The open command's own wording of a refused file.
QString OpenFailureText(const QString& path, const EFileError& failure)
{
    const QString reason = QString::fromLocal8Bit(std::strerror(failure.SystemError()));
    switch (failure.GetProblem()) {
    case EFileError::Problem::Folder:
        return QStringLiteral("Cannot open '%1': it is a folder, not a record file").arg(path);
    case EFileError::Problem::NotRegular:
        // Opening a pipe or reading a device could block the window or never end.
        return QStringLiteral("Cannot open '%1': it is not a regular file").arg(path);
    case EFileError::Problem::CannotOpen:
        return QStringLiteral("Cannot open '%1': %2").arg(path, reason);
    case EFileError::Problem::CannotRead:
        return QStringLiteral("Cannot read '%1': %2").arg(path, reason);
    case EFileError::Problem::Short:
        return QStringLiteral("The file '%1' holds %2, fewer than the %3 of a configuration "
                              "record; nothing was changed")
            .arg(path, QString::fromStdString(ByteCount(failure.Size())),
                 QString::number(kRecordSize));
    case EFileError::Problem::Other:
        break;
    }
    return QString::fromUtf8(failure.what());
}

// Both check bytes as the codec computes them.
bool RecordChecksMatch(const TConfigRecord& record)
{
    return record[kPayloadCheckOffset] ==
               ConfigChecksum(record.data() + kHeaderSize, static_cast<std::uint8_t>(kPayloadSize - 1)) &&
           record[kRecordCheckOffset] ==
               ConfigChecksum(record.data(), static_cast<std::uint8_t>(kRecordSize - 1));
}

// The first count characters of a name, without splitting a surrogate pair.
QString FirstCharacters(const QString& name, qsizetype count)
{
    if (name.size() <= count)
        return name;
    if (name.at(count - 1).isHighSurrogate())
        --count;
    return name.left(count);
}

} // namespace

void TForm1::Button1Click()
{
    RunHandler([&] {
        const QString imei = ui->Edit1->text();
        if (imei.size() < 15) {
            dialogs_->ShowMessage(ShortImeiMessage());
            return;
        }
        // Refused before the dialog: the operator corrects the value, then saves.
        RefuseValuesTheRecordCannotHold(QStringLiteral("nothing was saved"));
        const std::optional<QString> path = dialogs_->ChooseSaveFile(imei + QStringLiteral(".sbd"));
        if (!path)
            return;
        SaveToFile(*this, QFile::encodeName(*path).toStdString());
    });
}

void TForm1::Button2Click()
{
    RunHandler([&] {
        const std::optional<QString> chosen = dialogs_->ChooseOpenFile();
        if (!chosen)
            return;
        OpenRecordFile(*chosen);
    });
}

void TForm1::OpenRecordFile(const QString& path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();

    // Everything is checked and the whole record read before the first control changes, so
    // that a refused file leaves the window and the retained record as they were.
    bool hasControl = false;
    const QString shownName = ControlCharactersShown(name, hasControl);
    if (hasControl) {
        dialogs_->ShowError(ErrorBoxText(
            QStringLiteral("The file name '%1' holds control characters and cannot give an IMEI")
                .arg(shownName)));
        return;
    }
    TConfigRecord record{};
    try {
        record = ReadRecordFile(QFile::encodeName(path).toStdString());
    } catch (const EFileError& failure) {
        dialogs_->ShowError(ErrorBoxText(OpenFailureText(path, failure)));
        return;
    }
    LoadRecord(FirstCharacters(name, 15), record, path);
}

bool TForm1::LoadRecord(const QString& imei, const TConfigRecord& record, const QString& origin)
{
    if (!RecordChecksMatch(record) &&
        !dialogs_->AskYesNo(QStringLiteral("The check bytes of %1 do not match its contents: it is "
                                           "damaged or is no configuration record.\n\n"
                                           "Load it anyway?")
                                .arg(origin.isEmpty() ? QStringLiteral("this record") : QStringLiteral("'%1'").arg(origin))))
        return false;
    SetImeiFromProgram(ui->Edit1, imei);
    DecodeRecord(*this, record);
    return true;
}

} // namespace kestravo
