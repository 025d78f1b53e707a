// SPDX-License-Identifier: Apache-2.0
// "SEND CONFIG TO SAT": the record goes to the SBD gateway as the attachment "temp.sbd" of a mail
// whose subject is the IMEI, through the one send flow (send/sbd_send.h). The click connects;
// once the relay has greeted (or could not be reached) the click runs again, and that second pass
// writes the record and mails it.
#include "app/tform1.h"

#include "app/application.h"
#include "history/send_history.h"
#include "mail/credentials.h"
#include "endpoints/endpoints.h"
#include "mail/errors.h"
#include "send/sbd_history.h"
#include "send/sbd_send.h"
#include "mail/smtp_security.h"
#include "record/codec.h"
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

// Stops a flow whose reports belong to no send of this window any more: nothing it still says
// reaches the window.
void Silence(SbdSend& send)
{
    send.OnConnected = nullptr;
    send.OnMessageStart = nullptr;
    send.OnMessageDone = nullptr;
    send.OnFinished = nullptr;
    send.Abort();
}

} // namespace

// The window's side of the send history: a row before each message goes out, completed with its
// result. The history only looks on: when it cannot be opened or written the send goes on as if it
// were not there, and the operator hears of it once per window.
class WindowSendHistory {
public:
    static constexpr int kHistoryWaitMs = 500;

    void Begin(const SbdMessage& message, const Endpoints& endpoints) noexcept
    {
        row_ = 0;
        endpoints_ = endpoints;
        if (!endpoints.historyEnabled)
            return;
        Keep([&] {
            // Opened here rather than at start-up; one that failed is tried again at the next send.
            // Another writer holds the window up for a moment at most, never for the tool's wait.
            if (!file_)
                file_ = std::make_unique<history::SendHistory>(history::SendHistory::DefaultPath(),
                                                               kHistoryWaitMs);
            row_ = file_->Begin(HistoryEntry(message, endpoints, history::Origin::Window));
        });
    }

    // The row begun before connecting gets the record that goes out; without one, a row is
    // begun now.
    void Start(const SbdMessage& message, const Endpoints& endpoints) noexcept
    {
        if (row_ == 0) {
            Begin(message, endpoints);
            return;
        }
        const qint64 row = row_;
        Keep([&] {
            file_->Record(row, QByteArray(reinterpret_cast<const char*>(message.record.data()),
                                          qsizetype(message.record.size())));
        });
    }

    void Finish(const SbdResult& result) noexcept
    {
        const qint64 row = std::exchange(row_, 0);
        if (row != 0)
            Keep([&] { FinishHistoryEntry(*file_, row, result, endpoints_); });
    }

    // The Message-ID as soon as it is composed.
    void Reference(const QString& reference) noexcept
    {
        if (row_ != 0)
            Keep([&] { file_->Reference(row_, reference, endpoints_.transport == Transport::Email); });
    }

    // The first problem met, once per window; nothing afterwards.
    std::optional<QString> TakeProblem()
    {
        if (told_ || problem_.isEmpty())
            return std::nullopt;
        told_ = true;
        return QStringLiteral("The send history cannot be kept: ") + problem_;
    }

private:
    template <class Write>
    void Keep(Write&& write) noexcept
    {
        try {
            write();
        } catch (const std::exception& e) {
            Note(QString::fromUtf8(e.what()));
        } catch (...) {
            Note(QStringLiteral("unknown failure"));
        }
    }
    void Note(const QString& problem) noexcept
    {
        if (problem_.isEmpty())
            problem_ = problem.isEmpty() ? QStringLiteral("unknown failure") : problem;
    }

    std::unique_ptr<history::SendHistory> file_;
    qint64 row_ = 0; // the row of the message under way, 0 for none
    Endpoints endpoints_;
    QString problem_;
    bool told_ = false;
};

WindowSendHistory& TForm1::History()
{
    if (!history_)
        history_ = std::make_shared<WindowSendHistory>();
    return *history_;
}

QString TForm1::TempRecordPath(const QString& programFolder)
{
    const QString folder = IsOwnWritableFolder(programFolder) ? programFolder : PrivateFolder();
    return QDir(folder).filePath(QStringLiteral("temp.sbd"));
}

void TForm1::NewSendFlow()
{
    // Endpoints are read at every send, so a changed setting applies without a restart; a
    // malformed one stops the click here, shown in the error box, with nothing sent.
    Endpoints endpoints = ResolveEndpoints();
    FetchPassword(endpoints, [this](const QString& question) { return dialogs_->AskPassword(question); });
    if (send_) {
        // The old flow may still be on the stack (a result box runs its own loop): it goes later.
        std::shared_ptr<SbdSend> old(send_.release());
        Silence(*old);
        QTimer::singleShot(0, QCoreApplication::instance(), [old] {});
    }
    send_ = std::make_unique<SbdSend>(endpoints);
    sendEndpoints_ = endpoints;
    send_->OnConnected = [this](int, const QString&) { SendConnected(); };
    send_->OnMessageDone = [this](std::size_t, const SbdResult& result) { FinishSend(result); };
    send_->OnMessageReference = [this](std::size_t, const QString& reference) { History().Reference(reference); };
    send_->OnFinished = [this] { ShowSendActivity(); };
}

