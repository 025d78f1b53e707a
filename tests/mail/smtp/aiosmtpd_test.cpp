// SPDX-License-Identifier: Apache-2.0
// The client against a real SMTP server (aiosmtpd) started by the test on loopback.
#include "smtp_test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

using namespace kestravo::mail;
using namespace kestravo::mail::test;
using namespace kestravo::testkit;

namespace {

class RealServer : public ::testing::Test {
protected:
    // Extra arguments of the server (--pipelining).
    virtual QStringList ServerOptions() const { return {}; }

    void SetUp() override
    {
        ASSERT_TRUE(store_.isValid());
        server_.setProgram(QStringLiteral("/usr/bin/python3"));
        server_.setArguments(QStringList{QStringLiteral(KESTRAVO_SMTP_TEST_DIR "/smtp_sink.py"), store_.path()} +
                             ServerOptions());
        server_.start();
        ASSERT_TRUE(server_.waitForStarted(10000));
        ASSERT_TRUE(WaitUntil([&] { return server_.canReadLine() || server_.state() == QProcess::NotRunning; }, 30000));
        const QByteArray line = server_.readLine().trimmed();
        ASSERT_TRUE(line.startsWith("listening on ")) << line.constData() << server_.readAllStandardError().constData();
        port_ = line.mid(13).toInt();
        ASSERT_GT(port_, 0);
    }

    void TearDown() override
    {
        server_.closeWriteChannel(); // the server stops when its input closes
        if (!server_.waitForFinished(10000)) {
            server_.kill();
            server_.waitForFinished(5000);
        }
    }

    void Prepare(TSmtpCli& c, EventLog& log, const QString& attachment)
    {
        log.Attach(c);
        c.SetCharSet(QStringLiteral("windows-1251"));
        c.SetHost(QStringLiteral("127.0.0.1"));
        c.SetPort(QString::number(port_));
        c.RcptName().append(QStringLiteral("data@sbd.iridium.com"));
        c.SetFromName(QStringLiteral("kestravo@localhost"));
        c.SetHdrFrom(QStringLiteral("kestravo@localhost"));
        c.SetHdrTo(QStringLiteral("data@sbd.iridium.com"));
        c.SetHdrSubject(QStringLiteral("300234010123450"));
        c.SetSignOn(QStringLiteral("kestravo test"));
        c.SetEmailFiles({attachment});
        c.OnGetData = [](TCustomSmtpClient*, int, char*, int, bool& more) { more = false; };
    }

    // Prepares the client to send the sample record as temp.sbd and connects it to the server.
    void ConnectWithRecord(TSmtpCli& c, EventLog& log)
    {
        const QString path = WriteFile(files_, "temp.sbd", SampleRecord());
        Prepare(c, log, path);
        c.Connect();
        ASSERT_TRUE(log.WaitDone(1));
    }

    QTemporaryDir files_; // what the client attaches
    QTemporaryDir store_;
    QProcess server_;
    int port_ = 0;
};

} // namespace

TEST_F(RealServer, ConnectHeloMailQuitDeliversTheRecord)
{
    TSmtpCli c;
    EventLog log;
    ASSERT_NO_FATAL_FAILURE(ConnectWithRecord(c, log));
    c.Helo();
    ASSERT_TRUE(log.WaitDone(2));
    c.Mail();
    ASSERT_TRUE(log.WaitDone(3));
    c.Quit();
    ASSERT_TRUE(log.WaitDone(4));
    EXPECT_EQ(log.events, QStringList({"connected 0", "done CONNECT 0", "done HELO 0", "done Mail 0", "closed 0",
                                       "done QUIT 0"}))
        << c.ErrorMessage().toStdString();
    EXPECT_TRUE(log.displays.contains("> HELO kestravo_test"));

    const QString stored = store_.filePath("1.eml");
    ASSERT_TRUE(QFile::exists(stored));
    QString error;
    const QByteArray json = RunPython("check_message.py", {stored}, &error);
    ASSERT_FALSE(json.isEmpty()) << error.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    EXPECT_EQ(o["subject"].toString(), "300234010123450");
    const QJsonArray parts = o["parts"].toArray();
    ASSERT_EQ(parts.size(), 2) << json.constData();
    EXPECT_EQ(parts[1].toObject()["filename"].toString(), "temp.sbd");
    EXPECT_EQ(parts[1].toObject()["data"].toString(), QString::fromLatin1(SampleRecord().toHex()));
    QFile envelope(store_.filePath("1.envelope"));
    ASSERT_TRUE(envelope.open(QIODevice::ReadOnly));
    EXPECT_EQ(envelope.readAll(), "kestravo@localhost\ndata@sbd.iridium.com\n");
}

