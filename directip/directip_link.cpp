// SPDX-License-Identifier: Apache-2.0
// The DirectIP link: one connection per message, the MT message out, the confirmation in, checked
// against what went out before anything in it is believed.
#include "directip/directip_link.h"

#include "directip/mt_message.h"
#include "send/result_codes.h"
#include "mail/transport/wsocket.h"

#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <list>
#include <stdexcept>
#include <utility>

namespace kestravo::directip {

using mail::TWSocket;
using send::Outcome;
using send::SbdMessage;
using send::SbdResult;

namespace {

using send::kClosed;
using send::kNotSent;
using send::kProtocolError;
// A gateway address that does not answer gives way to the next one after this long.
constexpr int kConnectAttemptTimeoutMs = 4000;

QString Bytes(std::size_t n)
{
    return n == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(n);
}

} // namespace

send::SbdResult JudgeAnswer(std::span<const std::uint8_t> answer, const MtMessage& sent, const QString& peer)
{
    SbdResult r;
    const auto protocolError = [&](const QString& what) {
        r.code = kProtocolError;
        r.outcome = Outcome::ConnectionFailed;
        r.detail = QStringLiteral("20600 %1 %2").arg(peer, what);
        return r;
    };
    const bool overBound = answer.size() > kMaxAnswer;
    const QString size = overBound ? QStringLiteral("more than %1").arg(Bytes(kMaxAnswer)) : Bytes(answer.size());
    // The first message is read as far as its own length says; what follows it is extra.
    const std::size_t whole = WholeMessageSize(answer);
    const std::span<const std::uint8_t> first = answer.first(whole == 0 ? answer.size() : std::min(whole, answer.size()));
    QString why;
    const std::optional<MtConfirmation> c = ReadConfirmation(first, &why);
    if (!c)
        return protocolError(QStringLiteral("answered with %1 that are not a confirmation: %2").arg(size, why));
    if (c->clientId != sent.clientId)
        return protocolError(QStringLiteral("answered with a confirmation that is off: it names client message ID "
                                            "%1, not %2")
                                 .arg(c->clientId)
                                 .arg(sent.clientId));
    if (c->imei != sent.imei)
        return protocolError(QStringLiteral("answered with a confirmation that is off: it names IMEI \"%1\", not %2")
                                 .arg(QString::fromLatin1(c->imei.toPercentEncoding()), QString::fromLatin1(sent.imei)));
    // What the gateway calls the message it took, "0" included; a refusal carries none.
    if (c->status >= 0)
        r.reference = QString::number(c->autoIdReference);
    const QString said = StatusText(c->status, c->autoIdReference);
    if (answer.size() > first.size()) {
        const QString extra = overBound ? QStringLiteral("more than %1").arg(Bytes(kMaxAnswer - first.size()))
                                        : Bytes(answer.size() - first.size());
        return protocolError(QStringLiteral("sent %1 more after its confirmation, which said: %2").arg(extra, said));
    }
    r.detail = said;
    r.queuePlace = c->status >= 0 ? c->status : -1;
    if (c->status > 0) {
        r.code = 0;
        r.outcome = Outcome::Accepted;
    } else if (c->status == 0) {
        // Every message of this link carries a payload: status 0 means it will not reach the device.
        r.code = kNothingQueued;
        r.outcome = Outcome::NothingQueued;
    } else {
        r.code = c->status;
        r.outcome = Outcome::Refused;
    }
    return r;
}

std::uint32_t NextClientMessageId()
{
    // Started at a random point so that two runs are unlikely to use the same IDs; 0 is skipped.
    static std::atomic<std::uint32_t> next{QRandomGenerator::system()->bounded(1u, 0x40000000u)};
    std::uint32_t id = next.fetch_add(1);
    while (id == 0)
        id = next.fetch_add(1);
    return id;
}

struct DirectIpLink::Impl {
    struct Connection {
        std::size_t index = 0;
        MtMessage sent;
        Answer answer;
        TWSocket* socket = nullptr;
        QByteArray received;
        bool connected = false;
        // Started once the answer is whole (or can no longer be a confirmation): a gateway that
        // then neither closes nor sends more is judged on what it sent.
        std::unique_ptr<QTimer> quiet;
        // Opened ahead of any message (Open): it carries the first message given to the link.
        bool ahead = false;
    };

    Gateway gateway;
    send::SendOptions options;
    int parallel = DirectIpLink::kDefaultParallel;
    std::list<Connection> connections;
    // Open's answer while the connection ahead is being made.
    std::function<void(int code, const QString& text)> opened;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    ~Impl()
    {
        *alive = false;
        DropAll();
    }

    QString Peer() const { return QStringLiteral("the gateway ") + send::HostPort(gateway.host, gateway.port); }

    void Later(std::function<void()> fn)
    {
        QTimer::singleShot(0, [stillAlive = std::weak_ptr<bool>(alive), fn = std::move(fn)] {
            if (!stillAlive.expired())
                fn();
        });
    }

