// SPDX-License-Identifier: Apache-2.0
// The e-mail link: one SMTP session carries every message; the 503 fallback, the greeting, RSET,
// the reconnection and the envelope live here only (RFC 5321).
#include "mail/mail_link.h"

#include "send/result_codes.h"

#include "mail/smtp/smtpcli.h"
#include "mail/smtp_security.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace kestravo::mail {

using send::Outcome;
using send::SbdMessage;
using send::SbdResult;

namespace {

using send::kClosed;
using send::kNotSent;
// Connections one message may take: the first, and one reconnection whatever the relay does.
constexpr int kConnectionsPerMessage = 2;

} // namespace

struct MailLink::Impl {
    enum class Phase { Idle, Connecting, Greeting, Helo, Mailing, Resetting, Renewing, Quitting };

    Endpoints endpoints;
    send::SendOptions options;
    MailLink* q = nullptr;
    Phase phase = Phase::Idle;
    // The client of the connection under way; a dropped one is retired, never reused, so that
    // nothing it still had queued reaches this link. Retired clients are freed from the event
    // loop once no handler of any client is running: a handler may run a nested loop (a modal
    // box), and the client whose handler it is must outlive it.
    TSmtpCli* client = nullptr;
    std::vector<std::unique_ptr<TSmtpCli>> retired;
    int handlerDepth = 0;
    QTimer purge;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    // Session state: HELO or EHLO went out on this connection; the last message was refused on a
    // connection that is still up (RSET before the next one); messages this session took.
    bool greeted = false;
    bool needRset = false;
    int acceptedInSession = 0;
    // The reply that made the link greet: reported if the relay hangs up instead of greeting.
    QString refusalBeforeHelo;

    // The message under way, its answer, the connections it has taken and whether its lines went
    // out (so its Message-ID was sent).
    bool sending = false;
    std::size_t index = 0;
    SbdMessage message;
    Link::Answer answer;
    int connections = 0;
    bool messageLinesSent = false;
    // The reply to the message's "." as it came, kept apart from whatever the relay says after it
    // (a "421 shutting down" must not stand for the 250 that judged the message).
    QString dotReply;
    QString lastFailure; // why the last connection ended, for a message out of connections
    int lastFailureCode = 0; // and its code

    std::function<void(int, const QString&)> opened;
    std::function<void()> closed;


    Impl(MailLink* owner, Endpoints e, send::SendOptions o) : endpoints(std::move(e)), options(o), q(owner)
    {
        purge.setSingleShot(true);
        QObject::connect(&purge, &QTimer::timeout, [this] {
            if (handlerDepth == 0)
                retired.clear();
        });
    }

    ~Impl()
    {
        *alive = false;
        DropConnection();
        if (handlerDepth > 0) // destroyed from a handler after all: the clients free themselves later
            for (std::unique_ptr<TSmtpCli>& c : retired)
                c.release()->Release();
        retired.clear();
    }

    // Runs fn from the event loop unless this link is gone by then.
    void Later(std::function<void()> fn)
    {
        QTimer::singleShot(0, [stillAlive = std::weak_ptr<bool>(alive), fn = std::move(fn)] {
            if (!stillAlive.expired())
                fn();
        });
    }

    bool Connected() const { return client && client->Socket()->State() == wsConnected; }

    void DropConnection()
    {
        phase = Phase::Idle;
        greeted = false;
        needRset = false;
        acceptedInSession = 0;
        if (!client)
            return;
        TSmtpCli* c = client;
        client = nullptr;
        c->OnRequestDone = nullptr;
        c->OnResponse = nullptr;
        c->OnCommand = nullptr;
        c->OnMessageDataSent = nullptr;
        c->AbortComponent();
        retired.emplace_back(c);
        purge.start(0);
    }

