// SPDX-License-Identifier: Apache-2.0
// How the operator reaches the window and its second windows: a held Return, a dark colour
// scheme, a screen reader's names, the context menu and the shortcuts.
#include "app/second_windows.h"
#include "app/tform1.h"
#include "scripted_dialogs.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// A key event as the platform delivers it, with its time stamp and auto-repeat flag.
void Key(QWidget* target, QEvent::Type type, quint64 time, bool autoRepeat)
{
    QKeyEvent event(type, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), autoRepeat);
    event.setTimestamp(time);
    QApplication::sendEvent(target, &event);
}

QString AccessibleName(QWidget* widget)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

QPalette DarkScheme()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Button, QColor(0x3c, 0x3c, 0x3c));
    dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x77, 0x77, 0x77));
    return dark;
}

} // namespace

class WindowReachTest : public QObject {
    Q_OBJECT

    DialogScript script;
    std::unique_ptr<kestravo::TForm1> form;
    QTemporaryDir home;

    // Opens target's context menu as the mouse or the menu key would, and returns its entries
    // (with their shortcuts after a "|" when asked), the separators left out.
    QStringList MenuEntries(QWidget* target, QContextMenuEvent::Reason reason, QPoint at, bool withShortcuts)
    {
        QStringList offered;
        QTimer::singleShot(0, this, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr)
                return;
            for (QAction* action : menu->actions())
                if (!action->isSeparator())
                    offered << (withShortcuts ? action->text() + u'|' +
                                                    action->shortcut().toString(QKeySequence::PortableText)
                                              : action->text());
            menu->close();
        });
        QContextMenuEvent event(reason, at, target->mapToGlobal(at));
        QApplication::sendEvent(target, &event);
        return offered;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    }
    void init()
    {
        script = DialogScript{};
        form = NewScriptedForm(script);
    }
    void cleanup()
    {
        form.reset();
        QApplication::setPalette(QPalette());
    }

    // Return held on a button: the first press clicks, the repeats do not, whether Qt marks them
    // as repeats or they come as release and press at one time stamp; a new press clicks again.
    void heldReturnClicksOnce_data()
    {
        QTest::addColumn<bool>("markedAsRepeats");
        QTest::newRow("repeats marked by Qt") << true;
        QTest::newRow("repeats as release and press at one time") << false;
    }
    void heldReturnClicksOnce()
    {
        QFETCH(bool, markedAsRepeats);
        auto* open = form->findChild<QPushButton*>(QStringLiteral("Button2"));
        for (int i = 0; i < 40; ++i)
            script.openAnswers << std::nullopt;
        open->setFocus();
        quint64 time = 1000;
        Key(open, QEvent::KeyPress, time, false);
        for (int i = 0; i < 30; ++i) {
            time += 33;
            Key(open, QEvent::KeyRelease, time, markedAsRepeats);
            Key(open, QEvent::KeyPress, time, markedAsRepeats);
        }
        time += 20;
        Key(open, QEvent::KeyRelease, time, false);
        QCOMPARE(script.openAsked, 1);

        // Let go and pressed again: a click of its own.
        time += 400;
        Key(open, QEvent::KeyPress, time, false);
        Key(open, QEvent::KeyRelease, time + 80, false);
        QCOMPARE(script.openAsked, 2);
        script.openAnswers.clear();
    }

    // Return opens a box, which takes the key's release; closed again, the next Return on the
    // button clicks at once.
    void returnAfterABoxClicksAgain()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        auto* save = form->findChild<QPushButton*>(QStringLiteral("Button1"));
        save->setFocus();
        auto* other = form->findChild<QLineEdit*>(QStringLiteral("Edit3"));
        quint64 time = 5000;
        Key(save, QEvent::KeyPress, time, false); // the short-IMEI box comes and goes here
        QCOMPARE(script.Messages().size(), 1);
        // The box had the focus meanwhile and saw the release.
        other->setFocus();
        Key(other, QEvent::KeyRelease, time + 90, false);
        save->setFocus();
        time += 300;
        Key(save, QEvent::KeyPress, time, false);
        QCOMPARE(script.Messages().size(), 2);
    }

    // Under a dark scheme the panels stay white and everything written on them dark; with the
    // default scheme nothing changes.
    void textOnThePanelsIsDarkUnderADarkScheme_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("dark scheme") << true;
        QTest::newRow("default scheme") << false;
    }
    void textOnThePanelsIsDarkUnderADarkScheme()
    {
        QFETCH(bool, dark);
        form.reset();
        QApplication::setPalette(dark ? DarkScheme() : QPalette());
        form = NewScriptedForm(script);
        form->show();
        auto* panel = form->findChild<QWidget*>(QStringLiteral("Panel1"));
        QCOMPARE(panel->palette().color(QPalette::Window), QColor(Qt::white));
        QList<QWidget*> written;
        for (QLabel* label : panel->findChildren<QLabel*>())
            if (label->objectName().startsWith(QLatin1String("Label")))
                written << label;
        for (QCheckBox* box : panel->findChildren<QCheckBox*>())
            written << box;
        for (QGroupBox* group : panel->findChildren<QGroupBox*>())
            written << group;
        QVERIFY(written.size() > 50);
        for (QWidget* w : written) {
            const QColor text = w->palette().color(QPalette::Active, QPalette::WindowText);
            QVERIFY2(text == QColor(Qt::black), qPrintable(w->objectName() + u' ' + text.name()));
            const QColor disabled = w->palette().color(QPalette::Disabled, QPalette::WindowText);
            QVERIFY2(disabled.lightness() < 160, qPrintable(w->objectName() + u' ' + disabled.name()));
        }
        // Edits and lists keep the scheme's own pair of colours, readable on their own.
        auto* edit = form->findChild<QLineEdit*>(QStringLiteral("Edit3"));
        QCOMPARE(edit->palette().color(QPalette::Text), QApplication::palette().color(QPalette::Text));
        QCOMPARE(edit->palette().color(QPalette::Base), QApplication::palette().color(QPalette::Base));
    }

    // The group titles as drawn: dark on the white panel under either scheme.
    void groupTitlesAreDrawnDark_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("dark scheme") << true;
        QTest::newRow("default scheme") << false;
    }
    void groupTitlesAreDrawnDark()
    {
        QFETCH(bool, dark);
        form.reset();
        QApplication::setPalette(dark ? DarkScheme() : QPalette());
        form = NewScriptedForm(script);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        const QList<QGroupBox*> groups = form->findChildren<QGroupBox*>();
        QCOMPARE(groups.size(), 4);
        for (QGroupBox* group : groups) {
            const int titleHeight = group->fontMetrics().height();
            const int titleWidth = group->fontMetrics().horizontalAdvance(group->title());
            const QImage title = group->grab(QRect(0, 0, titleWidth + 16, titleHeight)).toImage();
            int darkPixels = 0;
            for (int y = 0; y < title.height(); ++y)
                for (int x = 0; x < title.width(); ++x)
                    darkPixels += QColor(title.pixel(x, y)).lightness() < 90 ? 1 : 0;
            // Each letter leaves a few dark pixels; a white title leaves none but the frame's.
            QVERIFY2(darkPixels > group->title().size() * 3,
                     qPrintable(group->title() + QStringLiteral(": %1 dark pixels").arg(darkPixels)));
        }
    }

    // Every edit, list and check box has a name of its own for a screen reader, taken from its
    // caption, with the group where the caption is shared.
    void everyControlHasItsOwnAccessibleName()
    {
        form->show();
        QStringList names;
        QList<QWidget*> controls;
        for (QLineEdit* w : form->findChildren<QLineEdit*>())
            controls << w;
        for (QComboBox* w : form->findChildren<QComboBox*>())
            controls << w;
        for (QCheckBox* w : form->findChildren<QCheckBox*>())
            controls << w;
        QCOMPARE(controls.size(), 26 + 12 + 14);
        for (QWidget* w : controls) {
            const QString name = AccessibleName(w);
            QVERIFY2(!name.isEmpty(), qPrintable(w->objectName()));
            QVERIFY2(!names.contains(name), qPrintable(w->objectName() + QStringLiteral(" repeats ") + name));
            names << name;
        }
    }

    void accessibleNames_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::newRow("IMEI") << "Edit1" << "IMEI";
        QTest::newRow("interval") << "Edit3" << "Send time interval (0-65000 min)";
        QTest::newRow("a list, not its item") << "ComboBox1" << "INPUT 1: INPUT1 <5 Sec";
        QTest::newRow("Cyrillic look-alikes read as Latin") << "Edit11" << "INPUT 3: Time XX, min";
        QTest::newRow("INPUT 2 YY") << "Edit8" << "INPUT 2: Time YY, sec";
        QTest::newRow("inside a group") << "Edit20" << "Temperature HIGH level";
        QTest::newRow("a shared caption in a group") << "ComboBox10" << "Event on temperature: Event";
        QTest::newRow("the same caption at input 5") << "ComboBox8" << "INPUT 5: Event";
        QTest::newRow("a check box") << "CheckBox1" << "Enable dynamic geofence";
        QTest::newRow("a check box of a group") << "CheckBox9" << "Additional data: Temperature";
    }
    void accessibleNames()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        QCOMPARE(AccessibleName(form->findChild<QWidget*>(control)), name);
    }

    // The unit of Edit15 follows the tracking mode; so does its name.
    void nameFollowsTheTrackingUnit()
    {
        auto* mode = form->findChild<QComboBox*>(QStringLiteral("ComboBox7"));
        mode->setCurrentIndex(3);
        QCOMPARE(AccessibleName(form->findChild<QWidget*>(QStringLiteral("Edit15"))),
                 QStringLiteral("INPUT 4: Dist XX, meter"));
        mode->setCurrentIndex(1);
        QCOMPARE(AccessibleName(form->findChild<QWidget*>(QStringLiteral("Edit15"))),
                 QStringLiteral("INPUT 4: Time XX, sec"));
    }

    // A right click on the window offers the second windows; the shortcuts reach them too.
    void contextMenuOffersTheSecondWindows()
    {
        form->show();
        const QStringList offered = MenuEntries(form->findChild<QWidget*>(QStringLiteral("Panel1")),
                                                QContextMenuEvent::Mouse, QPoint(200, 300), true);
        QCOMPARE(offered, (QStringList{QStringLiteral("Send history…|Ctrl+H"), QStringLiteral("Settings…|Ctrl+,"),
                                       QStringLiteral("About|")}));
    }

    // The menu key in an edit: the edit's own entries, then the window's.
    void editMenuOffersTheSecondWindowsToo()
    {
        form->show();
        const QStringList offered = MenuEntries(form->findChild<QLineEdit*>(QStringLiteral("Edit1")),
                                                QContextMenuEvent::Keyboard, QPoint(5, 5), false);
        QVERIFY2(offered.size() > 3, qPrintable(offered.join(u'|')));
        QVERIFY(offered.contains(QStringLiteral("&Paste\tCtrl+V")) || offered.join(u'|').contains(QStringLiteral("Paste")));
        QCOMPARE(offered.mid(offered.size() - 3),
                 (QStringList{QStringLiteral("Send history…"), QStringLiteral("Settings…"), QStringLiteral("About")}));
    }

    void shortcutsAskForTheSecondWindows()
    {
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QSignalSpy history(form.get(), &kestravo::TForm1::HistoryRequested);
        QSignalSpy settings(form.get(), &kestravo::TForm1::SettingsRequested);
        QTest::keyClick(form->findChild<QLineEdit*>(QStringLiteral("Edit3")), Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(history.size(), 1);
        QVERIFY(form->Windows().History() != nullptr);
        QTest::keyClick(form->findChild<QLineEdit*>(QStringLiteral("Edit3")), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(settings.size(), 1);
        QVERIFY(form->Windows().Settings() != nullptr);
        // The main window is as it was: no new control appeared on it.
        QCOMPARE(form->findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly).size(), 0);
    }

    // A screen with room keeps the window as it is; a small one (1920 x 1080 at a scale of 2, or
    // 1.5) gets a window that fits, with the layout in a scroll area reaching its bottom rows.
    void fitsTheScreen_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<bool>("scrolls");
        QTest::newRow("1280 x 1024") << QRect(0, 0, 1280, 1024) << false;
        QTest::newRow("1920 x 1080, scale 1.5") << QRect(0, 0, 1280, 690) << true;
        QTest::newRow("1920 x 1080, scale 2") << QRect(0, 0, 960, 510) << true;
    }
    void fitsTheScreen()
    {
        QFETCH(QRect, available);
        QFETCH(bool, scrolls);
        form->FitIntoArea(available);
        auto* area = form->findChild<QScrollArea*>(QStringLiteral("ScrollArea"));
        QCOMPARE(area != nullptr, scrolls);
        if (!scrolls) {
            QCOMPARE(form->size(), QSize(906, 751));
            QCOMPARE(form->findChild<QWidget*>(QStringLiteral("Panel1"))->parentWidget(), form.get());
            return;
        }
        QVERIFY(form->width() <= available.width() && form->height() <= available.height());
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        // The layout inside keeps its size and places.
        QTRY_COMPARE(form->findChild<QWidget*>(QStringLiteral("Panel1"))->geometry(), QRect(73, 0, 833, 751));
        // The last rows can be scrolled to.
        auto* last = form->findChild<QWidget*>(QStringLiteral("ComboBox9"));
        area->ensureWidgetVisible(last);
        const QRect shown = QRect(last->mapTo(area->viewport(), QPoint(0, 0)), last->size());
        QVERIFY2(area->viewport()->rect().contains(shown), qPrintable(QStringLiteral("%1,%2").arg(shown.y()).arg(area->viewport()->height())));
        QCOMPARE(QApplication::focusWidget(), form->findChild<QWidget*>(QStringLiteral("Edit1")));
    }

    // Nothing of the second windows is made with the main window.
    void secondWindowsAreMadeWhenFirstAskedFor()
    {
        QVERIFY(form->Windows().History() == nullptr);
        QVERIFY(form->Windows().Settings() == nullptr);
    }
};

QTEST_MAIN(WindowReachTest)
#include "tst_window_reach.moc"
