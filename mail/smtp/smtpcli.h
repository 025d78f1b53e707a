// SPDX-License-Identifier: Apache-2.0
#pragma once
// The SMTP client: TCustomSmtpClient runs the session (RFC 5321) over a TWSocket, TSmtpCli adds
// the composition of the Internet message (RFC 5322 headers, MIME multipart/mixed body with
// base64 attachments, RFC 2045 to 2049).
//
// Every request is asynchronous: the request operation checks its preconditions (raising
// SmtpException when it refuses), starts the first network action and returns; the request ends
// with exactly one OnRequestDone, always posted through the client's own message queue.
#include "mail/errors.h"
#include "mail/smtp/smtp_reply_reader.h"
#include "mail/transport/wndcontrol.h"
#include "mail/transport/wsocket.h"

#include <QByteArray>
#include <QDateTime>
#include <QBuffer>
#include <QFile>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace kestravo::mail {

enum TSmtpState {
    smtpReady, smtpDnsLookup, smtpConnecting, smtpConnected, smtpInternalReady,
    smtpWaitingBanner, smtpWaitingResponse, smtpAbort, smtpInternalBusy
};

enum TSmtpRequest {
    smtpConnect, smtpHelo, smtpMailFrom, smtpVrfy, smtpRcptTo, smtpData, smtpQuit, smtpRset,
    smtpOpen, smtpMail, smtpEhlo, smtpAuth, smtpStartTls, smtpCalcMsgSize, smtpMailFromSIZE,
    smtpToFile, smtpCustom
};

enum TSmtpFct {
    smtpFctNone, smtpFctHelo, smtpFctConnect, smtpFctMailFrom, smtpFctRcptTo, smtpFctData,
    smtpFctVrfy, smtpFctQuit, smtpFctRset, smtpFctEhlo, smtpFctAuth, smtpFctStartTls,
    smtpFctCalcMsgSize, smtpFctMailFromSIZE
};
using TSmtpFctSet = std::uint16_t; // bit n stands for the TSmtpFct value n

enum TSmtpRcptToErrorAction { srteAbort, srteRetry, srteIgnore };
enum TSmtpAuthType {
    smtpAuthNone, smtpAuthPlain, smtpAuthLogin, smtpAuthCramMD5, smtpAuthCramSha1, smtpAuthNtlm,
    smtpAuthAutoSelect
};
// How the connection to the relay is protected: not at all (the plain SMTP of old), STARTTLS
// after the greeting (RFC 3207), or TLS from the first byte (RFC 8314, port 465).
enum TSmtpSecurity { smtpSecurityNone, smtpSecurityStartTls, smtpSecurityImplicitTls };

enum TSmtpContentType { smtpHtml, smtpPlainText };
enum TSmtpDefaultEncoding { smtpEnc7bit, smtpEnc8bit, smtpEncQuotedPrintable, smtpEncBase64 };
enum TSmtpPriority {
    smtpPriorityNone, smtpPriorityHighest, smtpPriorityHigh, smtpPriorityNormal, smtpPriorityLow,
    smtpPriorityLowest
};
enum TSmtpEncoding { smtpEncodeNone, smtpEncodeBase64, smtpEncodeQP };
enum TSmtpShareMode {
    smtpShareCompat, smtpShareExclusive, smtpShareDenyWrite, smtpShareDenyRead, smtpShareDenyNone
};
enum TSmtpProxyType { smtpNoProxy, smtpSocks4, smtpSocks4A, smtpSocks5, smtpHttpProxy };
enum TSmtpSendMode { smtpToSocket, smtpToStream, smtpCopyToStream };

// The 8-bit code page this program treats as the system's: its operators' one, Cyrillic. Commands
// go out in it and replies are read in it, as the message text is written in it by default.
constexpr const char* kSystemCharset = "windows-1251";
constexpr int kSystemCodePage = 1251;

// Code given to a request ended by a reply that breaks the protocol: a line that is not a reply
// line of RFC 5321 (three digits, the first 2 to 5, then a space, a hyphen or the end of the
// line), a continuation whose code changes, a line longer than the reply buffer, a zero byte in
// reply data.
constexpr std::uint16_t kSmtpProtocolError = 20600;