    void NewClient()
    {
        DropConnection();
        client = new TSmtpCli();
        TSmtpCli& c = *client;
        c.SetHost(endpoints.relayHost);
        c.SetPort(endpoints.relayPort);
        c.SetCharSet(QStringLiteral("windows-1251"));
        c.SetShareMode(smtpShareDenyWrite);
        c.SetSignOn(QString());
        ConfigureSecurity(c, endpoints);
        // The tool's fleet session greets first: there each message goes out in one write, and
        // MAIL, RCPT and DATA together where the relay offers PIPELINING. The window's session
        // stays as it always was.
        c.SetPipelining(options.greetFirst);
        c.SetMessageInOneWrite(options.greetFirst);
        c.OnGetData = [](TCustomSmtpClient*, int, char*, int, bool& more) { more = false; };
        c.OnResponse = [this](TCustomSmtpClient*, const QString& line) {
            // The first final line after the message went out answers its ".".
            if (sending && messageLinesSent && dotReply.isEmpty() && (line.size() <= 3 || line[3] != u'-'))
                dotReply = line;
        };
        c.OnMessageDataSent = [this](TCustomSmtpClient*, int) {
            if (!messageLinesSent && sending) {
                messageLinesSent = true;
                // The Message-ID is on its way: kept before any answer comes.
                const QString id = client ? client->MessageId() : QString();
                if (!id.isEmpty() && q->OnReference)
                    q->OnReference(index, id);
            }
        };
        c.OnRequestDone = [this](TCustomSmtpClient* sender, TSmtpRequest rq, std::uint16_t code) {
            if (sender != client)
                return;
            const std::weak_ptr<bool> stillAlive = alive;
            ++handlerDepth;
            try {
                RequestDone(rq, code);
            } catch (const std::exception& e) {
                CrashQuietly(QString::fromLocal8Bit(e.what()));
            } catch (...) {
                CrashQuietly(QStringLiteral("unknown failure"));
            }
            if (stillAlive.expired())
                return;
            if (--handlerDepth == 0 && !retired.empty())
                purge.start(0);
        };
    }

    // Something this link did not expect failed: the message under way still gets its answer.
    void Crash(const QString& what)
    {
        DropConnection();
        const QString text = QStringLiteral("500 Internal client error: ") + what;
        if (opened)
            std::exchange(opened, nullptr)(kNotSent, text);
        else if (sending)
            Finish(kNotSent, text, Outcome::ConnectionFailed, false);
        else if (closed)
            std::exchange(closed, nullptr)();
    }

    // A handler that throws again while the failure is reported is not heard a second time.
    void CrashQuietly(const QString& what) noexcept
    {
        try {
            Crash(what);
        } catch (...) {
        }
    }

    QString FailureText() const
    {
        if (!client)
            return QString();
        return client->ErrorMessage().isEmpty() ? client->LastResponse() : client->ErrorMessage();
    }

    // A code the relay itself gave in its last reply is a refusal; any other (a hang-up, a code of
    // the client's own) is a failed connection.
    Outcome OutcomeOf(int code) const
    {
        if (code >= 200 && code <= 599 && client && client->LastResponse().startsWith(QString::number(code)))
            return Outcome::Refused;
        return Outcome::ConnectionFailed;
    }

    // The message's answer; the link is ready for the next one.
    void Finish(int code, const QString& detail, Outcome outcome, bool lookForMessageId)
    {
        if (!sending)
            return;
        SbdResult r;
        r.code = code;
        r.detail = detail;
        r.outcome = code == 0 ? Outcome::Accepted : outcome;
        if (lookForMessageId && messageLinesSent && client)
            r.reference = client->MessageId();
        sending = false;
        Link::Answer done = std::exchange(answer, nullptr);
        done(r);
    }

    // Opens a connection; false (after answering) when the client refuses at once.
    bool OpenConnection()
    {
        NewClient();
        phase = Phase::Connecting;
        try {
            OpenSession(*client, endpoints);
        } catch (const std::exception& e) {
            const QString text = QStringLiteral("500 ") + QString::fromLocal8Bit(e.what());
            DropConnection();
            if (opened) {
                opened = nullptr;
                throw;
            }
            Finish(kNotSent, text, Outcome::ConnectionFailed, false);
            return false;
        }
        return true;
    }

    // The next step of the message under way.
    void Step()
    {
        if (!sending)
            return;
        if (!Connected()) {
            if (connections >= kConnectionsPerMessage) {
                // Out of connections: the last failure stands, never a success.
                DropConnection();
                Finish(lastFailureCode > 0 ? lastFailureCode : kClosed,
                       lastFailure.isEmpty() ? send::ResultText(kClosed) : lastFailure,
                       Outcome::ConnectionFailed, false);
                return;
            }
            ++connections;
            OpenConnection();
            return;
        }
        if (options.greetFirst && !greeted) {
            greeted = true;
            phase = Phase::Greeting;
            client->Ehlo();
            return;
        }
        if (needRset) {
            needRset = false;
            phase = Phase::Resetting;
            client->Rset();
            return;
        }
        MailCurrent();
    }

