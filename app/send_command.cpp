// SPDX-License-Identifier: Apache-2.0
// "SEND CONFIG TO SAT": the record goes to the SBD gateway as the attachment "temp.sbd" of a mail
// whose subject is the IMEI. The click takes the record and the IMEI, writes temp.sbd and starts a
// send job (send/send_job.h) that connects, mails the record once the relay has greeted, keeps the
// history and reports its result once.
#include "app/tform1.h"

#include "app/application.h"
#include "history/send_history.h"
#include "mail/credentials.h"
#include "endpoints/endpoints.h"
#include "mail/errors.h"
#include "send/send_job.h"
#include "ways/history_binding.h"
#include "ways/send_ways.h"
#include "send/sbd_send.h"
#include "mail/smtp_security.h"
#include "record/codec.h"
#include "record/record_file.h"
#include "ui_Form1.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

#include <optional>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravo {

using namespace kestravo::mail;
using namespace kestravo::endpoints;
using namespace kestravo::send;

namespace {

// A folder of the user's own that nobody else can write into or read. It bears the program's
// name, so that only it is ever made private, never a shared parent such as ~/.local/share.
QString PrivateFolder()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString base = data.isEmpty() ? QDir::homePath() + QStringLiteral("/.kestravo")
                                        : QDir(data).filePath(QStringLiteral("kestravo"));
    if (!QDir().mkpath(base))
        throw std::runtime_error("Cannot create the folder " + base.toStdString() + " for temp.sbd");
    const QByteArray native = QFile::encodeName(base);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw std::runtime_error("The folder " + base.toStdString() + " for temp.sbd is not the user's own");
    if ((st.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0)
        throw std::runtime_error("Cannot make the folder " + base.toStdString() + " private");
    return base;
}

// The program's folder serves only when this user may write there and nobody else may: in a
// folder open to everyone (a program started from /tmp) another user could plant or swap the file
// the mail carries.
bool IsOwnWritableFolder(const QString& folder)
{
    if (folder.isEmpty())
        return false;
    const QByteArray native = QFile::encodeName(folder);
    struct stat st {};
    return ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) == 0 &&
           ::access(native.constData(), W_OK) == 0;
}

// Holds the folder of temp.sbd for one send, from writing the record until the relay has taken
// the message: another window sending from the same folder would otherwise replace the file
// before this send has read it, and one device would get the other's settings.
std::shared_ptr<const int> LockRecordFolder(const QString& path)
{
    const QString folder = QFileInfo(path).absolutePath();
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("Cannot open the folder " + folder.toStdString() + " of temp.sbd");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw std::runtime_error("Another send is using " + path.toStdString() +
                                 "; try again when it has finished");
    }
    return std::shared_ptr<const int>(new int(fd), [](const int* held) {
        ::close(*held);
        delete held;
    });
}

} // namespace

QString TForm1::TempRecordPath(const QString& programFolder)
{
    const QString folder = IsOwnWritableFolder(programFolder) ? programFolder : PrivateFolder();
    return QDir(folder).filePath(QStringLiteral("temp.sbd"));
}

bool TForm1::SendUnderWay() const
{
    return job_ && job_->Busy();
}

TForm1::SessionReadyReflection::operator bool() const
{
    return form->job_ && form->job_->SessionReady();
}

std::shared_ptr<history::SendHistory> TForm1::HistoryFile()
{
    // Opened at the first send rather than at start-up, and kept for the next; one that failed is
    // tried again at the next send. Another writer holds the window up for a moment at most,
    // never for the tool's wait.
    if (!historyFile_)
        historyFile_ = std::make_shared<history::SendHistory>(history::SendHistory::DefaultPath(), kHistoryWaitMs);
    return historyFile_;
}

QString TForm1::SendUnderWayNote()
{
    return QStringLiteral("A send is under way; this click sent nothing.\r\nIts result is shown when it ends.");
}

void TForm1::ShowSendActivity()
{
    // Over this window only: the operator may still move, type into or close it. The button says
    // that a send is under way.
    const bool busy = SendUnderWay();
    if (busy)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
    if (busy && sendCaption_.isEmpty()) {
        sendCaption_ = ui->Button3->text();
        ui->Button3->setText(QStringLiteral("SENDING…"));
    } else if (!busy && !sendCaption_.isEmpty()) {
        ui->Button3->setText(std::exchange(sendCaption_, QString()));
    }
}

