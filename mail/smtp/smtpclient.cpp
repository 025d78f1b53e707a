// SPDX-License-Identifier: Apache-2.0
// The SMTP session (RFC 5321): connection, reply reading and judging, commands, the high-level
// request chains and the message line pump.
#include "mail/smtp/smtpcli.h"
#include "mail/smtp/smtp_auth.h"
#include "mail/smtp/smtp_reply_reader.h"

#include <QStringEncoder>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

namespace kestravo::mail {

namespace {

constexpr int kReplyBufferSize = 4096;
constexpr int kLineBufferSize = TCustomSmtpClient::HeaderLineLimit + 1;
constexpr int kMaxBodyLine = 2046;
// The most message bytes gathered for one write (MessageInOneWrite).
constexpr int kMessageBatchLimit = 65536;

constexpr TSmtpFctSet Bit(TSmtpFct f) { return TSmtpFctSet(1u << f); }

const char* ClassNameOf(const std::exception& e)
{
    if (auto* v = dynamic_cast<const EVyrError*>(&e))
        return v->ClassName();
    return "Exception";
}

// Commands are single lines: a CR, LF or NUL from a property must not start another command.
QString OneLine(QString s)
{
    for (QChar& c : s)
        if (c == u'\r' || c == u'\n' || c == QChar(0))
            c = u' ';
    return s;
}

// Transparency (RFC 5321 4.5.2): a line that begins with "." gets one more in front, also the
// lines inside a chunk that carries its own CR LF pairs.
QByteArray DotStuffed(const QByteArray& raw)
{
    QByteArray out;
    out.reserve(raw.size() + 8);
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == '.' && (i == 0 || raw[i - 1] == '\n'))
            out.append('.');
        out.append(raw[i]);
    }
    return out;
}

QByteArray ToSystemCodePage(const QString& text)
{
    QStringEncoder enc(kSystemCharset);
    return enc.isValid() ? enc.encode(text) : text.toLatin1();
}

// What stands for a reply line read during AUTH: its code and the mark that follows it (so a
// reply of several lines still reads as one), and a fixed text in place of the relay's own.
QString WithheldAuthReply(const QByteArray& line)
{
    const bool coded = line.size() >= 3 && std::isdigit(uchar(line[0])) && std::isdigit(uchar(line[1])) &&
                       std::isdigit(uchar(line[2])) && (line.size() == 3 || line[3] == ' ' || line[3] == '-');
    if (!coded)
        return QStringLiteral("(a line the relay sent during the sign-in, not shown)");
    const QString mark = line.size() > 3 && line[3] == '-' ? QStringLiteral("-") : QStringLiteral(" ");
    return QString::fromLatin1(line.left(3)) + mark + QStringLiteral("(the relay's reply to the sign-in, not shown)");
}

} // namespace

bool SmtpReplyLineEndsReply(const QString& line)
{
    return !(line.size() > 3 && line[3] == u'-');
}

QString SmtpRqTypeToStr(TSmtpRequest rq)
{
    switch (rq) {
    case smtpConnect: return QStringLiteral("CONNECT");
    case smtpHelo: return QStringLiteral("HELO");
    case smtpMailFrom: return QStringLiteral("MAIL FROM");
    case smtpVrfy: return QStringLiteral("VRFY");
    case smtpRcptTo: return QStringLiteral("RCPT TO");
    case smtpData: return QStringLiteral("DATA");
    case smtpQuit: return QStringLiteral("QUIT");
    case smtpRset: return QStringLiteral("RSET");
    case smtpOpen: return QStringLiteral("Open");
    case smtpMail: return QStringLiteral("Mail");
    case smtpEhlo: return QStringLiteral("EHLO");
    case smtpAuth: return QStringLiteral("AUTH");
    case smtpStartTls: return QStringLiteral("STARTTLS");
    case smtpCustom: return QStringLiteral("Custom");
    default: return QStringLiteral("Unknown");
    }
}

QString SmtpCliErrorMsgFromErrorCode(int code)
{
    if (code == kSmtpProtocolError)
        return QStringLiteral("SMTP Protocol Error");
    return WSocketErrorMsgFromErrorCode(code);
}

TCustomSmtpClient::TCustomSmtpClient(QObject* parent)
    : TVyrWndControl(parent)
{
    requestDoneMsg_ = AllocateMsg();
    socket_ = std::make_unique<TWSocket>();
    socket_->SetName(QStringLiteral("TCustomSmtpClient_Socket%1").arg(TWSocket::LiveCount()));
    socket_->SetBgExceptionOwnerAbort([this] { AbortComponent(); });
    // Commands and message lines are small writes: each goes out at once rather than waiting for
    // the relay's delayed acknowledgement of the one before.
    socket_->SetComponentOptions(WSocketOptionBit(wsoTcpNoDelay));
    socket_->OnSessionClosed = [this](TWSocket*, std::uint16_t e) { WSocketSessionClosed(e); };
    socket_->OnTlsDone = [this](TWSocket*, std::uint16_t e, const QString& reason) { TlsDone(e, reason); };
}

void TCustomSmtpClient::SetPassword(const QByteArray& v)
{
    WipePassword();
    password_ = QByteArray(v.constData(), v.size()); // a copy of its own, so wiping it wipes no other
}

void TCustomSmtpClient::WipePassword()
{
    WipeBytes(password_);
    WipeBytes(secretLine_);
}

TCustomSmtpClient::~TCustomSmtpClient()
{
    // An open connection closes without any event reaching a half-destroyed client.
    socket_->OnSessionClosed = nullptr;
    socket_->OnDataAvailable = nullptr;
    socket_->OnDataSent = nullptr;
    socket_->OnSessionConnected = nullptr;
    socket_->OnDnsLookupDone = nullptr;
    socket_->OnTlsDone = nullptr;
    socket_->SetBgExceptionOwnerAbort(nullptr);
    WipePassword();
    socket_.reset();
}

QStringList TCustomSmtpClient::AuthTypesSupported() const
{
    // "AUTH PLAIN LOGIN", or the older "AUTH=PLAIN LOGIN".
    QStringList types;
    for (const QString& line : ehloLines_) {
        if (line.size() < 5 || !line.startsWith(QStringLiteral("AUTH"), Qt::CaseInsensitive) ||
            (line[4] != u' ' && line[4] != u'='))
            continue;
        for (const QString& type : line.mid(5).split(u' ', Qt::SkipEmptyParts))
            if (!types.contains(type.toUpper()))
                types.append(type.toUpper());
    }
    return types;
}