// How long an attempt to one of a relay's addresses may go unanswered before the next address is
// tried: a firewall that drops packets to an IPv6 address must not cost the whole deadline.
constexpr int kConnectAttemptTimeoutMs = 4000;

// The header lines of one message and the conversion settings copied from the client.
class TSmtpHeaderLines {
public:
    QStringList Lines;
    int CodePage = 1251;
    QString CharSet = QStringLiteral("windows-1251");
    bool Allow8bitChars = true;
    bool FoldHeaders = false;
    bool MultiByte = false;
    TSmtpDefaultEncoding DefaultEncoding = smtpEnc7bit;
    char EncType = 'Q';

    // A header made of the name and the value as text; CR and LF in the value become blanks.
    void AddHdr(const QString& name, const QString& value);
    // A header holding a list of addresses separated by "," or ";".
    void AddAddrHdr(const QString& name, const QString& value);
    // A fixed line, as it stands but for CR and LF, which become blanks.
    void AddLine(const QString& line);

private:
    void AddFolded(const QString& line);
};

class TCustomSmtpClient : public TVyrWndControl {
public:
    explicit TCustomSmtpClient(QObject* parent = nullptr);
    ~TCustomSmtpClient() override;

    // Session properties.
    QString Host() const { return host_; }
    void SetHost(const QString& v) { host_ = v; }
    QString Port() const { return port_; }
    void SetPort(const QString& v) { port_ = v; }
    // Milliseconds a connection attempt to one of the relay's addresses may take before the next
    // address is tried (the last is waited for as long as the system takes); 0: no limit.
    int ConnectAttemptTimeout() const { return connectAttemptTimeout_; }
    void SetConnectAttemptTimeout(int milliseconds) { connectAttemptTimeout_ = std::max(0, milliseconds); }
    // "HOST:PORT" as the operator reads it in error texts, "[ADDRESS]:PORT" for IPv6.
    QString RelayName() const;
    QString LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const QString& v) { localAddr_ = v.isEmpty() ? QStringLiteral("0.0.0.0") : v; }
    QString SignOn() const { return signOn_; }
    void SetSignOn(const QString& v) { signOn_ = v; }
    TSmtpAuthType AuthType() const { return authType_; }
    void SetAuthType(TSmtpAuthType v) { authType_ = v; }
    QString FromName() const { return fromName_; }
    void SetFromName(const QString& v) { fromName_ = v; }
    QStringList& RcptName() { return rcptName_; }
    const QStringList& RcptName() const { return rcptName_; }
    void SetRcptName(const QStringList& v) { rcptName_ = v; }
    TSmtpProxyType ProxyType() const { return proxyType_; }
    void SetProxyType(TSmtpProxyType v) { proxyType_ = v; }
    TSmtpSendMode SendMode() const { return sendMode_; }
    void SetSendMode(TSmtpSendMode v) { sendMode_ = v; }
    // With a security other than none, or an AuthType other than smtpAuthNone, Open runs
    // connect, EHLO, STARTTLS (when asked for), EHLO again and AUTH; nothing falls back to plain
    // text, and the password goes over an unencrypted connection only to a loopback address.
    TSmtpSecurity Security() const { return security_; }
    void SetSecurity(TSmtpSecurity v) { security_ = v; }
    QString Username() const { return username_; }
    void SetUsername(const QString& v) { username_ = v; }
    // The password for AUTH; the client keeps its own copy and wipes it once AUTH is over.
    void SetPassword(const QByteArray& v);
    // Further trusted CA certificates (PEM) for the relay's certificate; empty: the system's.
    QString CaFile() const { return caFile_; }
    void SetCaFile(const QString& v) { caFile_ = v; }
    TSmtpState State() const { return state_; }
    QString LastResponse() const { return lastResponse_; }
    // LastResponse as it stood when the last request ended: the reply that judged it, or the
    // client's own error text. A line the relay sends between requests ("421 shutting down"
    // after its 250) changes LastResponse but not this.
    QString RequestResponse() const { return requestResponse_; }
    QString ErrorMessage() const { return errorMessage_; }
    // The reply lines to the last EHLO, without their codes: the relay's name, then one
    // extension per line.
    QStringList EhloLines() const { return ehloLines_; }
    // The authentication mechanisms the relay announced in its reply to EHLO, upper case.
    QStringList AuthTypesSupported() const;

    // Features a session of many messages switches on; both are off by default, and then the
    // dialogue is the one the window has always had, line by line.
    // One write per message: the message lines are composed into one buffer (at most 64 KiB;
    // a longer message goes in as many writes) instead of one write per line. The bytes on the
    // wire are the same; OnMessageDataSent then fires once per write, with its size.
    bool MessageInOneWrite() const { return messageInOneWrite_; }
    void SetMessageInOneWrite(bool on) { messageInOneWrite_ = on; }
    // PIPELINING (RFC 2920): when on, and the last EHLO on this connection announced PIPELINING,
    // Mail sends MAIL FROM, RCPT TO and DATA in one write and reads the three replies in order,
    // each judged as the sequential request judges it, the first refusal deciding the result.
    // A refused MAIL FROM or RCPT TO sends no message data: when DATA is still answered 354,
    // the empty message is ended with "." alone, and its reply changes nothing. Used for one
    // recipient; with several, Mail goes command by command.
    bool Pipelining() const { return pipelining_; }
    void SetPipelining(bool on) { pipelining_ = on; }
    // The relay announced PIPELINING in its reply to the last EHLO of this connection.
    bool RelayOffersPipelining() const;

    // Composition properties.
    QString HdrFrom() const { return hdrFrom_; }
    void SetHdrFrom(const QString& v) { hdrFrom_ = v; }
    QString HdrTo() const { return hdrTo_; }
    void SetHdrTo(const QString& v) { hdrTo_ = v; }
    QString HdrCc() const { return hdrCc_; }
    void SetHdrCc(const QString& v) { hdrCc_ = v; }
    QString HdrReplyTo() const { return hdrReplyTo_; }
    void SetHdrReplyTo(const QString& v) { hdrReplyTo_ = v; }
    QString HdrReturnPath() const { return hdrReturnPath_; }
    void SetHdrReturnPath(const QString& v) { hdrReturnPath_ = v; }
    QString HdrSender() const { return hdrSender_; }
    void SetHdrSender(const QString& v) { hdrSender_ = v; }
    QString HdrSubject() const { return hdrSubject_; }
    void SetHdrSubject(const QString& v) { hdrSubject_ = v; }
    TSmtpPriority HdrPriority() const { return hdrPriority_; }
    void SetHdrPriority(TSmtpPriority v) { hdrPriority_ = v; }
    bool ConfirmReceipt() const { return confirmReceipt_; }
    void SetConfirmReceipt(bool v) { confirmReceipt_ = v; }
    QString CharSet() const { return charSet_; }
    void SetCharSet(const QString& value);
    int CodePage() const { return codePage_; }
    bool ConvertToCharset() const { return true; }
    void SetConvertToCharset(bool) {} // conversion cannot be switched off
    int WrapMsgMaxLineLen() const { return wrapMsgMaxLineLen_; }
    void SetWrapMsgMaxLineLen(int v);
    TSmtpDefaultEncoding DefaultEncoding() const { return defaultEncoding_; }
    void SetDefaultEncoding(TSmtpDefaultEncoding v) { defaultEncoding_ = v; }
    bool Allow8bitChars() const { return allow8bitChars_; }
    void SetAllow8bitChars(bool v) { allow8bitChars_ = v; }
    bool FoldHeaders() const { return foldHeaders_; }
    void SetFoldHeaders(bool v) { foldHeaders_ = v; }
    bool WrapMessageText() const { return wrapMessageText_; }
    void SetWrapMessageText(bool v) { wrapMessageText_ = v; }
    TSmtpContentType ContentType() const { return contentType_; }
    virtual void SetContentType(TSmtpContentType v);
    QString ContentTypeText() const { return contentTypeText_; }
    bool OwnHeaders() const { return ownHeaders_; }
    void SetOwnHeaders(bool v) { ownHeaders_ = v; }
    QString XMailer() const { return xMailer_; }
    void SetXMailer(const QString& v) { xMailer_ = v; }
    QString GetXMailerValue() const;
    const TSmtpHeaderLines& HeaderLines() const { return headerLines_; }
    // The Message-ID of the last composed header, without its angle brackets.
    const QString& MessageId() const { return messageId_; }
    // The composition half of Data: builds the header list of the next message. Throws when a
    // line (with its folds) is longer than the sending buffer holds, HeaderLineLimit bytes on
    // the wire: such a message is refused before DATA, never sent with a header cut short.
    void BuildHeaderLines();
    static constexpr int HeaderLineLimit = 2047;

    // Requests.
    virtual void Connect();
    virtual void Helo();
    virtual void Ehlo();
    virtual void Auth();
    virtual void Vrfy();
    virtual void MailFrom();
    virtual void RcptTo();
    virtual void Data();
    virtual void Quit();
    virtual void Rset();
    virtual void Abort();
    virtual void Open();
    virtual void Mail();
    // STARTTLS, then the TLS handshake and EHLO again; request smtpStartTls.
    virtual void StartTls();

    void AbortComponent() override;

    // Events; an unassigned one changes nothing.
    std::function<void(TCustomSmtpClient* Sender, TSmtpRequest RqType, std::uint16_t ErrorCode)> OnRequestDone;
    std::function<void(TCustomSmtpClient* Sender, int LineNum, char* MsgLine, int MaxLen, bool& More)> OnGetData;
    std::function<void(TCustomSmtpClient* Sender, const QString& Msg)> OnDisplay;
    std::function<void(TCustomSmtpClient* Sender, const QString& Msg)> OnCommand;
    std::function<void(TCustomSmtpClient* Sender, const QString& Msg)> OnResponse;
    std::function<void(TCustomSmtpClient* Sender, std::uint16_t ErrCode)> OnSessionConnected;
    std::function<void(TCustomSmtpClient* Sender, std::uint16_t ErrCode)> OnSessionClosed;
    std::function<void(TCustomSmtpClient* Sender, std::uint16_t ErrorCode, int RcptNameIdx,
                       TSmtpRcptToErrorAction& Action)> OnRcptToError;
    std::function<void(TCustomSmtpClient* Sender, int Size)> OnMessageDataSent;
    std::function<void(TCustomSmtpClient* Sender, char* Msg, int Size)> OnHeaderLine;
    std::function<void(TCustomSmtpClient* Sender, TSmtpHeaderLines& HdrLines)> OnProcessHeader;
    std::function<void(TCustomSmtpClient* Sender)> OnStateChange;

    // The socket the session runs on (tests and diagnostics look at it).
    TWSocket* Socket() const { return socket_.get(); }

