// SPDX-License-Identifier: Apache-2.0
#include "app/button_keys.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPushButton>

namespace kestravo {

namespace {

// A held key repeats: Qt marks the repeated presses, but under X it tells them apart from new
// presses only by finding, for a release, a press of the same time already queued behind it. When
// that press arrives a moment late, the repeat comes as a release and a fresh press; the equal
// time stamps still give it away. A press of Return while it is held, or one at the very time of
// the last release, is a repeat and clicks nothing: a held key must not send again and again.
class ReturnPressesButton : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // A box that took the focus took the key's release with it: back on a button, the key
        // counts as let go. A repeat still under way shows itself by its time stamps.
        if (event->type() == QEvent::FocusIn)
            held_ = false;
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
            return QObject::eventFilter(watched, event);
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (!enter)
            return QObject::eventFilter(watched, event);
        if (event->type() == QEvent::KeyRelease) {
            lastSeen_ = key->timestamp();
            if (!key->isAutoRepeat()) {
                held_ = false;
                lastRelease_ = key->timestamp();
            }
            return QObject::eventFilter(watched, event);
        }
        // A release that went elsewhere (to a box that was up meanwhile) is taken as given once
        // the key has been quiet for longer than any repeat interval.
        if (held_ && key->timestamp() > lastSeen_ + kMissedReleaseMs)
            held_ = false;
        const bool repeat = key->isAutoRepeat() || held_ ||
                            (key->timestamp() != 0 && key->timestamp() == lastRelease_);
        held_ = true;
        lastSeen_ = key->timestamp();
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        auto* button = qobject_cast<QPushButton*>(watched);
        if (modifiers != Qt::NoModifier || button == nullptr || !button->isEnabled())
            return QObject::eventFilter(watched, event);
        if (!repeat)
            button->click();
        return true;
    }

private:
    static constexpr quint64 kMissedReleaseMs = 1500;
    bool held_ = false;        // a Return press seen and no release since
    quint64 lastRelease_ = 0;  // the time stamp of the last real release
    quint64 lastSeen_ = 0;     // the time stamp of the last Return event
};

} // namespace

void PressButtonsOnReturn(QWidget* window)
{
    auto* filter = new ReturnPressesButton(window);
    for (QPushButton* button : window->findChildren<QPushButton*>())
        button->installEventFilter(filter);
}

} // namespace kestravo
