// SPDX-License-Identifier: Apache-2.0
// The stored layout binds each control's event to its handler by name. Built here onto a stand-in
// that only notes which handler ran for which sender, so the table of bindings is checked alone,
// and so is the promise that building the window runs no handler.
#include "record/config_record.h"
#include "ui_Form1.h"

#include <QTest>

class RecordingForm : public QWidget {
    Q_OBJECT

public:
    QStringList calls;

private:
    void Note(const char* handler)
    {
        calls << QStringLiteral("%1:%2").arg(handler, sender() ? sender()->objectName() : "");
    }

public slots:
    void Button1Click() { Note("Button1Click"); }
    void Button2Click() { Note("Button2Click"); }
    void Button3Click() { Note("Button3Click"); }
    void Edit_val_0_255() { Note("Edit_val_0_255"); }
    void Edit_val_0_60() { Note("Edit_val_0_60"); }
    void Edit_val_0_15() { Note("Edit_val_0_15"); }
    void Edit_val_5_250() { Note("Edit_val_5_250"); }
    void Edit15Change() { Note("Edit15Change"); }
    void Edit23Change() { Note("Edit23Change"); }
    void CheckBox1Click() { Note("CheckBox1Click"); }
    void CheckBox7Click() { Note("CheckBox7Click"); }
    void ComboBox7Change() { Note("ComboBox7Change"); }
    void ShowTrackingUnit(int index) { Note(qPrintable(QStringLiteral("ShowTrackingUnit%1").arg(index))); }
};

class LayoutBindingsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<RecordingForm> form;
    std::unique_ptr<Ui::TForm1> ui;

private slots:
    void init()
    {
        form = std::make_unique<RecordingForm>();
        ui = std::make_unique<Ui::TForm1>();
        ui->setupUi(form.get());
    }
    void cleanup()
    {
        ui.reset();
        form.reset();
    }

    void buildingRunsNoHandler() { QCOMPARE(form->calls, QStringList()); }

    // The window puts the field table's initial values in place at start; what the layout
    // stores must not say otherwise.
    void storedValuesAreTheTablesInitialValues()
    {
        for (const kestravo::FieldSpec& field : kestravo::Fields()) {
            const QString name = QString::fromLatin1(field.control.data(), field.control.size());
            switch (field.kind) {
            case kestravo::ControlKind::Edit:
                QCOMPARE(form->findChild<QLineEdit*>(name)->text(), QString::number(field.initial));
                break;
            case kestravo::ControlKind::ComboBox:
                QCOMPARE(form->findChild<QComboBox*>(name)->currentIndex(), field.initial);
                break;
            case kestravo::ControlKind::CheckBox:
                QCOMPARE(int(form->findChild<QCheckBox*>(name)->isChecked()), field.initial);
                break;
            }
        }
    }

    void editsBindTheirRule_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("handler");
        for (const char* e : {"Edit4", "Edit7", "Edit11", "Edit25"})
            QTest::newRow(e) << QString(e) << "Edit_val_0_255";
        for (const char* e : {"Edit5", "Edit8", "Edit10", "Edit12", "Edit14", "Edit17"})
            QTest::newRow(e) << QString(e) << "Edit_val_0_60";
        for (const char* e : {"Edit6", "Edit9", "Edit13"})
            QTest::newRow(e) << QString(e) << "Edit_val_0_15";
        QTest::newRow("Edit26") << "Edit26" << "Edit_val_5_250";
        QTest::newRow("Edit15") << "Edit15" << "Edit15Change";
        QTest::newRow("Edit3") << "Edit3" << "Edit23Change";
        QTest::newRow("Edit23") << "Edit23" << "Edit23Change";
        for (const char* e : {"Edit1", "Edit2", "Edit16", "Edit18", "Edit19", "Edit20", "Edit21",
                              "Edit22", "Edit24"})
            QTest::newRow(e) << QString(e) << QString();
    }
    void editsBindTheirRule()
    {
        QFETCH(QString, edit);
        QFETCH(QString, handler);
        auto* e = form->findChild<QLineEdit*>(edit);
        QVERIFY(e != nullptr);
        e->setText(e->text()); // the same text is no change
        QCOMPARE(form->calls, QStringList());
        e->setText("12");
        QCOMPARE(form->calls, handler.isEmpty() ? QStringList() : QStringList{handler + ":" + edit});
    }

    void checkBoxesAndButtons()
    {
        for (int i = 1; i <= 14; ++i)
            form->findChild<QCheckBox*>(QStringLiteral("CheckBox%1").arg(i))->setChecked(true);
        QCOMPARE(form->calls, (QStringList{"CheckBox1Click:CheckBox1", "CheckBox7Click:CheckBox7"}));
        form->calls.clear();
        ui->CheckBox7->setChecked(false);
        QCOMPARE(form->calls, QStringList{"CheckBox7Click:CheckBox7"});
        form->calls.clear();
        for (QPushButton* b : {ui->Button1, ui->Button2, ui->Button3})
            b->click();
        QCOMPARE(form->calls, (QStringList{"Button1Click:Button1", "Button2Click:Button2",
                                           "Button3Click:Button3"}));
    }

    void trackingListSeparatesChoiceFromChange()
    {
        // A change of the item by the program updates only the unit label.
        ui->ComboBox7->setCurrentIndex(2);
        QCOMPARE(form->calls, QStringList{"ShowTrackingUnit2:ComboBox7"});
        form->calls.clear();
        // The operator's choice runs the change handler too, after the label follows.
        QTest::keyClick(ui->ComboBox7, Qt::Key_Down);
        QCOMPARE(form->calls, (QStringList{"ShowTrackingUnit3:ComboBox7", "ComboBox7Change:ComboBox7"}));
        form->calls.clear();
        for (int i = 1; i <= 12; ++i)
            if (i != 7)
                form->findChild<QComboBox*>(QStringLiteral("ComboBox%1").arg(i))->setCurrentIndex(1);
        QCOMPARE(form->calls, QStringList());
    }
};

QTEST_MAIN(LayoutBindingsTest)
#include "tst_layout_bindings.moc"
