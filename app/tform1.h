// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one window of the program: its controls hold every setting. The layout and the bindings of
// the handlers live in resources/Form1.ui; this class holds the handlers, named after the control
// and event or after the rule they keep.
#include "app/operator_dialogs.h"
#include "send/send_job.h"
#include "record/config_record.h"
#include "record/settings_store.h"

#include <QHash>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenu;

namespace Ui {
class TForm1;
}

namespace kestravo {

namespace history {
class SendHistory;
}

class SecondWindows;

class TForm1 : public QWidget, public SettingsStore {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Every box and dialog goes through here; tests install a scripted one.
    void SetDialogs(std::unique_ptr<OperatorDialogs> dialogs);
    OperatorDialogs& Dialogs() { return *dialogs_; }

    // SettingsStore over the controls: Edit2..Edit26, ComboBox1..ComboBox12, CheckBox1..CheckBox14.
    std::string Text(std::string_view control) const override;
    void SetText(std::string_view control, const std::string& text) override;
    int ItemIndex(std::string_view control) const override;
    void SetItemIndex(std::string_view control, int index) override;
    bool Checked(std::string_view control) const override;
    void SetChecked(std::string_view control, bool checked) override;

    // The rules with their sender, as the bound slots run them. They throw on a text that is not
    // a number; the slots catch that and show the error box.
    void Edit_val_0_255(QObject* Sender);
    void Edit_val_0_60(QObject* Sender);
    void Edit_val_0_15(QObject* Sender);
    void Edit_val_0_3(QObject* Sender);
    void Edit_val_0_65535(QObject* Sender);
    void Edit_val_5_250(QObject* Sender);
    void Edit15Change(QObject* Sender);
    void Edit23Change(QObject* Sender);

    // True (after showing the warning) when the geofence and auto-tracking are both on.
    bool Warning();

    // The key filter of the IMEI edit: leaves Key as it is, or sets it to the null character to
    // drop it.
    void KeyPressDigit(QObject* Sender, QChar& Key);

    // Runs when the window is asked to close; false keeps it open. A send still under way is
    // dropped at once; an idle session gets QUIT.
    bool FormClose();

    // True from the end of the connection attempt until the mail's result has been shown; read
    // from the send under way, which alone owns it.
    struct SessionReadyReflection {
        const TForm1* form;
        operator bool() const;
    };
    const SessionReadyReflection SessionReady{this};
    // A connection is being made, a mail is under way or its result is shown (the window shows
    // the busy cursor).
    bool SendUnderWay() const;
    // The plain note a click gets while a send is under way.
    static QString SendUnderWayNote();

    // Where the send command writes the record: in programFolder when that folder is writable,
    // otherwise in a private folder of the user's own. The file is always named "temp.sbd".
    static QString TempRecordPath(const QString& programFolder);
    // The folder tried first for temp.sbd; empty (the default) means the program's folder.
    void SetRecordFolder(const QString& folder) { recordFolder_ = folder; }

    // The history window, the settings dialog and the About box (made when first asked for).
    SecondWindows& Windows() { return *windows_; }

    // When a window of this size (with its frame) does not fit available, the panels move into a
    // scroll area and the window shrinks to fit; otherwise nothing changes. Runs at the first show
    // with the screen's available area.
    void FitIntoArea(const QRect& available);

    // Shows a failure in the application's error box; the window goes on.
    void ShowFailure(std::exception_ptr failure);

    // Throws, naming the control, its value and the range, when a control holds a value its
    // field's bits cannot (the record would carry it wrapped); consequence ends the text.
    void RefuseValuesTheRecordCannotHold(const QString& consequence) const;

    // Open as "Open FROM FILE" does it, without the dialog: the IMEI from the file's name, the
    // settings from the record, a damaged record only when the operator agrees.
    void OpenRecordFile(const QString& path);
    // Fills the IMEI and the controls from a record, as the open command does with a file; a
    // record whose check bytes do not match loads only when the operator agrees (false if not).
    // origin names the record in that question (the file's path).
    bool LoadRecord(const QString& imei, const TConfigRecord& record, const QString& origin = {});

signals:
    // A send's result is known (its history row complete), just before the result box.
    void SendEnded();

    // The second windows, reached through the context menu, the shortcuts or the command line.
    void HistoryRequested();
    void SettingsRequested();
    void AboutRequested();

public slots:
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Edit_val_0_255();
    void Edit_val_0_60();
    void Edit_val_0_15();
    void Edit_val_0_3();
    void Edit_val_5_250();
    void Edit15Change();
    void Edit23Change();
    void CheckBox1Click();
    void CheckBox7Click();
    void ComboBox7Change();
    // Unit label of Edit15 and its hint follow every change of ComboBox7's item.
    void ShowTrackingUnit(int index);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Runs a handler's body; a failure ends the body and shows the error box, never reaching Qt.
    template <class Body>
    bool RunHandler(Body&& body) noexcept;

    // The send command: takes the record and the IMEI and starts a send job with them.
    void Button3Send();
    // Shows the mail's result; the job then quits the session.
    void FinishSend(const send::SbdResult& result);
    // Silences the send job, if any, and lets it go once it is off the stack.
    void DropSendJob();
    // The send history file, opened at the first send and kept for the next.
    std::shared_ptr<history::SendHistory> HistoryFile();
    // The entries of the context menu: the second windows and About.
    void AddWindowActions(QMenu& menu);
    void OfferWindowActionsInEdits();
    // The busy cursor over the window while a send is under way.
    void ShowSendActivity();

    // A range rule: an empty text becomes the setting's initial value, one above its limit the
    // limit, and with keepsLowerBound one below its lower limit that limit; the numbers come from
    // the field table (of the edit's own field, else of ruleField).
    void ClampEdit(QObject* sender, std::string_view ruleField, bool keepsLowerBound);
    // Puts the field table's initial values into the controls without running a rule.
    void ShowInitialValues();
    QLineEdit* SenderEdit(QObject* sender) const;
    QLineEdit* EditNamed(std::string_view control) const;
    QComboBox* ComboNamed(std::string_view control) const;
    QCheckBox* CheckNamed(std::string_view control) const;

    std::unique_ptr<Ui::TForm1> ui;
    std::unique_ptr<OperatorDialogs> dialogs_;
    SecondWindows* windows_ = nullptr; // a child object
    // The send under way, or the last one; it alone holds the send's state.
    std::shared_ptr<send::SendJob> job_;
    // Every send is kept in the send history; opened at the first send, not at start-up.
    static constexpr int kHistoryWaitMs = 500;
    std::shared_ptr<history::SendHistory> historyFile_;
    QString historyProblem_; // not yet told
    bool historyProblemTold_ = false;
    QString sendCaption_; // the send button's caption while it shows a send under way
    QString recordFolder_;
    bool fitted_ = false; // FitIntoArea has run
    QHash<QString, QLineEdit*> edits_;
    QHash<QString, QComboBox*> combos_;
    QHash<QString, QCheckBox*> checks_;
};

template <class Body>
inline bool TForm1::RunHandler(Body&& body) noexcept
{
    try {
        body();
        return true;
    } catch (...) {
        ShowFailure(std::current_exception());
        return false;
    }
}

} // namespace kestravo