protected:
    virtual void TriggerDisplay(const QString& msg);
    virtual void TriggerCommand(const QString& msg);
    virtual void TriggerResponse(const QString& msg);
    virtual void TriggerRequestDone(std::uint16_t errorCode);
    virtual void TriggerStateChange();
    virtual void TriggerGetData(int lineNum, char* msgLine, int maxLen, bool& more);
    virtual void TriggerHeaderLine(char* line, int size);
    virtual void TriggerMessageDataSent(int size);
    virtual void TriggerProcessHeader(TSmtpHeaderLines& hdrLines);
    virtual void TriggerSessionConnected(std::uint16_t errCode);
    virtual void TriggerSessionClosed(std::uint16_t errCode);
    virtual void SendCommand(const QString& cmd);
    virtual void DoHighLevelAsync();
    virtual void WMSmtpRequestDone(TSmtpRequest rqType, std::uint16_t errorCode);
    void WndProc(int msg, quintptr wParam, qintptr lParam) override;

    // Closes whatever the message source holds open (an attachment); run whenever a request
    // ends, the connection closes or the client aborts.
    virtual void ReleaseMessageSource() {}
    // The composition half of Data: prepares the message source and builds the header list.
    virtual void ComposeMessage() { BuildHeaderLines(); }

    // Refusals shared by the requests that need a connection.
    void CheckReady() const;
    void CheckConnected() const;
    void StateChange(TSmtpState newState);
    // The request the next OnRequestDone reports, and whether that request (inside a high-level
    // request: its step under way) has ended. RequestChange is its only setter.
    struct TRequestState {
        TSmtpRequest ActiveRequest = smtpConnect;
        bool DoneSignalled = true;
    };
    const TRequestState& RequestState() const { return request_; }
    void RequestChange(TRequestState next);
    // The request a step reports: its own, or inside a high-level request the chain's.
    TSmtpRequest Requested(TSmtpRequest rq) const;
    // Encodes message text for the wire, in the code page of CharSet.
    QByteArray ToWire(const QString& text) const;

    // The system's 8-bit code page: windows-1251 (see SetCharSet).
    int codePage_ = 1251;
    QString charSet_ = QStringLiteral("windows-1251");
    int wrapMsgMaxLineLen_ = 76;
    TSmtpDefaultEncoding defaultEncoding_ = smtpEnc7bit;
    bool allow8bitChars_ = true;
    bool foldHeaders_ = false;
    bool wrapMessageText_ = false;
    TSmtpContentType contentType_ = smtpPlainText;
    QString contentTypeText_ = QStringLiteral("text/plain");