void TCustomSmtpClient::SetWrapMsgMaxLineLen(int v)
{
    wrapMsgMaxLineLen_ = std::clamp(v, 16, 1022);
}

void TCustomSmtpClient::SetContentType(TSmtpContentType v)
{
    if (v == contentType_)
        return;
    contentType_ = v;
    contentTypeText_ = v == smtpHtml ? QStringLiteral("text/html") : QStringLiteral("text/plain");
}

QString TCustomSmtpClient::GetXMailerValue() const
{
    return QString(xMailer_).replace(QStringLiteral("%VER%"), QStringLiteral("7.41"), Qt::CaseInsensitive);
}

QByteArray TCustomSmtpClient::ToWire(const QString& text) const
{
    QStringEncoder enc(charSet_.toLatin1().constData());
    if (!enc.isValid())
        return text.toUtf8();
    QByteArray out = enc.encode(text);
    return out;
}

// --- events -------------------------------------------------------------------------------

void TCustomSmtpClient::TriggerDisplay(const QString& msg)
{
    if (OnDisplay)
        OnDisplay(this, msg);
}

void TCustomSmtpClient::TriggerCommand(const QString& msg)
{
    if (OnCommand)
        OnCommand(this, msg);
}

void TCustomSmtpClient::TriggerResponse(const QString& msg)
{
    if (currentStep_ == smtpFctEhlo && msg.size() > 4)
        ehloLines_.append(msg.mid(4).trimmed());
    if (OnResponse)
        OnResponse(this, msg);
}

