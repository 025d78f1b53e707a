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

namespace kestravo {

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
