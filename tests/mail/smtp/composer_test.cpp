// SPDX-License-Identifier: Apache-2.0
// The composed message: header block, multipart body, base64 chunks, dates, identifiers.
#include "smtp_test_support.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace kestravo::mail;
using namespace kestravo::mail::test;
using namespace kestravo::testkit;

namespace {

// Every body line the composer produces, as the session would ask for them.
QList<QByteArray> BodyLines(TSmtpCli& c)
{
    c.PrepareEMail();
    QList<QByteArray> lines;
    char buf[2048];
    for (int n = 1; n < 10000; ++n) {
        bool more = true;
        buf[0] = 0;
        c.TriggerGetData(n, buf, 2046, more);
        if (!more)
            return lines;
        lines.append(QByteArray(buf));
    }
    ADD_FAILURE() << "the body never ends";
    return lines;
}

QByteArray HeaderLineAsSent(TSmtpCli& c, const QString& line)
{
    char buf[2048];
    qstrncpy(buf, line.toLatin1().constData(), sizeof buf);
    c.TriggerHeaderLine(buf, sizeof buf);
    return QByteArray(buf);
}

void Match(const QByteArray& line, const char* pattern, int row)
{
    EXPECT_TRUE(QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromLatin1(line)).hasMatch())
        << "line " << row << ": " << line.constData() << " !~ " << pattern;
}

} // namespace

// The whole message the system sends, as the relay receives it, then read back by Python's
// email package.
TEST(SmtpMessage, SystemMessageLineForLine)
{
    QTemporaryDir dir;
    const QByteArray record = SampleRecord();
    const QString path = WriteFile(dir, "temp.sbd", record);
    ScriptedRelay relay("S: 220 relay.example ready\n"
                        "C: MAIL FROM:<operator@example.org>\nS: 250 ok\n"
                        "C: RCPT TO:<data@sbd.iridium.com>\nS: 250 ok\n"
                        "C: DATA\nS: 354 go\nM\nS: 250 queued\n");
    TSmtpCli c;
    EventLog log;
    log.Attach(c);
    c.SetCharSet(QStringLiteral("windows-1251"));
    c.SetHost(QStringLiteral("127.0.0.1"));
    c.SetPort(QString::number(relay.Port()));
    c.RcptName().append(QStringLiteral("data@sbd.iridium.com"));
    c.SetHdrFrom(QStringLiteral("operator@example.org"));
    c.SetHdrTo(QStringLiteral("data@sbd.iridium.com"));
    c.SetHdrSubject(QStringLiteral("300234010123450"));
    c.SetSignOn(QString());
    c.SetFromName(QStringLiteral("operator@example.org"));
    c.SetEmailFiles({path});
    c.OnGetData = [](TCustomSmtpClient*, int, char*, int, bool& more) { more = false; };
    c.Connect();
    ASSERT_TRUE(log.WaitDone());
    c.Mail();
    ASSERT_TRUE(log.WaitDone(2)) << relay.Where().toStdString();
    ASSERT_EQ(log.events.last(), "done Mail 0");
    ASSERT_TRUE(relay.MessageEnded());

    const QList<QByteArray> m = relay.MessageLines();
    ASSERT_EQ(m.size(), 28) << QByteArray(m.join("\n")).constData();
    const auto boundaryMatch = QRegularExpression(R"re(^\tboundary="(= Multipart Boundary \d{10})"$)re")
                                   .match(QString::fromLatin1(m[6]));
    ASSERT_TRUE(boundaryMatch.hasMatch()) << m[6].constData();
    const QByteArray b = boundaryMatch.captured(1).toLatin1();
    const QList<QByteArray> expected = {
        "From: operator@example.org",
        "To: data@sbd.iridium.com",
        "Subject: 300234010123450",
        "Sender: operator@example.org",
        "Mime-Version: 1.0",
        "Content-Type: multipart/mixed;",
        m[6],
        m[7],
        m[8],
        "X-Mailer: VYR SMTP Component V7.41",
        "",
        "This is a multipart MIME message.",
        "",
        "--" + b,
        "Content-Type: text/plain; charset=\"windows-1251\"",
        "Content-Transfer-Encoding: 7bit",
        "",
        "",
        "--" + b,
        "Content-Type: application/octet-stream;",
        "\tname=\"temp.sbd\"",
        "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;",
        "\tfilename=\"temp.sbd\"",
        "",
        record.toBase64(),
        "",
        "--" + b + "--",
    };
    for (int i = 0; i < 28; ++i)
        EXPECT_EQ(m[i], expected[i]) << "line " << i + 1;
    Match(m[7], R"(^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4}$)", 8);
    Match(m[8], R"(^Message-ID: <\d{17}\.[0-9A-F]{16}@[^<>@\s]+>$)", 9);
    EXPECT_EQ(m[25].size(), 60);
    EXPECT_TRUE(m[25].endsWith("=") && !m[25].endsWith("=="));

    const QString file = dir.filePath("message.eml");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(m.join("\r\n") + "\r\n");
    out.close();
    QString error;
    const QByteArray json = RunPython("check_message.py", {file}, &error);
    ASSERT_FALSE(json.isEmpty()) << error.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    EXPECT_TRUE(o["multipart"].toBool());
    EXPECT_EQ(o["type"].toString(), "multipart/mixed");
    EXPECT_EQ(o["subject"].toString(), "300234010123450");
    EXPECT_TRUE(o["defects"].toArray().isEmpty()) << json.constData();
    const QJsonArray parts = o["parts"].toArray();
    ASSERT_EQ(parts.size(), 2) << json.constData();
    EXPECT_EQ(parts[0].toObject()["type"].toString(), "text/plain");
    EXPECT_EQ(parts[0].toObject()["data"].toString(), "");
    EXPECT_EQ(parts[1].toObject()["type"].toString(), "application/octet-stream");
    EXPECT_EQ(parts[1].toObject()["filename"].toString(), "temp.sbd");
    EXPECT_EQ(parts[1].toObject()["data"].toString(), QString::fromLatin1(record.toHex()));
}