void TCustomSmtpClient::TriggerStateChange()
{
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomSmtpClient::TriggerGetData(int lineNum, char* msgLine, int maxLen, bool& more)
{
    if (!OnGetData) {
        more = false;
        return;
    }
    OnGetData(this, lineNum, msgLine, maxLen, more);
}

void TCustomSmtpClient::TriggerHeaderLine(char* line, int size)
{
    if (OnHeaderLine)
        OnHeaderLine(this, line, size);
}

void TCustomSmtpClient::TriggerMessageDataSent(int size)
{
    if (OnMessageDataSent)
        OnMessageDataSent(this, size);
}

void TCustomSmtpClient::TriggerProcessHeader(TSmtpHeaderLines& hdrLines)
{
    if (OnProcessHeader)
        OnProcessHeader(this, hdrLines);
}

void TCustomSmtpClient::TriggerSessionConnected(std::uint16_t errCode)
{
    if (OnSessionConnected)
        OnSessionConnected(this, errCode);
}

void TCustomSmtpClient::TriggerSessionClosed(std::uint16_t errCode)
{
    if (OnSessionClosed)
        OnSessionClosed(this, errCode);
}

void TCustomSmtpClient::StateChange(TSmtpState newState)
{
    if (state_ == newState)
        return;
    state_ = newState;
    TriggerStateChange();
}

void TCustomSmtpClient::RequestChange(TRequestState next)
{
    request_ = next;
}

TSmtpRequest TCustomSmtpClient::Requested(TSmtpRequest rq) const
{
    // Inside a high-level request every step reports as the request itself.
    return chainActive_ ? request_.ActiveRequest : rq;
}

void TCustomSmtpClient::CheckReady() const
{
    if (dataPumping_ || (state_ != smtpReady && state_ != smtpInternalReady))
        throw SmtpException("SMTP component not ready");
}

void TCustomSmtpClient::CheckConnected() const
{
    if (!isConnected_)
        throw SmtpException("SMTP component not connected");
}

void TCustomSmtpClient::SetErrorMessage()
{
    if (errorMessage_.isEmpty())
        errorMessage_ = lastResponse_;
}

void TCustomSmtpClient::DisplayLastResponse()
{
    TriggerDisplay(QStringLiteral("< ") + lastResponse_);
}

// --- ending a request ---------------------------------------------------------------------

void TCustomSmtpClient::TriggerRequestDone(std::uint16_t errorCode)
{
    if (request_.DoneSignalled)
        return;
    RequestChange({request_.ActiveRequest, true});
    if (chainContinuation_) {
        if (state_ != smtpAbort)
            StateChange(smtpInternalReady);
        DoHighLevelAsync();
        return;
    }
    dataPumping_ = false;
    dataReplyPending_ = false;
    requestResponse_ = lastResponse_;
    ReleaseMessageSource();
    StateChange(smtpReady);
    chainActive_ = false;
    // The request type travels with the message: a request issued before this one is delivered
    // must not change what it reports.
    ++donesPosted_;
    PostMsg(requestDoneMsg_, quintptr(request_.ActiveRequest), qintptr(errorCode));
}

void TCustomSmtpClient::WMSmtpRequestDone(TSmtpRequest rqType, std::uint16_t errorCode)
{
    // An acceptance is reported only once whatever the relay sent after it has been read: a
    // reply no command asked for takes it back.
    if (errorCode == 0 && isConnected_ && socket_->BytesWaiting() > 0)
        WSocketDataAvailable(0);
    if (donesPosted_ > 0)
        --donesPosted_;
    if (doneRevoked_) {
        if (errorCode == 0 && rqType != smtpQuit) {
            errorCode = kSmtpProtocolError;
            lastResponse_ = requestResponse_ = errorMessage_ = revokedText_;
        }
        if (donesPosted_ == 0)
            doneRevoked_ = false;
    }
    if (OnRequestDone)
        OnRequestDone(this, rqType, errorCode);
}

void TCustomSmtpClient::WndProc(int msg, quintptr wParam, qintptr lParam)
{
    if (msg == requestDoneMsg_) {
        WMSmtpRequestDone(TSmtpRequest(wParam), std::uint16_t(lParam));
        return;
    }
    TVyrWndControl::WndProc(msg, wParam, lParam);
}

// --- connecting -----------------------------------------------------------------------------

QString TCustomSmtpClient::RelayName() const
{
    // An IPv6 address is written in brackets, so that its port stands apart.
    const bool bare = host_.contains(u':') && !host_.startsWith(u'[');
    return (bare ? u'[' + host_ + u']' : host_) + u':' + port_;
}

void TCustomSmtpClient::Connect()
{
    CheckReady();
    if (isConnected_)
        throw SmtpException("SMTP component already connected");
    RequestChange({Requested(smtpConnect), false});
    replyReader_.Clear();
    stepResult_ = 0;
    esmtpAccepted_ = false;
    errorMessage_.clear();
    lastResponse_.clear();
    StateChange(smtpDnsLookup);
    socket_->OnDataSent = nullptr;
    socket_->OnDnsLookupDone = [this](TWSocket*, std::uint16_t e) { WSocketDnsLookupDone(e); };
    try {
        socket_->DnsLookup(host_);
    } catch (...) {
        // A refused lookup must not leave the client refusing every later request.
        if (state_ == smtpDnsLookup) {
            RequestChange({request_.ActiveRequest, true});
            StateChange(smtpReady);
        }
        throw;
    }
}

void TCustomSmtpClient::WSocketDnsLookupDone(std::uint16_t errCode)
{
    if (errCode != 0) {
        lastResponse_ = QStringLiteral("500 %1: %2 (Winsock error #%3)").arg(WSocketErrorDesc(errCode), RelayName()).arg(errCode);
        replyCode_ = 500;
        SetErrorMessage();
        stepResult_ = errCode;
        TriggerSessionConnected(errCode);
        TriggerSessionClosed(errCode);
        TriggerRequestDone(errCode);
        return;
    }
    try {
        // Every address of the relay, IPv6 and IPv4, in the resolver's order: the socket moves
        // on to the next when one refuses or does not answer in time.
        socket_->SetAddrList(socket_->ResolvedAddresses());
        socket_->SetConnectAttemptTimeout(connectAttemptTimeout_);
        socket_->SetLocalAddr(localAddr_);
        socket_->SetProto(QStringLiteral("tcp"));
        socket_->SetPort(port_);
        socket_->OnSessionConnected = [this](TWSocket*, std::uint16_t e) { WSocketSessionConnected(e); };
        socket_->OnDataAvailable = [this](TWSocket*, std::uint16_t e) { WSocketDataAvailable(e); };
        StateChange(smtpConnecting);
        socket_->Connect();
    } catch (const std::exception& e) {
        lastResponse_ = QStringLiteral("500 %1: %2").arg(QString::fromLatin1(ClassNameOf(e)), QString::fromLocal8Bit(e.what()));
        replyCode_ = 500;
        stepResult_ = 500;
        SetErrorMessage();
        // The socket may refuse before any system call failed; its LastError is then still 0,
        // which must not read as success.
        int code = socket_->LastError();
        TriggerRequestDone(std::uint16_t(code != 0 ? code : 500));
    }
}

void TCustomSmtpClient::WSocketSessionConnected(std::uint16_t errCode)
{
    if (errCode == 0) {
        isConnected_ = true;
        repliesOwed_ = 1; // the greeting
        if (security_ == smtpSecurityImplicitTls) {
            // The greeting is awaited once the handshake is done (TlsDone).
            socket_->StartTls({host_, caFile_});
            return;
        }
        StateChange(smtpWaitingBanner);
        return;
    }
    TriggerSessionConnected(errCode);
    lastResponse_ = QStringLiteral("500 Connect error - %1: %2 (#%3)")
                        .arg(SmtpCliErrorMsgFromErrorCode(errCode), RelayName()).arg(errCode);
    replyCode_ = 500;
    isConnected_ = false;
    stepResult_ = 500;
    SetErrorMessage();
    TriggerRequestDone(errCode);
    socket_->Close();
    StateChange(smtpReady);
}

// --- reading replies ----------------------------------------------------------------------

void TCustomSmtpClient::WSocketDataAvailable(std::uint16_t)
{
    char chunk[kReplyBufferSize];
    const int n = socket_->Receive(chunk, int(sizeof chunk));
    if (n <= 0)
        return;
    replyReader_.Feed(QByteArray(chunk, n));
    SmtpReply reply;
    while (replyReader_.Next(reply)) {
        // A refused greeting, an abort or a handler's request may have closed the connection:
        // the rest of the data belongs to nobody.
        if (!TakeReply(reply) || !isConnected_) {
            replyReader_.Clear();
            return;
        }
    }
    // A reply is out of step from its first line on, whether or not its last has come.
    const QList<QByteArray>& held = replyReader_.HeldLines();
    if (held.isEmpty())
        return;
    if (dataPumping_)
        StrayReply(SystemCodePageText(held.first()));
    else if (!MayStartReply(held.first()))
        UnaskedReply(SystemCodePageText(held.first()));
}

bool TCustomSmtpClient::MayStartReply(const QByteArray& firstLine) const
{
    // RFC 5321 3.8: a relay may announce at any time, unasked, that it closes (421).
    return repliesOwed_ > 0 || (firstLine.startsWith("421") && request_.DoneSignalled && !chainContinuation_);
}

bool TCustomSmtpClient::TakeReply(const SmtpReply& reply)
{
    for (qsizetype i = 0; i < reply.lines.size(); ++i) {
        const QByteArray& line = reply.lines[i];
        // While the message lines go out the relay has nothing to answer: a reply now would be
        // taken for the answer to "." if it waited, so it ends the request here.
        if (dataPumping_) {
            StrayReply(SystemCodePageText(line));
            return false;
        }
        if (i == 0 && !MayStartReply(line)) {
            UnaskedReply(SystemCodePageText(line));
            return false;
        }
        if (repliesOwed_ > 0 && !(line.size() > 3 && line[3] == '-'))
            --repliesOwed_;
        if (currentStep_ == smtpFctAuth && state_ == smtpWaitingResponse) {
            WipeBytes(authReply_);
            authReply_ = line;
            lastResponse_ = WithheldAuthReply(line);
        } else {
            lastResponse_ = SystemCodePageText(line);
        }
        TriggerResponse(lastResponse_);
        const TSmtpState judge = state_;
        DisplayLastResponse();
        if (!isConnected_)
            return false;
        // The display handler may have aborted the client: the reply then belongs to nobody.
        if (i + 1 < reply.lines.size() || reply.fault != SmtpReply::Fault::None || state_ != judge)
            continue;
        if (judge == smtpWaitingBanner)
            GreetingReply(reply.code);
        else if (judge == smtpWaitingResponse)
            NextExecAsync(reply.code);
    }
    if (reply.fault != SmtpReply::Fault::None) {
        ProtocolFault(reply.FaultText(lastResponse_));
        return false;
    }
    return true;
}

void TCustomSmtpClient::StrayReply(const QString& line)
{
    TriggerResponse(line);
    ProtocolFault(QStringLiteral("SMTP protocol error: the relay replied while the message was being sent: %1")
                      .arg(QuotedReplyLine(line)));
}

void TCustomSmtpClient::UnaskedReply(const QString& line)
{
    TriggerResponse(line);
    ProtocolFault(QStringLiteral("SMTP protocol error: a reply no command asked for: %1").arg(QuotedReplyLine(line)));
}

void TCustomSmtpClient::ProtocolFault(const QString& text)
{
    replyReader_.Clear();
    // With no request under way the verdict of the last one may still be on its way: it is taken
    // back, and the connection goes, so nothing read out of step answers the next command either.
    if (request_.DoneSignalled && !chainContinuation_ && donesPosted_ > 0) {
        doneRevoked_ = true;
        revokedText_ = text;
    }
    lastResponse_ = text;
    replyCode_ = kSmtpProtocolError;
    if (stepResult_ == 0)
        stepResult_ = kSmtpProtocolError;
    SetErrorMessage();
    DisplayLastResponse();
    // The line cannot be read, so nothing after it can be trusted: end the request, then drop
    // the connection.
    TriggerRequestDone(kSmtpProtocolError);
    if (socket_->State() != wsClosed)
        socket_->Abort();
}

void TCustomSmtpClient::GreetingReply(int code)
{
    replyCode_ = code;
    if (replyCode_ == 220) {
        StateChange(smtpConnected);
        TriggerSessionConnected(0);
        TriggerRequestDone(0);
        return;
    }
    SetErrorMessage();
    stepResult_ = replyCode_;
    socket_->Close();
}

void TCustomSmtpClient::NextExecAsync(int code)
{
    replyCode_ = code;
    if (acceptedCodes_.empty())
        stepResult_ = replyCode_ < 500 ? 0 : replyCode_;
    else
        stepResult_ = std::find(acceptedCodes_.begin(), acceptedCodes_.end(), replyCode_) != acceptedCodes_.end()
                          ? 0 : replyCode_;
    if (stepResult_ != 0)
        SetErrorMessage();
    if (stepContinuation_) {
        Continuation next = stepContinuation_;
        try {
            (this->*next)();
        } catch (const std::exception& e) {
            // A step that cannot go on ends the request instead of leaving it hanging.
            EndWithInternalError(e);
        }
        return;
    }
    // An accepted QUIT ends when the relay closes; a refused one ends now with its code.
    if (request_.ActiveRequest == smtpQuit && isConnected_ && stepResult_ == 0)
        return;
    TriggerRequestDone(std::uint16_t(stepResult_));
}

// --- commands -----------------------------------------------------------------------------

void TCustomSmtpClient::ExecAsync(TSmtpRequest rq, const QString& cmd, std::vector<int> accepted, Continuation next)
{
    CheckReady();
    CheckConnected();
    const TSmtpState stateBefore = state_;
    const TRequestState requestBefore = request_;
    const QString errorBefore = errorMessage_;
    // A new request of one command is judged on its own reply: the error text of an earlier
    // request (MAIL's 503 before a HELO, say) must not stand for it.
    if (!chainActive_ && request_.DoneSignalled)
        errorMessage_.clear();
    RequestChange({Requested(rq), false});
    acceptedCodes_ = std::move(accepted);
    stepContinuation_ = next;
    StateChange(smtpWaitingResponse);
    ++repliesOwed_;
    try {
        SendCommand(cmd);
    } catch (...) {
        --repliesOwed_;
        // A command handler or the socket failed before the command went out: no reply will
        // come, so the client must not wait for one. The failure goes to the caller, which ends
        // a request under way; a request just being started is refused as if it never began.
        if (state_ == smtpWaitingResponse && !request_.DoneSignalled) {
            RequestChange(requestBefore);
            errorMessage_ = errorBefore;
            StateChange(stateBefore);
        }
        throw;
    }
}

void TCustomSmtpClient::SendCommand(const QString& cmd)
{
    const QString line = OneLine(cmd);
    TriggerCommand(line);
    TriggerDisplay(QStringLiteral("> ") + line);
    if (!secretLine_.isEmpty()) {
        // The text shown stands for a secret: the secret itself goes out and is wiped.
        secretLine_.append("\r\n");
        if (socket_->State() == wsConnected)
            socket_->SendStr(secretLine_);
        WipeBytes(secretLine_);
        return;
    }
    if (socket_->State() == wsConnected)
        socket_->SendStr(ToSystemCodePage(line) + "\r\n");
}

void TCustomSmtpClient::HighLevelAsync(TSmtpRequest rq, TSmtpFctSet steps)
{
    if (isConnected_ && (steps & Bit(smtpFctConnect)))
        throw SmtpException("SMTP component already connected");
    CheckReady();
    RequestChange({rq, request_.DoneSignalled});
    stepResult_ = 0;
    pendingSteps_ = steps;
    currentStep_ = smtpFctNone;
    chainResult_ = 0;
    chainActive_ = true;
    lastResponse_.clear();
    errorMessage_.clear();
    DoHighLevelAsync();
}

void TCustomSmtpClient::DoHighLevelAsync()
{
    if (state_ == smtpAbort) {
        pendingSteps_ = 0;
        chainResult_ = 426;
        stepResult_ = 426;
        errorMessage_ = QStringLiteral("426 Operation aborted.");
    }
    chainContinuation_ = true;
    if (stepResult_ != 0) {
        // A relay that does not know EHLO is greeted with HELO, unless encryption or sign-in was
        // asked for: neither can happen without EHLO, and neither is dropped silently.
        if (currentStep_ == smtpFctEhlo && !(pendingSteps_ & (Bit(smtpFctStartTls) | Bit(smtpFctAuth))) &&
            !(security_ == smtpSecurityStartTls && !socket_->TlsEstablished())) {
            pendingSteps_ = Bit(smtpFctHelo);
        } else {
            chainResult_ = stepResult_;
            pendingSteps_ = ((pendingSteps_ & Bit(smtpFctQuit)) && currentStep_ != smtpFctQuit) ? Bit(smtpFctQuit) : 0;
        }
    }
    static constexpr struct { TSmtpFct fct; void (TCustomSmtpClient::*run)(); } kOrder[] = {
        {smtpFctConnect, &TCustomSmtpClient::Connect}, {smtpFctHelo, &TCustomSmtpClient::Helo},
        {smtpFctEhlo, &TCustomSmtpClient::Ehlo}, {smtpFctStartTls, &TCustomSmtpClient::StartTls},
        {smtpFctAuth, &TCustomSmtpClient::Auth},
        {smtpFctVrfy, &TCustomSmtpClient::Vrfy}, {smtpFctMailFrom, &TCustomSmtpClient::MailFrom},
        {smtpFctRcptTo, &TCustomSmtpClient::RcptTo}, {smtpFctData, &TCustomSmtpClient::Data},
        {smtpFctQuit, &TCustomSmtpClient::Quit},
    };
    try {
        for (const auto& step : kOrder) {
            if (pendingSteps_ & Bit(step.fct)) {
                pendingSteps_ &= TSmtpFctSet(~Bit(step.fct));
                currentStep_ = step.fct;
                (this->*step.run)();
                return;
            }
        }
    } catch (const std::exception& e) {
        chainResult_ = 500;
        stepResult_ = 500;
        errorMessage_ = InternalErrorText(e);
    }
    pendingSteps_ = 0;
    chainContinuation_ = false;
    RequestChange({request_.ActiveRequest, false});
    TriggerRequestDone(std::uint16_t(chainResult_));
}

void TCustomSmtpClient::Open()
{
    if (authType_ == smtpAuthNone && security_ == smtpSecurityNone) {
        HighLevelAsync(smtpOpen, TSmtpFctSet(Bit(smtpFctConnect) | Bit(smtpFctHelo)));
        return;
    }
    TSmtpFctSet steps = TSmtpFctSet(Bit(smtpFctConnect) | Bit(smtpFctEhlo));
    if (security_ == smtpSecurityStartTls)
        steps |= Bit(smtpFctStartTls);
    if (authType_ != smtpAuthNone)
        steps |= Bit(smtpFctAuth);
    HighLevelAsync(smtpOpen, steps);
}

// --- TLS ----------------------------------------------------------------------------------

void TCustomSmtpClient::FailStep(int code, const QString& text)
{
    lastResponse_ = text;
    replyCode_ = code;
    stepResult_ = code;
    SetErrorMessage();
    DisplayLastResponse();
    RequestChange({request_.ActiveRequest, false});
    TriggerRequestDone(std::uint16_t(code));
}

void TCustomSmtpClient::StartTls()
{
    CheckReady();
    CheckConnected();
    currentStep_ = smtpFctStartTls;
    RequestChange({Requested(smtpStartTls), request_.DoneSignalled});
    bool offered = false;
    for (const QString& line : ehloLines_)
        if (line.section(u' ', 0, 0).compare(QStringLiteral("STARTTLS"), Qt::CaseInsensitive) == 0)
            offered = true;
    if (!offered) {
        // Asked for encryption and not offered it: the send stops here rather than go on in clear.
        FailStep(500, QStringLiteral("500 The relay does not offer STARTTLS, and this program does not send without it"));
        return;
    }
    ExecAsync(smtpStartTls, QStringLiteral("STARTTLS"), {220}, &TCustomSmtpClient::StartTlsNext);
}

void TCustomSmtpClient::StartTlsNext()
{
    if (stepResult_ != 0 || !isConnected_) {
        TriggerRequestDone(std::uint16_t(stepResult_ != 0 ? stepResult_ : 10004));
        return;
    }
    // Lines after "220" that came in the same read are not the relay's answer to anything: the
    // socket drops what it still holds, and this buffer is emptied too.
    replyReader_.Clear();
    repliesOwed_ = 0;
    socket_->StartTls({host_, caFile_});
}

void TCustomSmtpClient::TlsDone(std::uint16_t code, const QString& reason)
{
    if (code != 0) {
        FailStep(500, QStringLiteral("500 TLS with the relay failed: ") + reason);
        if (socket_->State() != wsClosed)
            socket_->Abort();
        return;
    }
    TriggerDisplay(QStringLiteral("< (TLS established)"));
    if (state_ == smtpConnecting) { // implicit TLS: now the greeting
        StateChange(smtpWaitingBanner);
        return;
    }
    // What the relay said in clear is forgotten (RFC 3207 4.2): EHLO again ends the step.
    esmtpAccepted_ = false;
    StateChange(smtpInternalReady);
    try {
        Ehlo();
    } catch (const std::exception& e) {
        EndWithInternalError(e);
    }
}

// --- AUTH ---------------------------------------------------------------------------------

bool TCustomSmtpClient::PasswordMayTravel() const
{
    if (socket_->TlsEstablished())
        return true;
    // Judged on the peer actually connected, not on the first address the name gave: that one
    // may have refused, and the connection gone on to another machine.
    const QString peer = socket_->ConnectedAddr();
    return peer.startsWith(QStringLiteral("127.")) || peer == QStringLiteral("::1");
}


void TCustomSmtpClient::AuthLoginUser()
{
    if (stepResult_ != 0)
        return AuthDone();
    secretLine_ = username_.toUtf8().toBase64();
    StateChange(smtpInternalReady);
    ExecAsync(smtpAuth, QStringLiteral("(user name)"), {334}, &TCustomSmtpClient::AuthLoginPassword);
}

void TCustomSmtpClient::AuthLoginPassword()
{
    if (stepResult_ != 0)
        return AuthDone();
    secretLine_ = password_.toBase64();
    StateChange(smtpInternalReady);
    ExecAsync(smtpAuth, QStringLiteral("(password)"), {235}, &TCustomSmtpClient::AuthDone);
}

void TCustomSmtpClient::AuthCramAnswer()
{
    if (stepResult_ != 0)
        return AuthDone();
    secretLine_ = CramMd5Answer(authReply_, username_.toUtf8(), password_);
    WipeBytes(authReply_);
    if (secretLine_.isEmpty()) {
        WipePassword();
        stepResult_ = kSmtpProtocolError;
        FailStep(kSmtpProtocolError, QStringLiteral("SMTP protocol error: the relay's CRAM-MD5 challenge is not base64 text"));
        if (socket_->State() != wsClosed)
            socket_->Abort();
        return;
    }
    StateChange(smtpInternalReady);
    ExecAsync(smtpAuth, QStringLiteral("(CRAM-MD5 answer)"), {235}, &TCustomSmtpClient::AuthDone);
}

void TCustomSmtpClient::AuthDone()
{
    WipePassword();
    WipeBytes(authReply_);
    if (stepResult_ == 535 || stepResult_ == 534)
        errorMessage_ = QStringLiteral("%1 authentication failed: the relay refused the user name or password").arg(stepResult_);
    TriggerRequestDone(std::uint16_t(stepResult_));
}

void TCustomSmtpClient::Mail()
{
    if (pipelining_ && rcptName_.size() == 1 && RelayOffersPipelining()) {
        PipelinedMail();
        return;
    }
    HighLevelAsync(smtpMail, TSmtpFctSet(Bit(smtpFctMailFrom) | Bit(smtpFctRcptTo) | Bit(smtpFctData)));
}

void TCustomSmtpClient::Helo()
{
    CheckReady();
    CheckConnected();
    currentStep_ = smtpFctHelo;
    QString name = signOn_.isEmpty() ? LocalHostName() : signOn_;
    name.replace(u' ', u'_');
    ExecAsync(smtpHelo, QStringLiteral("HELO ") + name, {250}, nullptr);
}

void TCustomSmtpClient::Ehlo()
{
    CheckReady();
    CheckConnected();
    currentStep_ = smtpFctEhlo;
    ehloLines_.clear();
    QString name = signOn_.isEmpty() ? LocalHostName() : signOn_;
    name.replace(u' ', u'_');
    ExecAsync(smtpEhlo, QStringLiteral("EHLO ") + name, {250}, &TCustomSmtpClient::EhloNext);
}

void TCustomSmtpClient::EhloNext()
{
    if (!isConnected_)
        return;
    if (stepResult_ == 0)
        esmtpAccepted_ = true;
    TriggerRequestDone(std::uint16_t(stepResult_));
}

void TCustomSmtpClient::Auth()
{
    if (authType_ != smtpAuthNone) {
        CheckReady();
        CheckConnected();
        currentStep_ = smtpFctAuth;
        RequestChange({Requested(smtpAuth), request_.DoneSignalled});
        if (!PasswordMayTravel()) {
            WipePassword();
            FailStep(500, QStringLiteral("500 The connection to the relay is not encrypted: the password is not sent (set security to starttls or tls)"));
            return;
        }
        AuthMechanism wanted = AuthMechanism::None;
        switch (authType_) {
        case smtpAuthPlain: wanted = AuthMechanism::Plain; break;
        case smtpAuthLogin: wanted = AuthMechanism::Login; break;
        case smtpAuthCramMD5: wanted = AuthMechanism::CramMd5; break;
        default: break;
        }
        const QStringList offered = AuthTypesSupported();
        const AuthMechanism m = ChooseAuthMechanism(offered, wanted);
        if (m == AuthMechanism::None) {
            WipePassword();
            const QString ours = wanted == AuthMechanism::None ? QStringLiteral("CRAM-MD5, PLAIN or LOGIN")
                                                               : AuthMechanismName(wanted);
            // The code is the client's own, as for every failure the relay did not answer itself.
            FailStep(500, QStringLiteral("500 The relay offers no sign-in mechanism this program shares (relay: %1; this program: %2)")
                              .arg(offered.isEmpty() ? QStringLiteral("none") : offered.join(u' '), ours));
            return;
        }
        switch (m) {
        case AuthMechanism::Plain:
            secretLine_ = AuthPlainCommand(username_.toUtf8(), password_);
            ExecAsync(smtpAuth, QStringLiteral("AUTH PLAIN (credentials)"), {235}, &TCustomSmtpClient::AuthDone);
            return;
        case AuthMechanism::Login:
            ExecAsync(smtpAuth, QStringLiteral("AUTH LOGIN"), {334}, &TCustomSmtpClient::AuthLoginUser);
            return;
        default:
            ExecAsync(smtpAuth, QStringLiteral("AUTH CRAM-MD5"), {334}, &TCustomSmtpClient::AuthCramAnswer);
            return;
        }
    }
    lastResponse_ = esmtpAccepted_ ? QStringLiteral("500 No Authentication Type Selected.")
                                   : QStringLiteral("500 ESMTP not supported.");
    SetErrorMessage();
    RequestChange({Requested(smtpAuth), false});
    TriggerRequestDone(500);
}

void TCustomSmtpClient::Vrfy()
{
    currentStep_ = smtpFctVrfy;
    ExecAsync(smtpVrfy, QStringLiteral("VRFY ") + hdrTo_, {250}, nullptr);
}

void TCustomSmtpClient::Rset()
{
    currentStep_ = smtpFctRset;
    ExecAsync(smtpRset, QStringLiteral("RSET"), {250}, nullptr);
}

void TCustomSmtpClient::MailFrom()
{
    CheckReady();
    CheckConnected();
    currentStep_ = smtpFctMailFrom;
    QString name;
    ExecAsync(smtpMailFrom, QStringLiteral("MAIL FROM:<") + ParseEmail(fromName_, name) + u'>', {250}, nullptr);
}

void TCustomSmtpClient::RcptTo()
{
    if (rcptName_.isEmpty())
        throw SmtpException("RcptName list is empty");
    // Refuse before touching the list position, which a message under way uses too.
    CheckReady();
    CheckConnected();
    listPosition_ = -1;
    RcptToNext();
}

void TCustomSmtpClient::RcptToNext()
{
    if (listPosition_ >= 0 && stepResult_ != 0) {
        TSmtpRcptToErrorAction action = srteAbort;
        if (OnRcptToError)
            OnRcptToError(this, std::uint16_t(stepResult_), listPosition_, action);
        if (action == srteAbort) {
            TriggerRequestDone(std::uint16_t(stepResult_));
            return;
        }
        if (action == srteIgnore)
            ++listPosition_;
    } else {
        ++listPosition_;
    }
    if (listPosition_ >= rcptName_.size()) { // the list shrank under a handler
        TriggerRequestDone(std::uint16_t(stepResult_ != 0 ? stepResult_ : 500));
        return;
    }
    Continuation next = listPosition_ < rcptName_.size() - 1 ? &TCustomSmtpClient::RcptToDone : nullptr;
    currentStep_ = smtpFctRcptTo;
    QString name;
    ExecAsync(smtpRcptTo, QStringLiteral("RCPT TO:<") + ParseEmail(rcptName_.at(listPosition_), name) + u'>',
              {250, 251}, next);
}

void TCustomSmtpClient::RcptToDone()
{
    StateChange(smtpInternalReady);
    RcptToNext();
}

void TCustomSmtpClient::Quit()
{
    CheckReady();
    currentStep_ = smtpFctQuit;
    if (isConnected_) {
        ExecAsync(smtpQuit, QStringLiteral("QUIT"), {221}, nullptr);
        return;
    }
    RequestChange({Requested(smtpQuit), false});
    TriggerRequestDone(0);
}

// --- the message --------------------------------------------------------------------------

void TCustomSmtpClient::Data()
{
    CheckReady();
    CheckConnected();
    BuildHeaderLines();
    currentStep_ = smtpFctData;
    dataReplyPending_ = true;
    try {
        ExecAsync(smtpData, QStringLiteral("DATA"), {354}, &TCustomSmtpClient::DataNext);
    } catch (...) {
        dataReplyPending_ = false;
        throw;
    }
}

void TCustomSmtpClient::SendMessageLine(const QByteArray& line)
{
    lastLineSize_ = int(line.size());
    socket_->OnDataSent = [this](TWSocket*, std::uint16_t e) { WSocketDataSent(e); };
    socket_->PutDataInSendBuffer(line.constData(), int(line.size()));
    socket_->SendStr(QByteArray("\r\n"));
    lastLineSize_ += 2;
}

void TCustomSmtpClient::SendMessageBatch()
{
    const QByteArray bytes = std::exchange(messageBatch_, QByteArray());
    lastLineSize_ = int(bytes.size());
    socket_->OnDataSent = [this](TWSocket*, std::uint16_t e) { WSocketDataSent(e); };
    socket_->SendStr(bytes);
}

void TCustomSmtpClient::DataNext()
{
    if (dataReplyPending_) {
        dataReplyPending_ = false;
        if (stepResult_ != 0) {
            TriggerRequestDone(std::uint16_t(stepResult_));
            return;
        }
        dataPumping_ = true;
        messageBatch_.clear();
    }
    if (!dataPumping_)
        return; // a stray completion after the message ended
    if (!isConnected_) {
        socket_->OnDataSent = nullptr;
        return;
    }
    char buffer[kLineBufferSize + 1];
    try {
        // One line per call; with MessageInOneWrite the lines gather until the message (or a
        // batch's worth of it) is complete and go out in one write.
        for (;;) {
            QByteArray out;
            ++listPosition_;
            if (listPosition_ < headerLines_.Lines.size()) {
                QByteArray bytes = ToWire(headerLines_.Lines.at(listPosition_)).left(kLineBufferSize - 1);
                std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
                buffer[bytes.size()] = 0;
                TriggerHeaderLine(buffer, kLineBufferSize);
                buffer[kLineBufferSize - 1] = 0;
                // A header line that begins with "." (one a hook wrote, say) would lose its dot
                // or end the message early at the relay: it is stuffed like any line.
                out = DotStuffed(QByteArray(buffer, qsizetype(strnlen(buffer, kLineBufferSize - 1))));
            } else {
                if (moreData_) {
                    ++bodyLineNumber_;
                    buffer[0] = 0;
                    TriggerGetData(bodyLineNumber_, buffer, kMaxBodyLine, moreData_);
                }
                if (!isConnected_) {
                    socket_->OnDataSent = nullptr;
                    return;
                }
                if (!moreData_)
                    break;
                buffer[kMaxBodyLine] = 0;
                out = DotStuffed(QByteArray(buffer, qsizetype(strnlen(buffer, kMaxBodyLine))));
            }
            TriggerDisplay(QStringLiteral("> ") + SystemCodePageText(out));
            if (LineSourceGone())
                return;
            if (!messageInOneWrite_) {
                SendMessageLine(out);
                return;
            }
            messageBatch_ += out;
            messageBatch_ += "\r\n";
            if (messageBatch_.size() >= kMessageBatchLimit) {
                SendMessageBatch();
                return;
            }
        }
        if (!messageBatch_.isEmpty()) {
            SendMessageBatch();
            return;
        }
        // Whatever the relay sent during the message has arrived by now or will be taken for
        // the reply to ".": read it first.
        if (replyReader_.HasPending() || socket_->BytesWaiting() > 0) {
            WSocketDataAvailable(0);
            if (!dataPumping_ || !isConnected_)
                return;
            if (replyReader_.HasPending()) {
                StrayReply(SystemCodePageText(replyReader_.Pending()));
                return;
            }
        }
        socket_->OnDataSent = nullptr;
        dataPumping_ = false;
        StateChange(smtpInternalReady);
        ExecAsync(smtpData, QStringLiteral("."), {250}, nullptr);
    } catch (const std::exception& e) {
        FailMessage(e);
    }
}

QString TCustomSmtpClient::InternalErrorText(const std::exception& e)
{
    return QStringLiteral("500 Internal client error %1: \"%2\"")
        .arg(QString::fromLatin1(ClassNameOf(e)), QString::fromLocal8Bit(e.what()));
}

void TCustomSmtpClient::EndWithInternalError(const std::exception& e)
{
    stepResult_ = 500;
    lastResponse_ = InternalErrorText(e);
    SetErrorMessage();
    TriggerRequestDone(500);
}

bool TCustomSmtpClient::LineSourceGone()
{
    // A handler run for the line (the display) may have aborted the client: the request has
    // ended then, and the line has nowhere to go.
    if (isConnected_ && dataPumping_)
        return false;
    socket_->OnDataSent = nullptr;
    return true;
}

void TCustomSmtpClient::FailMessage(const std::exception& e)
{
    // A message that cannot be completed must not be ended with "." and reported as sent:
    // drop the connection, so that the relay discards the partial data.
    dataPumping_ = false;
    socket_->OnDataSent = nullptr;
    EndWithInternalError(e);
    if (socket_->State() != wsClosed)
        socket_->Abort();
}

void TCustomSmtpClient::WSocketDataSent(std::uint16_t)
{
    TriggerMessageDataSent(lastLineSize_);
    if (!dataPumping_)
        return;
    StateChange(smtpInternalReady);
    DataNext();
}

// --- closing ------------------------------------------------------------------------------

void TCustomSmtpClient::WSocketSessionClosed(std::uint16_t errCode)
{
    isConnected_ = false;
    repliesOwed_ = 0;
    dataPumping_ = false;
    socket_->OnDataSent = nullptr;
    ReleaseMessageSource();
    TriggerSessionClosed(errCode);
    std::uint16_t code = request_.ActiveRequest == smtpQuit ? 0 : 10004;
    if (code == 10004 && stepResult_ == 0)
        stepResult_ = 10004;
    // The last reply belongs to an earlier command: the error names the close itself.
    if (code == 10004 && !request_.DoneSignalled && errorMessage_.isEmpty())
        errorMessage_ = state_ == smtpAbort ? QStringLiteral("10004 Connection aborted")
                                            : QStringLiteral("10004 Connection closed by the relay");
    TriggerRequestDone(code);
}

void TCustomSmtpClient::Abort()
{
    ReleaseMessageSource();
    dataPumping_ = false;
    StateChange(smtpAbort);
    socket_->Abort();
    // Without a connection (a lookup under way) the socket reports no close; the request
    // must still end.
    if (!request_.DoneSignalled) {
        isConnected_ = false;
        if (stepResult_ == 0)
            stepResult_ = 10004;
        TriggerRequestDone(request_.ActiveRequest == smtpQuit ? 0 : 10004);
    }
    StateChange(smtpReady);
}

void TCustomSmtpClient::AbortComponent()
{
    try {
        Abort();
    } catch (...) {
    }
}

// --- pipelining (RFC 2920) ------------------------------------------------------------------

bool TCustomSmtpClient::RelayOffersPipelining() const
{
    if (!isConnected_ || !esmtpAccepted_)
        return false;
    // The first line names the relay; each further one is an extension keyword and its
    // parameters.
    for (qsizetype i = 1; i < ehloLines_.size(); ++i)
        if (ehloLines_[i].section(u' ', 0, 0).compare(QLatin1String("PIPELINING"), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

void TCustomSmtpClient::SendCommands(const QStringList& commands)
{
    QByteArray bytes;
    for (const QString& command : commands) {
        const QString line = OneLine(command);
        TriggerCommand(line);
        TriggerDisplay(QStringLiteral("> ") + line);
        bytes += ToSystemCodePage(line) + "\r\n";
    }
    repliesOwed_ += int(commands.size());
    if (socket_->State() == wsConnected)
        socket_->SendStr(bytes);
}

void TCustomSmtpClient::PipelinedMail()
{
    CheckReady();
    RequestChange({smtpMail, request_.DoneSignalled});
    stepResult_ = 0;
    pendingSteps_ = 0;
    currentStep_ = smtpFctNone;
    chainResult_ = 0;
    chainActive_ = true;
    // The request ends through the chain's own ending, which turns an abort into 426.
    chainContinuation_ = true;
    pipelineFailure_ = 0;
    lastResponse_.clear();
    errorMessage_.clear();
    try {
        // The message is composed before anything goes out: a source that fails sends nothing.
        ComposeMessage();
        QString name;
        const QStringList commands = {QStringLiteral("MAIL FROM:<") + ParseEmail(fromName_, name) + u'>',
                                      QStringLiteral("RCPT TO:<") + ParseEmail(rcptName_.first(), name) + u'>',
                                      QStringLiteral("DATA")};
        currentStep_ = smtpFctMailFrom;
        acceptedCodes_ = {250};
        stepContinuation_ = &TCustomSmtpClient::PipelineMailReplied;
        RequestChange({request_.ActiveRequest, false});
        dataReplyPending_ = true;
        StateChange(smtpWaitingResponse);
        SendCommands(commands);
    } catch (const std::exception& e) {
        dataReplyPending_ = false;
        chainResult_ = 500;
        stepResult_ = 500;
        errorMessage_ = InternalErrorText(e);
        chainContinuation_ = false;
        RequestChange({request_.ActiveRequest, false});
        TriggerRequestDone(500);
    }
}

void TCustomSmtpClient::ExpectPipelinedReply(TSmtpFct step, std::vector<int> accepted, Continuation next)
{
    // Every reply of the batch is read, whatever the one before said: the relay answers each
    // command. Meanwhile a refusal already read stands, should the relay hang up now.
    currentStep_ = step;
    acceptedCodes_ = std::move(accepted);
    stepContinuation_ = next;
    stepResult_ = pipelineFailure_;
}

void TCustomSmtpClient::PipelineMailReplied()
{
    if (stepResult_ != 0 && pipelineFailure_ == 0)
        pipelineFailure_ = stepResult_;
    ExpectPipelinedReply(smtpFctRcptTo, {250, 251}, &TCustomSmtpClient::PipelineRcptReplied);
}

void TCustomSmtpClient::PipelineRcptReplied()
{
    if (stepResult_ != 0 && pipelineFailure_ == 0)
        pipelineFailure_ = stepResult_;
    ExpectPipelinedReply(smtpFctData, {354}, &TCustomSmtpClient::PipelineDataReplied);
}

void TCustomSmtpClient::PipelineDataReplied()
{
    if (pipelineFailure_ == 0) {
        // As in the sequential request: DataNext judges the reply to DATA and sends the message.
        DataNext();
        return;
    }
    dataReplyPending_ = false;
    const bool dataAccepted = stepResult_ == 0;
    stepResult_ = pipelineFailure_;
    if (!dataAccepted) {
        TriggerRequestDone(std::uint16_t(stepResult_));
        return;
    }
    // DATA was accepted although the transaction was refused (RFC 2920 3.1): the relay now
    // reads message data, so an empty message ends it, and the refusal decides the request.
    StateChange(smtpInternalReady);
    ExecAsync(smtpData, QStringLiteral("."), {250}, &TCustomSmtpClient::PipelineDotReplied);
}

void TCustomSmtpClient::PipelineDotReplied()
{
    stepResult_ = pipelineFailure_;
    TriggerRequestDone(std::uint16_t(stepResult_));
}

} // namespace kestravo::mail