// Without a greeting command the server refuses the transaction: this is what the send command
// has to mend by greeting with HELO.
TEST_F(RealServer, MailWithoutHeloIsRefusedWith503)
{
    TSmtpCli c;
    EventLog log;
    ASSERT_NO_FATAL_FAILURE(ConnectWithRecord(c, log));
    c.Mail();
    ASSERT_TRUE(log.WaitDone(2));
    EXPECT_EQ(log.events.last(), "done Mail 503");
    EXPECT_TRUE(c.ErrorMessage().startsWith("503")) << c.ErrorMessage().toStdString();
    EXPECT_FALSE(c.AttachmentOpen());
    c.Quit();
    ASSERT_TRUE(log.WaitDone(3));
    EXPECT_EQ(log.events.last(), "done QUIT 0");
}

class PipeliningServer : public RealServer {
protected:
    QStringList ServerOptions() const override { return {QStringLiteral("--pipelining")}; }
};

// A session of several messages as a fleet sends them: EHLO, then each message with its three
// commands in one write and its lines in another; every message arrives whole.
TEST_F(PipeliningServer, PipelinedMessagesInOneWriteEachArriveWhole)
{
    TSmtpCli c;
    EventLog log;
    ASSERT_NO_FATAL_FAILURE(ConnectWithRecord(c, log));
    c.Ehlo();
    ASSERT_TRUE(log.WaitDone(2));
    ASSERT_EQ(log.events.last(), "done EHLO 0");
    EXPECT_TRUE(c.RelayOffersPipelining()) << c.EhloLines().join(u'|').toStdString();
    c.SetPipelining(true);
    c.SetMessageInOneWrite(true);
    QStringList commands;
    c.OnCommand = [&](TCustomSmtpClient*, const QString& line) { commands << line; };
    int writes = 0;
    c.OnMessageDataSent = [&](TCustomSmtpClient*, int) { ++writes; };
    const QStringList imeis = {"300234010123450", "300234010123451", "300234010123452"};
    for (int k = 0; k < imeis.size(); ++k) {
        c.SetHdrSubject(imeis[k]);
        c.Mail();
        ASSERT_TRUE(log.WaitDone(3 + k));
        ASSERT_EQ(log.events.last(), "done Mail 0") << c.ErrorMessage().toStdString();
    }
    EXPECT_EQ(writes, imeis.size());
    c.Quit();
    ASSERT_TRUE(log.WaitDone(3 + int(imeis.size())));
    EXPECT_EQ(log.events.last(), "done QUIT 0");
    EXPECT_EQ(commands.count(QStringLiteral("DATA")), imeis.size());

    for (int k = 0; k < imeis.size(); ++k) {
        const QString stored = store_.filePath(QStringLiteral("%1.eml").arg(k + 1));
        ASSERT_TRUE(QFile::exists(stored)) << stored.toStdString();
        QString error;
        const QByteArray json = RunPython("check_message.py", {stored}, &error);
        ASSERT_FALSE(json.isEmpty()) << error.toStdString();
        const QJsonObject o = QJsonDocument::fromJson(json).object();
        EXPECT_EQ(o["subject"].toString(), imeis[k]);
        EXPECT_TRUE(o["defects"].toArray().isEmpty()) << json.constData();
        const QJsonArray parts = o["parts"].toArray();
        ASSERT_EQ(parts.size(), 2) << json.constData();
        EXPECT_EQ(parts[1].toObject()["data"].toString(), QString::fromLatin1(SampleRecord().toHex()));
    }
}