TEST(SmtpMessage, Base64ChunksKeepTheStandardLayout)
{
    struct Row {
        int size;
        QList<QList<int>> chunks; // line lengths of each chunk
        const char* lastEnding;
    };
    const QList<int> full(26, 76);
    const QList<Row> rows = {
        {0, {{0}}, ""},
        {44, {{60}}, "="},
        {45, {{60}}, ""},
        {57, {{76}}, ""},
        {1482, {full}, ""},
        {1483, {full, {4}}, "=="},
    };
    QTemporaryDir dir;
    for (const Row& r : rows) {
        QByteArray data;
        for (int i = 0; i < r.size; ++i)
            data.append(char((i * 7 + 3) & 0xFF));
        QFile f(WriteFile(dir, QStringLiteral("f%1").arg(r.size), data));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QList<QList<int>> chunks;
        QByteArray all;
        QByteArray last;
        bool more = true;
        while (more && chunks.size() < 10) {
            last = DoFileEncBase64(f, more);
            QList<int> lengths;
            for (const QByteArray& l : last.split('\n')) {
                const QByteArray line = l.endsWith('\r') ? l.chopped(1) : l;
                lengths.append(int(line.size()));
                all += line;
            }
            chunks.append(lengths);
        }
        EXPECT_EQ(chunks, r.chunks) << "size " << r.size;
        EXPECT_TRUE(last.endsWith(r.lastEnding) && !last.endsWith(QByteArray(r.lastEnding) + "=")) << "size " << r.size;
        EXPECT_EQ(QByteArray::fromBase64(all), data) << "size " << r.size;
    }
}

