// SPDX-License-Identifier: Apache-2.0
#include "smtp_relay.h"
#include "fuzz_check.h"

#include "fuzz_app.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <arpa/inet.h>
#include <cerrno>
#include <optional>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestravo::fuzz {

namespace {

int gListener = -1;
quint16 gPort = 0;

// Quiet event-loop turns a client may wait for a reply before the relay is nudged; far more
// while bytes are still under way, which should not happen at all on loopback.
constexpr int kStallTurns = 6;
constexpr int kUnsettledStallTurns = 300;
// Turns one input may take before the relay hangs up, and turns the client then has to finish.
constexpr int kInputTurns = 6000;
constexpr int kAfterHangUpTurns = 3000;

void SetNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool ClientWaiting(const TCustomSmtpClient& client)
{
    switch (client.State()) {
    case smtpWaitingBanner:
    case smtpWaitingResponse:
        return true;
    default:
        return false;
    }
}

} // namespace

void InitSmtpFuzzing()
{
    kestravo::fuzz::EnsureApplication();
    if (gListener >= 0)
        return;
    gListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(gListener >= 0, "socket: %d", errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::bind(gListener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind: %d", errno);
    FUZZ_CHECK(::listen(gListener, 16) == 0, "listen: %d", errno);
    socklen_t length = sizeof address;
    ::getsockname(gListener, reinterpret_cast<sockaddr*>(&address), &length);
    gPort = ntohs(address.sin_port);
    SetNonBlocking(gListener);
}

RelayPlan ParsePlan(const std::uint8_t* data, std::size_t size, bool splitReplies)
{
    RelayPlan plan;
    if (size == 0)
        return plan;
    plan.hangUpAfterLast = (data[0] & 1) != 0;
    plan.bytesPerWrite = (data[0] >> 1) & 7;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    if (!splitReplies) {
        plan.replies.push_back(rest);
        return plan;
    }
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = rest.indexOf(kSeparator, from);
        if (at < 0) {
            plan.replies.push_back(rest.mid(from));
            break;
        }
        plan.replies.push_back(rest.mid(from, at - from));
        from = at + 2;
    }
    return plan;
}

FuzzRelay::FuzzRelay(RelayPlan plan)
    : plan_(std::move(plan))
{
    // A connection left over from an earlier input belongs to nobody.
    for (int stale; (stale = ::accept(gListener, nullptr, nullptr)) >= 0;)
        ::close(stale);
}

FuzzRelay::~FuzzRelay()
{
    if (fd_ >= 0) {
        // A reset leaves no TIME_WAIT behind, so long runs do not use up the loopback ports.
        linger reset{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd_);
    }
}

quint16 FuzzRelay::Port()
{
    return gPort;
}

void FuzzRelay::Queue(const QByteArray& reply)
{
    if (reply.isEmpty())
        return;
    const qsizetype step = plan_.bytesPerWrite > 0 ? plan_.bytesPerWrite : reply.size();
    for (qsizetype i = 0; i < reply.size(); i += step)
        outbox_.push_back(reply.mid(i, step));
}

void FuzzRelay::Due()
{
    while (nextReply_ <= unitsIn_ && nextReply_ < plan_.replies.size())
        Queue(plan_.replies[nextReply_++]);
    if (plan_.hangUpAfterLast && nextReply_ >= plan_.replies.size())
        hangUpRequested_ = true;
}

void FuzzRelay::Stall()
{
    if (nextReply_ < plan_.replies.size())
        Queue(plan_.replies[nextReply_++]);
    else
        hangUpRequested_ = true;
    if (plan_.hangUpAfterLast && nextReply_ >= plan_.replies.size())
        hangUpRequested_ = true;
}

bool FuzzRelay::Settled(std::uint64_t clientWrote, std::uint64_t clientRead) const
{
    return fd_ >= 0 && outbox_.empty() && receivedBytes_ == clientWrote && std::uint64_t(sent_.size()) == clientRead;
}

void FuzzRelay::Nap() const
{
    pollfd wait{fd_ >= 0 && !clientGone_ ? fd_ : gListener, POLLIN, 0};
    ::poll(&wait, 1, 1);
}

void FuzzRelay::HangUp()
{
    hangUpRequested_ = true;
}

void FuzzRelay::TakeLine(const QByteArray& line)
{
    received_.append(line);
    if (afterData_) {
        afterData_ = false;
        // After a refused DATA the client's next line is a command, not the message.
        const QByteArray upper = line.toUpper();
        inMessage_ = !(upper == "QUIT" || upper == "RSET" || upper.startsWith("HELO ") ||
                       upper.startsWith("EHLO ") || upper.startsWith("MAIL FROM:"));
    }
    if (inMessage_) {
        if (line != ".")
            return;
        inMessage_ = false;
    } else if (line.toUpper() == "DATA") {
        afterData_ = true;
    }
    ++unitsIn_;
    Due();
}

bool FuzzRelay::Poll()
{
    bool moved = false;
    if (fd_ < 0) {
        fd_ = ::accept(gListener, nullptr, nullptr);
        if (fd_ < 0)
            return false;
        SetNonBlocking(fd_);
        Due(); // the greeting
        moved = true;
    }
    char buffer[4096];
    while (!clientGone_) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        // Acknowledge at once: the client's small writes would otherwise wait out the delayed
        // acknowledgement (Nagle), some 40 ms a line.
        int quick = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
        if (n > 0) {
            moved = true;
            input_.append(buffer, qsizetype(n));
            receivedBytes_ += std::uint64_t(n);
            for (qsizetype eol; (eol = input_.indexOf("\r\n")) >= 0;) {
                const QByteArray line = input_.left(eol);
                input_.remove(0, eol + 2);
                TakeLine(line);
            }
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            clientGone_ = true;
            moved = true;
        }
        break;
    }
    // One piece per turn, so that the client may read each on its own.
    if (!outbox_.empty() && !shutDown_ && !clientGone_) {
        QByteArray& piece = outbox_.front();
        const ssize_t n = ::send(fd_, piece.constData(), size_t(piece.size()), MSG_NOSIGNAL);
        if (n > 0) {
            moved = true;
            sent_.append(piece.constData(), qsizetype(n));
            piece.remove(0, qsizetype(n));
            if (piece.isEmpty())
                outbox_.pop_front();
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            clientGone_ = true;
        }
    }
    if (hangUpRequested_ && !shutDown_ && (outbox_.empty() || clientGone_)) {
        ::shutdown(fd_, SHUT_WR);
        shutDown_ = true;
        moved = true;
    }
    return moved;
}