    void MailCurrent()
    {
        TSmtpCli& c = *client;
        c.SetFromName(endpoints.sender);
        c.RcptName().clear();
        c.RcptName().append(endpoints.gateway);
        c.SetHdrFrom(endpoints.sender);
        c.SetHdrTo(endpoints.gateway);
        c.SetHdrSubject(message.imei);
        c.SetEmailAttachments({{QStringLiteral("temp.sbd"),
                                QByteArray(reinterpret_cast<const char*>(message.record.data()),
                                           qsizetype(message.record.size()))}});
        messageLinesSent = false;
        dotReply.clear();
        phase = Phase::Mailing;
        c.Mail();
    }

    // A failed connection of the message under way: tried again while it has connections left.
    void ConnectionLost(int code, const QString& reason)
    {
        lastFailure = reason;
        lastFailureCode = code;
        DropConnection();
        Step();
    }

    void RequestDone(TSmtpRequest rq, int code)
    {
        switch (phase) {
        case Phase::Connecting:
            if (rq != smtpConnect && rq != smtpOpen)
                return;
            if (code == 0) {
                phase = Phase::Idle;
                // A secure opening has said EHLO already, over TLS.
                greeted = rq == smtpOpen;
                if (opened) {
                    std::exchange(opened, nullptr)(0, client->LastResponse());
                    return;
                }
                Step();
                return;
            }
            {
                // As before the links existed, a send whose connection failed reports 500, with
                // the reason of the failure.
                const QString reason = FailureText();
                DropConnection();
                if (opened) {
                    std::exchange(opened, nullptr)(rq == smtpOpen ? OpenFailureCode(rq, code, kNotSent) : code, reason);
                    return;
                }
                const int failure = OpenFailureCode(rq, code, kNotSent);
                Finish(failure, reason, failure == kNotSent ? Outcome::ConnectionFailed : Outcome::Refused, false);
            }
            return;
        case Phase::Greeting: // EHLO ahead of the first MAIL
            if (rq != smtpEhlo)
                return;
            if (code == 0) {
                phase = Phase::Idle;
                Step();
                return;
            }
            if (code == kClosed || !Connected()) {
                ConnectionLost(code, FailureText());
                return;
            }
            // A relay that does not know EHLO (RFC 5321 4.1.4): HELO instead.
            phase = Phase::Helo;
            client->Helo();
            return;
        case Phase::Helo:
            if (rq != smtpHelo)
                return;
            if (code == 0) {
                if (refusalBeforeHelo.isEmpty()) { // the greeting ahead of the first MAIL
                    phase = Phase::Idle;
                    Step();
                    return;
                }
                MailCurrent();
                return;
            }
            // A relay that hung up right after its 503 has said all it will say.
            if (code == kClosed) {
                if (!refusalBeforeHelo.isEmpty()) {
                    DropConnection();
                    Finish(503, refusalBeforeHelo, Outcome::Refused, false);
                    return;
                }
                ConnectionLost(code, FailureText());
                return;
            }
            {
                const Outcome outcome = OutcomeOf(code);
                needRset = Connected();
                Finish(code, FailureText(), outcome, false);
            }
            return;
        case Phase::Mailing:
            if (rq != smtpMail)
                return;
            MailDone(code);
            return;
        case Phase::Resetting:
            if (rq != smtpRset)
                return;
            if (code != 0)
                DropConnection(); // the message goes on a fresh connection
            Step();
            return;
        case Phase::Renewing: // QUIT of a session that reached its limit of messages
            if (rq != smtpQuit)
                return;
            DropConnection();
            Step();
            return;
        case Phase::Quitting:
            if (rq != smtpQuit)
                return;
            DropConnection();
            if (closed)
                std::exchange(closed, nullptr)();
            return;
        case Phase::Idle:
            return;
        }
    }