TEST(SmtpMessage, DateCarriesTheZoneBias)
{
    struct Row {
        QDateTime t;
        const char* text;
    };
    const QList<Row> rows = {
        {QDateTime(QDate(2016, 12, 9), QTime(4, 50, 7), QTimeZone("Europe/Moscow")), "Fri, 9 Dec 2016 04:50:07 +0300"},
        {QDateTime(QDate(2016, 12, 9), QTime(4, 50, 7), QTimeZone::utc()), "Fri, 9 Dec 2016 04:50:07 -0000"},
        {QDateTime(QDate(2024, 1, 15), QTime(23, 5, 0), QTimeZone("America/New_York")), "Mon, 15 Jan 2024 23:05:00 -0500"},
        // Daylight saving time is part of the bias.
        {QDateTime(QDate(2024, 7, 4), QTime(9, 0, 0), QTimeZone("America/New_York")), "Thu, 4 Jul 2024 09:00:00 -0400"},
        {QDateTime(QDate(2024, 7, 4), QTime(9, 0, 0), QTimeZone("Europe/Berlin")), "Thu, 4 Jul 2024 09:00:00 +0200"},
        {QDateTime(QDate(2023, 3, 31), QTime(0, 0, 59), QTimeZone("Asia/Kolkata")), "Fri, 31 Mar 2023 00:00:59 +0530"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Rfc822DateTime(r.t), r.text);
}

TEST(SmtpMessage, MessageIdHasItsFormAndDiffers)
{
    const QRegularExpression form(R"(^\d{17}\.[0-9A-F]{16}@.+$)");
    const QString a = GenerateMessageID();
    const QString b = GenerateMessageID();
    EXPECT_TRUE(form.match(a).hasMatch()) << a.toStdString();
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.endsWith(u'@' + LocalHostName()));
}

TEST(SmtpMessage, ContentTypeByExtension)
{
    const QList<std::pair<const char*, const char*>> rows = {
        {"page.htm", "text/html"},   {"page.HTML", "text/html"},  {"a.gif", "image/gif"},
        {"a.bmp", "image/bmp"},      {"a.jpg", "image/jpeg"},     {"a.JPEG", "image/jpeg"},
        {"NOTES.TXT", "text/plain"}, {"temp.sbd", "application/octet-stream"},
        {"README", "application/octet-stream"}, {"archive.tar.gz", "application/octet-stream"},
    };
    for (const auto& [name, type] : rows)
        EXPECT_EQ(FilenameToContentType(name), type) << name;
}

TEST(SmtpMessage, ParseEmailSplitsNameAndAddress)
{
    struct Row {
        const char* entry;
        const char* address;
        const char* name;
    };
    const QList<Row> rows = {
        {"operator@example.org", "operator@example.org", ""},
        {"  operator@example.org", "operator@example.org", ""},
        {"Ops Desk <ops@example.org>", "ops@example.org", "Ops Desk"},
        {"\"Desk, Ops\" <ops@example.org>", "ops@example.org", "Desk, Ops"},
        {"'Ops' <ops@example.org", "ops@example.org", "Ops"},
        {"<ops@example.org>", "ops@example.org", ""},
        {"Ops ops@example.org", "ops@example.org", "Ops"},
        {"   ", "", ""},
    };
    for (const Row& r : rows) {
        QString name = QStringLiteral("stale");
        EXPECT_EQ(ParseEmail(r.entry, name), r.address) << r.entry;
        EXPECT_EQ(name, r.name) << r.entry;
    }
}

TEST(SmtpMessage, PropertySettersHoldTheirValues)
{
    TSmtpCli c;
    c.SetCharSet(QStringLiteral(" KOI8-R "));
    EXPECT_EQ(c.CharSet(), "koi8-r");
    EXPECT_EQ(c.CodePage(), 20866);
    c.SetCharSet(QStringLiteral(" Windows-1251 "));
    EXPECT_EQ(c.CharSet(), "windows-1251");
    EXPECT_EQ(c.CodePage(), 1251);
    c.SetCharSet(QStringLiteral("utf-8"));
    try {
        c.SetCharSet(QStringLiteral("klingon-8"));
        ADD_FAILURE() << "an unknown charset must be refused";
    } catch (const SmtpException& e) {
        EXPECT_STREQ(e.what(), "Charset \"klingon-8\" is not supported");
    }
    EXPECT_EQ(c.CharSet(), "windows-1251") << "falls back to the system's charset";
    EXPECT_EQ(c.CodePage(), 1251);
    c.SetConvertToCharset(false);
    EXPECT_TRUE(c.ConvertToCharset());
    c.SetWrapMsgMaxLineLen(5);
    EXPECT_EQ(c.WrapMsgMaxLineLen(), 16);
    c.SetWrapMsgMaxLineLen(5000);
    EXPECT_EQ(c.WrapMsgMaxLineLen(), 1022);
    c.SetXMailer(QStringLiteral("Kestravo %ver% (%VER%)"));
    EXPECT_EQ(c.GetXMailerValue(), "Kestravo 7.41 (7.41)");
    c.SetContentType(smtpHtml);
    EXPECT_EQ(c.ContentTypeText(), "text/html");
}

