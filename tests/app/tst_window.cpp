// SPDX-License-Identifier: Apache-2.0
// The window as the operator meets it: the initial state, the layout, the key filter, the range
// rules, the interval rule, the interlock, the input 5 lock and what a load makes of them.
#include "app/application.h"
#include "app/tform1.h"
#include "record/codec.h"
#include "scripted_dialogs.h"

#include <QCheckBox>
#include <QTemporaryDir>
#include <QClipboard>
#include <QComboBox>
#include <QAbstractItemView>
#include <QGroupBox>
#include <QImageReader>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QSignalSpy>
#include <QTest>

#include <stdexcept>

using kestravo::TConfigRecord;

namespace {

const QString kIntervalWarning =
    QStringLiteral("Warning! \"Checkout interval\" should be large then \"Send time interval\"");
const QString kInterlockWarning =
    QStringLiteral("Warning! Prohibited from sharing mode dynamic geofence and auto tracking!");

QString NotANumber(const QString& text)
{
    return QStringLiteral("''%1'' is not a valid integer value.").arg(text);
}

// A record whose fields hold the given values and every other bit zero, Edit26 in range.
TConfigRecord RecordWith(std::initializer_list<std::pair<const char*, int>> values)
{
    TConfigRecord record{};
    kestravo::WriteField(record, *kestravo::FieldByControl("Edit26"), 5);
    for (const auto& [control, value] : values) {
        const kestravo::FieldSpec* field = kestravo::FieldByControl(control);
        if (field == nullptr)
            throw std::invalid_argument(control);
        kestravo::WriteField(record, *field, value);
    }
    return record;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private:
    DialogScript script;
    std::unique_ptr<kestravo::TForm1> form;

    QLineEdit* Edit(const QString& name) { return Find<QLineEdit>(name); }
    QComboBox* Combo(const QString& name) { return Find<QComboBox>(name); }
    QCheckBox* Check(const QString& name) { return Find<QCheckBox>(name); }
    QLabel* Label(const QString& name) { return Find<QLabel>(name); }

    template <class W>
    W* Find(const QString& name)
    {
        W* w = form->findChild<W*>(name);
        if (w == nullptr)
            qFatal("no %s named %s", W::staticMetaObject.className(), qPrintable(name));
        return w;
    }

    // What the operator does: replace the whole text by typing.
    void TypeInto(QLineEdit* edit, const QString& text)
    {
        edit->selectAll();
        if (text.isEmpty())
            QTest::keyClick(edit, Qt::Key_Backspace);
        else
            QTest::keyClicks(edit, text);
    }

    void Load(const TConfigRecord& record) { kestravo::DecodeRecord(*form, record); }

    // What the operator does: paste over the whole text, one change.
    void PasteInto(QLineEdit* edit, const QString& text)
    {
        edit->selectAll();
        if (text.isEmpty())
            edit->del();
        else
            edit->insert(text);
    }

    // The operator opens the list, moves to an item and confirms it with Return.
    void PickItem(QComboBox* combo, int index)
    {
        combo->showPopup();
        QAbstractItemView* view = combo->view();
        view->setCurrentIndex(view->model()->index(index, 0));
        QTest::keyClick(view, Qt::Key_Return);
        QVERIFY(!view->isVisible());
    }

private slots:
    void init()
    {
        script = DialogScript{};
        form = NewScriptedForm(script);
    }
    void cleanup()
    {
        QVERIFY2(script.unexpected.isEmpty(), qPrintable(script.unexpected.join(", ")));
        form.reset();
    }

    void initialState()
    {
        QCOMPARE(form->windowTitle(), QStringLiteral("Tormalk KESTRAVO v2.2"));
        QCOMPARE(form->size(), QSize(906, 751));
        QVERIFY(form->windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form->minimumSize() != form->maximumSize()); // sizeable

        QCOMPARE(Edit("Edit1")->text(), QString());
        QCOMPARE(Edit("Edit1")->maxLength(), 15);
        QCOMPARE(Edit("Edit2")->text(), QStringLiteral("0"));
        QCOMPARE(Edit("Edit26")->text(), QStringLiteral("5"));
        for (int i = 3; i <= 25; ++i)
            QCOMPARE(Edit(QStringLiteral("Edit%1").arg(i))->text(), QStringLiteral("0"));
        for (int i = 1; i <= 12; ++i)
            QCOMPARE(Combo(QStringLiteral("ComboBox%1").arg(i))->currentIndex(), 0);
        for (int i = 1; i <= 14; ++i)
            QVERIFY(!Check(QStringLiteral("CheckBox%1").arg(i))->isChecked());
        // The same values as the field table holds them.
        for (const kestravo::FieldSpec& field : kestravo::Fields())
            QCOMPARE(kestravo::ReadSetting(*form, field), field.initial);
        for (const char* name : {"Edit18", "Edit19"})
            QVERIFY(Edit(name)->isEnabled());
        for (const char* name : {"ComboBox8", "ComboBox9"})
            QVERIFY(Combo(name)->isEnabled());

        // The unit label still shows its stored Cyrillic caption: no rule ran while the window
        // was built.
        QCOMPARE(Label("Label22")->text(), QStringLiteral("Time ХХ, sec"));
        QVERIFY(Label("Label39")->isHidden());
        QVERIFY(Find<QPlainTextEdit>("DisplayMemo")->isHidden());
        QCOMPARE(Find<QPlainTextEdit>("DisplayMemo")->toPlainText(), QStringLiteral("DisplayMemo"));
        QVERIFY(Label("Image2")->isHidden());
        QVERIFY(script.shown.isEmpty());
    }

    void geometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("rect");
        auto row = [](const char* n, const char* p, int x, int y, int w, int h) {
            QTest::newRow(n) << QString(n) << QString(p) << QRect(x, y, w, h);
        };
        row("Panel2", "Form1", 0, 0, 73, 751);
        row("Image1", "Panel2", 0, 24, 73, 727);
        row("Panel1", "Form1", 73, 0, 833, 751);
        row("Image2", "Panel1", 1, 1, 831, 749);
        row("Edit1", "Panel1", 51, 13, 121, 21);
        row("Button1", "Panel1", 16, 40, 135, 25);
        row("Button2", "Panel1", 184, 40, 129, 25);
        row("Button3", "Panel1", 16, 71, 135, 25);
        row("Edit2", "Panel1", 253, 12, 63, 21);
        row("Edit3", "Panel1", 253, 94, 63, 21);
        row("CheckBox6", "Panel1", 210, 167, 122, 17);
        row("ComboBox1", "Panel1", 441, 13, 384, 21);
        row("Edit11", "Panel1", 441, 381, 57, 21);
        row("ComboBox7", "Panel1", 441, 499, 385, 21);
        row("Edit15", "Panel1", 441, 526, 57, 21);
        row("CheckBox14", "Panel1", 519, 211, 304, 17);
        row("CheckBox7", "Panel1", 519, 615, 162, 17);
        row("ComboBox9", "Panel1", 441, 694, 385, 21);
        row("DisplayMemo", "Panel1", 519, 382, 304, 111);
        row("GroupBox1", "Panel1", 11, 189, 321, 84);
        row("GroupBox2", "Panel1", 11, 278, 321, 163);
        row("GroupBox4", "Panel1", 11, 446, 321, 130);
        row("GroupBox3", "Panel1", 11, 581, 321, 161);
        row("Edit24", "GroupBox1", 242, 21, 63, 21);
        row("ComboBox12", "GroupBox1", 145, 49, 160, 21);
        row("CheckBox1", "GroupBox2", 17, 16, 196, 17);
        row("Edit23", "GroupBox2", 242, 58, 63, 21);
        row("Edit26", "GroupBox2", 242, 112, 63, 21);
        row("ComboBox10", "GroupBox4", 80, 73, 225, 21);
        row("CheckBox13", "GroupBox3", 16, 131, 179, 17);
    }
    void geometry()
    {
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QRect, rect);
        auto* w = form->findChild<QWidget*>(name);
        QVERIFY(w != nullptr);
        QCOMPARE(w->parentWidget()->objectName(), parent);
        QCOMPARE(w->geometry(), rect);
    }

    void enlargingMovesNoControl()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        const QRect combo = Combo("ComboBox7")->geometry();
        const QRect imei = Edit("Edit1")->geometry();
        form->resize(1300, 1000);
        // The white panels grow with the window; the logo stays docked at the bottom. Only once
        // they have followed the new size does "no control moved" mean anything.
        QTRY_COMPARE(Find<QWidget>("Panel1")->geometry(), QRect(73, 0, 1227, 1000));
        QTRY_COMPARE(Find<QWidget>("Image1")->geometry(), QRect(0, 273, 73, 727));
        QCOMPARE(Find<QWidget>("Panel2")->geometry(), QRect(0, 0, 73, 1000));
        QCOMPARE(Find<QWidget>("Image2")->geometry(), QRect(1, 1, 1225, 998));
        QCOMPARE(Combo("ComboBox7")->geometry(), combo);
        QCOMPARE(Edit("Edit1")->geometry(), imei);
        form->resize(906, 751);
        QTRY_COMPARE(Find<QWidget>("Panel1")->geometry(), QRect(73, 0, 833, 751));
        QTRY_COMPARE(Find<QWidget>("Image1")->geometry(), QRect(0, 24, 73, 727));
    }

    void captions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        auto row = [](const char* n, const QString& c) { QTest::newRow(n) << QString(n) << c; };
        row("Label1", "IMEI");
        row("Label6", "Time ХХ, min");
        row("Label7", "Time УУ, sec");
        row("Label19", "Time УУ, sec");
        row("Label20", "Time ХХ, min");
        row("Label38", "Parameter stability point (5 - 250 points)");
        row("Button3", "SEND CONFIG TO SAT");
        row("CheckBox14", "Send message a timer \"check out\" if state has changed");
        row("GroupBox3", "Additional data for standart package");
    }
    void captions()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QWidget* w = form->findChild<QWidget*>(name);
        QVERIFY(w != nullptr);
        QString text;
        if (auto* l = qobject_cast<QLabel*>(w))
            text = l->text();
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            text = b->text();
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            text = g->title();
        QCOMPARE(text, caption);
    }

    // Every caption fits its place in the window's face: check box and button captions inside
    // their controls, labels clear of the controls beside them, whatever unit label Edit15 has.
    void captionsFit()
    {
        const QString face = QFontInfo(form->font()).family();
        for (QAbstractButton* b : form->findChildren<QAbstractButton*>()) {
            QRect room = b->rect();
            if (auto* box = qobject_cast<QCheckBox*>(b)) {
                QStyleOptionButton option;
                option.initFrom(box);
                option.text = box->text();
                room = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
            }
            const int needed = b->fontMetrics().horizontalAdvance(b->text());
            QVERIFY2(needed <= room.width(),
                     qPrintable(QStringLiteral("%1 \"%2\" needs %3 pixels of %4 in %5")
                                    .arg(b->objectName(), b->text())
                                    .arg(needed)
                                    .arg(room.width())
                                    .arg(face)));
        }
        // Each group's controls sit inside its frame, clear of its caption.
        for (QGroupBox* g : form->findChildren<QGroupBox*>()) {
            QStyleOptionGroupBox option;
            option.initFrom(g);
            option.text = g->title();
            option.textAlignment = g->alignment();
            option.lineWidth = 1;
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QRect inside = g->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                            QStyle::SC_GroupBoxContents, g);
            const QRect caption =
                g->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, g);
            QVERIFY2(g->fontMetrics().horizontalAdvance(g->title()) <= caption.width(),
                     qPrintable(g->objectName()));
            for (QWidget* child : g->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                QVERIFY2(inside.contains(child->geometry()) &&
                             !caption.intersects(child->geometry()),
                         qPrintable(QStringLiteral("%1 crosses the frame of %2")
                                        .arg(child->objectName(), g->objectName())));
            }
        }
        for (int item = 0; item < 4; ++item) {
            form->SetItemIndex("ComboBox7", item);
            for (QLabel* label : form->findChildren<QLabel*>(QRegularExpression("^Label\\d+$"))) {
                if (label->isHidden())
                    continue;
                QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
                         qPrintable(label->objectName()));
                for (QWidget* other : label->parentWidget()->findChildren<QWidget*>(
                         Qt::FindDirectChildrenOnly)) {
                    if (other == label || other->isHidden())
                        continue;
                    QVERIFY2(!label->geometry().intersects(other->geometry()),
                             qPrintable(QStringLiteral("%1 \"%2\" runs into %3 in %4")
                                            .arg(label->objectName(), label->text(),
                                                 other->objectName(), face)));
                }
            }
        }
    }

    void listItems_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("items");
        const QStringList inputs = {"No event", "Send ZZ messages",
                                    "Send message a ХХ min with interval YY sec",
                                    "Send message. Repeat transmit while not sending"};
        QTest::newRow("ComboBox1") << "ComboBox1"
                                   << QStringList{"No event", "Send ZZ messages",
                                                  "Send message ХХ min with interval YY sec",
                                                  "Send message. Repeat transmit while not sending"};
        for (const char* n : {"ComboBox2", "ComboBox3", "ComboBox4", "ComboBox6"})
            QTest::newRow(n) << QString(n) << inputs;
        QStringList five = inputs;
        five[3] = "Set input to \"passive\" if time between impulses large NN sec";
        QTest::newRow("ComboBox5") << "ComboBox5" << five;
        QTest::newRow("ComboBox7")
            << "ComboBox7"
            << QStringList{"No event", "Autotracking turn ON with out sleeping. Sendind at XX sec",
                           "Autotracking turn ON with sleeping (after send). Sendind at XX sec",
                           "Autotracking turn ON with out sleeping. Sendind at XX meters"};
        QTest::newRow("ComboBox8") << "ComboBox8"
                                   << QStringList{"No events", "Send message",
                                                  "Send message and enable OUT on 5 sec", "Reserved"};
        QTest::newRow("ComboBox9") << "ComboBox9"
                                   << QStringList{"Current voltage < LOW Level",
                                                  "LOW level < Current voltage < HIGH Level",
                                                  "Current voltage > HIGH Level", "Reserved"};
        QTest::newRow("ComboBox10") << "ComboBox10"
                                    << QStringList{"No event", "Send message", "Enable OUT on 5 sec",
                                                   "Reserved"};
        QTest::newRow("ComboBox11") << "ComboBox11"
                                    << QStringList{"Current TEMP. < LOW Level",
                                                   "LOW level < Current TEMP. < HIGH Level",
                                                   "Current TEMP. > HIGH Level", "Reserved"};
        QTest::newRow("ComboBox12") << "ComboBox12"
                                    << QStringList{"No event", "Set Flag and send message ",
                                                   "Disable transmitter to end month. send message",
                                                   "Reserved"};
    }
    void listItems()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, items);
        QComboBox* combo = Combo(name);
        QVERIFY(!combo->isEditable());
        QStringList actual;
        for (int i = 0; i < combo->count(); ++i)
            actual << combo->itemText(i);
        QCOMPARE(actual, items);
    }

    void tabOrder()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QCOMPARE(QApplication::focusWidget(), Edit("Edit1"));
        const QStringList expected = {
            "Button1", "Edit2", "Edit3", "ComboBox1", "ComboBox2", "Edit4", "Edit5", "Edit6",
            "ComboBox3", "ComboBox4", "Edit7", "Edit8", "Edit9", "Edit10", "ComboBox5",
            "ComboBox6", "Edit11", "Edit12", "Edit13", "Edit14", "ComboBox7", "Edit15", "Edit16",
            "Edit17", "Edit18", "Edit19", "ComboBox8", "ComboBox9", "CheckBox4", "CheckBox5",
            "CheckBox6", "CheckBox7", "Button2", "Button3", "CheckBox1", "Edit22", "Edit23",
            "CheckBox2", "Edit25", "Edit26", "CheckBox8", "CheckBox9", "CheckBox10", "CheckBox11",
            "CheckBox12", "CheckBox13", "Edit20", "Edit21", "ComboBox10", "ComboBox11",
            "CheckBox3", "CheckBox14", "Edit24", "ComboBox12", "Edit1"};
        QStringList visited;
        for (int i = 0; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, expected);
        QVERIFY(script.shown.isEmpty());
    }

    void pictures()
    {
        form->show();
        const QPixmap logo = Label("Image1")->pixmap();
        QCOMPARE(logo.size(), QSize(72, 726));
        // The hidden background is decoded only if something ever shows it.
        QLabel* back = Label("Image2");
        QVERIFY(back->pixmap().isNull());
        back->show();
        QVERIFY(back->isVisible());
        QCOMPARE(back->pixmap().size(), QSize(400, 287));
        back->hide();
        QVERIFY(logo.hasAlphaChannel());
        QVERIFY(QImageReader::supportedImageFormats().contains("jpeg"));
        QCOMPARE(QImageReader(":/pictures/Image1.png").format(), QByteArray("png"));
        QCOMPARE(QImageReader(":/pictures/Image2.jpg").format(), QByteArray("jpeg"));

        // The stored bytes: PNG 8-bit RGBA, not interlaced, with gAMA; JPEG baseline, 3 components.
        QFile png(":/pictures/Image1.png");
        QVERIFY(png.open(QIODevice::ReadOnly));
        const QByteArray p = png.readAll();
        QVERIFY(p.startsWith("\x89PNG\r\n\x1a\n"));
        QCOMPARE(p.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(static_cast<int>(p.at(24)), 8); // bit depth
        QCOMPARE(static_cast<int>(p.at(25)), 6); // colour type RGBA
        QCOMPARE(static_cast<int>(p.at(28)), 0); // no interlace
        QVERIFY(p.contains("gAMA"));
        QFile jpg(":/pictures/Image2.jpg");
        QVERIFY(jpg.open(QIODevice::ReadOnly));
        const QByteArray j = jpg.readAll();
        const qsizetype sof0 = j.indexOf(QByteArray("\xFF\xC0", 2));
        QVERIFY(sof0 > 0);
        QVERIFY(!j.contains(QByteArray("\xFF\xC2", 2))); // not progressive
        QCOMPARE(static_cast<int>(static_cast<uchar>(j.at(sof0 + 9))), 3); // components
    }

    // A focused button takes Return and the keypad's Enter as it takes Space; with Shift or Ctrl
    // held, Return is no press.
    void returnPressesAFocusedButton_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("presses");
        QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier) << 1;
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 1;
        QTest::newRow("Space") << int(Qt::Key_Space) << int(Qt::NoModifier) << 1;
        QTest::newRow("Ctrl+Return") << int(Qt::Key_Return) << int(Qt::ControlModifier) << 0;
    }
    void returnPressesAFocusedButton()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, presses);
        auto* open = form->findChild<QPushButton*>("Button2");
        QVERIFY(open != nullptr);
        script.openAnswers << std::nullopt;
        open->setFocus();
        // Key clicks are delivered at once; the click they cause runs before keyClick returns.
        QTest::keyClick(open, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(script.openAsked, presses);
        if (presses == 0)
            script.openAnswers.clear();
    }

    void keyFilter_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("result");
        QTest::newRow("letter dropped") << "a" << "";
        QTest::newRow("digits and signs pass") << "1+-2" << "1+-2";
        QTest::newRow("letters among digits") << "12a3b" << "123";
        QTest::newRow("non-Latin letter") << "7ж8Ω" << "78";
        QTest::newRow("blank and punctuation") << "1 2.3,4" << "1234";
        QTest::newRow("sixteenth character refused") << "1234567890123456" << "123456789012345";
    }
    void keyFilter()
    {
        QFETCH(QString, typed);
        QFETCH(QString, result);
        QLineEdit* imei = Edit("Edit1");
        // Characters beyond Latin-1 arrive as key events carrying their text, as from a keyboard.
        for (QChar c : typed) {
            if (c.unicode() < 0x80)
                QTest::keyClick(imei, c.toLatin1());
            else
                QTest::sendKeyEvent(QTest::Click, imei, Qt::Key_unknown, QString(c),
                                    Qt::NoModifier);
        }
        QCOMPARE(imei->text(), result);
    }

    void keyFilterAppliesToInputMethods()
    {
        QLineEdit* imei = Edit("Edit1");
        QInputMethodEvent composed(QString(), {});
        composed.setCommitString(QStringLiteral("12"));
        QCoreApplication::sendEvent(imei, &composed);
        QCOMPARE(imei->text(), QStringLiteral("12"));
        QInputMethodEvent foreign(QString(), {});
        foreign.setCommitString(QStringLiteral("3ж"));
        QCoreApplication::sendEvent(imei, &foreign);
        QCOMPARE(imei->text(), QStringLiteral("12"));
    }

    // Each row: the IMEI the program put there, the text on the clipboard, whether it arrives by
    // the paste key or by the edit's paste (as the menu and the middle button do), the result.
    void keyFilterAppliesToPastedText_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<bool>("byKey");
        QTest::addColumn<QString>("result");
        QTest::newRow("digits by the paste key") << "" << "350150020000001" << true
                                                 << "350150020000001";
        QTest::newRow("digits and signs by the menu") << "12" << "+3-4" << false << "12+3-4";
        QTest::newRow("a letter refuses the paste") << "12" << "3a4" << true << "12";
        QTest::newRow("non-Latin letter by the menu") << "12" << "3ж" << false << "12";
        QTest::newRow("line break") << "12" << "34\n" << true << "12";
        QTest::newRow("backspace character") << "12" << "3\b" << false << "12";
        QTest::newRow("sixteenth character cut off") << "1234567890" << "123456" << true
                                                     << "123456789012345";
        QTest::newRow("name from a file stays, digits join it") << "abc.sbd" << "1" << true
                                                                << "abc.sbd1";
        QTest::newRow("name from a file stays, letters refused") << "abc.sbd" << "x" << false
                                                                 << "abc.sbd";
    }
    void keyFilterAppliesToPastedText()
    {
        QFETCH(QString, before);
        QFETCH(QString, clipboard);
        QFETCH(bool, byKey);
        QFETCH(QString, result);
        QLineEdit* imei = Edit("Edit1");
        if (!before.isEmpty()) {
            // As the open command puts it there.
            QTemporaryDir dir;
            const QString path = dir.filePath(before);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            // A record of zeros with its check bytes right: opened without a question.
            QByteArray zeros(44, '\0');
            auto* bytes = reinterpret_cast<std::uint8_t*>(zeros.data());
            bytes[kestravo::kPayloadCheckOffset] = kestravo::ConfigChecksum(bytes + kestravo::kHeaderSize, 39);
            bytes[kestravo::kRecordCheckOffset] = kestravo::ConfigChecksum(bytes, 43);
            file.write(zeros);
            file.close();
            script.openAnswers << path;
            form->Button2Click();
        }
        QCOMPARE(imei->text(), before);
        imei->end(false);
        QGuiApplication::clipboard()->setText(clipboard);
        if (byKey)
            QTest::keySequence(imei, QKeySequence::Paste);
        else
            imei->paste();
        QCOMPARE(imei->text(), result);
    }

    void editingShortcutsWorkInTheImei()
    {
        QLineEdit* imei = Edit("Edit1");
        QTest::keyClicks(imei, "12345");
        QTest::keySequence(imei, QKeySequence::SelectAll);
        QCOMPARE(imei->selectedText(), QStringLiteral("12345"));
        QTest::keySequence(imei, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("12345"));
        QTest::keySequence(imei, QKeySequence::Cut);
        QCOMPARE(imei->text(), QString());
        QTest::keySequence(imei, QKeySequence::Undo);
        QCOMPARE(imei->text(), QStringLiteral("12345"));
    }

    void keyFilterLeavesEditingKeys()
    {
        QLineEdit* imei = Edit("Edit1");
        QTest::keyClicks(imei, "12345");
        QTest::keyClick(imei, Qt::Key_Backspace);
        QCOMPARE(imei->text(), QStringLiteral("1234"));
        QTest::keyClick(imei, Qt::Key_Left);
        QTest::keyClick(imei, Qt::Key_Left);
        QTest::keyClick(imei, Qt::Key_Delete);
        QCOMPARE(imei->text(), QStringLiteral("124"));
        QTest::keyClick(imei, Qt::Key_Home);
        QTest::keyClicks(imei, "9");
        QCOMPARE(imei->text(), QStringLiteral("9124"));
        QChar tab(u'\t');
        form->KeyPressDigit(imei, tab);
        QVERIFY(tab.isNull()); // a control character typed as a character is dropped
        QChar backspace(u'\b');
        form->KeyPressDigit(imei, backspace);
        QCOMPARE(backspace, QChar(u'\b'));
    }

    // Each row: the edit, the text the change leaves, the text it ends with, the error shown.
    void rangeRules_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("entered");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("error");
        auto row = [](const char* tag, const char* e, const QString& in, const QString& out,
                      const QString& err = QString()) {
            QTest::newRow(tag) << QString(e) << in << out << err;
        };
        row("Edit4 cleared", "Edit4", "", "0");
        row("Edit4 above 250", "Edit4", "300", "250");
        row("Edit4 at 250", "Edit4", "250", "250");
        row("Edit4 between 250 and 255", "Edit4", "251", "250");
        row("Edit4 negative stays", "Edit4", "-7", "-7");
        row("Edit4 hexadecimal", "Edit4", "$FF", "250");
        row("Edit4 hexadecimal in range", "Edit4", "0x1F", "0x1F");
        row("Edit25 above", "Edit25", "999", "250");
        row("Edit5 above 60", "Edit5", "61", "60");
        row("Edit17 above 60", "Edit17", "1000", "60");
        row("Edit14 cleared", "Edit14", "", "0");
        row("Edit6 above 15", "Edit6", "16", "15");
        row("Edit13 above 15", "Edit13", "99", "15");
        row("Edit15 at 65000", "Edit15", "65000", "65000");
        row("Edit15 above 65000", "Edit15", "65001", "65000");
        row("Edit15 cleared", "Edit15", "", "0");
        row("Edit26 cleared", "Edit26", "", "5");
        row("Edit26 below 5", "Edit26", "3", "5");
        row("Edit26 negative", "Edit26", "-1", "5");
        row("Edit26 above 250", "Edit26", "251", "250");
        row("Edit26 in range", "Edit26", "100", "100");
        row("Edit5 letter", "Edit5", "x", "x", NotANumber("x"));
        row("Edit4 lone minus", "Edit4", "-", "-", NotANumber("-"));
        row("Edit26 lone plus", "Edit26", "+", "+", NotANumber("+"));
        row("Edit15 trailing blank", "Edit15", "12 ", "12 ", NotANumber("12 "));
        row("Edit6 beyond 32 bits", "Edit6", "99999999999", "99999999999",
            NotANumber("99999999999"));
    }
    void rangeRules()
    {
        QFETCH(QString, edit);
        QFETCH(QString, entered);
        QFETCH(QString, result);
        QFETCH(QString, error);
        QLineEdit* e = Edit(edit);

        // Programmatically, as a load sets it.
        form->SetText(edit.toStdString(), entered.toStdString());
        QCOMPARE(e->text(), result);
        QCOMPARE(script.Errors(), error.isEmpty() ? QStringList() : QStringList{error});
        QVERIFY(script.Messages().isEmpty());

        // Pasted by the operator over a different text.
        form->SetText(edit.toStdString(), "7");
        script.shown.clear();
        PasteInto(e, entered);
        QCOMPARE(e->text(), result);
        QCOMPARE(script.Errors(), error.isEmpty() ? QStringList() : QStringList{error});
    }

    void clampRunsOnceNestedAndEqualTextIsNoChange()
    {
        QLineEdit* e = Edit("Edit4");
        QSignalSpy changes(e, &QLineEdit::textChanged);
        e->setText("300");
        // "300", then the nested "250", which changes nothing more (the nested notification
        // reaches the spy first).
        QCOMPARE(changes.size(), 2);
        QCOMPARE(changes.at(0).at(0).toString(), QStringLiteral("250"));
        QCOMPARE(changes.at(1).at(0).toString(), QStringLiteral("300"));
        e->setText("250");
        form->SetText("Edit4", "250");
        QCOMPARE(changes.size(), 2);
        QSignalSpy toggles(Check("CheckBox7"), &QCheckBox::toggled);
        form->SetChecked("CheckBox7", false);
        QCOMPARE(toggles.size(), 0);
    }

    void stabilityTypedDigitByDigit()
    {
        QLineEdit* e = Edit("Edit26");
        TypeInto(e, "1");
        QCOMPARE(e->text(), QStringLiteral("5")); // the first digit alone is below 5
        e->selectAll();
        QTest::keyClicks(e, "2");
        QCOMPARE(e->text(), QStringLiteral("5"));
        QTest::keyClicks(e, "0");
        QCOMPARE(e->text(), QStringLiteral("50"));
        QTest::keyClicks(e, "0");
        QCOMPARE(e->text(), QStringLiteral("250"));
        QTest::keyClicks(e, "1");
        QCOMPARE(e->text(), QStringLiteral("250"));
        QTest::keyClick(e, Qt::Key_Backspace);
        QTest::keyClick(e, Qt::Key_Backspace);
        QTest::keyClick(e, Qt::Key_Backspace);
        QCOMPARE(e->text(), QStringLiteral("5"));
        QVERIFY(script.shown.isEmpty());
    }

    void unboundMemberClampsToThree()
    {
        QLineEdit spare;
        spare.setText("7");
        form->Edit_val_0_3(&spare);
        QCOMPARE(spare.text(), QStringLiteral("3"));
        spare.setText("");
        form->Edit_val_0_3(&spare);
        QCOMPARE(spare.text(), QStringLiteral("0"));
        spare.setText("-2");
        form->Edit_val_0_3(&spare);
        QCOMPARE(spare.text(), QStringLiteral("-2"));
        spare.setText("q");
        QVERIFY_THROWS_EXCEPTION(kestravo::EConvertError, form->Edit_val_0_3(&spare));
    }

    // Each row: both intervals before, the edit the operator changes, its new text, both after,
    // whether the warning shows.
    void intervalRule_data()
    {
        QTest::addColumn<QString>("send");
        QTest::addColumn<QString>("checkout");
        QTest::addColumn<QString>("changed");
        QTest::addColumn<QString>("entered");
        QTest::addColumn<QString>("sendAfter");
        QTest::addColumn<QString>("checkoutAfter");
        QTest::addColumn<bool>("warned");
        QTest::addColumn<bool>("typed"); // digit by digit, else pasted at once
        QTest::newRow("checkout raised above send") << "10" << "0" << "Edit23" << "20" << "20"
                                                    << "20" << true << false;
        QTest::newRow("send lowered below checkout") << "100" << "60" << "Edit3" << "30" << "30"
                                                     << "30" << true << false;
        QTest::newRow("equal passes") << "10" << "0" << "Edit23" << "10" << "10" << "10" << false
                                      << false;
        QTest::newRow("checkout below send passes") << "10" << "0" << "Edit23" << "5" << "10"
                                                    << "5" << false << false;
        QTest::newRow("send above checkout passes") << "10" << "5" << "Edit3" << "50" << "50"
                                                    << "5" << false << true;
        QTest::newRow("send typed digit by digit") << "100" << "60" << "Edit3" << "30" << "30"
                                                   << "3" << true << true;
        QTest::newRow("checkout typed digit by digit") << "15" << "0" << "Edit23" << "20" << "20"
                                                       << "20" << true << true;
        QTest::newRow("hexadecimal compared by value") << "16" << "0" << "Edit23" << "$11"
                                                       << "$11" << "$11" << true << false;
    }
    void intervalRule()
    {
        QFETCH(QString, send);
        QFETCH(QString, checkout);
        QFETCH(QString, changed);
        QFETCH(QString, entered);
        QFETCH(QString, sendAfter);
        QFETCH(QString, checkoutAfter);
        QFETCH(bool, warned);
        QFETCH(bool, typed);
        Edit("Edit3")->setText(send);
        Edit("Edit23")->setText(checkout);
        QVERIFY(script.shown.isEmpty());

        // The correction is already on screen when the warning shows.
        QStringList atWarning;
        script.onShown = [&](const DialogScript::Shown&) {
            atWarning << Edit("Edit3")->text() + "/" + Edit("Edit23")->text();
        };
        if (typed)
            TypeInto(Edit(changed), entered);
        else
            PasteInto(Edit(changed), entered);
        QCOMPARE(Edit("Edit3")->text(), sendAfter);
        QCOMPARE(Edit("Edit23")->text(), checkoutAfter);
        QCOMPARE(script.Messages(), warned ? QStringList{kIntervalWarning} : QStringList());
        QVERIFY(script.Errors().isEmpty());
        if (warned) {
            QCOMPARE(atWarning.size(), 1);
            const QStringList pair = atWarning.first().split('/');
            QCOMPARE(pair.at(0), pair.at(1));
        }
    }

    void emptiedIntervalFailsTheOther()
    {
        Edit("Edit3")->setText("10");
        TypeInto(Edit("Edit3"), "");
        QCOMPARE(Edit("Edit3")->text(), QString());
        QVERIFY(script.shown.isEmpty());
        TypeInto(Edit("Edit23"), "5");
        QCOMPARE(script.Errors(), QStringList{NotANumber("")});
        QCOMPARE(Edit("Edit23")->text(), QStringLiteral("5"));
        QCOMPARE(Edit("Edit3")->text(), QString());
        // The window stays usable: entering a number again lets the rule work.
        TypeInto(Edit("Edit3"), "2");
        QCOMPARE(Edit("Edit23")->text(), QStringLiteral("2"));
        QCOMPARE(script.Messages(), QStringList{kIntervalWarning});
    }

    void geofenceRefusedWhileTracking()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->SetItemIndex("ComboBox7", 1);
        QVERIFY(script.shown.isEmpty()); // a programmatic choice runs no rule
        QCheckBox* geofence = Check("CheckBox1");
        QTest::mouseClick(geofence, Qt::LeftButton, {}, QPoint(8, geofence->height() / 2));
        QCOMPARE(script.Messages(), QStringList{kInterlockWarning});
        QVERIFY(!geofence->isChecked());
        QCOMPARE(Combo("ComboBox7")->currentIndex(), 1);
    }

    void trackingRefusedWhileGeofence_data()
    {
        QTest::addColumn<int>("item");
        QTest::newRow("item 1") << 1;
        QTest::newRow("item 2") << 2;
        QTest::newRow("item 3") << 3;
    }
    void trackingRefusedWhileGeofence()
    {
        QFETCH(int, item);
        Check("CheckBox1")->setChecked(true);
        QVERIFY(script.shown.isEmpty());
        PickItem(Combo("ComboBox7"), item);
        QCOMPARE(script.Messages(), QStringList{kInterlockWarning});
        QCOMPARE(Combo("ComboBox7")->currentIndex(), 0);
        QVERIFY(Check("CheckBox1")->isChecked());
        QCOMPARE(Label("Label22")->text(), QStringLiteral("Time XX, sec"));
        QVERIFY(Label("Label39")->isHidden());
    }

    void unitLabelFollowsTheItem_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<bool>("hint");
        QTest::newRow("no event") << 0 << "Time XX, sec" << false;
        QTest::newRow("without sleeping") << 1 << "Time XX, sec" << false;
        QTest::newRow("with sleeping") << 2 << "Time XX, sec" << true;
        QTest::newRow("by distance") << 3 << "Dist XX, meter" << false;
    }
    void unitLabelFollowsTheItem()
    {
        QFETCH(int, item);
        QFETCH(QString, unit);
        QFETCH(bool, hint);
        // Chosen by the operator, from another item.
        Combo("ComboBox7")->setCurrentIndex(item == 3 ? 2 : 3);
        PickItem(Combo("ComboBox7"), item);
        QCOMPARE(Combo("ComboBox7")->currentIndex(), item);
        QCOMPARE(Label("Label22")->text(), unit);
        QCOMPARE(!Label("Label39")->isHidden(), hint);
        // Set by the program, as a load does: the label follows as well.
        form->SetItemIndex("ComboBox7", item == 3 ? 2 : 3);
        form->SetItemIndex("ComboBox7", item);
        QCOMPARE(Label("Label22")->text(), unit);
        QCOMPARE(!Label("Label39")->isHidden(), hint);
        QVERIFY(script.shown.isEmpty());
    }

    void input5Lock()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        Combo("ComboBox8")->setCurrentIndex(1);
        Combo("ComboBox9")->setCurrentIndex(2);
        QCheckBox* frequency = Check("CheckBox7");
        const QPoint box(8, frequency->height() / 2);
        QTest::mouseClick(frequency, Qt::LeftButton, {}, box);
        QVERIFY(frequency->isChecked());
        QCOMPARE(Combo("ComboBox8")->currentIndex(), 0);
        QCOMPARE(Combo("ComboBox9")->currentIndex(), 2); // disabled controls keep their values
        for (QWidget* w : std::initializer_list<QWidget*>{Edit("Edit18"), Edit("Edit19"),
                                                          Combo("ComboBox8"), Combo("ComboBox9")})
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        QTest::mouseClick(frequency, Qt::LeftButton, {}, box);
        QVERIFY(!frequency->isChecked());
        QCOMPARE(Combo("ComboBox8")->currentIndex(), 0);
        for (QWidget* w : std::initializer_list<QWidget*>{Edit("Edit18"), Edit("Edit19"),
                                                          Combo("ComboBox8"), Combo("ComboBox9")})
            QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
        QVERIFY(script.shown.isEmpty());
    }

    // ---- Loading records: the rules run as the codec writes the controls ----

    void loadClampsAndConverts_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("Edit4 255") << "Edit4" << 255 << "250";
        QTest::newRow("Edit7 251") << "Edit7" << 251 << "250";
        QTest::newRow("Edit25 250") << "Edit25" << 250 << "250";
        QTest::newRow("Edit5 63") << "Edit5" << 63 << "60";
        QTest::newRow("Edit17 61") << "Edit17" << 61 << "60";
        QTest::newRow("Edit6 15") << "Edit6" << 15 << "15";
        QTest::newRow("Edit15 65535") << "Edit15" << 65535 << "65000";
        QTest::newRow("Edit15 65000") << "Edit15" << 65000 << "65000";
        QTest::newRow("Edit26 0") << "Edit26" << 0 << "5";
        QTest::newRow("Edit26 4") << "Edit26" << 4 << "5";
        QTest::newRow("Edit26 255") << "Edit26" << 255 << "250";
        QTest::newRow("Edit18 unclamped") << "Edit18" << 255 << "255";
        QTest::newRow("Edit20 signed") << "Edit20" << 0xEC << "-20";
        QTest::newRow("Edit16 repeats") << "Edit16" << 1 << "1";
        QTest::newRow("Edit2 password") << "Edit2" << 4095 << "4095";
    }
    void loadClampsAndConverts()
    {
        QFETCH(QString, control);
        QFETCH(int, stored);
        QFETCH(QString, shown);
        Load(RecordWith({{qPrintable(control), stored}}));
        QCOMPARE(Edit(control)->text(), shown);
        QVERIFY(script.shown.isEmpty());
    }

    void loadIntervalWarnsAtSendInterval()
    {
        // Edit23 still shows 100 from before: the loaded send interval 50 is below it.
        Edit("Edit3")->setText("100");
        Edit("Edit23")->setText("100");
        QVERIFY(script.shown.isEmpty());
        QStringList atWarning;
        script.onShown = [&](const DialogScript::Shown&) {
            atWarning << Edit("Edit3")->text() + "/" + Edit("Edit23")->text() + "/" +
                             Edit("Edit4")->text();
        };
        Load(RecordWith({{"Edit3", 50}, {"Edit23", 30}, {"Edit4", 9}}));
        QCOMPARE(script.Messages(), QStringList{kIntervalWarning});
        QCOMPARE(atWarning, QStringList{"50/50/0"}); // at order 4, before Edit4 is loaded
        QCOMPARE(Edit("Edit3")->text(), QStringLiteral("50"));
        QCOMPARE(Edit("Edit23")->text(), QStringLiteral("30"));
        QCOMPARE(Edit("Edit4")->text(), QStringLiteral("9"));
    }

    void loadIntervalWarnsAtCheckout()
    {
        Load(RecordWith({{"Edit3", 50}, {"Edit23", 90}}));
        QCOMPARE(script.Messages(), QStringList{kIntervalWarning});
        QCOMPARE(Edit("Edit3")->text(), QStringLiteral("90"));
        QCOMPARE(Edit("Edit23")->text(), QStringLiteral("90"));
    }

    void loadGoesOnAfterAFailingRule()
    {
        Edit("Edit23")->setText("abc");
        QCOMPARE(script.Errors(), QStringList{NotANumber("abc")});
        script.shown.clear();
        Load(RecordWith({{"Edit3", 50}, {"Edit4", 7}, {"Edit23", 20}, {"Edit26", 9}}));
        QCOMPARE(script.Errors(), QStringList{NotANumber("abc")});
        QVERIFY(script.Messages().isEmpty());
        QCOMPARE(Edit("Edit3")->text(), QStringLiteral("50"));
        QCOMPARE(Edit("Edit4")->text(), QStringLiteral("7"));
        QCOMPARE(Edit("Edit23")->text(), QStringLiteral("20"));
        QCOMPARE(Edit("Edit26")->text(), QStringLiteral("9"));
    }

    void loadGeofenceWithTracking_data()
    {
        QTest::addColumn<bool>("checkedBefore");
        QTest::addColumn<bool>("warned");
        QTest::addColumn<bool>("checkedAfter");
        QTest::newRow("box clear before") << false << true << false;
        QTest::newRow("box checked before") << true << false << true;
    }
    void loadGeofenceWithTracking()
    {
        QFETCH(bool, checkedBefore);
        QFETCH(bool, warned);
        QFETCH(bool, checkedAfter);
        Check("CheckBox1")->setChecked(checkedBefore);
        Load(RecordWith({{"CheckBox1", 1}, {"ComboBox7", 2}}));
        QCOMPARE(script.Messages(), warned ? QStringList{kInterlockWarning} : QStringList());
        QCOMPARE(Check("CheckBox1")->isChecked(), checkedAfter);
        QCOMPARE(Combo("ComboBox7")->currentIndex(), 2);
        QCOMPARE(Label("Label22")->text(), QStringLiteral("Time XX, sec"));
        QVERIFY(!Label("Label39")->isHidden());
    }

    void loadFrequencyInput_data()
    {
        QTest::addColumn<bool>("checkedBefore");
        QTest::addColumn<int>("frequencyType");
        QTest::addColumn<int>("eventAfter");
        QTest::addColumn<bool>("enabledAfter");
        QTest::newRow("becomes checked: event lost") << false << 1 << 0 << false;
        QTest::newRow("already checked: event kept") << true << 1 << 2 << false;
        QTest::newRow("becomes clear: enabled") << true << 0 << 2 << true;
    }
    void loadFrequencyInput()
    {
        QFETCH(bool, checkedBefore);
        QFETCH(int, frequencyType);
        QFETCH(int, eventAfter);
        QFETCH(bool, enabledAfter);
        Check("CheckBox7")->setChecked(checkedBefore);
        Load(RecordWith({{"CheckBox7", frequencyType}, {"ComboBox8", 2}}));
        QCOMPARE(Combo("ComboBox8")->currentIndex(), eventAfter);
        for (QWidget* w : std::initializer_list<QWidget*>{Edit("Edit18"), Edit("Edit19"),
                                                          Combo("ComboBox8"), Combo("ComboBox9")})
            QCOMPARE(w->isEnabled(), enabledAfter);
    }

    void secondIdenticalLoadRunsNoRule()
    {
        const TConfigRecord record = RecordWith({{"Edit3", 40}, {"Edit23", 30}, {"Edit4", 200},
                                                 {"Edit26", 77}, {"CheckBox7", 1},
                                                 {"ComboBox7", 3}, {"Edit15", 1200}});
        Load(record);
        QVERIFY(script.shown.isEmpty());
        QList<std::shared_ptr<QSignalSpy>> spies;
        for (QLineEdit* e : form->findChildren<QLineEdit*>())
            spies << std::make_shared<QSignalSpy>(e, &QLineEdit::textChanged);
        for (QCheckBox* c : form->findChildren<QCheckBox*>())
            spies << std::make_shared<QSignalSpy>(c, &QCheckBox::toggled);
        Load(record);
        for (const auto& spy : spies)
            QCOMPARE(spy->size(), 0);
        QVERIFY(script.shown.isEmpty());
        QCOMPARE(Label("Label22")->text(), QStringLiteral("Dist XX, meter"));
    }

    void settingsStoreRefusesUnknownNames()
    {
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, form->Text("Edit1"));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, form->SetText("Edit27", "1"));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, form->ItemIndex("ComboBox13"));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, form->Checked("CheckBox15"));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, form->SetItemIndex("ComboBox1", 4));
        QCOMPARE(form->ItemIndex("ComboBox1"), 0);
    }

    // ---- The error box's wording ----

    void errorBoxText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("ends in a letter") << "x is not a valid integer value"
                                          << "x is not a valid integer value.";
        QTest::newRow("ends in an apostrophe") << "File not found '/x/temp.sbd'"
                                               << "File not found '/x/temp.sbd'";
        QTest::newRow("ends in a period") << "Done." << "Done.";
        QTest::newRow("ends in an exclamation mark") << "Stop!" << "Stop!";
        QTest::newRow("ends in a slash") << "path /" << "path /.";
        QTest::newRow("ends in a digit") << "code 44" << "code 44.";
        QTest::newRow("ends in Cyrillic") << "ошибка" << "ошибка.";
        QTest::newRow("empty") << "" << "";
    }
    void errorBoxText()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(kestravo::ErrorBoxText(message), shown);
    }

    void innermostMessageOfAWrappedFailure()
    {
        std::exception_ptr failure;
        try {
            try {
                throw std::runtime_error("inner cause");
            } catch (...) {
                std::throw_with_nested(std::runtime_error("outer"));
            }
        } catch (...) {
            failure = std::current_exception();
        }
        QCOMPARE(kestravo::FailureMessage(failure), QStringLiteral("inner cause"));
        QCOMPARE(kestravo::FailureMessage(std::make_exception_ptr(42)), QString());
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
