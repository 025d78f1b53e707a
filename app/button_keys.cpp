// SPDX-License-Identifier: Apache-2.0
#include "app/button_keys.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>

namespace kestravo {

HeldKeyTracker::State& HeldKeyTracker::Of(int key)
{
    return key == Qt::Key_Enter ? enter_ : return_;
}

bool HeldKeyTracker::Press(int key, bool flaggedRepeat, quint64 time)
{
    State& s = Of(key);
    // Time stamps of zero (synthetic events) say nothing; equal ones of a release and a press are
    // one repeat step.
    const bool stamped = time != 0;
    if (s.down && stamped && time > s.lastSeen + kMissedReleaseMs)
        s.down = false;
    const bool repeat = flaggedRepeat || s.down || (stamped && time == s.lastRelease);
    s.down = true;
    s.lastSeen = time;
    return !repeat;
}

void HeldKeyTracker::Release(int key, bool flaggedRepeat, quint64 time)
{
    State& s = Of(key);
    s.lastRelease = time;
    s.lastSeen = time;
    // A release followed by a press at its own time stamp is a repeat step; the press tells.
    s.down = false;
    (void)flaggedRepeat;
}

namespace {

bool IsEnter(const QKeyEvent* key)
{
    return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
}

// Sees every key event of the program before any widget does: a repeated Return reaches no button,
// no box and no dialog, so a held key neither sends again nor answers the box its own press raised.
class HeldReturnGuard : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
            return QObject::eventFilter(watched, event);
        const auto* key = static_cast<QKeyEvent*>(event);
        if (!IsEnter(key))
            return QObject::eventFilter(watched, event);
        // One event is seen here at each step of its way (the window, the focused widget, its
        // parents): it is judged once. A platform event is known by its time stamp, a synthetic one
        // (no time stamp) by its address while it climbs from the widget it was sent to.
        const Seen seen{event->type(), key->key(), key->timestamp(), event, watched};
        if (SameEvent(seen))
            return lastVerdict_;
        last_ = seen;
        lastVerdict_ = false;
        if (event->type() == QEvent::KeyRelease)
            keys_.Release(key->key(), key->isAutoRepeat(), key->timestamp());
        else
            lastVerdict_ = !keys_.Press(key->key(), key->isAutoRepeat(), key->timestamp());
        return lastVerdict_;
    }

private:
    struct Seen {
        QEvent::Type type = QEvent::None;
        int key = 0;
        quint64 time = 0;
        const QEvent* event = nullptr;
        QPointer<QObject> target;
    };

    bool SameEvent(const Seen& now) const
    {
        if (now.type != last_.type || now.key != last_.key || now.time != last_.time)
            return false;
        if (now.time != 0)
            return true;
        if (now.event != last_.event || last_.target == nullptr)
            return false;
        // A synthetic event climbs from its target to the target's parents only.
        for (QObject* up = last_.target->parent(); up != nullptr; up = up->parent())
            if (up == now.target)
                return true;
        return false;
    }

    HeldKeyTracker keys_;
    Seen last_;
    bool lastVerdict_ = false;
};

// Return on a focused button clicks it; what reaches here is a fresh press.
class ReturnPressesButton : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress)
            return QObject::eventFilter(watched, event);
        const auto* key = static_cast<QKeyEvent*>(event);
        if (!IsEnter(key))
            return QObject::eventFilter(watched, event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        auto* button = qobject_cast<QPushButton*>(watched);
        if (modifiers != Qt::NoModifier || button == nullptr || !button->isEnabled())
            return QObject::eventFilter(watched, event);
        button->click();
        return true;
    }
};

} // namespace

void PressButtonsOnReturn(QWidget* window)
{
    static QPointer<HeldReturnGuard> guard;
    if (guard == nullptr && qApp != nullptr) {
        guard = new HeldReturnGuard(qApp);
        qApp->installEventFilter(guard);
    }
    auto* filter = new ReturnPressesButton(window);
    for (QPushButton* button : window->findChildren<QPushButton*>())
        button->installEventFilter(filter);
}

} // namespace kestravo
