// TWSocket against real loopback peers: the order of its events, sending and receiving, closing,
// and the errors it reports.
#include "loopback_peer.h"
#include "mail/transport/wsocket.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kestravo::mail {
namespace {

using test::LoopbackPeer;
using test::SpinFor;
using test::WaitUntil;

// Records every event of a socket as one line, so a test can compare the whole sequence.
struct EventLog {
    std::vector<std::string> lines;
    QByteArray received;
    bool insideCall = false; // set while the test is inside an operation of the socket
    bool eventInsideCall = false;

    void Attach(TWSocket& s)
    {
        s.OnChangeState = [this](TWSocket*, TSocketState o, TSocketState n) {
            Add("state " + std::to_string(o) + "->" + std::to_string(n));
        };
        s.OnSessionConnected = [this](TWSocket* w, std::uint16_t e) {
            Add("connected " + std::to_string(e) + " in " + std::to_string(w->State()));
        };
        s.OnDataAvailable = [this](TWSocket* w, std::uint16_t) {
            char buf[100];
            const int n = w->Receive(buf, sizeof buf);
            if (n > 0)
                received.append(buf, n);
        };
        s.OnDataSent = [this](TWSocket*, std::uint16_t e) {
            if (insideCall)
                eventInsideCall = true;
            Add("sent " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TWSocket*, std::uint16_t e) { Add("closed " + std::to_string(e) + " after " + received.toStdString()); };
    }
    void Add(const std::string& l) { lines.push_back(l); }
    bool Has(const std::string& l) const { return std::find(lines.begin(), lines.end(), l) != lines.end(); }
    int Count(const std::string& prefix) const
    {
        int n = 0;
        for (const auto& l : lines)
            if (l.rfind(prefix, 0) == 0)
                ++n;
        return n;
    }
};

void Target(TWSocket& s, int port)
{
    s.SetAddr(QStringLiteral("127.0.0.1"));
    s.SetPort(QString::number(port));
    s.SetProto(QStringLiteral("tcp"));
}

TEST(WSocketSession, ConnectsExchangesDataAndReportsPeerCloseOnceAfterTheLastData)
{
    LoopbackPeer peer;
    TWSocket s;
    EventLog log;
    log.Attach(s);
    Target(s, peer.Port());
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(WaitUntil([&] { return log.Has("connected 0 in 5"); }));

    peer.SendBytes("220 hello\r\n");
    ASSERT_TRUE(WaitUntil([&] { return log.received == "220 hello\r\n"; }));

    log.insideCall = true;
    EXPECT_EQ(s.SendStr(QByteArray("MAIL FROM:<a@b>\r\n")), 17);
    log.insideCall = false;
    EXPECT_EQ(log.Count("sent"), 0) << "OnDataSent must come later, from the event loop";
    ASSERT_TRUE(WaitUntil([&] { return log.Count("sent") == 1; }));
    EXPECT_FALSE(log.eventInsideCall);
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(peer.ReadAtLeast(17), QByteArray("MAIL FROM:<a@b>\r\n"));
    EXPECT_EQ(s.WriteCount(), 17u);

    // Data sent just before the close reaches the handler before the close is reported.
    peer.SendBytes("221 bye\r\n");
    peer.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    SpinFor(100);
    const std::vector<std::string> expected = {
        "state 8->1", "state 1->3", "state 3->5", "connected 0 in 5", "sent 0",
        "closed 0 after 220 hello\r\n221 bye\r\n", "state 5->8",
    };
    EXPECT_EQ(log.lines, expected);
    EXPECT_EQ(s.ReadCount(), 20u);
    EXPECT_EQ(s.LastError(), 0);
}

TEST(WSocketSession, RefusedConnectionIsReportedAsConnectedWithErrorThenClosed)
{
    TWSocket s;
    EventLog log;
    log.Attach(s);
    Target(s, test::UnusedPort());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    SpinFor(50);
    const std::vector<std::string> expected = {
        "state 8->1", "state 1->3", "state 3->5", "connected 10061 in 5", "state 5->8", "closed 0 after ",
    };
    EXPECT_EQ(log.lines, expected);
}

} // namespace
} // namespace kestravo::mail
