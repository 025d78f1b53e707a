// SPDX-License-Identifier: Apache-2.0
// The send flow: messages in, one result per message out, in order; the deadline of each step.
// How a message travels is the link's business.
#include "send/sbd_send.h"

#include "send/result_codes.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>

namespace kestravo::send {

namespace {

using Clock = std::chrono::steady_clock;


} // namespace

bool IsImeiText(const QString& imei)
{
    // One byte per character; one outside Latin-1 becomes '?', which the rule refuses.
    const QByteArray latin1 = imei.toLatin1();
    return IsImei(std::string_view(latin1.constData(), std::size_t(latin1.size())));
}

struct SbdSend::Impl {
    SbdSend* q = nullptr;
    std::unique_ptr<Link> link;
    int timeoutSeconds;

    std::vector<SbdMessage> messages;
    std::vector<std::optional<SbdResult>> results;
    std::vector<bool> started;
    std::size_t nextToSend = 0;
    std::size_t nextToReport = 0;
    // Messages given to the link and not yet answered, each with the end of its deadline.
    std::map<std::size_t, Clock::time_point> inFlight;
    bool running = false;
    bool connecting = false;
    bool closing = false;
    bool pumping = false;
    bool pumpAgain = false;
    // How Connect failed, for the Start that follows it.
    std::optional<SbdResult> connectFailure;
    // Counts runs and aborts; an answer of an older run, or a handler that started a new run or
    // aborted, leaves the current one alone.
    quint64 generation = 0;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    QTimer deadline;
    Clock::time_point stepEnd; // of Connect or of the closing

    Impl(SbdSend* owner, std::unique_ptr<Link> l, int timeout) : q(owner), link(std::move(l)), timeoutSeconds(timeout)
    {
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline, &QTimer::timeout, [this] { DeadlineCheck(); });
        link->OnReference = [this](std::size_t i, const QString& reference) {
            if (running && i < results.size() && !results[i] && q->OnMessageReference)
                q->OnMessageReference(i, reference);
        };
    }

    ~Impl()
    {
        *alive = false;
        deadline.stop();
        link->Abort();
    }

    std::chrono::milliseconds Allowed() const
    {
        return std::chrono::milliseconds(qint64(timeoutSeconds) * 1000);
    }

    // The timer is set to the earliest end of a step under way.
    void ArmDeadline()
    {
        std::optional<Clock::time_point> earliest;
        if (connecting || closing)
            earliest = stepEnd;
        for (const auto& [i, end] : inFlight)
            if (!earliest || end < *earliest)
                earliest = end;
        if (!earliest) {
            deadline.stop();
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*earliest - Clock::now());
        deadline.start(std::max<std::chrono::milliseconds>(left + std::chrono::milliseconds(1), std::chrono::milliseconds(0)));
    }

    void DeadlineCheck()
    {
        const Clock::time_point now = Clock::now();
        // A timer may come back a little early; the deadline never does.
        bool over = (connecting || closing) && now >= stepEnd;
        for (const auto& [i, end] : inFlight)
            over = over || now >= end;
        if (!over) {
            ArmDeadline();
            return;
        }
        TimedOut();
    }

