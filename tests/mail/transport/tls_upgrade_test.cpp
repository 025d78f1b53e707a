// SPDX-License-Identifier: Apache-2.0
// The upgrade of a connection to TLS as the socket runs it: what came before is dropped unread,
// the handshake starts at once, and its outcome arrives later from the event loop, with a reason
// in words.
#include "mail/transport/wsocket.h"
#include "kit/loopback_peer.h"
#include "kit/wait.h"

#include <gtest/gtest.h>

#include <optional>

using namespace kestravo::mail;
using namespace kestravo::testkit;

namespace {

struct Upgrading {
    TWSocket s;
    LoopbackPeer peer;
    bool ok = false;
    bool insideStart = false;
    bool doneInsideStart = false;
    std::optional<int> code;
    QString reason;

    Upgrading()
    {
        s.OnDataAvailable = [](TWSocket*, std::uint16_t) {}; // reads nothing
        s.OnTlsDone = [this](TWSocket*, std::uint16_t e, const QString& r) {
            doneInsideStart = doneInsideStart || insideStart;
            code = e;
            reason = r;
        };
        s.SetAddr(QStringLiteral("127.0.0.1"));
        s.SetPort(QString::fromLatin1(peer.PortText()));
        s.Connect();
        ok = peer.Accept() && WaitUntil([this] { return s.State() == wsConnected; });
    }
    void Start(const TlsOptions& options)
    {
        insideStart = true;
        s.StartTls(options);
        insideStart = false;
    }
};

} // namespace

TEST(TlsUpgrade, WhatCameBeforeIsDroppedAndAHangUpIsNamed)
{
    Upgrading u;
    ASSERT_TRUE(u.ok);
    u.peer.SendBytes("250-slipped in\r\n235 accepted\r\n");
    ASSERT_TRUE(WaitUntil([&] { return u.s.BytesWaiting() > 0; }));
    u.Start({QStringLiteral("localhost"), QString()});
    EXPECT_EQ(u.s.BytesWaiting(), 0);
    char buf[64];
    EXPECT_EQ(u.s.Receive(buf, sizeof buf), -1);
    EXPECT_EQ(u.s.LastError(), 10035);
    // The client's hello is on its way: a TLS handshake record holding a ClientHello.
    const QByteArray hello = u.peer.ReadAtLeast(6);
    ASSERT_GE(hello.size(), 6);
    EXPECT_EQ(hello[0], char(0x16));
    EXPECT_EQ(hello[5], char(0x01));
    u.peer.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return u.code.has_value(); }));
    EXPECT_NE(*u.code, 0);
    EXPECT_FALSE(u.doneInsideStart);
    EXPECT_TRUE(u.reason.contains(QStringLiteral("closed the connection during the TLS handshake"))) << u.reason.toStdString();
    EXPECT_FALSE(u.s.TlsEstablished());
}

TEST(TlsUpgrade, PlainTextInPlaceOfTheHandshakeAndAnUnreadableCaFile)
{
    {
        Upgrading u;
        ASSERT_TRUE(u.ok);
        u.Start({QStringLiteral("localhost"), QString()});
        u.peer.ReadAtLeast(6);
        u.peer.SendBytes("220 go ahead\r\n");
        ASSERT_TRUE(WaitUntil([&] { return u.code.has_value(); }));
        EXPECT_NE(*u.code, 0);
        EXPECT_TRUE(u.reason.contains(QStringLiteral("did not answer in TLS"))) << u.reason.toStdString();
    }
    {
        Upgrading u;
        ASSERT_TRUE(u.ok);
        u.Start({QStringLiteral("localhost"), QStringLiteral("/nonexistent/ca.pem")});
        EXPECT_FALSE(u.code.has_value()) << "the outcome must come from the event loop";
        ASSERT_TRUE(WaitUntil([&] { return u.code.has_value(); }));
        EXPECT_NE(*u.code, 0);
        EXPECT_TRUE(u.reason.contains(QStringLiteral("/nonexistent/ca.pem"))) << u.reason.toStdString();
    }
}