void RunUntil(FuzzRelay& relay, TCustomSmtpClient& client, const std::function<bool()>& finished)
{
    int quiet = 0;
    int hungUpAt = -1;
    std::uint64_t lastWritten = 0;
    TSmtpState lastState = client.State();
    for (int turn = 0;; ++turn) {
        if (finished())
            return;
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        // Progress is the relay's or the client's: a client busy sending its message moves on
        // one line per turn without the relay seeing anything yet.
        const std::uint64_t written = client.Socket()->WriteCount();
        const TSmtpState state = client.State();
        const bool moved = relay.Poll() || written != lastWritten || state != lastState;
        lastWritten = written;
        lastState = state;
        if (finished())
            return;
        quiet = moved ? 0 : quiet + 1;
        // Nothing in flight either way and the client still waits: the replies so far did not
        // satisfy it. Sending earlier would let a reply overtake the command it answers.
        const bool settled = relay.Settled(client.Socket()->WriteCount(), client.Socket()->ReadCount());
        if (ClientWaiting(client) && quiet > (settled ? kStallTurns : kUnsettledStallTurns)) {
            quiet = 0;
            relay.Stall();
        }
        if (turn == kInputTurns)
            relay.HangUp();
        if (relay.HungUp() && hungUpAt < 0)
            hungUpAt = turn;
        FUZZ_CHECK(hungUpAt < 0 || turn - hungUpAt < kAfterHangUpTurns,
                   "the client did not finish after the relay hung up (state %d)", int(client.State()));
        // The client's own posted work runs on the next turns; only a lasting quiet waits.
        if (quiet > 2)
            relay.Nap();
    }
}

std::uint16_t RunOneRequest(FuzzRelay& relay, TCustomSmtpClient& client, const std::function<void()>& start,
                            TSmtpRequest expected)
{
    int reports = 0;
    std::optional<std::uint16_t> result;
    TSmtpRequest request = smtpCustom;
    client.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest rq, std::uint16_t code) {
        ++reports;
        request = rq;
        result = code;
    };
    start();
    RunUntil(relay, client, [&] { return result.has_value(); });
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    FUZZ_CHECK(reports == 1, "%d reports for one request", reports);
    FUZZ_CHECK(request == expected, "reported as request %d, not %d", int(request), int(expected));
    return *result;
}

QList<ReplyLine> ReadReplyLines(const QByteArray& stream, QByteArray* rest)
{
    QList<ReplyLine> lines;
    qsizetype from = 0;
    int continued = 0; // the code of the reply's continuation lines so far
    for (qsizetype eol; (eol = stream.indexOf('\n', from)) >= 0; from = eol + 1) {
        ReplyLine line;
        line.text = stream.mid(from, eol - from);
        if (line.text.endsWith('\r'))
            line.text.chop(1);
        const QByteArray& s = line.text;
        const auto digit = [&](qsizetype i) { return i < s.size() && s[i] >= '0' && s[i] <= '9'; };
        const bool wellFormed = digit(0) && s[0] >= '2' && s[0] <= '5' && digit(1) && digit(2) &&
                                (s.size() == 3 || s[3] == ' ' || s[3] == '-');
        const int code = wellFormed ? s.left(3).toInt() : 0;
        line.malformed = !wellFormed || (continued != 0 && code != continued);
        line.code = line.malformed ? 0 : code;
        line.final = line.malformed || s.size() == 3 || s[3] != '-';
        continued = line.final ? 0 : code;
        line.end = eol + 1;
        lines.append(line);
    }
    if (rest)
        *rest = stream.mid(from);
    return lines;
}

int JudgedCode(int code)
{
    return code != 0 ? code : kSmtpProtocolError;
}

} // namespace kestravo::fuzz