private:
    using Continuation = void (TCustomSmtpClient::*)();

    void ExecAsync(TSmtpRequest rq, const QString& cmd, std::vector<int> accepted, Continuation next);
    void HighLevelAsync(TSmtpRequest rq, TSmtpFctSet steps);
    // Reports each line of a whole reply, then judges its final line by the state it came in;
    // false when the reply ended the connection or the reading.
    bool TakeReply(const SmtpReply& reply);
    // A reply may begin now: one is owed, or it is the relay's unasked 421 between requests.
    bool MayStartReply(const QByteArray& firstLine) const;
    void GreetingReply(int code);
    void NextExecAsync(int code);
    void SetErrorMessage();
    void DisplayLastResponse();
    void RcptToNext();
    void RcptToDone();
    void EhloNext();
    void StartTlsNext();
    void TlsDone(std::uint16_t code, const QString& reason);
    void FailStep(int code, const QString& text);
    void AuthLoginUser();
    void AuthLoginPassword();
    void AuthCramAnswer();
    void AuthDone();
    void WipePassword();
    bool PasswordMayTravel() const;
    void DataNext();
    void SendMessageLine(const QByteArray& line);
    void SendMessageBatch();
    // Pipelined Mail: the three commands in one write, then one continuation per reply.
    void PipelinedMail();
    void SendCommands(const QStringList& commands);
    void ExpectPipelinedReply(TSmtpFct step, std::vector<int> accepted, Continuation next);
    void PipelineMailReplied();
    void PipelineRcptReplied();
    void PipelineDataReplied();
    void PipelineDotReplied();
    bool LineSourceGone();
    void FailMessage(const std::exception& e);
    // "500 Internal client error " + the failure's class name + ": " + its message in quotes.
    static QString InternalErrorText(const std::exception& e);
    // Ends the command under way with 500 and that text.
    void EndWithInternalError(const std::exception& e);
    void ProtocolFault(const QString& text);
    // A reply line that came while the message lines went out.
    void StrayReply(const QString& line);
    // A reply that no command asked for: the stream of replies is out of step with the commands,
    // so no verdict read from it can be trusted.
    void UnaskedReply(const QString& line);

    void WSocketDnsLookupDone(std::uint16_t errCode);
    void WSocketSessionConnected(std::uint16_t errCode);
    void WSocketDataAvailable(std::uint16_t errCode);
    void WSocketDataSent(std::uint16_t errCode);
    void WSocketSessionClosed(std::uint16_t errCode);

    std::unique_ptr<TWSocket> socket_;
    int requestDoneMsg_ = 0;

    QString host_;
    QString port_ = QStringLiteral("smtp");
    QString localAddr_ = QStringLiteral("0.0.0.0");
    int connectAttemptTimeout_ = kConnectAttemptTimeoutMs;
    QString signOn_;
    TSmtpAuthType authType_ = smtpAuthNone;
    QString fromName_;
    QStringList rcptName_;
    TSmtpProxyType proxyType_ = smtpNoProxy;
    TSmtpSendMode sendMode_ = smtpToSocket;
    TSmtpSecurity security_ = smtpSecurityNone;
    QString username_;
    QByteArray password_;
    QString caFile_;
    // The last reply line read during AUTH as it came (a CRAM-MD5 challenge is read from it); what
    // the client reports in its place is the code and a fixed text, as the relay may quote the
    // credentials back.
    QByteArray authReply_;
    // The next command's bytes when they hold a secret; the command's text is then only shown.
    QByteArray secretLine_;

    QString hdrFrom_, hdrTo_, hdrCc_, hdrReplyTo_, hdrReturnPath_, hdrSender_, hdrSubject_;
    TSmtpPriority hdrPriority_ = smtpPriorityNone;
    bool confirmReceipt_ = false;
    bool ownHeaders_ = false;
    QString xMailer_ = QStringLiteral("VYR SMTP Component V%VER%");
    TSmtpHeaderLines headerLines_;

    TSmtpState state_ = smtpReady;
    bool isConnected_ = false;
    TRequestState request_;
    SmtpReplyReader replyReader_;
    int replyCode_ = 0;
    int stepResult_ = 0;
    std::vector<int> acceptedCodes_;
    Continuation stepContinuation_ = nullptr;
    TSmtpFctSet pendingSteps_ = 0;
    TSmtpFct currentStep_ = smtpFctNone;
    int chainResult_ = 0;
    bool chainActive_ = false;
    bool chainContinuation_ = false;
    bool esmtpAccepted_ = false;
    QStringList ehloLines_;
    int listPosition_ = -1;
    int bodyLineNumber_ = 0;
    bool moreData_ = true;
    int lastLineSize_ = 0;
    QString lastResponse_;
    QString requestResponse_;
    QString errorMessage_;
    // Replies the relay owes: one for the greeting, one for every command sent. A reply that
    // starts while none is owed was not asked for.
    int repliesOwed_ = 0;
    // Request ends posted and not yet delivered, and whether an unasked reply since has made
    // an acceptance among them untrustworthy.
    int donesPosted_ = 0;
    bool doneRevoked_ = false;
    QString revokedText_;
    QString messageId_;
    // The reply to DATA is still to be judged by DataNext.
    bool dataReplyPending_ = false;
    // The message lines are going out: no request from outside may start now, or its command
    // would land inside the message data.
    bool dataPumping_ = false;
    bool messageInOneWrite_ = false;
    // Message lines composed and not yet handed to the socket (MessageInOneWrite).
    QByteArray messageBatch_;
    bool pipelining_ = false;
    // The code of the first refused command of a pipelined Mail, 0 while none was refused.
    int pipelineFailure_ = 0;
};

