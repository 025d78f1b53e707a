// SPDX-License-Identifier: Apache-2.0
#include "app/panel_docking.h"

#include <QEvent>
#include <QWidget>

namespace kestravo {

namespace {

class PanelDocking : public QObject {
public:
    PanelDocking(QWidget* form, QWidget* leftPanel, QWidget* bottomPicture, QWidget* clientPanel,
                 QWidget* clientPicture)
        : QObject(form), form_(form), left_(leftPanel), bottom_(bottomPicture),
          client_(clientPanel), clientPicture_(clientPicture)
    {
        setObjectName(QStringLiteral("panelDocking"));
        form->installEventFilter(this);
        Arrange();
    }

    // The panels now sit in area, whose size they follow from here on.
    void MoveTo(QWidget* area)
    {
        form_->removeEventFilter(this);
        form_ = area;
        left_->setParent(area);
        client_->setParent(area);
        left_->show();
        client_->show();
        area->installEventFilter(this);
        Arrange();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == form_ && event->type() == QEvent::Resize)
            Arrange();
        return false;
    }

private:
    void Arrange()
    {
        const QSize area = form_->size();
        left_->setGeometry(0, 0, left_->width(), area.height());
        bottom_->setGeometry(0, area.height() - bottom_->height(), left_->width(),
                             bottom_->height());
        client_->setGeometry(left_->width(), 0, area.width() - left_->width(), area.height());
        clientPicture_->setGeometry(1, 1, client_->width() - 2, client_->height() - 2);
    }

    QWidget* form_;
    QWidget* left_;
    QWidget* bottom_;
    QWidget* client_;
    QWidget* clientPicture_;
};

} // namespace

void MoveDockedPanels(QWidget* form, QWidget* area)
{
    if (auto* docking = form->findChild<PanelDocking*>(QStringLiteral("panelDocking"), Qt::FindDirectChildrenOnly))
        docking->MoveTo(area);
}

void DockPanels(QWidget* form, QWidget* leftPanel, QWidget* bottomPicture, QWidget* clientPanel,
                QWidget* clientPicture)
{
    new PanelDocking(form, leftPanel, bottomPicture, clientPanel, clientPicture);
}

} // namespace kestravo
