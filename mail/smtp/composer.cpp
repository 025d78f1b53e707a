// SPDX-License-Identifier: Apache-2.0
// Composition of the Internet message: the header block (RFC 5322), the MIME multipart/mixed
// body with its text part and base64 attachments (RFC 2045 to 2049), encoded words (RFC 2047).
#include "mail/smtp/smtpcli.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTimeZone>
#include <chrono>
#include <cstring>
#include <mutex>

namespace kestravo::mail {

namespace {

// The 8-bit charsets the client accepts, by MIME name, with their code pages.
struct CharsetEntry {
    const char* name;
    int codePage;
};
constexpr CharsetEntry kCharsets[] = {
    {"us-ascii", 20127},     {"utf-8", 65001},        {"utf-7", 65000},        {"iso-8859-1", 28591},
    {"iso-8859-2", 28592},   {"iso-8859-5", 28595},   {"iso-8859-15", 28605},  {"windows-1250", 1250},
    {"windows-1251", 1251},  {"windows-1252", 1252},  {"koi8-r", 20866},       {"koi8-u", 21866},
    {"ibm866", 866},
};

bool IsMultiByte(int codePage) { return codePage == 65001 || codePage == 65000; }

// Trims as the rest of this client does: every character with a code of 32 or less goes.
QString TrimCtl(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s[b].unicode() <= 32)
        ++b;
    while (e > b && s[e - 1].unicode() <= 32)
        --e;
    return s.mid(b, e - b);
}

// A header value can never add a header line of its own.
QString NoLineBreaks(QString s)
{
    for (QChar& c : s)
        if (c == u'\r' || c == u'\n')
            c = u' ';
    return s;
}

// The name of a header line for an error text, with nothing of its value: "Subject:".
QString HeaderName(const QString& line)
{
    qsizetype end = line.indexOf(u':');
    if (end < 0 || end > 76)
        end = 0;
    QString name = line.left(end);
    for (const QChar c : name)
        if (c.unicode() <= 32 || c.unicode() > 126)
            return QStringLiteral("(unnamed)");
    return name.isEmpty() ? QStringLiteral("(unnamed)") : name + u':';
}

bool NeedsEncoding(const QByteArray& bytes)
{
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (!(c == 9 || c == 10 || c == 13 || (c >= 0x20 && c <= 0x7E)))
            return true;
    }
    return false;
}

QByteArray ToCharset(const QString& text, const QString& charset)
{
    QStringEncoder enc(charset.toLatin1().constData());
    if (!enc.isValid())
        return text.toUtf8();
    return enc.encode(text);
}