    static void Retire(TWSocket* socket)
    {
        if (!socket)
            return;
        socket->OnDnsLookupDone = nullptr;
        socket->OnSessionConnected = nullptr;
        socket->OnDataAvailable = nullptr;
        socket->OnSessionClosed = nullptr;
        socket->OnDataSent = nullptr;
        // Handlers first: nothing the closing reports reaches this link any more.
        try {
            socket->Close();
        } catch (...) {
            socket->Abort();
        }
        socket->Release();
    }

    void DropAll()
    {
        for (Connection& c : connections)
            Retire(c.socket);
        connections.clear();
    }

    // Ends a message with its answer; its connection goes.
    void Finish(std::list<Connection>::iterator it, const SbdResult& result)
    {
        Answer done = std::move(it->answer);
        // This may run from the timer's own signal: it goes once that is over.
        if (it->quiet) {
            it->quiet->stop();
            it->quiet->disconnect();
            it->quiet.release()->deleteLater();
        }
        Retire(it->socket);
        connections.erase(it);
        done(result);
    }

    void Fail(std::list<Connection>::iterator it, int code, const QString& detail)
    {
        if (it->ahead) { // no message on it: Open hears the failure, if it is still waiting
            Retire(it->socket);
            connections.erase(it);
            if (auto done = std::exchange(opened, nullptr))
                done(code, detail);
            return;
        }
        SbdResult r;
        r.code = code;
        r.detail = detail;
        r.outcome = Outcome::ConnectionFailed;
        Finish(it, r);
    }

    std::list<Connection>::iterator Find(const TWSocket* socket)
    {
        for (auto it = connections.begin(); it != connections.end(); ++it)
            if (it->socket == socket)
                return it;
        return connections.end();
    }

    // The connection a socket event is for, or end() when there is none left to act on: it is
    // gone, or the event carries a socket error, which fails it here.
    std::list<Connection>::iterator Live(const TWSocket* socket, std::uint16_t error)
    {
        const auto it = Find(socket);
        if (it == connections.end() || error == 0)
            return it;
        Fail(it, error, QStringLiteral("%1 %2: %3").arg(error).arg(mail::WSocketErrorDesc(error), Peer()));
        return connections.end();
    }

    void Start(std::list<Connection>::iterator it)
    {
        TWSocket* s = new TWSocket();
        it->socket = s;
        s->OnDnsLookupDone = [this](TWSocket* sender, std::uint16_t error) { LookedUp(sender, error); };
        try {
            s->DnsLookup(gateway.host);
        } catch (const std::exception& e) {
            Fail(it, kNotSent, QStringLiteral("500 %1: %2").arg(Peer(), QString::fromLocal8Bit(e.what())));
        }
    }

    void LookedUp(TWSocket* sender, std::uint16_t error)
    {
        const auto it = Live(sender, error);
        if (it == connections.end())
            return;
        try {
            // Every address of the gateway, IPv6 and IPv4, in the resolver's order, as the relay's.
            sender->SetAddrList(sender->ResolvedAddresses());
            sender->SetConnectAttemptTimeout(kConnectAttemptTimeoutMs);
            sender->SetProto(QStringLiteral("tcp"));
            sender->SetPort(gateway.port);
            sender->SetComponentOptions(mail::WSocketOptionBit(mail::wsoTcpNoDelay));
            sender->OnSessionConnected = [this](TWSocket* s, std::uint16_t e) { Connected(s, e); };
            sender->OnDataAvailable = [this](TWSocket* s, std::uint16_t) { Readable(s); };
            sender->OnSessionClosed = [this](TWSocket* s, std::uint16_t e) { Closed(s, e); };
            sender->Connect();
        } catch (const std::exception& e) {
            const int code = sender->LastError() != 0 ? sender->LastError() : kNotSent;
            Fail(it, code, QStringLiteral("%1 %2: %3").arg(code).arg(QString::fromLocal8Bit(e.what()), Peer()));
        }
    }

    void Connected(TWSocket* sender, std::uint16_t error)
    {
        const auto it = Live(sender, error);
        if (it == connections.end())
            return;
        it->connected = true;
        if (it->ahead) {
            if (auto done = std::exchange(opened, nullptr))
                done(0, QStringLiteral("%1 took the connection").arg(Peer()));
            return;
        }
        const QByteArray bytes = EncodeMtMessage(it->sent);
        sender->Send(bytes.constData(), int(bytes.size()));
    }

    void Readable(TWSocket* sender)
    {
        auto it = Find(sender);
        if (it == connections.end())
            return;
        char buffer[4096];
        while (std::size_t(it->received.size()) <= kMaxAnswer) {
            const int n = sender->Receive(buffer, int(sizeof buffer));
            if (n <= 0)
                break;
            it->received.append(buffer, n);
        }
        if (std::size_t(it->received.size()) > kMaxAnswer) {
            Judge(it); // enough to know it is not a confirmation
            return;
        }
        // The answer is judged when the gateway closes, so that bytes after the confirmation
        // count the same whether they come with it or later.
        if (!it->quiet && Settled(it->received)) {
            it->quiet = std::make_unique<QTimer>();
            it->quiet->setSingleShot(true);
            QObject::connect(it->quiet.get(), &QTimer::timeout, [this, sender] {
                const auto at = Find(sender);
                if (at != connections.end())
                    Judge(at);
            });
        }
        if (it->quiet)
            it->quiet->start(kCloseGraceMs);
    }