    void TimedOut()
    {
        const QString reason = ResultText(kTimedOut, QStringLiteral("Connection timed out: %1 did not answer within %2 %3 %4"))
                                   .arg(link->PeerName())
                                   .arg(timeoutSeconds)
                                   .arg(timeoutSeconds == 1 ? QStringLiteral("second") : QStringLiteral("seconds"),
                                        link->Waiting())
                                   .trimmed();
        const bool wasClosing = closing;
        link->Abort();
        deadline.stop();
        if (connecting) {
            ConnectFailed(kTimedOut, kTimedOut, reason);
            return;
        }
        if (!running)
            return;
        if (wasClosing) { // every message has its result already
            Finish();
            return;
        }
        FailRemaining(kTimedOut, reason, Outcome::ConnectionFailed);
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
        // the link (no connection, a malformed IMEI): whoever keeps a record of sends sees each.
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

    // Connect could not open the way: OnConnected hears `code`, and the Start that follows gives
    // every message `resultCode` with the same reason.
    void ConnectFailed(int code, int resultCode, const QString& reason)
    {
        connecting = false;
        SbdResult r;
        r.code = resultCode;
        r.detail = reason;
        r.outcome = Outcome::ConnectionFailed;
        connectFailure = r;
        ReportConnected(code, reason);
    }

    // Every message without a result gets this one, in order; then the run ends.
    void FailRemaining(int code, const QString& detail, Outcome outcome)
    {
        link->Abort();
        inFlight.clear();
        SbdResult r;
        r.code = code;
        r.detail = detail;
        r.outcome = outcome;
        for (std::optional<SbdResult>& slot : results)
            if (!slot)
                slot = r;
        nextToSend = messages.size();
        const RunWatch watch = Watch();
        for (; nextToReport < messages.size(); ++nextToReport)
            if (!Report(nextToReport, *results[nextToReport]))
                return;
        if (watch.Ended())
            return;
        Finish();
    }

    void Finish()
    {
        deadline.stop();
        running = false;
        closing = false;
        if (q->OnFinished)
            q->OnFinished();
    }

    void Answered(quint64 run, std::size_t i, const SbdResult& result)
    {
        if (run != generation || !running || results[i])
            return;
        inFlight.erase(i);
        results[i] = result;
        Pump();
    }

    // Reports what is ready in order, gives the link what it may take, closes when all is done.
    void Pump()
    {
        // An answer or a new run that comes while a handler of this loop runs is taken up by it.
        if (pumping) {
            pumpAgain = true;
            return;
        }
        pumping = true;
        const std::weak_ptr<bool> stillAlive = alive;
        do {
            pumpAgain = false;
            PumpOnce();
            if (stillAlive.expired())
                return;
        } while (pumpAgain && running && !closing);
        pumping = false;
    }

    // False when the run is over or was ended by a handler.
    bool PumpOnce()
    {
        if (!running || closing)
            return false;
        while (nextToReport < messages.size() && results[nextToReport]) {
            if (!Report(nextToReport, *results[nextToReport]))
                return false;
            ++nextToReport;
        }
        if (nextToReport >= messages.size()) {
            CloseWay();
            return false;
        }
        const int parallel = std::max(1, link->Parallel());
        while (nextToSend < messages.size() && int(inFlight.size()) < parallel) {
            const std::size_t i = nextToSend++;
            if (!IsImeiText(messages[i].imei)) {
                SbdResult r;
                r.code = kNotSent;
                r.detail = QStringLiteral("500 The IMEI \"%1\" is not 15 characters of digits, \"+\" or \"-\"; "
                                          "nothing was sent")
                               .arg(messages[i].imei);
                r.outcome = Outcome::ConnectionFailed;
                results[i] = r;
                pumpAgain = true;
                continue;
            }
            if (!AnnounceStart(i))
                return false;
            inFlight[i] = Clock::now() + Allowed();
            const quint64 run = generation;
            link->Send(i, messages[i], [this, run, i](const SbdResult& r) { Answered(run, i, r); });
        }
        ArmDeadline();
        return true;
    }

    void CloseWay()
    {
        closing = true;
        stepEnd = Clock::now() + Allowed();
        ArmDeadline();
        const quint64 run = generation;
        link->Close([this, run] {
            if (run != generation || !closing)
                return;
            Finish();
        });
    }
};

SbdSend::SbdSend(std::unique_ptr<Link> link, int timeoutSeconds)
    : d_(std::make_unique<Impl>(this, std::move(link), std::max(1, timeoutSeconds)))
{
}

SbdSend::~SbdSend() = default;

void SbdSend::Connect()
{
    Impl& d = *d_;
    if (d.running || d.connecting)
        throw std::logic_error("a send is already under way");
    ++d.generation;
    d.connectFailure.reset();
    d.connecting = true;
    d.stepEnd = Clock::now() + d.Allowed();
    const quint64 run = d.generation;
    try {
        d.link->Open([&d, run](int code, const QString& text) {
            if (run != d.generation || !d.connecting)
                return;
            d.deadline.stop();
            if (code == 0) {
                d.connecting = false;
                d.ReportConnected(0, text);
                return;
            }
            // As before the links existed, a send whose connection failed reports 500, with the
            // reason of the failure; a relay's own refusal while opening (535 to a password, say)
            // keeps its reply code.
            d.ConnectFailed(code, code >= 400 && code <= 599 ? code : kNotSent, text);
        });
    } catch (...) {
        d.connecting = false;
        throw;
    }
    d.ArmDeadline();
}

void SbdSend::Start(std::vector<SbdMessage> messages)
{
    Impl& d = *d_;
    if (d.running)
        Abort();
    ++d.generation;
    d.connecting = false;
    d.closing = false;
    d.messages = std::move(messages);
    d.results.assign(d.messages.size(), std::nullopt);
    d.started.assign(d.messages.size(), false);
    d.inFlight.clear();
    d.nextToSend = 0;
    d.nextToReport = 0;
    d.running = true;
    if (std::optional<SbdResult> failure = std::exchange(d.connectFailure, std::nullopt)) {
        d.FailRemaining(failure->code, failure->detail, Outcome::ConnectionFailed);
        return;
    }
    d.Pump();
}

void SbdSend::Abort()
{
    Impl& d = *d_;
    ++d.generation;
    d.connecting = false;
    d.link->Abort();
    d.deadline.stop();
    if (d.running) {
        d.closing = false;
        d.FailRemaining(kAborted, ResultText(kAborted), Outcome::ConnectionFailed);
    }
}

bool SbdSend::Busy() const
{
    return d_->running || d_->connecting;
}

std::vector<SbdResult> SendAll(std::unique_ptr<Link> link, int timeoutSeconds, std::vector<SbdMessage> messages,
                               std::function<void(std::size_t, const SbdResult&)> onDone,
                               std::function<void(std::size_t)> onStart, QuitReply quitReply,
                               std::function<void(std::size_t, const QString&)> onReference)
{
    static int argc = 1;
    static char name[] = "kestravo";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> ownApp;
    if (!QCoreApplication::instance())
        ownApp = std::make_unique<QCoreApplication>(argc, argv);

    std::vector<SbdResult> results(messages.size());
    QEventLoop loop;
    SbdSend send(std::move(link), timeoutSeconds);
    send.OnMessageStart = std::move(onStart);
    send.OnMessageReference = std::move(onReference);
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
    // A run that ended within Start (no messages) is no longer busy.
    if (send.Busy() && (waiting > 0 || quitReply == QuitReply::Await))
        loop.exec();
    return results;
}

} // namespace kestravo::send
