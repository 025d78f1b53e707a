// SPDX-License-Identifier: Apache-2.0
#pragma once
// A relay on loopback that answers the SMTP client with bytes from a fuzz input, and the reading
// of those bytes that decides what the client may make of them. The relay lives in the fuzzing
// thread and is polled between turns of the client's event loop, so one input runs without
// threads and without waiting on anything but loopback.
//
// Input layout shared by the SMTP targets: the first byte sets the relay's manner (bit 0: hang up
// as soon as the last reply is out, else hang up once the client waits in vain; bits 1-3: bytes
// per write, 0 for whole replies); the rest holds the replies in order, separated by kSeparator.
#include "mail/smtp/smtpcli.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace kestravo::fuzz {

using namespace kestravo::mail;

inline constexpr char kSeparator[] = "\xff\xff";

// The process's QCoreApplication and the relay's listening socket, made on first use.
void InitSmtpFuzzing();

struct RelayPlan {
    std::vector<QByteArray> replies; // reply i goes out when the client's i-th command (or message) is in
    int bytesPerWrite = 0;           // 0: each reply in one write
    bool hangUpAfterLast = false;
};
RelayPlan ParsePlan(const std::uint8_t* data, std::size_t size, bool splitReplies);

class FuzzRelay {
public:
    explicit FuzzRelay(RelayPlan plan);
    ~FuzzRelay(); // resets the connection: no lingering state between inputs
    FuzzRelay(const FuzzRelay&) = delete;
    FuzzRelay& operator=(const FuzzRelay&) = delete;

    static quint16 Port();

    // One turn: accept, read what the client sent, write what is due. True when anything moved.
    bool Poll();
    // The client waits and nothing has come for a while: the next reply goes out now, or the
    // relay hangs up when there is none.
    void Stall();
    void HangUp();
    // Waits a moment, less if the client writes.
    void Nap() const;
    bool HungUp() const { return hangUpRequested_; }
    // Everything the client wrote has arrived, and the client has read everything sent.
    bool Settled(std::uint64_t clientWrote, std::uint64_t clientRead) const;

    QByteArray Sent() const { return sent_; }
    // The lines the client sent, in order, without CR LF.
    const QList<QByteArray>& Received() const { return received_; }

private:
    void Due();
    void Queue(const QByteArray& reply);
    void TakeLine(const QByteArray& line);

    RelayPlan plan_;
    int fd_ = -1;
    std::size_t nextReply_ = 0;
    std::size_t unitsIn_ = 0;
    std::deque<QByteArray> outbox_;
    QByteArray sent_;
    QByteArray input_;
    std::uint64_t receivedBytes_ = 0;
    QList<QByteArray> received_;
    bool afterData_ = false;
    bool inMessage_ = false;
    bool hangUpRequested_ = false;
    bool shutDown_ = false;
    bool clientGone_ = false;
};

// Runs the client's event loop and the relay in turns until finished() holds. Gives the relay a
// stall when the client waits for a reply that does not come; hangs the relay up when the input
// takes too long. The client must then come to an end: failing that is a hang, and stops the run.
void RunUntil(FuzzRelay& relay, TCustomSmtpClient& client, const std::function<bool()>& finished);

// Starts one request (start() calls it), runs until it ends, and checks that it ended once and
// as the request `expected`: a late second report would reach the next request's handler.
// Returns the code it ended with.
std::uint16_t RunOneRequest(FuzzRelay& relay, TCustomSmtpClient& client, const std::function<void()>& start,
                            TSmtpRequest expected);

// How the client reads a reply stream: a line ends at LF, a CR before it dropped; a reply line is
// three digits, the first 2 to 5, then a space, a "-" (a continuation) or its end, and each line
// of a reply carries the code of its first. Any other line is malformed: the client stops there.
struct ReplyLine {
    QByteArray text;
    int code = 0; // 0 for a malformed line
    bool final = false; // a malformed line ends the reply too
    bool malformed = false;
    qsizetype end = 0; // offset in the stream just past the line's LF
};
QList<ReplyLine> ReadReplyLines(const QByteArray& stream, QByteArray* rest = nullptr);
// The code the client judges: a malformed line counts as a protocol error (20600).
int JudgedCode(int code);

} // namespace kestravo::fuzz
