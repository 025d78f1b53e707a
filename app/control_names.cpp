// SPDX-License-Identifier: Apache-2.0
#include "app/control_names.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLabel>
#include <QWidget>

namespace kestravo {

namespace {

struct ControlName {
    const char* control;
    const char* label; // the label's object name; nullptr: the control's own caption
    const char* group; // nullptr where the caption alone is unambiguous
};

// The layout places each caption to the left of its control; the right-hand column repeats the
// same captions for each input, so those carry the input's name.
constexpr ControlName kNames[] = {
    {"Edit1", "Label1", nullptr},
    {"Edit2", "Label2", nullptr},
    {"Edit3", "Label3", nullptr},
    {"CheckBox4", nullptr, nullptr},
    {"CheckBox5", nullptr, nullptr},
    {"CheckBox3", nullptr, nullptr},
    {"CheckBox6", nullptr, nullptr},
    {"ComboBox1", "Label4", "INPUT 1"},
    {"ComboBox2", "Label5", "INPUT 1"},
    {"Edit4", "Label6", "INPUT 1"},
    {"Edit5", "Label7", "INPUT 1"},
    {"Edit6", "Label8", "INPUT 1"},
    {"ComboBox3", "Label9", "INPUT 2"},
    {"ComboBox4", "Label10", "INPUT 2"},
    {"Edit7", "Label11", "INPUT 2"},
    {"Edit8", "Label12", "INPUT 2"},
    {"Edit9", "Label13", "INPUT 2"},
    {"Edit10", "Label14", "INPUT 2"},
    {"CheckBox14", nullptr, nullptr},
    {"ComboBox5", "Label15", "INPUT 3"},
    {"ComboBox6", "Label16", "INPUT 3"},
    {"Edit11", "Label20", "INPUT 3"},
    {"Edit12", "Label19", "INPUT 3"},
    {"Edit13", "Label18", "INPUT 3"},
    {"Edit14", "Label17", "INPUT 3"},
    {"ComboBox7", "Label21", "INPUT 4"},
    {"Edit15", "Label22", "INPUT 4"},
    {"Edit16", "Label23", "INPUT 4"},
    {"Edit17", "Label24", "INPUT 4"},
    {"Edit18", "Label25", nullptr},
    {"Edit19", "Label26", nullptr},
    {"ComboBox8", "Label27", "INPUT 5"},
    {"ComboBox9", "Label28", "INPUT 5"},
    {"CheckBox7", nullptr, nullptr},
    {"Edit24", "Label35", "Traffic counter"},
    {"ComboBox12", "Label36", "Traffic counter"},
    {"CheckBox1", nullptr, nullptr},
    {"Edit22", "Label33", nullptr},
    {"Edit23", "Label34", nullptr},
    {"Edit25", "Label37", nullptr},
    {"Edit26", "Label38", nullptr},
    {"CheckBox2", nullptr, "Dynamic geofence"},
    {"Edit20", "Label30", nullptr},
    {"Edit21", "Label29", nullptr},
    {"ComboBox10", "Label31", "Event on temperature"},
    {"ComboBox11", "Label32", "Event on temperature"},
    {"CheckBox8", nullptr, "Additional data"},
    {"CheckBox9", nullptr, "Additional data"},
    {"CheckBox10", nullptr, "Additional data"},
    {"CheckBox11", nullptr, "Additional data"},
    {"CheckBox12", nullptr, "Additional data"},
    {"CheckBox13", nullptr, "Additional data"},
};

// Some captions spell "XX" and "YY" with the Cyrillic letters that look like them; a screen reader
// would read those as Russian. The name uses the Latin ones.
QString Latin(QString caption)
{
    caption.replace(QChar(0x0425), u'X');
    caption.replace(QChar(0x0423), u'Y');
    return caption.simplified();
}

QString CaptionOf(const QWidget* form, const ControlName& entry)
{
    QString caption;
    if (entry.label != nullptr) {
        if (const auto* label = form->findChild<const QLabel*>(QLatin1String(entry.label)))
            caption = label->text();
    } else if (const auto* button =
                   form->findChild<const QAbstractButton*>(QLatin1String(entry.control))) {
        caption = button->text();
    }
    caption = Latin(caption);
    if (entry.group != nullptr && !caption.isEmpty())
        caption = QLatin1String(entry.group) + QStringLiteral(": ") + caption;
    return caption;
}

// Qt names a list after its current item on this platform and leaves its caption to a relation
// that not every reader follows. A list that was given a name answers with that name, and with
// its current item as its value; the answer is made when the list is first asked, which may be
// before it has its name, so it reads the name each time.
class NamedComboBox : public QAccessibleWidget {
public:
    explicit NamedComboBox(QComboBox* combo) : QAccessibleWidget(combo, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override
    {
        auto* combo = static_cast<QComboBox*>(widget());
        if (t == QAccessible::Name && !combo->accessibleName().isEmpty())
            return combo->accessibleName();
        if (t == QAccessible::Name)
            return combo->currentText();
        if (t == QAccessible::Value)
            return combo->currentText();
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override
    {
        return QAccessibleWidget::actionNames() << showMenuAction();
    }

    void doAction(const QString& action) override
    {
        if (action == showMenuAction())
            static_cast<QComboBox*>(widget())->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface* NamedComboBoxFactory(const QString& className, QObject* object)
{
    if (className != QLatin1String("QComboBox") || !object->isWidgetType())
        return nullptr;
    auto* combo = static_cast<QComboBox*>(object);
    if (combo->isEditable())
        return nullptr;
    return new NamedComboBox(combo);
}

} // namespace

QString ControlCaption(const QWidget* form, std::string_view control)
{
    for (const ControlName& entry : kNames)
        if (control == entry.control)
            return CaptionOf(form, entry);
    return {};
}

void PrepareAccessibleNames()
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(NamedComboBoxFactory);
        return true;
    }();
    (void)factoryInstalled;
}

void NameControlsForAccessibility(QWidget* form)
{
    PrepareAccessibleNames();
    for (const ControlName& entry : kNames) {
        auto* control = form->findChild<QWidget*>(QLatin1String(entry.control));
        if (control == nullptr)
            continue;
        control->setAccessibleName(CaptionOf(form, entry));
        // The caption also labels the control for readers that follow the relation. The captions
        // carry no mnemonic, so nothing else changes.
        if (entry.label != nullptr)
            if (auto* label = form->findChild<QLabel*>(QLatin1String(entry.label)))
                label->setBuddy(control);
    }
}

} // namespace kestravo
