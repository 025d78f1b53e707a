// SPDX-License-Identifier: Apache-2.0
#include "app/tform1.h"

#include "app/application.h"
#include "app/button_keys.h"
#include "app/control_names.h"
#include "app/imei_input.h"
#include "app/layout_face.h"
#include "app/panel_docking.h"
#include "app/second_windows.h"
#include "app/wheel_guard.h"
#include "endpoints/endpoints.h"
#include "record/codec.h"
#include "ui_Form1.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QMenu>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>
#include <QShortcut>
#include <QSignalBlocker>

#include <algorithm>
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

// "Label" followed by one or more decimal digits and nothing else: the layout's own captions, as
// opposed to pictures and other labels that keep the size the layout gives them.
bool IsNumberedLabel(const QString& name)
{
    static constexpr QLatin1String kPrefix("Label");
    if (name.size() <= kPrefix.size() || !name.startsWith(kPrefix))
        return false;
    for (qsizetype i = kPrefix.size(); i < name.size(); ++i)
        if (name[i] < u'0' || name[i] > u'9')
            return false;
    return true;
}

// Programmatic writes go through here so that an equal text never counts as a change.
void SetEditText(QLineEdit* edit, const QString& text)
{
    if (edit->text() != text)
        edit->setText(text);
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TForm1>()),
      dialogs_(std::make_unique<WidgetOperatorDialogs>(this))
{
    InitPictures();
    PrepareLayoutFace();
    PrepareAccessibleNames();
    ui->setupUi(this);
    NarrowCheckBoxGaps(this);
    ClassicGroupBoxes(this);
    DockPanels(this, ui->Panel2, ui->Image1, ui->Panel1, ui->Image2);

    // Sizeable, with minimize but no maximize button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    // The panels are white whatever the colour scheme; their captions, group titles and box
    // texts are dark on them, or a dark scheme would draw them white on white.
    for (QFrame* panel : {ui->Panel1, ui->Panel2}) {
        QPalette white = panel->palette();
        white.setColor(QPalette::Window, Qt::white);
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            white.setColor(group, QPalette::WindowText, Qt::black);
        white.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
        panel->setPalette(white);
    }

    // Labels are sized to their text in the window's font.
    for (QLabel* label : findChildren<QLabel*>())
        if (IsNumberedLabel(label->objectName()))
            label->adjustSize();

    for (QLineEdit* edit : findChildren<QLineEdit*>())
        edits_.insert(edit->objectName(), edit);
    for (QComboBox* combo : findChildren<QComboBox*>())
        combos_.insert(combo->objectName(), combo);
    for (QCheckBox* check : findChildren<QCheckBox*>())
        checks_.insert(check->objectName(), check);

    ShowInitialValues();
    NameControlsForAccessibility(this);

    GuardImeiInput(this, ui->Edit1);
    PressButtonsOnReturn(this);
    KeepWheelForFocusedControls(this);

    // The way to the other windows; the window itself shows nothing new.
    windows_ = new SecondWindows(this);
    OfferWindowActionsInEdits();
    auto* history = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this);
    connect(history, &QShortcut::activated, this, &TForm1::HistoryRequested);
    auto* settings = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma), this);
    connect(settings, &QShortcut::activated, this, &TForm1::SettingsRequested);
    ui->Edit1->setFocus();
}

TForm1::~TForm1() = default;

void TForm1::ShowInitialValues()
{
    // The values come from the field table; building the window runs no rule.
    for (const FieldSpec& field : Fields()) {
        QWidget* control = nullptr;
        switch (field.kind) {
        case ControlKind::Edit: control = EditNamed(field.control); break;
        case ControlKind::ComboBox: control = ComboNamed(field.control); break;
        case ControlKind::CheckBox: control = CheckNamed(field.control); break;
        }
        const QSignalBlocker quiet(control);
        WriteSetting(*this, field, field.initial);
    }
}