TEST(SmtpMessage, CharsetNamesAndAliasesMapToCodePages)
{
    const struct { const char* name; int codePage; } rows[] = {
        {"windows-1251", 1251}, {" KOI8-R ", 20866}, {"UTF-8", 65001}, {"utf-7", 65000},
        {"iso-8859-15", 28605}, {"ibm866", 866},
        // Aliases the converter knows, under the canonical name of a supported charset.
        {"cp1251", 1251}, {"latin1", 28591}, {"cp866", 866}, {"ascii", 20127},
        // Unknown, or known to the converter but not a charset this client sends.
        {"klingon-8", 0}, {"", 0}, {"  ", 0}, {"shift_jis", 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CharsetToCodePage(QString::fromLatin1(row.name)), row.codePage) << row.name;
}

TEST(SmtpMessage, EmailFilesAreTrimmedAndMustExist)
{
    QTemporaryDir dir;
    const QString a = WriteFile(dir, "a.sbd", "x");
    const QString b = WriteFile(dir, "b.sbd", "y");
    TSmtpCli c;
    c.SetEmailFiles({"  " + a + " ", "", "   ", b});
    EXPECT_EQ(c.EmailFiles(), QStringList({a, b}));
    const QString missing = dir.filePath("missing.sbd");
    try {
        c.SetEmailFiles({a, " " + missing + " ", b});
        ADD_FAILURE() << "a missing file must be refused";
    } catch (const SmtpException& e) {
        EXPECT_EQ(QString::fromLocal8Bit(e.what()), "File not found '" + missing + "'");
    }
    EXPECT_EQ(c.EmailFiles(), QStringList({a})) << "entries before the missing one stay";
}

TEST(SmtpMessage, HeaderBlockDefaults)
{
    TSmtpCli c;
    c.SetHdrFrom(QStringLiteral("  operator@example.org "));
    c.BuildHeaderLines();
    const QStringList h = c.HeaderLines().Lines;
    EXPECT_TRUE(h.contains("Subject: ")) << "an empty subject still gives its line";
    EXPECT_TRUE(h.contains("Sender: operator@example.org")) << "Sender repeats From";
    EXPECT_EQ(c.HdrFrom(), "operator@example.org") << "the trimmed value is stored back";
    EXPECT_EQ(h.last(), "");
    EXPECT_FALSE(h.filter(QRegularExpression("^To: ")).size());
}

// Regression guard: a CR or LF inside any header value must never start a header line of its
// own (a "Bcc:" smuggled into the subject, say).
TEST(SmtpMessage, LineBreaksInHeaderValuesCannotAddHeaders)
{
    TSmtpCli c;
    c.SetHdrSubject(QStringLiteral("300234010123450\r\nBcc: victim@example.org"));
    c.SetHdrFrom(QStringLiteral("operator@example.org\nBcc: a@example.org"));
    c.SetHdrTo(QStringLiteral("\"Gate\rway\" <data@sbd.iridium.com>"));
    c.SetHdrCc(QStringLiteral("cc@example.org\r\n"));
    c.SetXMailer(QStringLiteral("Mailer\r\nX-Evil: 1"));
    c.BuildHeaderLines();
    for (const QString& line : c.HeaderLines().Lines) {
        EXPECT_FALSE(line.contains(u'\r') || line.contains(u'\n')) << line.toStdString();
        EXPECT_FALSE(line.startsWith("Bcc") || line.startsWith("X-Evil")) << line.toStdString();
    }
    EXPECT_TRUE(c.HeaderLines().Lines.contains("Subject: 300234010123450  Bcc: victim@example.org"));
}

TEST(SmtpMessage, SinglePartMessageHasHeadersOnly)
{
    TSmtpCli c;
    c.SetCharSet(QStringLiteral("windows-1251"));
    c.BuildHeaderLines();
    EXPECT_TRUE(BodyLines(c).isEmpty());
    EXPECT_TRUE(c.Boundary().isEmpty());
    EXPECT_EQ(HeaderLineAsSent(c, "Content-Type: text/plain; charset=\"windows-1251\""),
              "Content-Type: text/plain; charset=\"windows-1251\"");
}

TEST(SmtpMessage, PartsOfSeveralFiles)
{
    QTemporaryDir dir;
    const QString empty = WriteFile(dir, "empty.bin", QByteArray());
    const QString notes = WriteFile(dir, "NOTES.TXT", "hello");
    TSmtpCli c;
    c.SetEmailFiles({empty, notes});
    const QList<QByteArray> body = BodyLines(c);
    const QByteArray delim = "--" + c.Boundary();
    const QList<QByteArray> expected = {
        "This is a multipart MIME message.", "", delim, "Content-Type: text/plain; charset=\"windows-1251\"",
        "Content-Transfer-Encoding: 7bit", "", "",
        delim, "Content-Type: application/octet-stream;", "\tname=\"empty.bin\"", "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;", "\tfilename=\"empty.bin\"", "", "", "",
        delim, "Content-Type: text/plain;", "\tname=\"NOTES.TXT\"", "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;", "\tfilename=\"NOTES.TXT\"", "", "aGVsbG8=", "", delim + "--",
    };
    EXPECT_EQ(body, expected);
    EXPECT_FALSE(c.AttachmentOpen());
}

// A text of its own: ASCII goes as it is; 8-bit text without Allow8bitChars becomes
// quoted-printable, and the single-part header says so.
TEST(SmtpMessage, MessageTextAndItsTransferEncoding)
{
    TSmtpCli c;
    c.SetMailMessage({"Hello", ".dot"});
    c.BuildHeaderLines();
    EXPECT_EQ(BodyLines(c), QList<QByteArray>({"Hello", ".dot"}));
    EXPECT_EQ(HeaderLineAsSent(c, "Content-Type: text/plain; charset=\"windows-1251\""),
              "Content-Type: text/plain; charset=\"windows-1251\"");

    c.SetAllow8bitChars(false);
    c.SetMailMessage({QString::fromUtf8("Привет = мир")});
    EXPECT_EQ(BodyLines(c), QList<QByteArray>({"=CF=F0=E8=E2=E5=F2 =3D =EC=E8=F0"}));
    EXPECT_EQ(HeaderLineAsSent(c, "Content-Type: text/plain; charset=\"windows-1251\""),
              "Content-Type: text/plain; charset=\"windows-1251\"\r\nContent-Transfer-Encoding: quoted-printable");
    c.SetHdrSubject(QString::fromUtf8("Тест"));
    c.BuildHeaderLines();
    EXPECT_TRUE(c.HeaderLines().Lines.contains("Subject: =?windows-1251?Q?=D2=E5=F1=F2?="));
}

// An attachment handed over as bytes goes out exactly as the same bytes read from a file would,
// with no file behind it; the Message-ID is the one the header carries.
TEST(SmtpMessage, AnAttachmentFromMemoryIsSentAsTheSameFileWould)
{
    QTemporaryDir dir;
    for (const int size : {0, 44, 1483}) {
        SCOPED_TRACE("size " + std::to_string(size));
        QByteArray data;
        for (int i = 0; i < size; ++i)
            data.append(char((i * 11 + 5) & 0xFF));
        TSmtpCli fromFile;
        fromFile.SetEmailFiles({WriteFile(dir, QStringLiteral("temp.sbd"), data)});
        TSmtpCli fromMemory;
        fromMemory.SetEmailAttachments({{QStringLiteral("temp.sbd"), data}});
        QList<QByteArray> expected = BodyLines(fromFile);
        QList<QByteArray> body = BodyLines(fromMemory);
        // The boundary names the minute it was made in; the rest must be equal byte for byte.
        for (QByteArray& line : expected)
            line.replace(fromFile.Boundary(), "BOUNDARY");
        for (QByteArray& line : body)
            line.replace(fromMemory.Boundary(), "BOUNDARY");
        EXPECT_EQ(body, expected);
        EXPECT_FALSE(fromMemory.AttachmentOpen());
    }

    TSmtpCli c;
    c.BuildHeaderLines();
    const QStringList lines = c.HeaderLines().Lines;
    ASSERT_FALSE(c.MessageId().isEmpty());
    EXPECT_EQ(lines.filter(QStringLiteral("Message-ID: ")), QStringList{QStringLiteral("Message-ID: <") + c.MessageId() + u'>'});
}
