// SPDX-License-Identifier: Apache-2.0
// The base64 of the composer against QByteArray::fromBase64: the message text in base64 lines,
// an attachment in chunks (DoFileEncBase64), and an attachment inside a whole composed body.
// Every line is 76 characters but the last, chunks join into one stream, and the decoded bytes
// are the input's.
#include "fuzz_check.h"

#include "mail/smtp/smtpcli.h"

#include "fuzz_app.h"
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace kestravo::mail;

namespace {

QByteArray Decode(const QByteArray& base64)
{
    const auto result = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    FUZZ_CHECK(result.decodingStatus == QByteArray::Base64DecodingStatus::Ok, "not base64: [%.200s]",
               base64.constData());
    return result.decoded;
}

// Lines of one stream: all of 76 characters but the last, which holds 1 to 76.
void CheckLines(const QList<QByteArray>& lines)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype n = lines[i].size();
        FUZZ_CHECK(i + 1 == lines.size() ? n >= 1 && n <= 76 : n == 76, "line %lld of %lld has %lld characters",
                   (long long)i, (long long)lines.size(), (long long)n);
    }
}

QString AttachmentPath()
{
    static QTemporaryDir* dir = new QTemporaryDir();
    return dir->filePath(QStringLiteral("attachment.bin"));
}

void CheckMessageText(const QByteArray& bytes)
{
    TSmtpMessageText text;
    text.Load(bytes, smtpEncBase64, false, 76);
    QList<QByteArray> lines;
    while (text.HasMore())
        lines.append(text.NextLine());
    CheckLines(lines);
    FUZZ_CHECK(Decode(lines.join()) == bytes, "message text does not decode to itself");
}

void CheckFileChunks(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), "cannot open the attachment");
    QList<QByteArray> lines;
    int chunks = 0;
    for (bool more = true; more;) {
        const QByteArray chunk = DoFileEncBase64(file, more);
        ++chunks;
        FUZZ_CHECK(chunks <= bytes.size() / 1482 + 1, "%d chunks for %lld bytes", chunks, (long long)bytes.size());
        if (chunk.isEmpty())
            continue;
        // Lines within a chunk are joined by CR LF; the chunk itself ends without one.
        QList<QByteArray> chunkLines = chunk.split('\n');
        for (qsizetype i = 0; i + 1 < chunkLines.size(); ++i) {
            FUZZ_CHECK(chunkLines[i].endsWith('\r'), "line without CR LF");
            chunkLines[i].chop(1);
        }
        FUZZ_CHECK(chunkLines.size() <= 26, "a chunk of %lld lines", (long long)chunkLines.size());
        lines += chunkLines;
    }
    FUZZ_CHECK(bytes.isEmpty() == lines.isEmpty(), "%lld lines for %lld bytes", (long long)lines.size(),
               (long long)bytes.size());
    CheckLines(lines);
    FUZZ_CHECK(Decode(lines.join()) == bytes, "attachment chunks do not decode to the file");
}

// The whole body as the session pulls it; the attachment part's lines decode to the file.
void CheckComposedBody(const QString& path, const QByteArray& bytes, const QStringList& text, bool base64Text)
{
    TSmtpCli client;
    client.SetEmailFiles({path});
    client.SetMailMessage(text);
    client.SetDefaultEncoding(base64Text ? smtpEncBase64 : smtpEnc7bit);
    client.PrepareEMail();
    QList<QByteArray> body;
    char line[2048];
    bool more = true;
    for (int n = 1; more; ++n) {
        FUZZ_CHECK(n < 100000, "the body does not end");
        std::memset(line, 0, sizeof line);
        client.TriggerGetData(n, line, 2046, more);
        if (more)
            body.append(QByteArray(line));
    }
    const qsizetype start = body.lastIndexOf("\tfilename=\"attachment.bin\"");
    const qsizetype end = body.lastIndexOf("--" + client.Boundary() + "--");
    FUZZ_CHECK(start >= 0 && end > start + 1 && body[start + 1].isEmpty() && body[end - 1].isEmpty(),
               "the attachment part is not framed by its header and the closing boundary");
    QList<QByteArray> lines;
    for (qsizetype i = start + 2; i < end - 1; ++i)
        lines += body[i].split('\n');
    for (QByteArray& l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    lines.removeAll(QByteArray());
    CheckLines(lines);
    FUZZ_CHECK(Decode(lines.join()) == bytes, "the composed attachment does not decode to the file");
    FUZZ_CHECK(!client.AttachmentOpen(), "the attachment stays open after the body");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kestravo::fuzz::EnsureApplication();
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    CheckMessageText(bytes);

    const QString path = AttachmentPath();
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(),
                   "cannot write the attachment");
    }
    CheckFileChunks(path, bytes);

    // Some of the input as the message's own text, the rest of it beside as the attachment.
    const QStringList text = QString::fromLatin1(bytes.left(64)).split(u'\n');
    CheckComposedBody(path, bytes, size % 2 ? text : QStringList(), size % 3 == 0);
    return 0;
}