// The text that a body line source fills: the message's own text, converted and encoded.
class TSmtpMessageText {
public:
    void Load(const QByteArray& bytes, TSmtpDefaultEncoding encoding, bool wrap, int maxLineLen);
    bool HasMore() const { return next_ < lines_.size(); }
    QByteArray NextLine() { return lines_.at(next_++); }
    TSmtpDefaultEncoding Encoding() const { return encoding_; }

private:
    QList<QByteArray> lines_;
    qsizetype next_ = 0;
    TSmtpDefaultEncoding encoding_ = smtpEnc7bit;
};

// An attachment handed over as bytes, sent under the given file name.
struct TSmtpAttachment {
    QString name;
    QByteArray bytes;
};

class TSmtpCli : public TCustomSmtpClient {
public:
    explicit TSmtpCli(QObject* parent = nullptr);
    ~TSmtpCli() override;

    QStringList EmailFiles() const { return emailFiles_; }
    void SetEmailFiles(const QStringList& files);
    // Attachments from memory, sent after the files of EmailFiles; nothing is read from disk.
    QList<TSmtpAttachment> EmailAttachments() const { return emailAttachments_; }
    void SetEmailAttachments(const QList<TSmtpAttachment>& attachments) { emailAttachments_ = attachments; }
    QStringList MailMessage() const { return mailMessage_; }
    void SetMailMessage(const QStringList& lines) { mailMessage_ = lines; }
    TSmtpShareMode ShareMode() const { return shareMode_; }
    void SetShareMode(TSmtpShareMode v) { shareMode_ = v; }
    QByteArray Boundary() const { return boundary_; }
    // True while an attachment is open for reading.
    bool AttachmentOpen() const { return file_.isOpen() || memory_.isOpen(); }

