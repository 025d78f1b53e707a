// SPDX-License-Identifier: Apache-2.0
#include "app/button_keys.h"

#include <QEvent>
#include <QKeyEvent>
#include <QPushButton>

namespace kestravo {

namespace {

class ReturnPressesButton : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress)
            return QObject::eventFilter(watched, event);
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        auto* button = qobject_cast<QPushButton*>(watched);
        if (!enter || modifiers != Qt::NoModifier || button == nullptr || !button->isEnabled() ||
            key->isAutoRepeat())
            return QObject::eventFilter(watched, event);
        button->click();
        return true;
    }
};

} // namespace

void PressButtonsOnReturn(QWidget* window)
{
    auto* filter = new ReturnPressesButton(window);
    for (QPushButton* button : window->findChildren<QPushButton*>())
        button->installEventFilter(filter);
}

} // namespace kestravo
