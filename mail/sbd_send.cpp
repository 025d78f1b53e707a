// SPDX-License-Identifier: Apache-2.0
// The send flow: one SMTP session carries every message; the deadline, the 503 fallback, the
// reconnection and the envelope live here only.
#include "mail/sbd_send.h"

#include "mail/smtp/smtpcli.h"
#include "mail/smtp_security.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <optional>

namespace kestravo::mail {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTimedOut = 10060;   // Windows Sockets: connection timed out
constexpr int kClosed = 10004;     // the relay closed the connection under a request
constexpr int kNotSent = 500;      // the message could not be sent at all
constexpr int kAborted = 426;

QString MessageIdOf(const TSmtpHeaderLines& headers)
{
    for (const QString& line : headers.Lines)
        if (line.startsWith(QStringLiteral("Message-ID: <"), Qt::CaseInsensitive) && line.endsWith(u'>'))
            return line.mid(13, line.size() - 14);
    return QString();
}

} // namespace

bool IsImeiText(const QString& imei)
{
    // One byte per character; one outside Latin-1 becomes '?', which the rule refuses.
    const QByteArray latin1 = imei.toLatin1();
    return IsImei(std::string_view(latin1.constData(), std::size_t(latin1.size())));
}

struct SbdSend::Impl {
    enum class Phase { Idle, Connecting, Mailing, Greeting, Resetting, Quitting };

    SbdSend* q = nullptr;
    Endpoints endpoints;
    std::vector<SbdMessage> messages;
    std::vector<bool> retried;
    std::vector<bool> started;
    std::size_t current = 0;
    bool running = false;
    bool connectOnly = false;
    Phase phase = Phase::Idle;
    // The client of the connection under way; a dropped one is retired, never reused, so that
    // nothing it still had queued reaches this flow. Retired clients are freed from the event
    // loop once no handler of any client is running: a handler may run a nested loop (a modal
    // box), and the client whose handler it is must outlive it.
    TSmtpCli* client = nullptr;
    std::vector<std::unique_ptr<TSmtpCli>> retired;
    int handlerDepth = 0;
    QTimer purge;
    // HELO was sent on this connection (after a 503 to MAIL).
    bool greeted = false;
    // The last message was refused on a connection that is still up: RSET before the next one.
    bool needRset = false;
    // The reply that made the flow greet: reported if the relay hangs up instead of greeting.
    QString refusalBeforeHelo;
    // Lines of the current message went out, so its Message-ID was sent.
    bool messageLinesSent = false;
    // How Connect failed, for the Start that follows it.
    std::optional<SbdResult> connectFailure;
    // Counts runs and aborts; a handler that started a new run or aborted leaves the old one
    // alone.
    quint64 generation = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    std::unique_ptr<QTemporaryDir> folder;
    QTimer deadline;
    Clock::time_point lastActivity;

    explicit Impl(SbdSend* owner, Endpoints e) : q(owner), endpoints(std::move(e))
    {
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline, &QTimer::timeout, [this] { DeadlineCheck(); });
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

    std::chrono::milliseconds Allowed() const
    {
        return std::chrono::milliseconds(qint64(endpoints.timeoutSeconds) * 1000);
    }

    // The relay said or took something: its silence is counted from now. An idle open session
    // has no deadline.
    void Touch()
    {
        if (!running && !connectOnly)
            return;
        lastActivity = Clock::now();
        deadline.start(Allowed());
    }