// RFC 2047 encoded words, each at most maxWidth characters wide, separated by CR LF and a blank.
QString EncodedWords(const QByteArray& bytes, const QString& charset, char encType, int maxWidth = 75)
{
    const QString prefix = QStringLiteral("=?%1?%2?").arg(charset, QChar::fromLatin1(encType));
    const int room = maxWidth - int(prefix.size()) - 2;
    QStringList words;
    QString cur;
    auto flush = [&] {
        if (!cur.isEmpty())
            words.append(prefix + cur + QStringLiteral("?="));
        cur.clear();
    };
    if (encType == 'B') {
        const int perWord = std::max(3, (room / 4) * 3);
        for (qsizetype i = 0; i < bytes.size(); i += perWord) {
            cur = QString::fromLatin1(bytes.mid(i, perWord).toBase64());
            flush();
        }
    } else {
        for (char ch : bytes) {
            auto c = static_cast<unsigned char>(ch);
            QString piece;
            if (c == ' ')
                piece = QStringLiteral("_");
            else if (c > 0x20 && c < 0x7F && c != '=' && c != '?' && c != '_' && c != '"')
                piece = QChar::fromLatin1(char(c));
            else
                piece = QStringLiteral("=%1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
            if (cur.size() + piece.size() > room)
                flush();
            cur += piece;
        }
        flush();
    }
    return words.join(QStringLiteral("\r\n "));
}

// Folds a header line at blanks so that its physical lines stay within 76 characters where a
// blank allows it.
QString FoldLine(const QString& line, int width = 76)
{
    // A line that already holds folds (encoded words) is folded one physical line at a time: a
    // cut at the blank that opens a continuation would leave an empty line, ending the header.
    if (line.contains(QStringLiteral("\r\n"))) {
        QStringList folded;
        for (const QString& physical : line.split(QStringLiteral("\r\n")))
            folded.append(FoldLine(physical, width));
        return folded.join(QStringLiteral("\r\n"));
    }
    QString out;
    QString rest = line;
    while (rest.size() > width) {
        qsizetype cut = rest.lastIndexOf(u' ', width);
        if (cut <= 0)
            cut = rest.indexOf(u' ', width);
        if (cut <= 0)
            break;
        out += rest.left(cut) + QStringLiteral("\r\n");
        rest = rest.mid(cut); // the continuation line starts with the blank
    }
    return out + rest;
}

// Splits an address list at "," and ";" outside double or single quotes.
QStringList SplitAddresses(const QString& value)
{
    QStringList entries;
    QString cur;
    QChar quote;
    for (QChar c : value) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == u'"' || c == u'\'') {
            quote = c;
        } else if (c == u',' || c == u';') {
            entries.append(cur);
            cur.clear();
            continue;
        }
        cur += c;
    }
    entries.append(cur);
    return entries;
}

const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The process-wide xorshift32 of the Message-ID, seeded once.
std::uint32_t NextRandom()
{
    static std::mutex lock;
    static std::uint32_t state = [] {
        QCryptographicHash md5(QCryptographicHash::Md5);
        const auto counter = std::chrono::high_resolution_clock::now().time_since_epoch().count();
        md5.addData(QByteArrayView(reinterpret_cast<const char*>(&counter), sizeof counter));
        quint32 random[2];
        QRandomGenerator::system()->fillRange(random);
        md5.addData(QByteArrayView(reinterpret_cast<const char*>(random), sizeof random));
        const QByteArray digest = md5.result();
        std::uint32_t seed;
        std::memcpy(&seed, digest.constData(), sizeof seed);
        return seed != 0 ? seed : 0x9E3779B9u;
    }();
    std::lock_guard<std::mutex> guard(lock);
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

} // namespace

int CharsetToCodePage(const QString& name)
{
    const QString wanted = name.trimmed().toLower();
    if (wanted.isEmpty())
        return 0;
    // The table's own names need no converter: opening one costs the window's start a codec
    // library's tables, and text is converted only when a message is composed.
    for (const auto& c : kCharsets)
        if (wanted == QLatin1String(c.name))
            return c.codePage;
    // An alias ("cp1251", "latin1") is known by the converter under its canonical name.
    QStringEncoder enc(wanted.toLatin1().constData());
    if (!enc.isValid())
        return 0;
    const QString canonical = QString::fromLatin1(enc.name()).toLower();
    for (const auto& c : kCharsets)
        if (canonical == QLatin1String(c.name))
            return c.codePage;
    return 0;
}

