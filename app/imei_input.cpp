// SPDX-License-Identifier: Apache-2.0
// The IMEI edit: its key filter, applied to typed keys, to input-method text and, through a
// validator, to text that arrives any other way.
#include "app/imei_input.h"

#include "app/tform1.h"
#include "ui_Form1.h"

#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QValidator>

namespace kestravo {

namespace {

// Whether the key filter drops c, which it does by turning the key into a null character.
bool FilterDrops(TForm1& form, QObject* sender, QChar c)
{
    form.KeyPressDigit(sender, c);
    return c.isNull();
}

// Text that reaches the IMEI edit without being typed (pasted by key, menu or middle button,
// dropped, brought back by undo) obeys the key filter too: a change that brings in a character
// the filter drops, or any control character, is refused whole. Only the inserted part is
// looked at, so an IMEI that the open command took from a file name stays editable.
class ImeiInputGuard : public QValidator {
public:
    ImeiInputGuard(TForm1* form, QLineEdit* edit)
        : QValidator(edit), form_(form), edit_(edit), last_(edit->text())
    {
        connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { last_ = text; });
    }

    // The open command's IMEI from a file name is the program's, not the operator's input.
    static void SetProgramText(QLineEdit* edit, const QString& text)
    {
        auto* guard = dynamic_cast<const ImeiInputGuard*>(edit->validator());
        if (guard != nullptr)
            guard->programWriting_ = true;
        edit->setText(text);
        if (guard != nullptr)
            guard->programWriting_ = false;
    }

    State validate(QString& input, int& /*pos*/) const override
    {
        if (programWriting_)
            return Acceptable;
        qsizetype head = 0;
        while (head < input.size() && head < last_.size() && input.at(head) == last_.at(head))
            ++head;
        qsizetype tail = 0;
        while (tail < input.size() - head && tail < last_.size() - head &&
               input.at(input.size() - 1 - tail) == last_.at(last_.size() - 1 - tail))
            ++tail;
        for (qsizetype i = head; i < input.size() - tail; ++i) {
            const QChar c = input.at(i);
            if (c.unicode() < 0x20 || c.unicode() == 0x7F || FilterDrops(*form_, edit_, c))
                return Invalid;
        }
        return Acceptable;
    }

private:
    TForm1* form_;
    QLineEdit* edit_;
    QString last_; // the text before the change being checked
    mutable bool programWriting_ = false;
};

} // namespace

void GuardImeiInput(TForm1* form, QLineEdit* edit)
{
    edit->installEventFilter(form);
    edit->setValidator(new ImeiInputGuard(form, edit));
}

void SetImeiFromProgram(QLineEdit* edit, const QString& text)
{
    ImeiInputGuard::SetProgramText(edit, text);
}

void TForm1::KeyPressDigit(QObject* /*Sender*/, QChar& Key)
{
    const char16_t c = Key.unicode();
    const bool passes = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == 0x08;
    if (!passes)
        Key = QChar(0);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != ui->Edit1)
        return QWidget::eventFilter(watched, event);

    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
        // Keys that move, delete or leave the edit are not typed characters.
        case Qt::Key_Delete:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return false;
        default:
            break;
        }
        // The edit's own shortcuts carry a control character but type nothing; what a paste
        // brings in is checked by ImeiInputGuard.
        for (QKeySequence::StandardKey editing :
             {QKeySequence::Paste, QKeySequence::Copy, QKeySequence::Cut, QKeySequence::SelectAll,
              QKeySequence::Undo, QKeySequence::Redo}) {
            if (key->matches(editing))
                return false;
        }
        const QString text = key->text();
        for (QChar c : text)
            if (FilterDrops(*this, watched, c))
                return true;
        return false;
    }
    if (event->type() == QEvent::InputMethod) {
        // Characters composed by an input method reach the edit this way; they obey the filter too.
        auto* im = static_cast<QInputMethodEvent*>(event);
        for (QChar c : im->commitString()) {
            if (FilterDrops(*this, watched, c)) {
                QInputMethodEvent dropped;
                QCoreApplication::sendEvent(watched, &dropped);
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kestravo
