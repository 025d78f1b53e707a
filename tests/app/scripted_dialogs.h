// SPDX-License-Identifier: Apache-2.0
#pragma once
// Stands in for the operator at the window's boxes and dialogs: records every text shown and
// answers the file dialogs from a script. A dialog asked for without a scripted answer is noted
// as unexpected and cancelled.
#include "app/operator_dialogs.h"
#include "app/tform1.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

struct DialogScript {
    struct Shown {
        bool error;
        QString text;
    };
    QList<Shown> shown;
    QList<std::optional<QString>> saveAnswers;
    QList<bool> questionAnswers; // Yes or No, in turn
    QStringList questions;
    QList<std::optional<QString>> openAnswers;
    QStringList proposedNames;
    int openAsked = 0;
    QList<std::optional<QString>> passwordAnswers;
    QStringList passwordQuestions;
    QStringList unexpected;
    // Runs while a box is up, to look at the window at that moment.
    std::function<void(const Shown&)> onShown;

    QStringList Errors() const
    {
        QStringList out;
        for (const Shown& s : shown)
            if (s.error)
                out << s.text;
        return out;
    }
    QStringList Messages() const
    {
        QStringList out;
        for (const Shown& s : shown)
            if (!s.error)
                out << s.text;
        return out;
    }
};

class ScriptedDialogs : public kestravo::OperatorDialogs {
public:
    explicit ScriptedDialogs(DialogScript& script) : script_(script) {}

    void ShowError(const QString& text) override { Record({true, text}); }
    void ShowMessage(const QString& text) override { Record({false, text}); }

    bool AskYesNo(const QString& text) override
    {
        script_.questions << text;
        if (script_.questionAnswers.isEmpty()) {
            script_.unexpected << QStringLiteral("question");
            return false;
        }
        return script_.questionAnswers.takeFirst();
    }

    std::optional<QString> ChooseSaveFile(const QString& proposedName) override
    {
        script_.proposedNames << proposedName;
        if (script_.saveAnswers.isEmpty()) {
            script_.unexpected << QStringLiteral("save dialog");
            return std::nullopt;
        }
        return script_.saveAnswers.takeFirst();
    }

    std::optional<QString> ChooseOpenFile() override
    {
        ++script_.openAsked;
        if (script_.openAnswers.isEmpty()) {
            script_.unexpected << QStringLiteral("open dialog");
            return std::nullopt;
        }
        return script_.openAnswers.takeFirst();
    }

    std::optional<QString> AskPassword(const QString& question) override
    {
        script_.passwordQuestions << question;
        if (script_.passwordAnswers.isEmpty()) {
            script_.unexpected << QStringLiteral("password box");
            return std::nullopt;
        }
        return script_.passwordAnswers.takeFirst();
    }

private:
    void Record(const DialogScript::Shown& shown)
    {
        script_.shown << shown;
        if (script_.onShown)
            script_.onShown(shown);
    }

    DialogScript& script_;
};

// A fresh window with the scripted operator in front of it.
inline std::unique_ptr<kestravo::TForm1> NewScriptedForm(DialogScript& script)
{
    auto form = std::make_unique<kestravo::TForm1>();
    form->SetDialogs(std::make_unique<ScriptedDialogs>(script));
    return form;
}