QString ParseEmail(const QString& entry, QString& displayName)
{
    displayName.clear();
    qsizetype i = 0;
    while (i < entry.size() && entry[i] == u' ')
        ++i;
    if (i >= entry.size())
        return QString();
    const QString s = entry.mid(i);
    const bool hasAngle = s.contains(u'<');
    QString address;
    auto between = [&](qsizetype from) {
        qsizetype lt = s.indexOf(u'<', from);
        if (lt < 0)
            return QString();
        qsizetype gt = s.indexOf(u'>', lt + 1);
        return gt < 0 ? s.mid(lt + 1) : s.mid(lt + 1, gt - lt - 1);
    };
    if (s[0] == u'"' || s[0] == u'\'') {
        const QChar q = s[0];
        qsizetype close = s.indexOf(q, 1);
        if (close < 0)
            close = s.size();
        displayName = s.mid(1, close - 1);
        if (hasAngle)
            address = between(close);
        else
            address = TrimCtl(s.mid(close + 1));
    } else if (hasAngle) {
        qsizetype lt = s.indexOf(u'<');
        displayName = TrimCtl(s.left(lt));
        address = between(lt);
    } else {
        qsizetype sp = s.indexOf(u' ');
        if (sp < 0) {
            displayName = TrimCtl(s);
        } else {
            displayName = TrimCtl(s.left(sp));
            address = TrimCtl(s.mid(sp + 1));
        }
    }
    if (address.isEmpty() && displayName.contains(u'@')) {
        address = displayName;
        displayName.clear();
    }
    return address;
}

QString Rfc822DateTime(const QDateTime& t)
{
    if (!t.isValid())
        return QString();
    const QDate d = t.date();
    const QTime tm = t.time();
    // Bias B in minutes: UTC = local time + B.
    const int bias = t.isValid() ? -t.offsetFromUtc() / 60 : 0;
    const int a = bias < 0 ? -bias : bias;
    return QStringLiteral("%1, %2 %3 %4 %5 %6%7%8")
        .arg(QLatin1String(kDays[d.dayOfWeek() - 1]))
        .arg(d.day())
        .arg(QLatin1String(kMonths[d.month() - 1]))
        .arg(d.year(), 4, 10, QLatin1Char('0'))
        .arg(tm.toString(QStringLiteral("HH:mm:ss")))
        .arg(QLatin1String(bias < 0 ? "+" : "-"))
        .arg(a / 60, 2, 10, QLatin1Char('0'))
        .arg(a % 60, 2, 10, QLatin1Char('0'));
}

QString GenerateMessageID()
{
    QString id = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddHHmmsszzz")) + u'.';
    for (int i = 0; i < 4; ++i) {
        const auto n = std::uint32_t((std::uint64_t(65535) * NextRandom()) >> 32);
        id += QStringLiteral("%1").arg(n, 4, 16, QLatin1Char('0')).toUpper();
    }
    return id + u'@' + LocalHostName();
}

QString FilenameToContentType(const QString& fileName)
{
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const QString ext = dot < 0 ? QString() : fileName.mid(dot + 1).toLower();
    if (ext == u"htm" || ext == u"html")
        return QStringLiteral("text/html");
    if (ext == u"gif")
        return QStringLiteral("image/gif");
    if (ext == u"bmp")
        return QStringLiteral("image/bmp");
    if (ext == u"jpg" || ext == u"jpeg")
        return QStringLiteral("image/jpeg");
    if (ext == u"txt")
        return QStringLiteral("text/plain");
    return QStringLiteral("application/octet-stream");
}

QByteArray DoFileEncBase64(QFile& file, bool& more)
{
    return DoEncBase64(file, file.fileName(), more);
}

QByteArray DoEncBase64(QIODevice& file, const QString& name, bool& more)
{
    constexpr qint64 kLineBytes = 57;  // one 76-character line
    constexpr qint64 kChunkBytes = 1482; // 26 lines
    QByteArray data;
    while (data.size() < kChunkBytes) {
        QByteArray part = file.read(kChunkBytes - data.size());
        if (part.isEmpty()) {
            if (const auto* f = qobject_cast<const QFileDevice*>(&file); f && f->error() != QFileDevice::NoError)
                throw SmtpException(QStringLiteral("Error reading '%1': %2").arg(name, file.errorString()).toStdString());
            break;
        }
        data += part;
    }
    QByteArray out;
    for (qsizetype i = 0; i < data.size(); i += kLineBytes) {
        if (i > 0)
            out += "\r\n";
        out += data.mid(i, kLineBytes).toBase64();
    }
    more = !file.atEnd();
    return out;
}