    void DeadlineCheck()
    {
        // A timer may come back a little early; the deadline never does.
        const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity);
        if (silent < Allowed()) {
            deadline.start(Allowed() - silent);
            return;
        }
        TimedOut();
    }

    QString WaitingFor() const
    {
        switch (phase) {
        case Phase::Connecting: return QStringLiteral("while connecting or waiting for its greeting");
        case Phase::Mailing: return QStringLiteral("during the mail transaction");
        case Phase::Greeting: return QStringLiteral("after HELO");
        case Phase::Resetting: return QStringLiteral("after RSET");
        case Phase::Quitting: return QStringLiteral("after QUIT");
        case Phase::Idle: break;
        }
        return QString();
    }

    void TimedOut()
    {
        const QString reason = QStringLiteral("10060 Connection timed out: the relay %1:%2 did not answer for %3 %4 %5")
                                   .arg(endpoints.relayHost, endpoints.relayPort)
                                   .arg(endpoints.timeoutSeconds)
                                   .arg(endpoints.timeoutSeconds == 1 ? QStringLiteral("second") : QStringLiteral("seconds"),
                                        WaitingFor());
        const Phase was = phase;
        DropConnection();
        if (connectOnly) {
            ConnectFailed(kTimedOut, kTimedOut, reason);
            return;
        }
        if (!running)
            return;
        if (was == Phase::Quitting) { // every message has its result already
            Finish();
            return;
        }
        FailRemaining(kTimedOut, reason);
    }

    bool Connected() const { return client && client->Socket()->State() == wsConnected; }

    void DropConnection()
    {
        deadline.stop();
        phase = Phase::Idle;
        greeted = false;
        needRset = false;
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
        c.OnGetData = [](TCustomSmtpClient*, int, char*, int, bool& more) { more = false; };
        c.OnResponse = [this](TCustomSmtpClient*, const QString&) { Touch(); };
        c.OnCommand = [this](TCustomSmtpClient*, const QString&) { Touch(); };
        c.OnMessageDataSent = [this](TCustomSmtpClient*, int) {
            messageLinesSent = true;
            Touch();
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

    // Something this flow did not expect failed: no message may be left without a result.
    void Crash(const QString& what)
    {
        DropConnection();
        const QString text = QStringLiteral("500 Internal client error: ") + what;
        if (connectOnly) {
            ConnectFailed(kNotSent, kNotSent, text);
        } else if (running) {
            FailRemaining(kNotSent, text);
        }
    }

    // A handler that throws again while the failure is reported is not heard a second time.
    void CrashQuietly(const QString& what) noexcept
    {
        try {
            Crash(what);
        } catch (...) {
        }
    }

    // Opens a connection; false (after failing what is left) when the client refuses at once.
    bool OpenConnection()
    {
        NewClient();
        phase = Phase::Connecting;
        Touch();
        try {
            OpenSession(*client, endpoints);
        } catch (const std::exception& e) {
            const QString text = QStringLiteral("500 ") + QString::fromLocal8Bit(e.what());
            DropConnection();
            if (connectOnly) {
                connectOnly = false;
                throw;
            }
            FailRemaining(kNotSent, text);
            return false;
        }
        return true;
    }

    QString FailureText() const
    {
        if (!client)
            return QString();
        return client->ErrorMessage().isEmpty() ? client->LastResponse() : client->ErrorMessage();
    }

    // Taken before a handler runs: tells afterwards whether the handler ended this run (a new
    // run or an abort) or destroyed the flow.
    struct RunWatch {
        const Impl* d;
        quint64 run;
        std::weak_ptr<bool> alive;
        bool Ended() const { return alive.expired() || d->generation != run; }
    };
    RunWatch Watch() const { return {this, generation, alive}; }

    // Message i's OnMessageStart, once; false when the handler ended this run meanwhile.
    bool AnnounceStart(std::size_t i)
    {
        if (i >= started.size() || started[i])
            return true;
        started[i] = true;
        const RunWatch watch = Watch();
        if (q->OnMessageStart)
            q->OnMessageStart(i);
        return !watch.Ended();
    }

    // Reports message i; false when a handler ended this run (or the flow) meanwhile.
    bool Report(std::size_t i, const SbdResult& result)
    {
        // Every result has its start before it, also for a message that never got as far as
        // MAIL FROM (no connection, a malformed IMEI): whoever keeps a record of sends sees each.
        if (!AnnounceStart(i))
            return false;
        const RunWatch watch = Watch();
        if (q->OnMessageDone)
            q->OnMessageDone(i, result);
        return !watch.Ended();
    }

    void ReportConnected(int code, const QString& reply)
    {
        if (q->OnConnected)
            q->OnConnected(code, reply);
    }

    // Connect could not open the session: OnConnected hears `code`, and the Start that follows
    // gives every message `resultCode` with the same reason.
    void ConnectFailed(int code, int resultCode, const QString& reason)
    {
        connectOnly = false;
        connectFailure = SbdResult{resultCode, reason, QString()};
        ReportConnected(code, reason);
    }

    void FailRemaining(int code, const QString& reply)
    {
        DropConnection();
        for (; current < messages.size(); ++current)
            if (!Report(current, SbdResult{code, reply, QString()}))
                return;
        Finish();
    }

    void Finish()
    {
        deadline.stop();
        running = false;
        phase = Phase::Idle;
        if (q->OnFinished)
            q->OnFinished();
    }

    // Ends the current message and goes on with the next one.
    void Done(int code, const QString& reply, bool lookForMessageId)
    {
        SbdResult r{code, reply, QString()};
        if (lookForMessageId && messageLinesSent && client)
            r.messageId = MessageIdOf(client->HeaderLines());
        if (!Report(current, r))
            return;
        ++current;
        Next();
    }

    void Next()
    {
        while (current < messages.size() && !IsImeiText(messages[current].imei)) {
            const SbdResult r{kNotSent,
                              QStringLiteral("500 The IMEI \"%1\" is not 15 characters of digits, \"+\" or \"-\"; "
                                             "nothing was sent")
                                  .arg(messages[current].imei),
                              QString()};
            if (!Report(current, r))
                return;
            ++current;
        }
        if (current >= messages.size()) {
            QuitSession();
            return;
        }
        if (!Connected()) {
            OpenConnection();
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
        const std::size_t i = current;
        if (!started[i]) {
            if (!AnnounceStart(i))
                return;
            if (!Connected()) { // the relay hung up while the handler ran
                Next();
                return;
            }
        }
        const SbdMessage& m = messages[i];
        const QString path = QDir(folder->path()).filePath(QStringLiteral("temp.sbd"));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            out.write(reinterpret_cast<const char*>(m.record.data()), qint64(m.record.size())) != qint64(m.record.size()) ||
            !out.flush()) {
            Done(kNotSent, QStringLiteral("500 Cannot write the attachment %1: %2").arg(path, out.errorString()), false);
            return;
        }
        out.close();
        TSmtpCli& c = *client;
        c.SetFromName(endpoints.sender);
        c.RcptName().clear();
        c.RcptName().append(endpoints.gateway);
        c.SetHdrFrom(endpoints.sender);
        c.SetHdrTo(endpoints.gateway);
        c.SetHdrSubject(m.imei);
        c.SetEmailFiles({path});
        messageLinesSent = false;
        phase = Phase::Mailing;
        c.Mail();
    }

    void QuitSession()
    {
        if (!Connected()) {
            DropConnection();
            Finish();
            return;
        }
        phase = Phase::Quitting;
        try {
            client->Quit();
        } catch (...) {
            DropConnection();
            Finish();
        }
    }

    void RequestDone(TSmtpRequest rq, int code)
    {
        switch (phase) {
        case Phase::Connecting:
            if (rq != smtpConnect && rq != smtpOpen)
                return;
            deadline.stop();
            if (code == 0) {
                phase = Phase::Idle;
                greeted = false;
                if (connectOnly) {
                    connectOnly = false;
                    ReportConnected(0, client->LastResponse());
                    return;
                }
                Next();
                return;
            }
            {
                // As before this flow existed, a send whose connection failed reports 500, with
                // the reason of the failure.
                const QString reason = FailureText();
                DropConnection();
                if (connectOnly) {
                    ConnectFailed(code, OpenFailureCode(rq, code, kNotSent), reason);
                    return;
                }
                FailRemaining(OpenFailureCode(rq, code, kNotSent), reason);
            }
            return;
        case Phase::Mailing:
            if (rq != smtpMail)
                return;
            MailDone(code);
            return;
        case Phase::Greeting:
            if (rq != smtpHelo)
                return;
            if (code == 0) {
                MailCurrent();
                return;
            }
            // A relay that hung up right after its 503 has said all it will say.
            if (code == kClosed) {
                DropConnection();
                Done(503, refusalBeforeHelo, false);
                return;
            }
            needRset = Connected();
            Done(code, FailureText(), false);
            return;
        case Phase::Resetting:
            if (rq != smtpRset)
                return;
            if (code != 0)
                DropConnection(); // the next message starts on a fresh connection
            Next();
            return;
        case Phase::Quitting:
            if (rq != smtpQuit)
                return;
            DropConnection();
            Finish();
            return;
        case Phase::Idle:
            return;
        }
    }

    void MailDone(int code)
    {
        if (code == 0) {
            Done(0, client->LastResponse(), true);
            return;
        }
        const QString reply = FailureText();
        if (code == 503 && !greeted) {
            if (Connected()) {
                greeted = true;
                refusalBeforeHelo = reply;
                phase = Phase::Greeting;
                client->Helo();
                return;
            }
            DropConnection();
            Done(503, reply, false);
            return;
        }
        // The relay hung up or is closing the service: a fresh connection, once per message.
        if (code == kClosed || code == 421) {
            DropConnection();
            if (!retried[current]) {
                retried[current] = true;
                Next();
                return;
            }
            Done(code, reply, code == kClosed);
            return;
        }
        needRset = Connected();
        Done(code, reply, true);
    }
};

SbdSend::SbdSend(Endpoints endpoints) : d_(std::make_unique<Impl>(this, std::move(endpoints))) {}

SbdSend::~SbdSend() = default;

void SbdSend::Connect()
{
    if (d_->running || d_->phase != Impl::Phase::Idle)
        throw SmtpException("SMTP component not ready");
    ++d_->generation;
    d_->connectFailure.reset();
    d_->connectOnly = true;
    d_->OpenConnection();
}

void SbdSend::Start(std::vector<SbdMessage> messages)
{
    Impl& d = *d_;
    if (d.running)
        Abort();
    ++d.generation;
    d.connectOnly = false;
    d.messages = std::move(messages);
    d.retried.assign(d.messages.size(), false);
    d.started.assign(d.messages.size(), false);
    d.current = 0;
    d.running = true;
    d.needRset = false;
    if (!d.folder) {
        d.folder = std::make_unique<QTemporaryDir>();
        if (!d.folder->isValid()) {
            const QString text = QStringLiteral("500 Cannot make a private folder for temp.sbd: ") + d.folder->errorString();
            d.folder.reset();
            d.FailRemaining(kNotSent, text);
            return;
        }
    }
    // Endpoints that did not come through ResolveEndpoints are held to the same rules: nothing
    // malformed reaches the envelope or the headers.
    try {
        ParseAddress(d.endpoints.sender, QStringLiteral("sender"));
        ParseAddress(d.endpoints.gateway, QStringLiteral("gateway"));
        ParseTimeoutSeconds(QString::number(d.endpoints.timeoutSeconds), QStringLiteral("timeout"));
        if (d.endpoints.relayHost.isEmpty())
            throw EndpointError("relay: no host");
    } catch (const EndpointError& e) {
        d.FailRemaining(kNotSent, QStringLiteral("500 ") + QString::fromUtf8(e.what()));
        return;
    }
    if (std::optional<SbdResult> failure = std::exchange(d.connectFailure, std::nullopt)) {
        d.FailRemaining(failure->code, failure->reply);
        return;
    }
    d.Next();
}

void SbdSend::Abort()
{
    Impl& d = *d_;
    ++d.generation;
    d.connectOnly = false;
    // An idle open session is told goodbye on the way out; nothing waits for the answer.
    if (!d.running && d.phase == Impl::Phase::Idle && d.Connected()) {
        try {
            d.client->Quit();
        } catch (...) {
        }
    }
    d.DropConnection();
    if (d.running)
        d.FailRemaining(kAborted, QStringLiteral("426 Operation aborted."));
}

bool SbdSend::Busy() const
{
    return d_->running || d_->phase != Impl::Phase::Idle;
}

std::vector<SbdResult> SendAll(const Endpoints& endpoints, std::vector<SbdMessage> messages,
                               std::function<void(std::size_t, const SbdResult&)> onDone,
                               std::function<void(std::size_t)> onStart, QuitReply quitReply)
{
    static int argc = 1;
    static char name[] = "kestravo";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> ownApp;
    if (!QCoreApplication::instance())
        ownApp = std::make_unique<QCoreApplication>(argc, argv);

    std::vector<SbdResult> results(messages.size());
    QEventLoop loop;
    SbdSend send(endpoints);
    send.OnMessageStart = std::move(onStart);
    std::size_t waiting = results.size();
    send.OnMessageDone = [&](std::size_t i, const SbdResult& r) {
        results[i] = r;
        if (onDone)
            onDone(i, r);
        // After the last result the flow sends QUIT before it gives the loop back, so the loop
        // ends with QUIT sent; leaving closes the connection the ordinary way.
        if (--waiting == 0 && quitReply == QuitReply::DoNotAwait)
            loop.quit();
    };
    send.OnFinished = [&] { loop.quit(); };
    send.Start(std::move(messages));
    // A run that ended within Start (no messages, malformed endpoints) is no longer busy.
    if (send.Busy() && (waiting > 0 || quitReply == QuitReply::Await))
        loop.exec();
    return results;
}

} // namespace kestravo::mail
