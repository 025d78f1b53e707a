// SPDX-License-Identifier: Apache-2.0
#include "app/operator_dialogs.h"

#include "app/application.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QSpacerItem>
#include <QStringList>

#include <algorithm>

namespace kestravo {

WidgetOperatorDialogs::WidgetOperatorDialogs(QWidget* owner) : owner_(owner) {}

namespace {

// A box belongs to the window the operator works in (a send's result may arrive while the settings
// dialog is up); when it closes, that window is active again with its focus where it was, so that
// the next key typed goes where the operator means it, never to another window. A handler may
// then move the focus on within that window (to the field a refusal names).
class BoxOwner {
public:
    explicit BoxOwner(QWidget* fallback)
        : window_(QApplication::activeWindow()), focus_(QApplication::focusWidget())
    {
        if (window_ == nullptr || (window_->windowFlags() & Qt::Popup) == Qt::Popup)
            window_ = fallback != nullptr ? fallback->window() : nullptr;
        if (focus_ != nullptr && focus_->window() != window_)
            focus_ = nullptr;
    }
    ~BoxOwner()
    {
        if (window_ == nullptr || !window_->isVisible())
            return;
        window_->activateWindow();
        if (focus_ != nullptr && focus_->isVisible() && focus_->isEnabled())
            focus_->setFocus(Qt::ActiveWindowFocusReason);
    }
    BoxOwner(const BoxOwner&) = delete;
    BoxOwner& operator=(const BoxOwner&) = delete;

    QWidget* Window() const { return window_; }

private:
    QPointer<QWidget> window_;
    QPointer<QWidget> focus_;
};

// A box sized to a short text ("Mail sended") is narrower than its title with the frame's buttons;
// the window manager then cuts the title ("Tor… AVO"). A strut under the text keeps room for it.
void KeepRoomForTitle(QMessageBox& box)
{
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (grid == nullptr)
        return;
    QFont titleFont = box.font();
    titleFont.setBold(true); // title bars commonly draw their text bold
    const int title = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle());
    // The frame's icon and its buttons (minimize, maximize, close) beside the title.
    const int frameButtons = 4 * QFontMetrics(titleFont).height() + 24;
    grid->addItem(new QSpacerItem(title + frameButtons, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(),
                  0, 1, grid->columnCount());
}

void ShowBox(QWidget* owner, QMessageBox::Icon icon, const QString& text)
{
    const BoxOwner over(owner);
    QMessageBox box(icon, ApplicationTitle(), WidgetOperatorDialogs::FitForBox(text),
                    QMessageBox::Ok, over.Window());
    // Texts carry what the operator typed and file names; never render them as markup.
    box.setTextFormat(Qt::PlainText);
    KeepRoomForTitle(box);
    box.exec();
}

constexpr qsizetype kLongestLine = 120; // without a blank to wrap at
constexpr qsizetype kLongestWrapped = 600;
constexpr qsizetype kMostLines = 30;

// The start and the end of a line, without splitting a surrogate pair.
QString ElideMiddle(const QString& line)
{
    qsizetype head = kLongestLine / 2;
    qsizetype tail = kLongestLine / 2 - 1;
    if (line.at(head - 1).isHighSurrogate())
        --head;
    if (line.at(line.size() - tail).isLowSurrogate())
        --tail;
    return line.left(head) + QChar(0x2026) + line.right(tail);
}

} // namespace

QString WidgetOperatorDialogs::FitForBox(const QString& text)
{
    QStringList lines = text.split(u'\n');
    if (lines.size() > kMostLines) {
        const QStringList last = lines.mid(lines.size() - kMostLines / 2);
        lines = lines.mid(0, kMostLines / 2);
        lines << QString(QChar(0x2026));
        lines << last;
    }
    for (QString& line : lines) {
        // Long lines of words wrap in the box; a long run without a blank cannot.
        qsizetype run = 0;
        qsizetype longest = 0;
        for (QChar c : line) {
            run = c.isSpace() ? 0 : run + 1;
            longest = std::max(longest, run);
        }
        if (longest > kLongestLine || line.size() > kLongestWrapped)
            line = ElideMiddle(line);
    }
    return lines.join(u'\n');
}

void WidgetOperatorDialogs::ShowError(const QString& text)
{
    ShowBox(owner_, QMessageBox::Critical, text);
}

void WidgetOperatorDialogs::ShowMessage(const QString& text)
{
    ShowBox(owner_, QMessageBox::NoIcon, text);
}

bool WidgetOperatorDialogs::AskYesNo(const QString& text)
{
    const BoxOwner over(owner_);
    QMessageBox box(QMessageBox::Warning, ApplicationTitle(), FitForBox(text),
                    QMessageBox::Yes | QMessageBox::No, over.Window());
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    KeepRoomForTitle(box);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> WidgetOperatorDialogs::ChooseSaveFile(const QString& proposedName)
{
    // No filter, no default extension, and an existing file is replaced without a question. The
    // proposed name is offered in the folder last used.
    const QString start =
        lastFolder_.isEmpty() ? proposedName : QDir(lastFolder_).filePath(proposedName);
    const BoxOwner over(owner_);
    const QString path = QFileDialog::getSaveFileName(over.Window(), QString(), start, QString(), nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    if (path.isEmpty())
        return std::nullopt;
    lastFolder_ = QFileInfo(path).absolutePath();
    return path;
}

std::optional<QString> WidgetOperatorDialogs::ChooseOpenFile()
{
    const BoxOwner over(owner_);
    const QString path = QFileDialog::getOpenFileName(over.Window(), QString(), lastOpened_);
    if (path.isEmpty())
        return std::nullopt;
    lastOpened_ = path;
    lastFolder_ = QFileInfo(path).absolutePath();
    return path;
}

std::optional<QString> WidgetOperatorDialogs::AskPassword(const QString& question)
{
    bool ok = false;
    const BoxOwner over(owner_);
    QString text = QInputDialog::getText(over.Window(), ApplicationTitle(), question, QLineEdit::Password, QString(), &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

} // namespace kestravo