    void Data() override;

    std::function<void(TCustomSmtpClient* Sender, int FileNumber, QString& FileName, QString& ContentType)>
        OnAttachContentType;
    std::function<void(TCustomSmtpClient* Sender, int FileNumber, QString& FileName, QString& ContentType,
                       TSmtpEncoding& Encoding)> OnAttachContentTypeEh;
    std::function<void(TCustomSmtpClient* Sender, int FileNumber, const QString& FileName, QStringList& Header)>
        OnAttachHeader;

    // Resets the message state, loads the text and queues the preamble; public so that the body
    // can be produced without a session.
    virtual void PrepareEMail();
    // The next body line as the session asks for it.
    void TriggerGetData(int lineNum, char* msgLine, int maxLen, bool& more) override;
    void TriggerHeaderLine(char* line, int size) override;

protected:
    virtual void TriggerAttachContentType(int fileNumber, QString& fileName, QString& contentType);
    virtual void TriggerAttachContentTypeEh(int fileNumber, QString& fileName, QString& contentType,
                                            TSmtpEncoding& encoding);
    virtual void TriggerAttachHeader(int fileNumber, const QString& fileName, QStringList& header);
    void ReleaseMessageSource() override;
    void ComposeMessage() override;

private:
    void CopyOut(const QByteArray& bytes, char* msgLine, int maxLen);
    QByteArray NextFileChunk(bool& more);
    int AttachmentCount() const { return int(emailFiles_.size() + emailAttachments_.size()); }
    // The attachment being read: a file or bytes from memory.
    QIODevice& Source();
    void CloseSource();

