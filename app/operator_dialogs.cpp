#include "app/operator_dialogs.h"

#include "app/application.h"

#include <QFileDialog>
#include <QMessageBox>

namespace kestravo {

WidgetOperatorDialogs::WidgetOperatorDialogs(QWidget* owner) : owner_(owner) {}

namespace {

void ShowBox(QWidget* owner, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, ApplicationTitle(), text, QMessageBox::Ok, owner);
    // Texts carry what the operator typed and file names; never render them as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

void WidgetOperatorDialogs::ShowError(const QString& text)
{
    ShowBox(owner_, QMessageBox::Critical, text);
}

void WidgetOperatorDialogs::ShowMessage(const QString& text)
{
    ShowBox(owner_, QMessageBox::NoIcon, text);
}

std::optional<QString> WidgetOperatorDialogs::ChooseSaveFile(const QString& proposedName)
{
    // No filter, no default extension, and an existing file is replaced without a question.
    const QString path = QFileDialog::getSaveFileName(owner_, QString(), proposedName, QString(),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

std::optional<QString> WidgetOperatorDialogs::ChooseOpenFile()
{
    const QString path = QFileDialog::getOpenFileName(owner_, QString(), lastOpened_);
    if (path.isEmpty())
        return std::nullopt;
    lastOpened_ = path;
    return path;
}

} // namespace kestravo
