// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reply framing for the SMTP client (RFC 5321 4.2): received bytes in, whole replies out. Every
// judgement of the bytes themselves is made here (the line framing, the code, a continuation
// that changes its code, a line too long, a zero byte); the session only decides what a reply
// means for the command under way.
#include <QByteArray>
#include <QList>
#include <QString>
#include <deque>

namespace kestravo::mail {

struct SmtpReply {
    enum class Fault {
        None,
        NotAReplyLine, // the last line is not three digits (2 to 5 first), then " ", "-" or nothing
        CodeChanged,   // the last line continues a reply of another code
        LineTooLong,   // a line does not end within the reader's line limit
        ReplyTooLong,  // continuation lines beyond the reader's reply limit
        ZeroByte,      // a zero byte in the reply data
    };

    // The code all lines share; 0 when the first line has none.
    int code = 0;
    // The lines as received, without their line ends. A faulty reply holds the lines read before
    // the fault and, for NotAReplyLine and CodeChanged, the offending line last.
    QList<QByteArray> lines;
    Fault fault = Fault::None;
    // CodeChanged: the code of the reply the last line claims to continue.
    int continuedCode = 0;

    // The protocol error text; shownLine is the offending line as the client shows it (a line
    // read during the sign-in is shown without its own text).
    QString FaultText(const QString& shownLine) const;
};

class SmtpReplyReader {
public:
    // Bytes a line may take with its line end: the reply buffer of old, 4096 bytes less its
    // terminating zero.
    static constexpr int kLineLimit = 4095;
    // Bytes a reply of many lines may hold before it is refused as a line too long: a relay
    // sending continuation lines without end must not grow the client without bound.
    static constexpr int kReplyLimit = 1 << 20;

    // Takes received bytes. Replies completed by them, and a fault, queue up for Next.
    void Feed(const QByteArray& bytes);
    // The next whole reply, or a faulty one (after which the reader takes nothing until Clear).
    bool Next(SmtpReply& reply);
    // The lines of a reply whose last line has not arrived yet.
    const QList<QByteArray>& HeldLines() const { return held_.lines; }
    // Bytes received and not yet part of a whole reply: held lines (with CR LF) and a line not
    // yet ended.
    QByteArray Pending() const;
    bool HasPending() const { return !held_.lines.isEmpty() || !partial_.isEmpty(); }
    // Forgets everything received (a new connection, the start of TLS, a fault).
    void Clear();

private:
    void TakeLine(QByteArray line);
    void Fail(SmtpReply::Fault fault);

    QByteArray partial_;
    SmtpReply held_;
    qsizetype heldBytes_ = 0;
    std::deque<SmtpReply> ready_;
    bool failed_ = false;
};

// Bytes read or sent as text, in the system's 8-bit code page.
QString SystemCodePageText(const QByteArray& bytes);
// A relay's line quoted in an error text, its control characters written out ("\r", "\x1b"), so
// that the text stays one line on a terminal and in the history.
QString QuotedReplyLine(const QString& line);

} // namespace kestravo::mail
