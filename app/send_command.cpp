// "SEND CONFIG TO SAT": the record goes to the SBD gateway as the attachment "temp.sbd" of a mail
// whose subject is the IMEI. The click connects; when the connection is up the request-done
// handler runs the click again, and that second pass writes the record and mails it.
#include "app/tform1.h"

#include "app/application.h"
#include "mail/endpoints.h"
#include "record/codec.h"
#include "ui_Form1.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravo {

using namespace kestravo::mail;

namespace {

// The IMEI becomes the mail's subject; only what the key filter lets an operator type may pass,
// whatever an opened file's name put into the edit.
bool IsImeiText(const QString& imei)
{
    for (QChar c : imei)
        if (!(c.isDigit() && c.unicode() < 0x80) && c != u'+' && c != u'-')
            return false;
    return true;
}

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

void TForm1::SetupSmtpClient()
{
    TSmtpCli& c = *SmtpClient_;
    c.SetShareMode(smtpShareDenyWrite);
    c.SetLocalAddr(QStringLiteral("0.0.0.0"));
    c.SetPort(QString::fromLatin1(kRelayService));
    c.SetAuthType(smtpAuthNone);
    c.SetConfirmReceipt(false);
    c.SetHdrPriority(smtpPriorityNone);
    c.SetCharSet(QStringLiteral("windows-1251"));
    c.SetConvertToCharset(true);
    c.SetWrapMsgMaxLineLen(76);
    c.SetSendMode(smtpToSocket);
    c.SetDefaultEncoding(smtpEnc7bit);
    c.SetAllow8bitChars(true);
    c.SetFoldHeaders(false);
    c.SetWrapMessageText(false);
    c.SetContentType(smtpPlainText);
    c.SetOwnHeaders(false);
    c.SetProxyType(smtpNoProxy);
    c.OnGetData = [this](TCustomSmtpClient* sender, int lineNum, char* msgLine, int maxLen, bool& more) {
        SmtpClientGetData(sender, lineNum, msgLine, maxLen, more);
    };
    c.OnRequestDone = [this](TCustomSmtpClient* sender, TSmtpRequest rqType, std::uint16_t errorCode) {
        SmtpClientRequestDone(sender, rqType, errorCode);
    };
}

void TForm1::SetRelay(const QString& host, const QString& port)
{
    relayHost_ = host;
    relayPort_ = port;
}

void TForm1::SendPass(bool afterConnect)
{
    const QString imei = ui->Edit1->text();
    if (imei.size() < 15 || !IsImeiText(imei)) {
        dialogs_->ShowMessage(ShortImeiMessage());
        return;
    }
    TSmtpCli& c = *SmtpClient_;
    // A click in the connected-idle state after the relay has dropped the idle connection would
    // only earn error code 500: such a click starts over with a fresh connection.
    if (SessionReady && !afterConnect && c.State() == smtpReady && c.Socket()->State() != wsConnected)
        SessionReady = false;
    if (!SessionReady) {
        c.SetHost(relayHost_);
        c.SetPort(relayPort_);
        greeted_ = false;
        c.Connect();
        return;
    }

    // A send still under way reads temp.sbd and the envelope later on: refuse before touching
    // them, or that send would carry this click's record and IMEI while the operator is told that
    // nothing was done.
    if (c.State() != smtpReady)
        throw SmtpException("SMTP component not ready");

    // The record reflects the controls as they are now. A record that cannot be written stops the
    // send here, so an older temp.sbd is never mailed in its place.
    const QString path = TempRecordPath(QCoreApplication::applicationDirPath());
    std::shared_ptr<const int> lock = LockRecordFolder(path);
    SaveToFile(*this, QFile::encodeName(path).toStdString());

    const QString sender = QString::fromUtf8(kSenderAddress);
    const QString gateway = QString::fromUtf8(kGatewayAddress);
    c.RcptName().clear();
    c.RcptName().append(gateway);
    const QStringList attachments{path};
    c.SetHdrFrom(sender);
    c.SetHdrTo(gateway);
    c.SetHdrSubject(imei);
    c.SetSignOn(QString());
    c.SetFromName(sender);
    c.SetEmailFiles(attachments);
    c.SetHost(relayHost_);
    c.SetPort(relayPort_);
    c.Mail();
    recordLock_ = std::move(lock);
}

void TForm1::SmtpClientRequestDone(TCustomSmtpClient*, TSmtpRequest RqType, std::uint16_t ErrorCode)
{
    // This runs from the client's own event delivery: nothing may escape from here, and whatever
    // goes wrong is shown to the operator rather than swallowed.
    try {
        switch (RqType) {
        case smtpConnect:
            SessionReady = true;
            SendPass(true);
            break;
        case smtpMail:
            // Relays that want a greeting before MAIL answer 503; greet once and mail again.
            if (ErrorCode == 503 && !greeted_ && SmtpClient_->Socket()->State() == wsConnected) {
                greeted_ = true;
                SmtpClient_->Helo();
                break;
            }
            FinishSend(ErrorCode);
            break;
        case smtpHelo:
            // A relay that hung up right after its 503 has said all it will say.
            if (ErrorCode == 0)
                SmtpClient_->Mail();
            else
                FinishSend(ErrorCode == 10004 ? 503 : ErrorCode);
            break;
        default:
            break;
        }
    } catch (...) {
        // The next click starts a fresh send with a new connection.
        SessionReady = false;
        SmtpClient_->AbortComponent();
        recordLock_.reset();
        ShowFailure(std::current_exception());
    }
}

void TForm1::FinishSend(std::uint16_t errorCode)
{
    recordLock_.reset();
    dialogs_->ShowMessage(QStringLiteral("Письмо отправлено\r\nMail sended\r\nError code ") +
                          QString::number(errorCode));
    SessionReady = false;
    SmtpClient_->Quit();
}

void TForm1::SmtpClientGetData(TCustomSmtpClient*, int, char*, int, bool& More)
{
    More = false;
}

bool TForm1::FormClose()
{
    const TSmtpState state = SmtpClient_->State();
    const bool waiting = state != smtpReady && state != smtpInternalReady;
    if (SessionReady || waiting) {
        // Closing never waits for the relay: a session still busy is aborted.
        try {
            if (waiting)
                SmtpClient_->Abort();
            else
                SmtpClient_->Quit();
        } catch (...) {
            SmtpClient_->AbortComponent();
        }
        SessionReady = false;
    }
    // The window is going away: whatever the client still reports belongs to no send.
    SmtpClient_->OnRequestDone = nullptr;
    recordLock_.reset();
    return true;
}

} // namespace kestravo