void TForm1::ShowSendActivity()
{
    // Over this window only: the operator may still move, type into or close it.
    if (SendUnderWay())
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

void TForm1::SendPass(bool afterConnect)
{
    const QString imei = ui->Edit1->text();
    if (imei.size() < 15 || !IsImeiText(imei)) {
        dialogs_->ShowMessage(ShortImeiMessage());
        return;
    }
    // A value the record cannot hold would reach the device wrapped: nothing is sent.
    RefuseValuesTheRecordCannotHold(QStringLiteral("nothing was sent"));
    // A send still connecting or mailing reads temp.sbd and the envelope later on: refuse before
    // touching them, or that send would carry this click's record and IMEI while the operator is
    // told that nothing was done.
    if (!afterConnect && SendUnderWay())
        throw SmtpException("SMTP component not ready");
    if (!SessionReady) {
        NewSendFlow();
        // The history's row is written before connecting, so that a send that never gets past the
        // greeting is still on record; the record is the one the controls give now, replaced by
        // the one actually sent once the relay has greeted.
        History().Begin(SbdMessage{imei, EncodeRecord(*this)}, *sendEndpoints_);
        try {
            send_->Connect();
        } catch (const std::exception& e) {
            // Refused before any connection: the row says so rather than staying unfinished.
            SbdResult refused;
            refused.code = 500;
            refused.detail = QString::fromUtf8(e.what());
            refused.outcome = Outcome::ConnectionFailed;
            History().Finish(refused);
            throw;
        }
        ShowSendActivity();
        return;
    }
    if (!send_) // a session marked ready from outside: the flow connects on its own
        NewSendFlow();

    // The record reflects the controls as they are now. A record that cannot be written stops the
    // send here, so an older temp.sbd is never mailed in its place.
    const QString path =
        TempRecordPath(recordFolder_.isEmpty() ? QCoreApplication::applicationDirPath() : recordFolder_);
    std::shared_ptr<const int> lock = LockRecordFolder(path);
    // The record writer follows links, as a save to a chosen file should; temp.sbd is the program's
    // own file, and a link planted in its place must not carry the record somewhere else.
    const QByteArray native = QFile::encodeName(path);
    struct stat existing {};
    if (::lstat(native.constData(), &existing) == 0 && S_ISLNK(existing.st_mode) && ::unlink(native.constData()) != 0)
        throw std::runtime_error("Cannot remove the link " + path.toStdString() + " in place of temp.sbd");
    SaveToFile(*this, native.toStdString());
    // What goes out is what the file holds, read back under the lock.
    const TConfigRecord record = ReadRecordFile(native.toStdString());
    recordLock_ = std::move(lock);
    SbdMessage message{imei, record};
    // The history's row, begun before connecting, holds what goes out as the message starts out.
    send_->OnMessageStart = [this, message, endpoints = *sendEndpoints_](std::size_t) {
        History().Start(message, endpoints);
    };
    send_->Start({std::move(message)});
    ShowSendActivity();
}

void TForm1::SendConnected()
{
    // This runs from the flow's event delivery: nothing may escape from here, and whatever goes
    // wrong is shown to the operator rather than swallowed.
    SessionReady = true;
    try {
        SendPass(true);
    } catch (...) {
        // The next click starts a fresh send with a new connection.
        SessionReady = false;
        send_->Abort();
        recordLock_.reset();
        ShowSendActivity();
        ShowFailure(std::current_exception());
        return;
    }
    ShowSendActivity();
}

void TForm1::FinishSend(const SbdResult& result)
{
    // Completed before the box, which may stay up for long.
    History().Finish(result);
    recordLock_.reset();
    unsetCursor();
    // The history's row is complete: a history window open beside this one shows it now.
    emit SendEnded();
    QString text = SendResultText(result.code, result.detail);
    // The DirectIP gateway answers at once: a success adds its queue place and reference.
    if (result.code == 0 && sendEndpoints_ && sendEndpoints_->transport == Transport::DirectIp &&
        !result.detail.isEmpty())
        text += QStringLiteral("\r\n") + result.detail;
    dialogs_->ShowMessage(text);
    SessionReady = false;
    // A history that could not be kept is told after the result, never holding up the send.
    if (std::optional<QString> problem = History().TakeProblem())
        ShowFailure(std::make_exception_ptr(std::runtime_error(problem->toStdString())));
}

bool TForm1::FormClose()
{
    if (send_) {
        // The window is going away: whatever the flow still reports belongs to no send. Closing
        // never waits for the relay.
        Silence(*send_);
    }
    SessionReady = false;
    recordLock_.reset();
    unsetCursor();
    return true;
}

} // namespace kestravo
