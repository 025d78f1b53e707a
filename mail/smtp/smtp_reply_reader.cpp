// SPDX-License-Identifier: Apache-2.0
// Reply framing (RFC 5321 4.2): lines end with CR LF, or a bare LF from a careless relay; a line
// is three digits, the first 2 to 5, then a space (last line), a hyphen (more lines follow) or
// nothing; every line of one reply carries the same code. Read leniently, "-250", " 250" or
// "0250" would pass for acceptance, so anything else is no reply at all.
#include "mail/smtp/smtp_reply_reader.h"
#include "mail/smtp/smtpcli.h"

#include <QStringDecoder>
#include <utility>

namespace kestravo::mail {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The code of a well-formed reply line, 0 for anything else.
int LineCode(const QByteArray& line)
{
    if (line.size() < 3 || !IsDigit(line[0]) || line[0] < '2' || line[0] > '5' || !IsDigit(line[1]) || !IsDigit(line[2]))
        return 0;
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-')
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool IsContinuation(const QByteArray& line) { return line.size() > 3 && line[3] == '-'; }

} // namespace

QString SmtpReply::FaultText(const QString& shownLine) const
{
    switch (fault) {
    case Fault::None:
        return QString();
    case Fault::NotAReplyLine:
        return QStringLiteral("SMTP protocol error: not an SMTP reply line: %1").arg(QuotedReplyLine(shownLine));
    case Fault::CodeChanged:
        return QStringLiteral("SMTP protocol error: a reply line with code %1 continues a reply with code %2: %3")
            .arg(code).arg(continuedCode).arg(QuotedReplyLine(shownLine));
    case Fault::LineTooLong:
        return QStringLiteral("SMTP protocol error: reply line longer than %1 characters").arg(SmtpReplyReader::kLineLimit - 2);
    case Fault::ReplyTooLong:
        return QStringLiteral("SMTP protocol error: reply longer than %1 bytes").arg(SmtpReplyReader::kReplyLimit);
    case Fault::ZeroByte:
        return QStringLiteral("SMTP protocol error: the reply holds a zero byte");
    }
    return QString();
}

void SmtpReplyReader::Feed(const QByteArray& bytes)
{
    qsizetype from = 0;
    const qsizetype zero = bytes.indexOf('\0');
    while (!failed_ && from < bytes.size()) {
        const qsizetype lf = bytes.indexOf('\n', from);
        const qsizetype end = lf < 0 ? bytes.size() : lf;
        // Judged in the order of the stream: the replies before a zero byte or an endless line
        // stand, whatever pieces the bytes came in.
        const qsizetype room = kLineLimit - 1 - partial_.size(); // bytes before the LF
        if (zero >= 0 && zero < end && zero - from <= room) {
            partial_.clear();
            Fail(SmtpReply::Fault::ZeroByte);
            break;
        }
        if (end - from > room) {
            partial_.clear();
            Fail(SmtpReply::Fault::LineTooLong);
            break;
        }
        partial_.append(bytes.constData() + from, end - from);
        if (lf < 0)
            break;
        from = lf + 1;
        QByteArray line = std::exchange(partial_, QByteArray());
        if (line.endsWith('\r'))
            line.chop(1);
        TakeLine(std::move(line));
    }
}

void SmtpReplyReader::TakeLine(QByteArray line)
{
    const int code = LineCode(line);
    const bool continuation = IsContinuation(line);
    heldBytes_ += line.size() + 2;
    held_.lines.append(std::move(line));
    if (code == 0) {
        Fail(SmtpReply::Fault::NotAReplyLine);
        return;
    }
    if (held_.lines.size() > 1 && code != held_.code) {
        held_.continuedCode = held_.code;
        held_.code = code;
        Fail(SmtpReply::Fault::CodeChanged);
        return;
    }
    held_.code = code;
    if (continuation) {
        if (heldBytes_ > kReplyLimit)
            Fail(SmtpReply::Fault::ReplyTooLong);
        return;
    }
    ready_.push_back(std::exchange(held_, SmtpReply()));
    heldBytes_ = 0;
}

void SmtpReplyReader::Fail(SmtpReply::Fault fault)
{
    held_.fault = fault;
    ready_.push_back(std::exchange(held_, SmtpReply()));
    heldBytes_ = 0;
    failed_ = true;
}

bool SmtpReplyReader::Next(SmtpReply& reply)
{
    if (ready_.empty())
        return false;
    reply = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

QByteArray SmtpReplyReader::Pending() const
{
    QByteArray out;
    for (const QByteArray& line : held_.lines)
        out += line + "\r\n";
    return out + partial_;
}

void SmtpReplyReader::Clear()
{
    partial_.clear();
    held_ = SmtpReply();
    heldBytes_ = 0;
    ready_.clear();
    failed_ = false;
}

QString SystemCodePageText(const QByteArray& bytes)
{
    QStringDecoder dec(kSystemCharset);
    return dec.isValid() ? dec.decode(bytes) : QString::fromLatin1(bytes);
}

QString QuotedReplyLine(const QString& line)
{
    QString out = QStringLiteral("\"");
    for (QChar c : line) {
        if (c == u'"' || c == u'\\')
            out += u'\\' + QString(c);
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + u'"';
}

} // namespace kestravo::mail
