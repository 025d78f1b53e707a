// SPDX-License-Identifier: Apache-2.0
#include "app/wheel_guard.h"

#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QPointer>
#include <QWidget>

namespace kestravo {

namespace {

bool TakesWheelSteps(const QObject* object)
{
    return qobject_cast<const QComboBox*>(object) != nullptr ||
           qobject_cast<const QAbstractSpinBox*>(object) != nullptr ||
           (qobject_cast<const QAbstractSlider*>(object) != nullptr &&
            qobject_cast<const QWidget*>(object)->focusPolicy() != Qt::NoFocus);
}

class WheelForFocused : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Wheel || !TakesWheelSteps(watched))
            return QObject::eventFilter(watched, event);
        auto* control = static_cast<QWidget*>(watched);
        // A spin box's line edit holds the focus on its behalf.
        if (control->hasFocus() || control->isAncestorOf(QApplication::focusWidget()))
            return QObject::eventFilter(watched, event);
        // Ignored and filtered, the wheel goes on to the parents, as an unused one would.
        event->ignore();
        return true;
    }
};

} // namespace

void KeepWheelForFocusedControls(QWidget* window)
{
    static QPointer<WheelForFocused> filter;
    if (filter == nullptr && qApp != nullptr) {
        filter = new WheelForFocused(qApp);
        qApp->installEventFilter(filter);
    }
    for (QWidget* child : window->findChildren<QWidget*>())
        if (TakesWheelSteps(child) && (child->focusPolicy() & Qt::WheelFocus) == Qt::WheelFocus)
            child->setFocusPolicy(Qt::StrongFocus);
}

} // namespace kestravo