// --- header lines ----------------------------------------------------------------------------

void TSmtpHeaderLines::AddLine(const QString& line)
{
    Lines.append(NoLineBreaks(line));
}

void TSmtpHeaderLines::AddFolded(const QString& line)
{
    Lines.append(FoldHeaders && line.size() > 76 ? FoldLine(line) : line);
}

void TSmtpHeaderLines::AddHdr(const QString& name, const QString& value)
{
    const QString v = NoLineBreaks(value);
    const QByteArray bytes = ToCharset(v, CharSet);
    if (Allow8bitChars || (!NeedsEncoding(bytes) && CodePage != 65000)) {
        AddFolded(name + v);
        return;
    }
    Lines.append(name + EncodedWords(bytes, CharSet, EncType));
}

void TSmtpHeaderLines::AddAddrHdr(const QString& name, const QString& value)
{
    QStringList written;
    for (QString entry : SplitAddresses(NoLineBreaks(value))) {
        qsizetype b = 0;
        while (b < entry.size() && (entry[b] == u' ' || entry[b] == u'\t'))
            ++b;
        entry = entry.mid(b);
        while (!entry.isEmpty() && (entry.back() == u',' || entry.back() == u';'))
            entry.chop(1);
        if (entry.isEmpty())
            continue;
        QString display;
        const QString address = ParseEmail(entry, display);
        if (display.isEmpty()) {
            written.append(address);
            continue;
        }
        const QByteArray bytes = ToCharset(display, CharSet);
        if (Allow8bitChars || (!NeedsEncoding(bytes) && CodePage != 65000)) {
            QString quoted = display;
            quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
            written.append(u'"' + quoted + QStringLiteral("\" <") + address + u'>');
        } else {
            written.append(EncodedWords(bytes, CharSet, EncType) + QStringLiteral(" <") + address + u'>');
        }
    }
    QString joined = written.join(u',');
    while (joined.endsWith(u','))
        joined.chop(1);
    AddFolded(name.trimmed() + u' ' + joined);
}

// --- the client's composition half -----------------------------------------------------------

void TCustomSmtpClient::SetCharSet(const QString& value)
{
    const QString v = value.trimmed().toLower();
    if (v.isEmpty()) {
        charSet_ = QString::fromLatin1(kSystemCharset);
        codePage_ = kSystemCodePage;
        return;
    }
    const int cp = CharsetToCodePage(v);
    if (cp == 0) {
        charSet_ = QString::fromLatin1(kSystemCharset);
        codePage_ = kSystemCodePage;
        throw SmtpException(QStringLiteral("Charset \"%1\" is not supported").arg(value).toStdString());
    }
    charSet_ = v;
    codePage_ = cp;
}

