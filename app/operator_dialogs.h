// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every message box and file dialog of the window goes through this interface, so that tests can
// answer the dialogs and read the texts without a person at the screen.
#include <QString>

#include <optional>

class QWidget;

namespace kestravo {

class OperatorDialogs {
public:
    virtual ~OperatorDialogs() = default;

    // The application's error box: error icon, one OK button. The text arrives ready to show.
    virtual void ShowError(const QString& text) = 0;
    // A plain message: no icon, one OK button.
    virtual void ShowMessage(const QString& text) = 0;
    // A question with Yes and No, No the default (Return, Escape, closing the box); true for Yes.
    virtual bool AskYesNo(const QString& text) = 0;
    // The save dialog, proposing a bare file name; nullopt when the operator cancels.
    virtual std::optional<QString> ChooseSaveFile(const QString& proposedName) = 0;
    // The open dialog; nullopt when the operator cancels.
    virtual std::optional<QString> ChooseOpenFile() = 0;
    // A box asking for the relay's password, which is not shown as it is typed; nullopt when the
    // operator cancels.
    virtual std::optional<QString> AskPassword(const QString& question) { (void)question; return std::nullopt; }
};

// The real boxes and dialogs, modal over the given window, captioned with the application title.
class WidgetOperatorDialogs : public OperatorDialogs {
public:
    explicit WidgetOperatorDialogs(QWidget* owner);

    void ShowError(const QString& text) override;
    void ShowMessage(const QString& text) override;
    bool AskYesNo(const QString& text) override;
    std::optional<QString> ChooseSaveFile(const QString& proposedName) override;
    std::optional<QString> ChooseOpenFile() override;
    std::optional<QString> AskPassword(const QString& question) override;

    // A text as a box shows it: a line too long for the screen (a pasted value of thousands of
    // characters) keeps its start and its end around an ellipsis, and a text of very many lines
    // its first and last lines.
    static QString FitForBox(const QString& text);

private:
    QWidget* owner_;
    QString lastOpened_; // the open dialog starts at the name chosen the previous time
    QString lastFolder_; // the save dialog starts in the folder of the last file chosen
};

} // namespace kestravo
