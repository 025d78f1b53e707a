#include "app/operator_dialogs.h"

#include "app/application.h"

#include <QFileDialog>
#include <QMessageBox>

namespace kestravo {

WidgetOperatorDialogs::WidgetOperatorDialogs(QWidget* owner) : owner_(owner) {}

void WidgetOperatorDialogs::ShowError(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), text, QMessageBox::Ok, owner_);
    box.exec();
}

void WidgetOperatorDialogs::ShowMessage(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok, owner_);
    box.exec();
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