void TCustomSmtpClient::BuildHeaderLines()
{
    listPosition_ = -1;
    bodyLineNumber_ = 0;
    moreData_ = true;

    TSmtpHeaderLines& h = headerLines_;
    h.Lines.clear();
    h.DefaultEncoding = defaultEncoding_;
    h.EncType = defaultEncoding_ == smtpEncBase64 ? 'B' : 'Q';
    h.CharSet = charSet_;
    h.CodePage = codePage_;
    h.MultiByte = IsMultiByte(codePage_);
    h.FoldHeaders = foldHeaders_;
    h.Allow8bitChars = allow8bitChars_;
    if (ownHeaders_)
        return;

    hdrReplyTo_ = TrimCtl(hdrReplyTo_);
    hdrReturnPath_ = TrimCtl(hdrReturnPath_);
    hdrFrom_ = TrimCtl(hdrFrom_);
    hdrTo_ = TrimCtl(hdrTo_);
    hdrCc_ = TrimCtl(hdrCc_);
    hdrSender_ = TrimCtl(hdrSender_);

    if (!hdrReplyTo_.isEmpty())
        h.AddAddrHdr(QStringLiteral("Reply-To: "), hdrReplyTo_);
    if (!hdrReturnPath_.isEmpty())
        h.AddAddrHdr(QStringLiteral("Return-Path: "), hdrReturnPath_);
    if (!hdrFrom_.isEmpty())
        h.AddAddrHdr(QStringLiteral("From: "), hdrFrom_);
    if (!hdrTo_.isEmpty())
        h.AddAddrHdr(QStringLiteral("To: "), hdrTo_);
    if (!hdrCc_.isEmpty())
        h.AddAddrHdr(QStringLiteral("Cc: "), hdrCc_);
    h.AddHdr(QStringLiteral("Subject: "), TrimCtl(hdrSubject_));
    if (!hdrSender_.isEmpty())
        h.AddAddrHdr(QStringLiteral("Sender: "), hdrSender_);
    else if (!hdrFrom_.isEmpty())
        h.AddAddrHdr(QStringLiteral("Sender: "), hdrFrom_);
    h.AddLine(QStringLiteral("Mime-Version: 1.0"));
    h.AddLine(QStringLiteral("Content-Type: %1; charset=\"%2\"").arg(contentTypeText_, charSet_));
    h.AddLine(QStringLiteral("Date: ") + Rfc822DateTime(QDateTime::currentDateTime()));
    if (hdrPriority_ != smtpPriorityNone) {
        h.AddLine(QStringLiteral("X-Priority: %1").arg(int(hdrPriority_)));
        if (hdrPriority_ <= smtpPriorityHigh) {
            h.AddLine(QStringLiteral("Priority: urgent"));
            h.AddLine(QStringLiteral("X-MSMail-Priority: High"));
        } else if (hdrPriority_ == smtpPriorityNormal) {
            h.AddLine(QStringLiteral("Priority: Normal"));
            h.AddLine(QStringLiteral("X-MSMail-Priority: Normal"));
        } else {
            h.AddLine(QStringLiteral("Priority: non-urgent"));
            h.AddLine(QStringLiteral("X-MSMail-Priority: Low"));
        }
    }
    messageId_ = GenerateMessageID();
    h.AddLine(QStringLiteral("Message-ID: <") + messageId_ + u'>');
    if (confirmReceipt_ && !hdrFrom_.isEmpty())
        h.AddAddrHdr(QStringLiteral("Disposition-Notification-To: "), hdrFrom_);
    if (!xMailer_.isEmpty())
        h.AddHdr(QStringLiteral("X-Mailer: "), GetXMailerValue());
    TriggerProcessHeader(h);
    for (const QString& line : h.Lines) {
        const qsizetype bytes = ToWire(line).size();
        if (bytes > HeaderLineLimit)
            throw SmtpException(QStringLiteral("Header line %1 too long (%2 bytes, at most %3)")
                                    .arg(HeaderName(line))
                                    .arg(bytes)
                                    .arg(HeaderLineLimit)
                                    .toStdString());
    }
    h.Lines.append(QString());
}

// --- the message text --------------------------------------------------------------------------

void TSmtpMessageText::Load(const QByteArray& bytes, TSmtpDefaultEncoding encoding, bool wrap, int maxLineLen)
{
    lines_.clear();
    next_ = 0;
    encoding_ = encoding;
    if (bytes.isEmpty())
        return;
    if (encoding == smtpEncBase64) {
        const QByteArray b64 = bytes.toBase64();
        for (qsizetype i = 0; i < b64.size(); i += 76)
            lines_.append(b64.mid(i, 76));
        return;
    }
    QList<QByteArray> src = bytes.split('\n');
    if (!src.isEmpty() && src.last().isEmpty())
        src.removeLast(); // the text ends in CR LF
    for (QByteArray line : src) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (encoding == smtpEncQuotedPrintable) {
            QByteArray out;
            for (qsizetype i = 0; i < line.size(); ++i) {
                auto c = static_cast<unsigned char>(line[i]);
                const bool last = i == line.size() - 1;
                QByteArray piece;
                if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last))
                    piece = QByteArray(1, char(c));
                else
                    piece = "=" + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
                if (out.size() + piece.size() > 75) {
                    lines_.append(out + "=");
                    out.clear();
                }
                out += piece;
            }
            lines_.append(out);
            continue;
        }
        const int width = wrap ? maxLineLen : 1022;
        while (line.size() > width) {
            qsizetype cut = line.lastIndexOf(' ', width);
            if (cut <= 0)
                cut = width;
            lines_.append(line.left(cut));
            line = line.mid(cut);
        }
        lines_.append(line);
    }
}