void TForm1::SetDialogs(std::unique_ptr<OperatorDialogs> dialogs)
{
    dialogs_ = std::move(dialogs);
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

// ---- Values the record can hold -------------------------------------------------------------

void TForm1::RefuseValuesTheRecordCannotHold(const QString& consequence) const
{
    for (const FieldSpec& field : Fields()) {
        const std::int32_t value = ReadSetting(*this, field);
        if (FieldBitsOf(field, value) == value)
            continue;
        const std::int32_t low = field.isSigned ? -(std::int32_t{1} << (field.width - 1)) : 0;
        const std::int32_t high = field.isSigned ? (std::int32_t{1} << (field.width - 1)) - 1
                                                 : (std::int32_t{1} << field.width) - 1;
        QString caption = ControlCaption(this, field.control);
        if (caption.isEmpty())
            caption = Name(field.control);
        QString shown = QString::number(value);
        if (field.kind == ControlKind::ComboBox)
            shown = QStringLiteral("item %1 (\"%2\")")
                        .arg(value)
                        .arg(ComboNamed(field.control)->itemText(value).trimmed());
        throw std::range_error(QStringLiteral("\"%1\" holds %2, which the record cannot hold: it "
                                              "holds %3 to %4; %5")
                                   .arg(caption, shown)
                                   .arg(low)
                                   .arg(high)
                                   .arg(consequence)
                                   .toStdString());
    }
}

// ---- Input rules ---------------------------------------------------------------------------

QLineEdit* TForm1::SenderEdit(QObject* sender) const
{
    auto* edit = qobject_cast<QLineEdit*>(sender);
    if (edit == nullptr)
        throw std::logic_error("a range rule ran without an edit as its sender");
    return edit;
}

void TForm1::ClampEdit(QObject* sender, std::string_view ruleField, bool keepsLowerBound)
{
    QLineEdit* edit = SenderEdit(sender);
    // The limits are those of the setting the edit carries; an edit outside the record takes
    // those of the field the rule is named after.
    const FieldSpec* field = FieldByControl(edit->objectName().toStdString());
    if (field == nullptr)
        field = FieldByName(ruleField);
    if (field == nullptr)
        throw std::logic_error("a range rule without limits");
    // Each write below changes the text, so the rule runs again, nested, and finds it in range.
    if (edit->text().isEmpty())
        SetEditText(edit, QString::number(field->initial));
    if (NumberIn(edit) > field->max)
        SetEditText(edit, QString::number(field->max));
    if (keepsLowerBound && NumberIn(edit) < field->min)
        SetEditText(edit, QString::number(field->min));
}

void TForm1::Edit_val_0_255(QObject* Sender) { ClampEdit(Sender, "In1TimeXX", false); }
void TForm1::Edit_val_0_60(QObject* Sender) { ClampEdit(Sender, "In1TimeYY", false); }
void TForm1::Edit_val_0_15(QObject* Sender) { ClampEdit(Sender, "In1TimesZZ", false); }
void TForm1::Edit_val_0_3(QObject* Sender) { ClampEdit(Sender, "In4SendRepeats", false); }
void TForm1::Edit_val_0_65535(QObject* Sender) { ClampEdit(Sender, "In4TrackingStep", false); }
void TForm1::Edit_val_5_250(QObject* Sender) { ClampEdit(Sender, "StabilityPoints", true); }

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
    ui->Edit15->setAccessibleName(ControlCaption(this, "Edit15"));
    ui->Label39->setVisible(index == 2);
}

void TForm1::Button3Click()
{
    RunHandler([&] { Button3Send(); });
}

// ---- Events --------------------------------------------------------------------------------

void TForm1::showEvent(QShowEvent* event)
{
    if (!fitted_ && !event->spontaneous()) {
        if (QScreen* where = screen())
            FitIntoArea(where->availableGeometry());
    }
    QWidget::showEvent(event);
}

void TForm1::FitIntoArea(const QRect& available)
{
    if (fitted_)
        return;
    fitted_ = true;
    // Before the first show the window manager's frame is not known yet: a title bar and thin
    // borders are assumed.
    QSize frame = frameGeometry().size() - geometry().size();
    if (frame.isEmpty())
        frame = QSize(8, 32);
    const QSize room = available.size() - frame;
    if (width() <= room.width() && height() <= room.height())
        return;
    // The layout keeps its size inside a scroll area; the window takes what the screen offers.
    QWidget* focused = focusWidget();
    auto* area = new QScrollArea(this);
    area->setObjectName(QStringLiteral("ScrollArea"));
    area->setFrameShape(QFrame::NoFrame);
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidgetResizable(true);
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("ScrolledContent"));
    content->setMinimumSize(size());
    content->resize(size());
    MoveDockedPanels(this, content);
    area->setWidget(content);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(area);
    area->show();
    if (focused != nullptr)
        focused->setFocus();
    resize(std::min(width(), room.width()), std::min(height(), room.height()));
    if (!geometry().intersects(available) || geometry().top() < available.top() || geometry().left() < available.left())
        move(available.topLeft());
}

void TForm1::AddWindowActions(QMenu& menu)
{
    const auto add = [&](const QString& text, const QKeySequence& keys, void (TForm1::*request)()) {
        QAction* action = menu.addAction(text);
        action->setShortcut(keys);
        connect(action, &QAction::triggered, this, request);
    };
    add(QStringLiteral("Send history…"), QKeySequence(Qt::CTRL | Qt::Key_H), &TForm1::HistoryRequested);
    add(QStringLiteral("Settings…"), QKeySequence(Qt::CTRL | Qt::Key_Comma), &TForm1::SettingsRequested);
    menu.addSeparator();
    add(QStringLiteral("About"), QKeySequence(), &TForm1::AboutRequested);
}

void TForm1::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    AddWindowActions(menu);
    menu.exec(event->globalPos());
}

void TForm1::OfferWindowActionsInEdits()
{
    // The edits keep their own menu (undo, cut, paste...), with the window's entries below it,
    // so the menu key reaches them whichever control has the focus.
    for (QLineEdit* edit : findChildren<QLineEdit*>()) {
        edit->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(edit, &QWidget::customContextMenuRequested, this, [this, edit](const QPoint& at) {
            std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
            menu->addSeparator();
            AddWindowActions(*menu);
            menu->exec(edit->mapToGlobal(at));
        });
    }
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