    QStringList emailFiles_;
    QList<TSmtpAttachment> emailAttachments_;
    QBuffer memory_;
    QStringList mailMessage_;
    TSmtpShareMode shareMode_ = smtpShareDenyWrite;
    std::deque<QString> pending_;
    TSmtpMessageText text_;
    QByteArray boundary_;
    QFile file_;
    bool textPhase_ = true;
    int fileIndex_ = 0;
    int textLineNum_ = 0;
    TSmtpEncoding fileEncoding_ = smtpEncodeBase64;
};

// Module functions.
// True for a reply line (as OnResponse hands it over) that ends its reply, false for a
// continuation line ("250-..."). OnResponse fires for complete lines only, never for bytes that
// have not completed one: a deadline that counts complete replies as progress counts the lines
// for which this holds.
bool SmtpReplyLineEndsReply(const QString& line);
QString SmtpRqTypeToStr(TSmtpRequest rq);
QString SmtpCliErrorMsgFromErrorCode(int code);
QString ParseEmail(const QString& entry, QString& displayName);
QString Rfc822DateTime(const QDateTime& t);
QString GenerateMessageID();
QString FilenameToContentType(const QString& fileName);
// The next chunk of base64 text of an open file: up to 1482 bytes as 76-character lines joined by
// CR LF; more tells whether the file has data left. Throws SmtpException when the file cannot be
// read.
QByteArray DoFileEncBase64(QFile& file, bool& more);
// The same over any open source; `name` names it in the error.
QByteArray DoEncBase64(QIODevice& source, const QString& name, bool& more);
// Maps a MIME charset name or alias to its code page; 0 when it is not supported.
int CharsetToCodePage(const QString& name);

} // namespace kestravo::mail