// --- TSmtpCli ------------------------------------------------------------------------------

TSmtpCli::TSmtpCli(QObject* parent)
    : TCustomSmtpClient(parent)
{
    Socket()->SetName(QStringLiteral("TSmtpCli_Socket%1").arg(TWSocket::LiveCount()));
}

TSmtpCli::~TSmtpCli()
{
    CloseSource();
}

QIODevice& TSmtpCli::Source()
{
    return fileIndex_ < emailFiles_.size() ? static_cast<QIODevice&>(file_) : static_cast<QIODevice&>(memory_);
}

void TSmtpCli::CloseSource()
{
    file_.close();
    memory_.close();
}

void TSmtpCli::SetEmailFiles(const QStringList& files)
{
    emailFiles_.clear();
    for (const QString& f : files) {
        const QString path = TrimCtl(f);
        if (path.isEmpty())
            continue;
        const QFileInfo info(path);
        if (!info.exists() || info.isDir())
            throw SmtpException(QStringLiteral("File not found '%1'").arg(path).toStdString());
        emailFiles_.append(path);
    }
}

void TSmtpCli::ReleaseMessageSource()
{
    CloseSource();
}

void TSmtpCli::Data()
{
    // Refuse before touching the composer's state: a message may be under way.
    CheckReady();
    CheckConnected();
    PrepareEMail();
    TCustomSmtpClient::Data();
}

void TSmtpCli::ComposeMessage()
{
    PrepareEMail();
    TCustomSmtpClient::ComposeMessage();
}

void TSmtpCli::PrepareEMail()
{
    CloseSource();
    textPhase_ = true;
    fileIndex_ = 0;
    textLineNum_ = 0;
    fileEncoding_ = smtpEncodeBase64;

    QByteArray text;
    for (const QString& line : mailMessage_)
        text += ToWire(line) + "\r\n";
    TSmtpDefaultEncoding enc;
    const bool needs = NeedsEncoding(text);
    if (text.isEmpty())
        enc = smtpEnc7bit;
    else if (!needs && defaultEncoding_ == smtpEnc8bit)
        enc = smtpEnc7bit;
    else if (needs && allow8bitChars_ && defaultEncoding_ == smtpEnc7bit)
        enc = smtpEnc8bit;
    else if (needs && !allow8bitChars_ && (defaultEncoding_ == smtpEnc7bit || defaultEncoding_ == smtpEnc8bit))
        enc = smtpEncQuotedPrintable;
    else
        enc = defaultEncoding_;
    const int cp = codePage_;
    const bool statefulCodePage = (cp >= 50220 && cp <= 50222) || cp == 50225 || cp == 50227 || cp == 50229 ||
                                  cp == 51932 || cp == 52936 || cp == 54936 || (cp >= 57002 && cp <= 57011) ||
                                  cp == 65000;
    if ((enc == smtpEnc7bit || enc == smtpEnc8bit) && statefulCodePage && !text.isEmpty())
        enc = smtpEncQuotedPrintable;
    text_.Load(text, enc, wrapMessageText_, wrapMsgMaxLineLen_);

    pending_.clear();
    if (fileIndex_ >= AttachmentCount()) {
        boundary_.clear();
        return;
    }
    boundary_ = "= Multipart Boundary " + QDateTime::currentDateTime().toString(QStringLiteral("MMddyyHHmm")).toLatin1();
    static const char* const kEncodingNames[] = {"7bit", "8bit", "quoted-printable", "base64"};
    pending_.push_back(QStringLiteral("This is a multipart MIME message."));
    pending_.push_back(QString());
    pending_.push_back(QStringLiteral("--") + QString::fromLatin1(boundary_));
    pending_.push_back(QStringLiteral("Content-Type: %1; charset=\"%2\"").arg(contentTypeText_, charSet_));
    pending_.push_back(QStringLiteral("Content-Transfer-Encoding: ") + QLatin1String(kEncodingNames[text_.Encoding()]));
    pending_.push_back(QString());
}

