// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one seam between the main window and the windows it leads to: the send history, the
// settings dialog and the About box. Each is built the first time it is asked for, so that the
// main window starts without them.
#include "app/history_window.h"
#include "app/settings_dialog.h"

#include <QObject>
#include <QPointer>

namespace kestravo {

class TForm1;

class SecondWindows : public QObject {
    Q_OBJECT

public:
    // Answers form's requests (menu, shortcuts, command line) for as long as form lives.
    explicit SecondWindows(TForm1* form);

    HistoryWindow* History() const { return history_; }
    SettingsDialog* Settings() const { return settings_; }

public slots:
    void OpenHistory();
    void OpenSettings();
    void ShowAbout();

private:
    TForm1* form_;
    QPointer<HistoryWindow> history_;
    QPointer<SettingsDialog> settings_;
};

} // namespace kestravo
