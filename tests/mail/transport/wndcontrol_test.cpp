// SPDX-License-Identifier: Apache-2.0
// Posted messages and background-exception handling of the component base.
#include "kit/loopback_peer.h"
#include "kit/wait.h"
#include "mail/transport/wndcontrol.h"

#include <QPointer>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kestravo::mail {
namespace {

using testkit::SpinFor;
using testkit::WaitUntil;

class Probe : public TVyrWndControl {
public:
    explicit Probe(std::vector<std::string>* journal, const std::string& name) : journal_(journal), name_(name)
    {
        msgA = AllocateMsg();
        msgB = AllocateMsg();
    }
    ~Probe() override { journal_->push_back(name_ + " freed"); }

    void Post(int msg, quintptr w = 0, qintptr l = 0) { PostMsg(msg, w, l); }
    void AbortComponent() override { journal_->push_back(name_ + " AbortComponent"); }

    std::function<void(int, quintptr, qintptr)> onMessage;
    int msgA = 0, msgB = 0;

protected:
    void WndProc(int msg, quintptr w, qintptr l) override
    {
        if (msg == msgA || msg == msgB) {
            journal_->push_back(name_ + " got " + std::to_string(msg) + "/" + std::to_string(w) + "/" + std::to_string(l));
            if (onMessage)
                onMessage(msg, w, l);
            return;
        }
        TVyrWndControl::WndProc(msg, w, l);
    }

private:
    std::vector<std::string>* journal_;
    std::string name_;
};

TEST(VyrWndControl, MessagesArriveLaterInOrderAndOnlyAtTheirComponent)
{
    std::vector<std::string> journal;
    Probe one(&journal, "one"), two(&journal, "two");
    ASSERT_EQ(one.msgA, two.msgA) << "numbers are per component";
    one.Post(one.msgA, 1, -1);
    two.Post(two.msgB, 2, 7);
    one.Post(one.msgB, 3, 0);
    EXPECT_TRUE(journal.empty()) << "nothing is handled inside the post";
    ASSERT_TRUE(WaitUntil([&] { return journal.size() == 3; }));
    const std::string a = std::to_string(one.msgA), b = std::to_string(one.msgB);
    EXPECT_EQ(journal, (std::vector<std::string>{"one got " + a + "/1/-1", "two got " + b + "/2/7", "one got " + b + "/3/0"}));
}

TEST(VyrWndControl, FreeingDiscardsQueuedMessages)
{
    std::vector<std::string> journal;
    auto* p = new Probe(&journal, "p");
    p->Post(p->msgA);
    p->Post(p->msgB);
    delete p;
    SpinFor(50);
    EXPECT_EQ(journal, std::vector<std::string>{"p freed"});
}

TEST(VyrWndControl, UnreservedNumberIsRefused)
{
    std::vector<std::string> journal;
    Probe p(&journal, "p");
    EXPECT_THROW(p.Post(p.msgB + 1), EVyrException);
}

TEST(VyrWndControl, ReleaseFromItsOwnHandlerFreesLater)
{
    std::vector<std::string> journal;
    QPointer<Probe> p = new Probe(&journal, "p");
    p->onMessage = [&](int, quintptr, qintptr) {
        p->Release();
        journal.push_back("handler returned");
    };
    p->Post(p->msgA);
    ASSERT_TRUE(WaitUntil([&] { return p.isNull(); }));
    EXPECT_EQ(journal.back(), "p freed");
}

struct ThrowsInt {};

TEST(VyrWndControl, BackgroundExceptionsDecideWhetherTheComponentIsAborted)
{
    enum class Handler { None, Keeps, LeavesClose, Throws };
    const struct Row {
        const char* name;
        std::function<void()> raise;
        Handler handler;
        bool ownerAbortThrows;
        std::vector<std::string> expected;
    } rows[] = {
        {"EAbort is ignored", [] { throw EAbort("quiet"); }, Handler::LeavesClose, false, {}},
        {"no handler aborts owner then component", [] { throw ESocketException("boom"); }, Handler::None, false,
         {"owner abort", "p AbortComponent"}},
        {"handler keeps the component", [] { throw SmtpException("boom"); }, Handler::Keeps, false,
         {"OnBgException boom"}},
        {"handler leaves CanClose", [] { throw std::runtime_error("boom"); }, Handler::LeavesClose, false,
         {"OnBgException boom", "owner abort", "p AbortComponent"}},
        {"handler's own exception is swallowed", [] { throw EVyrError("boom"); }, Handler::Throws, false,
         {"OnBgException boom", "owner abort", "p AbortComponent"}},
        {"owner abort failing still aborts the component", [] { throw EVyrError("boom"); }, Handler::None, true,
         {"owner abort", "p AbortComponent"}},
        {"a non-standard exception is handled too", [] { throw ThrowsInt{}; }, Handler::None, false,
         {"owner abort", "p AbortComponent"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> journal;
        Probe p(&journal, "p");
        p.onMessage = [&](int, quintptr, qintptr) { row.raise(); };
        p.SetBgExceptionOwnerAbort([&] {
            journal.push_back("owner abort");
            if (row.ownerAbortThrows)
                throw EVyrError("owner failed");
        });
        if (row.handler != Handler::None) {
            p.OnBgException = [&](TVyrWndControl* sender, const std::exception& e, bool& canClose) {
                EXPECT_EQ(sender, &p);
                EXPECT_TRUE(canClose);
                journal.push_back(std::string("OnBgException ") + e.what());
                if (row.handler == Handler::Keeps)
                    canClose = false;
                if (row.handler == Handler::Throws)
                    throw EVyrError("handler failed");
            };
        }
        p.Post(p.msgA);
        ASSERT_TRUE(WaitUntil([&] { return !journal.empty(); }));
        SpinFor(20);
        journal.erase(journal.begin()); // the "got" line
        EXPECT_EQ(journal, row.expected);
    }
}

} // namespace
} // namespace kestravo::mail