void TSmtpCli::TriggerHeaderLine(char* line, int size)
{
    static const char* const kEncodingNames[] = {"7bit", "8bit", "quoted-printable", "base64"};
    if (!boundary_.isEmpty() && qstrnicmp(line, "CONTENT-TYPE:", 13) == 0) {
        const QByteArray rewritten = "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary_ + "\"";
        qstrncpy(line, rewritten.constData(), size_t(size));
    } else if (boundary_.isEmpty() && qstrnicmp(line, "CONTENT-TYPE: TEXT", 18) == 0 &&
               text_.Encoding() != smtpEnc7bit) {
        QByteArray extended = QByteArray(line) + "\r\nContent-Transfer-Encoding: " + kEncodingNames[text_.Encoding()];
        qstrncpy(line, extended.constData(), size_t(size));
    }
    TCustomSmtpClient::TriggerHeaderLine(line, size);
}

void TSmtpCli::CopyOut(const QByteArray& bytes, char* msgLine, int maxLen)
{
    const qsizetype n = std::min<qsizetype>(bytes.size(), maxLen);
    std::memcpy(msgLine, bytes.constData(), size_t(n));
    msgLine[n] = 0;
}

QByteArray TSmtpCli::NextFileChunk(bool& more)
{
    QIODevice& source = Source();
    const QString name = &source == &file_ ? file_.fileName() : emailAttachments_.at(fileIndex_ - emailFiles_.size()).name;
    if (fileEncoding_ == smtpEncodeBase64)
        return DoEncBase64(source, name, more);
    // Unencoded and quoted-printable attachments go line by line.
    QByteArray line = source.readLine(998);
    if (line.isEmpty() && &source == &file_ && file_.error() != QFileDevice::NoError)
        throw SmtpException(QStringLiteral("Error reading '%1': %2").arg(name, file_.errorString()).toStdString());
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    more = !source.atEnd();
    if (fileEncoding_ == smtpEncodeNone)
        return line;
    TSmtpMessageText qp;
    qp.Load(line + "\r\n", smtpEncQuotedPrintable, false, 76);
    QByteArray out;
    while (qp.HasMore()) {
        if (!out.isEmpty())
            out += "\r\n";
        out += qp.NextLine();
    }
    return out;
}