void TForm1::DropSendJob()
{
    if (!job_)
        return;
    // The job may still be on the stack (a result box runs its own loop): it goes later.
    std::shared_ptr<SendJob> old = std::move(job_);
    old->Cancel();
    QTimer::singleShot(0, QCoreApplication::instance(), [old] {});
}

void TForm1::Button3Send()
{
    const QString imei = ui->Edit1->text();
    if (imei.size() < 15 || !IsImeiText(imei)) {
        dialogs_->ShowMessage(ShortImeiMessage());
        return;
    }
    // A value the record cannot hold would reach the device wrapped: nothing is sent.
    RefuseValuesTheRecordCannotHold(QStringLiteral("nothing was sent"));
    // One send at a time: the one under way keeps its record and IMEI, and its result follows.
    if (SendUnderWay()) {
        dialogs_->ShowMessage(SendUnderWayNote());
        return;
    }
    // Endpoints are read at every send, so a changed setting applies without a restart; a
    // malformed one stops the click here, shown in the error box, with nothing sent.
    Endpoints endpoints = ResolveEndpoints();
    FetchPassword(endpoints, [this](const QString& question) { return dialogs_->AskPassword(question); });

    // The record and the IMEI are taken now, once: what the operator types while the send is
    // under way belongs to the next send. A record that cannot be written stops the send here, so
    // an older temp.sbd is never mailed in its place.
    const TConfigRecord record = EncodeRecord(*this);
    const QString path =
        TempRecordPath(recordFolder_.isEmpty() ? QCoreApplication::applicationDirPath() : recordFolder_);
    std::shared_ptr<const int> lock = LockRecordFolder(path);
    // The record writer follows links, as a save to a chosen file should; temp.sbd is the program's
    // own file, and a link planted in its place must not carry the record somewhere else.
    const QByteArray native = QFile::encodeName(path);
    struct stat existing {};
    if (::lstat(native.constData(), &existing) == 0 && S_ISLNK(existing.st_mode) && ::unlink(native.constData()) != 0)
        throw std::runtime_error("Cannot remove the link " + path.toStdString() + " in place of temp.sbd");
    WriteRecordFile(native.toStdString(), record);
    // The file stays beside the program as it always has; the mail carries the same bytes, handed
    // on rather than read back.
    SbdMessage message{imei, record};

    DropSendJob();
    auto recorder = ways::Recorder(endpoints, history::Origin::Window, {}, [this] { return HistoryFile(); },
                                   [this](const QString& problem) {
                                       historyFile_.reset();
                                       if (!historyProblemTold_ && historyProblem_.isEmpty())
                                           historyProblem_ = problem;
                                   });
    job_ = std::make_shared<SendJob>(ways::MakeFlow(endpoints), std::move(message), std::move(recorder));
    job_->Hold(std::move(lock));
    job_->OnConnected = [this] { ShowSendActivity(); };
    job_->OnDone = [this](const SbdResult& result) { FinishSend(result); };
    job_->OnFinished = [this] { ShowSendActivity(); };
    try {
        job_->Start();
    } catch (...) {
        job_.reset();
        throw;
    }
    ShowSendActivity();
}

void TForm1::FinishSend(const SbdResult& result)
{
    unsetCursor();
    if (!sendCaption_.isEmpty())
        ui->Button3->setText(std::exchange(sendCaption_, QString()));
    // The history's row is complete: a history window open beside this one shows it now.
    emit SendEnded();
    QString text = SendResultText(result.code, result.detail);
    // The DirectIP gateway answers at once: a success adds its queue place and reference.
    if (result.code == 0 && result.queuePlace >= 0 && !result.detail.isEmpty())
        text += QStringLiteral("\r\n") + result.detail;
    dialogs_->ShowMessage(text);
    // A history that could not be kept is told after the result, never holding up the send, and
    // once per window.
    if (!historyProblem_.isEmpty() && !historyProblemTold_) {
        historyProblemTold_ = true;
        ShowFailure(std::make_exception_ptr(
            std::runtime_error("The send history cannot be kept: " + std::exchange(historyProblem_, {}).toStdString())));
    }
}

bool TForm1::FormClose()
{
    // The window is going away: whatever the send still reports belongs to nobody. Closing never
    // waits for the relay.
    DropSendJob();
    ShowSendActivity();
    return true;
}

} // namespace kestravo