    // Whether what came is a whole message by its own length, or cannot become a confirmation
    // whatever follows; a confirmation still coming in is waited for as long as the deadline lets.
    static bool Settled(const QByteArray& received)
    {
        const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(received.constData()),
                                     std::size_t(received.size()));
        const std::size_t whole = WholeMessageSize(bytes);
        if (whole == 0)
            return false;
        return whole <= bytes.size() || whole != kConfirmationSize || bytes[0] != kRevision;
    }

    void Closed(TWSocket* sender, std::uint16_t error)
    {
        const auto it = Find(sender);
        if (it == connections.end())
            return;
        if (it->received.isEmpty()) {
            const int code = error != 0 ? error : kClosed;
            Fail(it, code,
                 QStringLiteral("%1 %2 closed the connection without a confirmation").arg(code).arg(Peer()));
            return;
        }
        Judge(it); // what came is all that will come
    }

    void Judge(std::list<Connection>::iterator it)
    {
        const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(it->received.constData()),
                                     std::size_t(it->received.size()));
        Finish(it, JudgeAnswer(bytes, it->sent, Peer()));
    }
};

DirectIpLink::DirectIpLink(Gateway gateway, send::SendOptions options, int parallel) : d_(std::make_unique<Impl>())
{
    if (parallel < 1 || parallel > kMaxParallel)
        throw std::invalid_argument("the number of DirectIP messages in flight must be 1 to 32");
    d_->gateway = std::move(gateway);
    d_->options = options;
    d_->parallel = parallel;
}

DirectIpLink::~DirectIpLink() = default;

int DirectIpLink::Parallel() const { return d_->parallel; }

void DirectIpLink::Open(std::function<void(int code, const QString& text)> done)
{
    // A real connection to the gateway, kept for the first message; the others take their own.
    Impl& d = *d_;
    d.opened = std::move(done);
    Impl::Connection c;
    c.ahead = true;
    d.connections.push_back(std::move(c));
    d.Later([&d] {
        for (auto it = d.connections.begin(); it != d.connections.end(); ++it)
            if (it->ahead && !it->socket) {
                d.Start(it);
                return;
            }
    });
}

void DirectIpLink::Send(std::size_t index, const SbdMessage& message, Answer done)
{
    Impl& d = *d_;
    Impl::Connection c;
    c.index = index;
    c.sent.clientId = NextClientMessageId();
    c.sent.imei = message.imei.toLatin1();
    c.sent.payload = QByteArray(reinterpret_cast<const char*>(message.record.data()), qsizetype(message.record.size()));
    c.sent.flags = d.options.flushQueue ? kFlushQueue : 0;
    c.sent.priority = d.options.priority;
    c.answer = std::move(done);
    const std::uint32_t id = c.sent.clientId;
    // The connection opened ahead, once it is up, carries this message.
    const auto ahead = std::find_if(d.connections.begin(), d.connections.end(),
                                    [](const Impl::Connection& o) { return o.ahead && o.connected; });
    if (ahead != d.connections.end()) {
        c.socket = std::exchange(ahead->socket, nullptr);
        c.connected = true;
        d.connections.erase(ahead);
    }
    d.connections.push_back(std::move(c));
    // Answers come from the event loop, never from within this call.
    d.Later([&d, id] {
        for (auto it = d.connections.begin(); it != d.connections.end(); ++it) {
            if (it->sent.clientId != id)
                continue;
            // The gateway wants digits only; the window's IMEI may hold '+' or '-'.
            try {
                (void)EncodeMtMessage(it->sent);
            } catch (const std::exception& e) {
                d.Fail(it, kNotSent, QStringLiteral("500 Not sent by DirectIP: %1").arg(QString::fromUtf8(e.what())));
                return;
            }
            if (it->connected)
                d.Connected(it->socket, 0);
            else
                d.Start(it);
            return;
        }
    });
}

void DirectIpLink::Close(std::function<void()> done)
{
    // A connection opened ahead that no message took is closed unused.
    for (auto it = d_->connections.begin(); it != d_->connections.end();)
        if (it->ahead) {
            Impl::Retire(it->socket);
            it = d_->connections.erase(it);
        } else {
            ++it;
        }
    d_->opened = nullptr;
    d_->Later(std::move(done));
}

void DirectIpLink::Abort()
{
    d_->opened = nullptr;
    d_->DropAll();
}

QString DirectIpLink::PeerName() const { return d_->Peer(); }

QString DirectIpLink::Waiting() const
{
    for (const Impl::Connection& c : d_->connections)
        if (!c.connected)
            return QStringLiteral("while connecting");
    return QStringLiteral("for its confirmation");
}

} // namespace kestravo::directip