void TSmtpCli::TriggerGetData(int /*lineNum*/, char* msgLine, int maxLen, bool& more)
{
    // 1. A queued line.
    if (!pending_.empty()) {
        CopyOut(ToWire(pending_.front()), msgLine, maxLen);
        pending_.pop_front();
        more = true;
        return;
    }
    // 2. The message's own text, then the application's lines.
    if (textPhase_) {
        if (text_.HasMore()) {
            CopyOut(text_.NextLine(), msgLine, maxLen);
            more = true;
            return;
        }
        ++textLineNum_;
        more = true;
        TCustomSmtpClient::TriggerGetData(textLineNum_, msgLine, maxLen, more);
        if (more)
            return;
        textPhase_ = false;
    }
    // 3. The next chunk of the open attachment.
    if (AttachmentOpen()) {
        bool left = false;
        const QByteArray chunk = NextFileChunk(left);
        CopyOut(chunk, msgLine, maxLen);
        if (!left) {
            CloseSource();
            ++fileIndex_;
            if (fileIndex_ >= AttachmentCount()) {
                pending_.push_back(QString());
                pending_.push_back(QStringLiteral("--") + QString::fromLatin1(boundary_) + QStringLiteral("--"));
            }
        }
        more = true;
        return;
    }
    // 4. The part header of the next attachment.
    if (fileIndex_ < AttachmentCount()) {
        msgLine[0] = 0;
        QString name;
        if (fileIndex_ < emailFiles_.size()) {
            const QString path = emailFiles_.at(fileIndex_);
            file_.setFileName(path);
            // No sharing modes here: the file is opened for reading only.
            if (!file_.open(QIODevice::ReadOnly))
                throw SmtpException(QStringLiteral("Cannot open '%1': %2").arg(path, file_.errorString()).toStdString());
            name = QFileInfo(path).fileName();
        } else {
            const TSmtpAttachment& attachment = emailAttachments_.at(fileIndex_ - emailFiles_.size());
            memory_.setData(attachment.bytes);
            memory_.open(QIODevice::ReadOnly);
            name = attachment.name;
        }
        QString contentType = FilenameToContentType(name);
        TriggerAttachContentType(fileIndex_, name, contentType);
        TriggerAttachContentTypeEh(fileIndex_, name, contentType, fileEncoding_);
        name = NoLineBreaks(name);
        contentType = NoLineBreaks(contentType);
        QString written;
        const QByteArray nameBytes = ToWire(name);
        if (!allow8bitChars_ && (NeedsEncoding(nameBytes) || codePage_ == 65000)) {
            written = EncodedWords(nameBytes, charSet_, defaultEncoding_ == smtpEncBase64 ? 'B' : 'Q', 63);
        } else {
            written = name;
            written.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
            if (foldHeaders_ && written.size() > 64)
                written = FoldLine(written, 64);
        }
        pending_.push_back(QStringLiteral("--") + QString::fromLatin1(boundary_));
        pending_.push_back(QStringLiteral("Content-Type: ") + contentType + u';');
        pending_.push_back(QStringLiteral("\tname=\"") + written + u'"');
        pending_.push_back(fileEncoding_ == smtpEncodeQP     ? QStringLiteral("Content-Transfer-Encoding: quoted-printable")
                           : fileEncoding_ == smtpEncodeNone ? QStringLiteral("Content-Transfer-Encoding: 7bit")
                                                             : QStringLiteral("Content-Transfer-Encoding: base64"));
        pending_.push_back(QStringLiteral("Content-Disposition: attachment;"));
        pending_.push_back(QStringLiteral("\tfilename=\"") + written + u'"');
        QStringList extra;
        TriggerAttachHeader(fileIndex_, name, extra);
        for (const QString& l : extra)
            pending_.push_back(NoLineBreaks(l));
        pending_.push_back(QString());
        more = true;
        return;
    }
    // 5. The body is complete.
    more = false;
}

void TSmtpCli::TriggerAttachContentType(int fileNumber, QString& fileName, QString& contentType)
{
    if (OnAttachContentType)
        OnAttachContentType(this, fileNumber, fileName, contentType);
}

void TSmtpCli::TriggerAttachContentTypeEh(int fileNumber, QString& fileName, QString& contentType,
                                          TSmtpEncoding& encoding)
{
    encoding = smtpEncodeBase64;
    if (OnAttachContentTypeEh)
        OnAttachContentTypeEh(this, fileNumber, fileName, contentType, encoding);
}

void TSmtpCli::TriggerAttachHeader(int fileNumber, const QString& fileName, QStringList& header)
{
    if (OnAttachHeader)
        OnAttachHeader(this, fileNumber, fileName, header);
}

} // namespace kestravo::mail
