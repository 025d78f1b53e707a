// SPDX-License-Identifier: Apache-2.0
#include "wndcontrol.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <algorithm>

namespace kestravo::mail {

namespace {

// All components share one registered event type; the message number inside the event tells the
// component's handlers apart. Events are posted to the component itself, so a message never
// reaches another component, and QObject drops a component's queued events when it is freed.
QEvent::Type VyrMessageType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

class VyrMessage : public QEvent {
public:
    VyrMessage(int msg, quintptr wParam, qintptr lParam)
        : QEvent(VyrMessageType()), msg_(msg), wParam_(wParam), lParam_(lParam) {}
    int msg_;
    quintptr wParam_;
    qintptr lParam_;
};

// Message numbers start above the range the system keeps for itself.
constexpr int kFirstMessageNumber = 1025;
constexpr int kMaxMessageNumbers = 100;

} // namespace

TVyrWndControl::TVyrWndControl(QObject* parent) : QObject(parent)
{
    releaseMsg_ = AllocateMsg();
}

TVyrWndControl::~TVyrWndControl() = default;

void TVyrWndControl::SetBgExceptionOwnerAbort(std::function<void()> ownerAbort)
{
    ownerAbort_ = std::move(ownerAbort);
}

void TVyrWndControl::AbortComponent() {}

void TVyrWndControl::Release()
{
    PostMsg(releaseMsg_, 0, 0);
}

int TVyrWndControl::AllocateMsg()
{
    if (static_cast<int>(msgNumbers_.size()) >= kMaxMessageNumbers)
        throw EVyrException("No more free message");
    const int msg = kFirstMessageNumber + static_cast<int>(msgNumbers_.size());
    msgNumbers_.push_back(msg);
    return msg;
}

void TVyrWndControl::PostMsg(int msg, quintptr wParam, qintptr lParam)
{
    if (std::find(msgNumbers_.begin(), msgNumbers_.end(), msg) == msgNumbers_.end())
        throw EVyrException("Message " + std::to_string(msg) + " is not reserved by this component");
    QCoreApplication::postEvent(this, new VyrMessage(msg, wParam, lParam));
}

void TVyrWndControl::WndProc(int msg, quintptr, qintptr)
{
    if (msg == releaseMsg_)
        deleteLater();
}

void TVyrWndControl::HandleBackGroundException(const std::exception& E)
{
    if (dynamic_cast<const EAbort*>(&E))
        return;
    QPointer<TVyrWndControl> self(this);
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, canClose);
        } catch (...) {
        }
        if (!self)
            return;
    }
    if (!canClose)
        return;
    // Copy: the owner's abort may free this component.
    auto ownerAbort = ownerAbort_;
    if (ownerAbort) {
        try {
            ownerAbort();
        } catch (...) {
        }
        if (!self)
            return;
    }
    try {
        AbortComponent();
    } catch (...) {
    }
    // Nothing is shown: the final handling of this program is to stay silent.
}

bool TVyrWndControl::event(QEvent* e)
{
    if (e->type() != VyrMessageType())
        return QObject::event(e);
    const auto* m = static_cast<VyrMessage*>(e);
    QPointer<TVyrWndControl> self(this);
    // Nothing may escape into Qt's event dispatch.
    try {
        WndProc(m->msg_, m->wParam_, m->lParam_);
    } catch (const std::exception& ex) {
        if (self)
            HandleBackGroundException(ex);
    } catch (...) {
        if (self)
            HandleBackGroundException(EVyrError("Unknown exception"));
    }
    return true;
}

} // namespace kestravo::mail