    void MailDone(int code)
    {
        if (code == 0) {
            ++acceptedInSession;
            refusalBeforeHelo.clear();
            Finish(0, dotReply.isEmpty() ? client->LastResponse() : dotReply, Outcome::Accepted, true);
            return;
        }
        const QString reply = FailureText();
        if (code == 503 && !greeted) {
            if (Connected()) {
                greeted = true;
                refusalBeforeHelo = reply;
                phase = Phase::Helo;
                client->Helo();
                return;
            }
            DropConnection();
            Finish(503, reply, Outcome::Refused, false);
            return;
        }
        refusalBeforeHelo.clear();
        // The relay hung up or is closing the service: a fresh connection, once per message.
        if (code == kClosed || code == 421) {
            const Outcome outcome = OutcomeOf(code);
            DropConnection();
            if (connections < kConnectionsPerMessage) {
                lastFailure = reply;
                lastFailureCode = code;
                Step();
                return;
            }
            Finish(code, reply, outcome, code == kClosed);
            return;
        }
        // A temporary refusal after this session took messages: the relay's limit of messages per
        // session (OpenSMTPD's "452 4.5.3 Too many messages sent"). A new session, once per message.
        if (code >= 400 && code <= 499 && acceptedInSession > 0 && connections < kConnectionsPerMessage &&
            !messageLinesSent && Connected()) {
            lastFailure = reply;
            lastFailureCode = code;
            phase = Phase::Renewing;
            try {
                client->Quit();
            } catch (...) {
                DropConnection();
                Step();
            }
            return;
        }
        const Outcome outcome = OutcomeOf(code);
        needRset = Connected();
        Finish(code, reply, outcome, true);
    }
};

MailLink::MailLink(Endpoints where, send::SendOptions options)
    : d_(std::make_unique<Impl>(this, std::move(where), options))
{
}

MailLink::~MailLink() = default;

void MailLink::Open(std::function<void(int code, const QString& text)> done)
{
    if (d_->phase != Impl::Phase::Idle || d_->sending)
        throw SmtpException("SMTP component not ready");
    d_->opened = std::move(done);
    d_->OpenConnection();
}

void MailLink::Send(std::size_t index, const SbdMessage& message, Answer done)
{
    Impl& d = *d_;
    d.sending = true;
    d.index = index;
    d.message = message;
    d.answer = std::move(done);
    d.connections = d.Connected() ? 1 : 0;
    d.lastFailure.clear();
    d.lastFailureCode = 0;
    d.refusalBeforeHelo.clear();
    // Answers come from the event loop, never from within this call.
    d.Later([&d] {
        try {
            d.Step();
        } catch (const std::exception& e) {
            d.CrashQuietly(QString::fromLocal8Bit(e.what()));
        }
    });
}

void MailLink::Close(std::function<void()> done)
{
    Impl& d = *d_;
    if (!d.Connected()) {
        d.DropConnection();
        d.Later(std::move(done));
        return;
    }
    d.closed = std::move(done);
    d.phase = Impl::Phase::Quitting;
    try {
        d.client->Quit();
    } catch (...) {
        d.DropConnection();
        d.Later(std::exchange(d.closed, nullptr));
    }
}

void MailLink::Abort()
{
    Impl& d = *d_;
    // An idle open session is told goodbye on the way out; nothing waits for the answer.
    if (!d.sending && d.phase == Impl::Phase::Idle && d.Connected()) {
        try {
            d.client->Quit();
        } catch (...) {
        }
    }
    d.sending = false;
    d.answer = nullptr;
    d.opened = nullptr;
    d.closed = nullptr;
    d.DropConnection();
}

bool MailLink::SessionOpen() const { return d_->Connected(); }

QString MailLink::PeerName() const
{
    return QStringLiteral("the relay %1:%2").arg(d_->endpoints.relayHost, d_->endpoints.relayPort);
}

QString MailLink::Waiting() const
{
    switch (d_->phase) {
    case Impl::Phase::Connecting: return QStringLiteral("while connecting or waiting for its greeting");
    case Impl::Phase::Greeting: return QStringLiteral("after EHLO");
    case Impl::Phase::Helo: return QStringLiteral("after HELO");
    case Impl::Phase::Mailing: return QStringLiteral("during the mail transaction");
    case Impl::Phase::Resetting: return QStringLiteral("after RSET");
    case Impl::Phase::Renewing:
    case Impl::Phase::Quitting: return QStringLiteral("after QUIT");
    case Impl::Phase::Idle: break;
    }
    return QString();
}

} // namespace kestravo::mail
