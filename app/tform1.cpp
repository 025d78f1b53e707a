#include "app/tform1.h"

#include "app/application.h"
#include "app/layout_face.h"
#include "app/panel_docking.h"
#include "mail/endpoints.h"
#include "record/codec.h"
#include "ui_Form1.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QRegularExpression>
#include <QValidator>

#include <array>
#include <stdexcept>

static void InitPictures()
{
    Q_INIT_RESOURCE(kestravo);
}

namespace kestravo {

namespace {

QString Name(std::string_view control)
{
    return QString::fromUtf8(control.data(), static_cast<qsizetype>(control.size()));
}

std::int32_t NumberIn(const QLineEdit* edit)
{
    return TextToInt(edit->text().toUtf8().toStdString());
}

// Programmatic writes go through here so that an equal text never counts as a change.
void SetEditText(QLineEdit* edit, const QString& text)
{
    if (edit->text() != text)
        edit->setText(text);
}

// A file name fit to become an IMEI holds no control characters (C0 range and DEL).
QString ControlCharactersShown(const QString& name, bool& found)
{
    found = false;
    QString shown;
    for (QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            found = true;
            shown += QStringLiteral("\\x") +
                     QString::number(c.unicode(), 16).rightJustified(2, u'0').toUpper();
        } else {
            shown += c;
        }
    }
    return shown;
}

// The first count characters of a name, without splitting a surrogate pair.
QString FirstCharacters(const QString& name, qsizetype count)
{
    if (name.size() <= count)
        return name;
    if (name.at(count - 1).isHighSurrogate())
        --count;
    return name.left(count);
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
            QChar c = input.at(i);
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                return Invalid;
            form_->KeyPressDigit(edit_, c);
            if (c.isNull())
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

TForm1::TForm1(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TForm1>()),
      dialogs_(std::make_unique<WidgetOperatorDialogs>(this))
{
    InitPictures();
    PrepareLayoutFace();
    ui->setupUi(this);
    NarrowCheckBoxGaps(this);
    ClassicGroupBoxes(this);
    DockPanels(this, ui->Panel2, ui->Image1, ui->Panel1, ui->Image2);

    // Sizeable, with minimize but no maximize button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    for (QFrame* panel : {ui->Panel1, ui->Panel2}) {
        QPalette white = panel->palette();
        white.setColor(QPalette::Window, Qt::white);
        panel->setPalette(white);
    }

    // Labels are sized to their text in the window's font.
    static const QRegularExpression labelName(QStringLiteral("^Label\\d+$"));
    for (QLabel* label : findChildren<QLabel*>(labelName))
        label->adjustSize();

    for (QLineEdit* edit : findChildren<QLineEdit*>())
        edits_.insert(edit->objectName(), edit);
    for (QComboBox* combo : findChildren<QComboBox*>())
        combos_.insert(combo->objectName(), combo);
    for (QCheckBox* check : findChildren<QCheckBox*>())
        checks_.insert(check->objectName(), check);

    ui->Edit1->installEventFilter(this);
    ui->Edit1->setValidator(new ImeiInputGuard(this, ui->Edit1));
    ui->Edit1->setFocus();
}

TForm1::~TForm1() = default;

void TForm1::SetDialogs(std::unique_ptr<OperatorDialogs> dialogs)
{
    dialogs_ = std::move(dialogs);
}

template <class Body>
bool TForm1::RunHandler(Body&& body) noexcept
{
    try {
        body();
        return true;
    } catch (...) {
        ShowFailure(std::current_exception());
        return false;
    }
}

void TForm1::ShowFailure(std::exception_ptr failure)
{
    try {
        dialogs_->ShowError(ErrorBoxText(FailureMessage(failure)));
    } catch (...) {
        // Nothing sensible is left to do when the error box itself fails.
    }
}

// ---- SettingsStore -------------------------------------------------------------------------

QLineEdit* TForm1::EditNamed(std::string_view control) const
{
    QLineEdit* edit = edits_.value(Name(control));
    if (edit == nullptr || edit == ui->Edit1)
        throw std::invalid_argument("no setting edit named " + std::string(control));
    return edit;
}

QComboBox* TForm1::ComboNamed(std::string_view control) const
{
    QComboBox* combo = combos_.value(Name(control));
    if (combo == nullptr)
        throw std::invalid_argument("no setting list named " + std::string(control));
    return combo;
}

QCheckBox* TForm1::CheckNamed(std::string_view control) const
{
    QCheckBox* check = checks_.value(Name(control));
    if (check == nullptr)
        throw std::invalid_argument("no setting check box named " + std::string(control));
    return check;
}

std::string TForm1::Text(std::string_view control) const
{
    return EditNamed(control)->text().toUtf8().toStdString();
}

void TForm1::SetText(std::string_view control, const std::string& text)
{
    SetEditText(EditNamed(control),
                QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

int TForm1::ItemIndex(std::string_view control) const
{
    return ComboNamed(control)->currentIndex();
}

void TForm1::SetItemIndex(std::string_view control, int index)
{
    QComboBox* combo = ComboNamed(control);
    if (index < 0 || index >= combo->count())
        throw std::out_of_range(std::string(control) + " has no item " + std::to_string(index));
    // currentIndexChanged keeps ComboBox7's unit label in step; activated, and with it
    // ComboBox7Change, fires only for the operator's choice.
    combo->setCurrentIndex(index);
}

bool TForm1::Checked(std::string_view control) const
{
    return CheckNamed(control)->isChecked();
}

void TForm1::SetChecked(std::string_view control, bool checked)
{
    QCheckBox* check = CheckNamed(control);
    if (check->isChecked() != checked)
        check->setChecked(checked);
}

// ---- Input rules ---------------------------------------------------------------------------

QLineEdit* TForm1::SenderEdit(QObject* sender) const
{
    auto* edit = qobject_cast<QLineEdit*>(sender);
    if (edit == nullptr)
        throw std::logic_error("a range rule ran without an edit as its sender");
    return edit;
}

void TForm1::ClampEdit(QObject* sender, const QString& emptyValue, int maximum,
                       bool lowerBoundFive)
{
    QLineEdit* edit = SenderEdit(sender);
    // Each write below changes the text, so the rule runs again, nested, and finds it in range.
    if (edit->text().isEmpty())
        SetEditText(edit, emptyValue);
    if (NumberIn(edit) > maximum)
        SetEditText(edit, QString::number(maximum));
    if (lowerBoundFive && NumberIn(edit) < 5)
        SetEditText(edit, QStringLiteral("5"));
}

void TForm1::Edit_val_0_255(QObject* Sender) { ClampEdit(Sender, QStringLiteral("0"), 250, false); }
void TForm1::Edit_val_0_60(QObject* Sender) { ClampEdit(Sender, QStringLiteral("0"), 60, false); }
void TForm1::Edit_val_0_15(QObject* Sender) { ClampEdit(Sender, QStringLiteral("0"), 15, false); }
void TForm1::Edit_val_0_3(QObject* Sender) { ClampEdit(Sender, QStringLiteral("0"), 3, false); }
void TForm1::Edit_val_0_65535(QObject* Sender)
{
    ClampEdit(Sender, QStringLiteral("0"), 65000, false);
}
void TForm1::Edit_val_5_250(QObject* Sender) { ClampEdit(Sender, QStringLiteral("5"), 250, true); }

void TForm1::Edit15Change(QObject* Sender)
{
    Edit_val_0_65535(Sender);
}

void TForm1::Edit23Change(QObject* Sender)
{
    QLineEdit* changed = SenderEdit(Sender);
    if (changed->text().isEmpty())
        return;
    const std::int32_t checkout = NumberIn(ui->Edit23);
    const std::int32_t send = NumberIn(ui->Edit3);
    if (checkout <= send)
        return;
    // The value just changed wins; the other edit follows it.
    if (changed == ui->Edit3)
        SetEditText(ui->Edit23, ui->Edit3->text());
    else
        SetEditText(ui->Edit3, ui->Edit23->text());
    dialogs_->ShowMessage(QStringLiteral(
        "Warning! \"Checkout interval\" should be large then \"Send time interval\""));
}

bool TForm1::Warning()
{
    if (ui->CheckBox1->isChecked() && ui->ComboBox7->currentIndex() != 0) {
        dialogs_->ShowMessage(QStringLiteral(
            "Warning! Prohibited from sharing mode dynamic geofence and auto tracking!"));
        return true;
    }
    return false;
}

void TForm1::KeyPressDigit(QObject* /*Sender*/, QChar& Key)
{
    const char16_t c = Key.unicode();
    const bool passes = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == 0x08;
    if (!passes)
        Key = QChar(0);
}

// ---- Slots ---------------------------------------------------------------------------------

void TForm1::Edit_val_0_255()
{
    QObject* s = sender();
    RunHandler([&] { Edit_val_0_255(s); });
}
void TForm1::Edit_val_0_60()
{
    QObject* s = sender();
    RunHandler([&] { Edit_val_0_60(s); });
}
void TForm1::Edit_val_0_15()
{
    QObject* s = sender();
    RunHandler([&] { Edit_val_0_15(s); });
}
void TForm1::Edit_val_0_3()
{
    QObject* s = sender();
    RunHandler([&] { Edit_val_0_3(s); });
}
void TForm1::Edit_val_5_250()
{
    QObject* s = sender();
    RunHandler([&] { Edit_val_5_250(s); });
}
void TForm1::Edit15Change()
{
    QObject* s = sender();
    RunHandler([&] { Edit15Change(s); });
}
void TForm1::Edit23Change()
{
    QObject* s = sender();
    RunHandler([&] { Edit23Change(s); });
}

void TForm1::CheckBox1Click()
{
    RunHandler([&] {
        // Unchecking runs this rule again, nested; Warning then finds nothing to object to.
        if (Warning())
            ui->CheckBox1->setChecked(false);
    });
}

void TForm1::CheckBox7Click()
{
    RunHandler([&] {
        const bool frequency = ui->CheckBox7->isChecked();
        if (frequency)
            ui->ComboBox8->setCurrentIndex(0);
        for (QWidget* w : std::array<QWidget*, 4>{ui->Edit18, ui->Edit19, ui->ComboBox8,
                                                   ui->ComboBox9})
            w->setEnabled(!frequency);
    });
}

void TForm1::ComboBox7Change()
{
    RunHandler([&] {
        ShowTrackingUnit(ui->ComboBox7->currentIndex());
        if (Warning()) {
            ui->ComboBox7->setCurrentIndex(0);
            ShowTrackingUnit(0);
        }
    });
}

void TForm1::ShowTrackingUnit(int index)
{
    ui->Label22->setText(index == 3 ? QStringLiteral("Dist XX, meter")
                                    : QStringLiteral("Time XX, sec"));
    ui->Label22->adjustSize();
    ui->Label39->setVisible(index == 2);
}

void TForm1::Button1Click()
{
    RunHandler([&] {
        const QString imei = ui->Edit1->text();
        if (imei.size() < 15) {
            dialogs_->ShowMessage(ShortImeiMessage());
            return;
        }
        const std::optional<QString> path = dialogs_->ChooseSaveFile(imei + QStringLiteral(".sbd"));
        if (!path)
            return;
        SaveToFile(*this, QFile::encodeName(*path).toStdString());
    });
}

void TForm1::Button2Click()
{
    RunHandler([&] {
        const std::optional<QString> chosen = dialogs_->ChooseOpenFile();
        if (!chosen)
            return;
        const QString path = *chosen;
        const QFileInfo info(path);
        const QString name = info.fileName();

        // Everything is checked and the whole record read before the first control changes, so
        // that a refused file leaves the window and the retained record as they were.
        bool hasControl = false;
        const QString shownName = ControlCharactersShown(name, hasControl);
        if (hasControl) {
            dialogs_->ShowError(ErrorBoxText(
                QStringLiteral("The file name '%1' holds control characters and cannot give an IMEI")
                    .arg(shownName)));
            return;
        }
        if (info.isDir()) {
            dialogs_->ShowError(ErrorBoxText(
                QStringLiteral("Cannot open '%1': it is a folder, not a record file").arg(path)));
            return;
        }
        if (info.exists() && !info.isFile()) {
            // Opening a pipe or reading a device could block the window or never end.
            dialogs_->ShowError(ErrorBoxText(
                QStringLiteral("Cannot open '%1': it is not a regular file").arg(path)));
            return;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            dialogs_->ShowError(ErrorBoxText(
                QStringLiteral("Cannot open '%1': %2").arg(path, file.errorString())));
            return;
        }
        QByteArray record;
        while (record.size() < static_cast<qsizetype>(kRecordSize)) {
            const QByteArray chunk = file.read(static_cast<qint64>(kRecordSize) - record.size());
            if (chunk.isEmpty())
                break;
            record += chunk;
        }
        if (file.error() != QFileDevice::NoError) {
            dialogs_->ShowError(ErrorBoxText(
                QStringLiteral("Cannot read '%1': %2").arg(path, file.errorString())));
            return;
        }
        file.close();
        if (record.size() < static_cast<qsizetype>(kRecordSize)) {
            dialogs_->ShowError(ErrorBoxText(
                QStringLiteral("The file '%1' holds %2 bytes, fewer than the %3 of a configuration "
                               "record; nothing was changed")
                    .arg(path, QString::number(record.size()), QString::number(kRecordSize))));
            return;
        }

        ImeiInputGuard::SetProgramText(ui->Edit1, FirstCharacters(name, 15));
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(record.constData());
        DecodeRecord(*this, std::span<const std::uint8_t, kRecordSize>(bytes, kRecordSize));
    });
}

void TForm1::Button3Click()
{
    RunHandler([&] { SendPass(); });
}

// ---- Events --------------------------------------------------------------------------------

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
        for (QChar c : text) {
            QChar typed = c;
            KeyPressDigit(watched, typed);
            if (typed.isNull())
                return true;
        }
        return false;
    }
    if (event->type() == QEvent::InputMethod) {
        // Characters composed by an input method reach the edit this way; they obey the filter too.
        auto* im = static_cast<QInputMethodEvent*>(event);
        for (QChar c : im->commitString()) {
            QChar typed = c;
            KeyPressDigit(watched, typed);
            if (typed.isNull()) {
                QInputMethodEvent dropped;
                QCoreApplication::sendEvent(watched, &dropped);
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    bool mayClose = false;
    RunHandler([&] { mayClose = FormClose(); });
    if (mayClose)
        event->accept();
    else
        event->ignore();
}

} // namespace kestravo
