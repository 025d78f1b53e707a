// SPDX-License-Identifier: Apache-2.0
#include "app/second_windows.h"

#include "app/application.h"
#include "app/history_window.h"
#include "app/settings_dialog.h"
#include "app/tform1.h"
#include "app/wheel_guard.h"
#include "history/send_history.h"
#include "kestravo_version.h"
#include "endpoints/endpoints.h"

#include <QScreen>

#include <algorithm>

namespace kestravo {

namespace {

// A second window opens within the screen's available area (at a scale of 2 the sizes of its
// layout can be larger than a small screen), beside or over the main window, never off the edge.
void FitIntoScreen(QWidget* window, const QWidget* beside)
{
    const QScreen* screen = beside->screen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    // Before the first show the window manager's frame is not known yet: a title bar and thin
    // borders are assumed.
    const QSize frame(8, 32);
    const QSize room = (area.size() - frame).expandedTo(QSize(1, 1));
    window->resize(window->size().boundedTo(room));
    QRect placed(beside->geometry().topLeft() + QPoint(40, 40), window->size() + frame);
    placed.moveLeft(std::clamp(placed.left(), area.left(), std::max(area.left(), area.right() + 1 - placed.width())));
    placed.moveTop(std::clamp(placed.top(), area.top(), std::max(area.top(), area.bottom() + 1 - placed.height())));
    window->move(placed.topLeft());
}

} // namespace

SecondWindows::SecondWindows(TForm1* form) : QObject(form), form_(form)
{
    connect(form, &TForm1::HistoryRequested, this, &SecondWindows::OpenHistory);
    connect(form, &TForm1::SettingsRequested, this, &SecondWindows::OpenSettings);
    connect(form, &TForm1::AboutRequested, this, &SecondWindows::ShowAbout);
}

void SecondWindows::OpenHistory()
{
    if (!history_) {
        // A window of its own beside the main one, gone when the main one goes.
        history_ = new HistoryWindow(history::SendHistory::DefaultPath(), form_->Dialogs(), form_);
        history_->setAttribute(Qt::WA_DeleteOnClose);
        connect(form_, &TForm1::SendEnded, history_.data(), &HistoryWindow::Refresh);
        connect(history_.data(), &HistoryWindow::LoadRequested, form_,
                [form = form_](const QString& imei, const TConfigRecord& record) {
                    try {
                        form->LoadRecord(imei, record);
                    } catch (...) {
                        form->ShowFailure(std::current_exception());
                    }
                });
        FitIntoScreen(history_, form_);
    } else {
        history_->Refresh();
    }
    history_->show();
    history_->raise();
    history_->activateWindow();
}

void SecondWindows::OpenSettings()
{
    if (!settings_) {
        settings_ = new SettingsDialog(endpoints::EndpointsConfigPath(), form_->Dialogs(), form_);
        settings_->setAttribute(Qt::WA_DeleteOnClose);
        KeepWheelForFocusedControls(settings_);
        FitIntoScreen(settings_, form_);
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

void SecondWindows::ShowAbout()
{
    form_->Dialogs().ShowMessage(
        WindowTitle(QString::fromLatin1(kVersion)) +
        QStringLiteral("\r\nKestravo Configurator: sets up a Kestravo satellite tracker and sends its "
                       "settings over Iridium SBD.\r\nSend history: %1\r\nSettings: %2")
            .arg(history::SendHistory::DefaultPath(), endpoints::EndpointsConfigPath()));
}

} // namespace kestravo
