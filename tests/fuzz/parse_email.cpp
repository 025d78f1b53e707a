// SPDX-License-Identifier: Apache-2.0
// ParseEmail and the header lines built from addresses and a subject. An entry built as
// "display <address>" or "\"display\" <address>" gives back exactly its parts; whatever the
// texts, no header line can start a header of its own (every CR LF is a fold: a blank follows,
// and no lone CR or LF), and an encoded subject decodes to the subject's bytes in words of at
// most 75 characters.
#include "fuzz_check.h"

#include "mail/smtp/smtpcli.h"

#include "fuzz_app.h"
#include <QStringEncoder>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

using namespace kestravo::mail;

namespace {

QString TrimControls(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s[b].unicode() <= 32)
        ++b;
    while (e > b && s[e - 1].unicode() <= 32)
        --e;
    return s.mid(b, e - b);
}

// Control characters shown as \xNN, so that a failure message shows where a line breaks.
std::string Shown(const QString& s)
{
    std::string out;
    for (char c : s.toUtf8()) {
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

void CheckParse(const QString& entry, const QString& address, const QString& display)
{
    QString name;
    const QString got = ParseEmail(entry, name);
    FUZZ_CHECK(got == address, "address of [%s] is [%s], not [%s]", Shown(entry).c_str(), Shown(got).c_str(),
               Shown(address).c_str());
    FUZZ_CHECK(name == display, "display name of [%s] is [%s], not [%s]", Shown(entry).c_str(), Shown(name).c_str(),
               Shown(display).c_str());
}

void CheckFolding(const QString& line)
{
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == u'\r') {
            FUZZ_CHECK(i + 2 < line.size() && line[i + 1] == u'\n' && (line[i + 2] == u' ' || line[i + 2] == u'\t'),
                       "header line breaks at %lld: [%s]", (long long)i, Shown(line).c_str());
            ++i;
        } else {
            FUZZ_CHECK(line[i] != u'\n', "lone LF in header line [%s]", Shown(line).c_str());
        }
    }
}

QByteArray DecodeWord(const QString& word, char encType)
{
    const QString prefix = QStringLiteral("=?windows-1251?%1?").arg(QChar::fromLatin1(encType));
    FUZZ_CHECK(word.startsWith(prefix) && word.endsWith(u"?="), "not an encoded word: [%s]", Shown(word).c_str());
    FUZZ_CHECK(word.size() <= 75, "encoded word of %lld characters", (long long)word.size());
    const QByteArray body = word.mid(prefix.size(), word.size() - prefix.size() - 2).toLatin1();
    if (encType == 'B') {
        const auto decoded = QByteArray::fromBase64Encoding(body, QByteArray::AbortOnBase64DecodingErrors);
        FUZZ_CHECK(decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok, "bad base64 [%s]", body.constData());
        return decoded.decoded;
    }
    QByteArray out;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=') {
            bool ok = false;
            out += char(body.mid(i + 1, 2).toInt(&ok, 16));
            FUZZ_CHECK(ok && i + 2 < body.size(), "bad escape in [%s]", body.constData());
            i += 2;
        } else {
            FUZZ_CHECK(c > 0x20 && c < 0x7F && c != '?' && c != '"', "unescaped %02x in [%s]", (unsigned char)c,
                       body.constData());
            out += c;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kestravo::fuzz::EnsureApplication();
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QStringList parts = text.split(QChar(1));
    const QString display = parts.value(0);
    const QString address = parts.value(1);
    const QString subject = parts.size() > 2 ? parts.value(2) : text;

    // Any entry at all.
    QString ignored;
    ParseEmail(text, ignored);

    // An address in angle brackets after a display name, plain and quoted.
    const bool plainAddress = !address.isEmpty() && !address.contains(u'<') && !address.contains(u'>');
    if (plainAddress && !display.contains(u'<') && !display.startsWith(u'"') && !display.startsWith(u'\'') &&
        !TrimControls(display).startsWith(u'"') && !TrimControls(display).startsWith(u'\''))
        CheckParse(display + QStringLiteral(" <") + address + u'>', address, TrimControls(display));
    if (plainAddress && !display.contains(u'"'))
        CheckParse(u'"' + display + QStringLiteral("\" <") + address + u'>', address, display);

    // The header block of a message with these texts.
    TSmtpCli client;
    client.SetFoldHeaders(flags & 1);
    client.SetAllow8bitChars(flags & 2);
    client.SetDefaultEncoding(flags & 4 ? smtpEncBase64 : smtpEnc7bit);
    client.SetConfirmReceipt(flags & 8);
    client.SetHdrFrom(display);
    client.SetHdrTo(address);
    client.SetHdrCc(text);
    client.SetHdrReplyTo(parts.value(3));
    client.SetHdrSubject(subject);
    client.BuildHeaderLines();
    const QStringList& lines = client.HeaderLines().Lines;
    FUZZ_CHECK(!lines.isEmpty() && lines.last().isEmpty(), "the header block does not end with an empty line");
    for (const QString& line : lines)
        CheckFolding(line);

    // The subject as it goes out: plain when it needs no encoding or 8-bit text is allowed,
    // else in encoded words that give back its bytes.
    QString value = TrimControls(subject);
    value.replace(u'\r', u' ').replace(u'\n', u' ');
    QStringEncoder encoder("windows-1251");
    const QByteArray bytes = encoder.encode(value);
    QString subjectLine;
    for (const QString& line : lines)
        if (line.startsWith(u"Subject: "))
            subjectLine = line.mid(9);
    bool needsEncoding = false;
    for (char c : bytes)
        needsEncoding = needsEncoding || !(c == 9 || c == 10 || c == 13 || (c >= 0x20 && c <= 0x7E));
    if ((flags & 2) || !needsEncoding) {
        if (!(flags & 1))
            FUZZ_CHECK(subjectLine == value, "subject [%s] went out as [%s]", Shown(value).c_str(), Shown(subjectLine).c_str());
    } else {
        QByteArray decoded;
        for (const QString& word : subjectLine.split(QStringLiteral("\r\n ")))
            decoded += DecodeWord(word, flags & 4 ? 'B' : 'Q');
        FUZZ_CHECK(decoded == bytes, "encoded subject decodes to [%s], not [%s]", decoded.toHex().constData(),
                   bytes.toHex().constData());
    }
    return 0;
}
