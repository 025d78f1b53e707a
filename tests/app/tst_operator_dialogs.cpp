// SPDX-License-Identifier: Apache-2.0
// The real boxes and dialogs: the caption, the icon, the one button, and the save dialog's
// proposal and options, answered here as the operator would.
#include "app/application.h"
#include "app/operator_dialogs.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// Runs answer on the next modal dialog once it is up; the dialog's own loop keeps events going.
void WhenModalShows(std::function<void(QWidget*)> answer)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            answer(modal);
            // A failed check returns early from answer; never leave the test stuck in a dialog.
            if (auto* dialog = qobject_cast<QDialog*>(modal); dialog && dialog->isVisible())
                dialog->reject();
        }
    });
    poll->start(10);
}

// Shows text in an error box or in a plain message box, hands the box to look while it is up,
// then presses its button. A box that never came fails the test.
void ShowAndLook(QWidget* owner, bool error, const QString& text,
                 const std::function<void(QMessageBox*)>& look)
{
    kestravo::WidgetOperatorDialogs dialogs(owner);
    bool seen = false;
    WhenModalShows([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box != nullptr);
        seen = true;
        look(box);
        if (!QTest::currentTestFailed())
            box->buttons().first()->click();
    });
    if (error)
        dialogs.ShowError(text);
    else
        dialogs.ShowMessage(text);
    QVERIFY(seen);
}

} // namespace

class OperatorDialogsTest : public QObject {
    Q_OBJECT

    QWidget owner;

private slots:
    void boxes_data()
    {
        QTest::addColumn<bool>("error");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QString>("text");
        const QString shortImei =
            QStringLiteral("Введен не полный IMEI !\r\nDo not enter the full IMEI !");
        QTest::newRow("error box") << true << int(QMessageBox::Critical) << shortImei;
        QTest::newRow("plain message") << false << int(QMessageBox::NoIcon) << shortImei;
        // A typed text or a file name that looks like markup is shown as it is, not rendered.
        QTest::newRow("error box, markup-like text")
            << true << int(QMessageBox::Critical)
            << QStringLiteral("''<b>7</b><img src=x>'' is not a valid integer value.");
        QTest::newRow("plain message, markup-like text")
            << false << int(QMessageBox::NoIcon) << QStringLiteral("<h1>IMEI</h1>");
    }
    void boxes()
    {
        QFETCH(bool, error);
        QFETCH(int, icon);
        QFETCH(QString, text);
        ShowAndLook(&owner, error, text, [&](QMessageBox* box) {
            QCOMPARE(box->windowTitle(), kestravo::ApplicationTitle());
            QCOMPARE(box->text(), text);
            auto* label = box->findChild<QLabel*>("qt_msgbox_label");
            QVERIFY(label != nullptr);
            QCOMPARE(label->textFormat(), Qt::PlainText);
            QCOMPARE(int(box->icon()), icon);
            QCOMPARE(box->buttons().size(), 1);
            QCOMPARE(box->standardButton(box->buttons().first()), QMessageBox::Ok);
            // Room for the whole title beside the frame's buttons, however short the text.
            QFont bold = box->font();
            bold.setBold(true);
            QVERIFY2(box->width() > QFontMetrics(bold).horizontalAdvance(box->windowTitle()) + 80,
                     qPrintable(QString::number(box->width())));
        });
    }

    void saveDialogProposesTheNameAndAsksNothing()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir::setCurrent(dir.path()));
        kestravo::WidgetOperatorDialogs dialogs(&owner);
        WhenModalShows([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            QVERIFY(dialog != nullptr);
            QVERIFY(dialog->testOption(QFileDialog::DontConfirmOverwrite));
            QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
            QCOMPARE(dialog->defaultSuffix(), QString());
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            QVERIFY(name != nullptr);
            QCOMPARE(name->text(), QStringLiteral("350150020000001.sbd"));
            static_cast<QDialog*>(dialog)->accept();
        });
        const std::optional<QString> chosen = dialogs.ChooseSaveFile("350150020000001.sbd");
        QVERIFY(chosen.has_value());
        QCOMPARE(QFileInfo(*chosen).fileName(), QStringLiteral("350150020000001.sbd"));

        WhenModalShows([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
        QVERIFY(!dialogs.ChooseSaveFile("x.sbd").has_value());
    }

    // A pasted value of thousands of characters, or thousands of lines, must not push the box
    // off the screen: the box keeps the start and the end of what is too long.
    void longTextsAreShortenedToFitTheScreen_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("starts");
        QTest::addColumn<QString>("ends");
        QTest::newRow("one long number")
            << QStringLiteral("''%1'' is not a valid integer value.").arg(QString(5000, u'7'))
            << "''777" << "77'' is not a valid integer value.";
        QTest::newRow("long words") << QString("word ").repeated(3000) + "end"
                                    << "word word" << "word end";
        QStringList lines;
        for (int i = 0; i < 2000; ++i)
            lines << QStringLiteral("line %1").arg(i);
        QTest::newRow("many lines") << lines.join('\n') << "line 0\nline 1\n" << "line 1999";
    }
    void longTextsAreShortenedToFitTheScreen()
    {
        QFETCH(QString, text);
        QFETCH(QString, starts);
        QFETCH(QString, ends);
        ShowAndLook(&owner, true, text, [&](QMessageBox* box) {
            const QString shown = box->text();
            QVERIFY2(shown.startsWith(starts), qPrintable(shown.left(80)));
            QVERIFY2(shown.endsWith(ends), qPrintable(shown.right(80)));
            QVERIFY(shown.contains(QChar(0x2026)));
            QVERIFY(shown.count('\n') <= 31);
            const QRect screen = box->screen()->availableGeometry();
            QVERIFY2(box->sizeHint().width() <= screen.width(),
                     qPrintable(QString::number(box->sizeHint().width())));
            QVERIFY2(box->sizeHint().height() <= screen.height(),
                     qPrintable(QString::number(box->sizeHint().height())));
        });
    }

    void saveDialogOpensInTheFolderLastUsed()
    {
        QTemporaryDir used;
        QTemporaryDir elsewhere;
        QVERIFY(used.isValid() && elsewhere.isValid());
        kestravo::WidgetOperatorDialogs dialogs(&owner);

        QVERIFY(QDir::setCurrent(used.path()));
        WhenModalShows([](QWidget* modal) { qobject_cast<QDialog*>(modal)->accept(); });
        const std::optional<QString> first = dialogs.ChooseSaveFile("first.sbd");
        QVERIFY(first.has_value());
        QCOMPARE(QFileInfo(*first).absolutePath(), QFileInfo(used.path()).canonicalFilePath());

        // Started from elsewhere, the next save dialog still opens where the last file went.
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        QString shownFolder;
        QString shownName;
        WhenModalShows([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            QVERIFY(dialog != nullptr);
            shownFolder = dialog->directory().canonicalPath();
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            QVERIFY(name != nullptr);
            shownName = name->text();
            dialog->reject();
        });
        QVERIFY(!dialogs.ChooseSaveFile("350150020000001.sbd").has_value());
        QCOMPARE(shownFolder, QFileInfo(used.path()).canonicalFilePath());
        QCOMPARE(shownName, QStringLiteral("350150020000001.sbd"));
    }

    void openDialogCancelled()
    {
        kestravo::WidgetOperatorDialogs dialogs(&owner);
        WhenModalShows([](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            QVERIFY(dialog != nullptr);
            QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptOpen);
            dialog->reject();
        });
        QVERIFY(!dialogs.ChooseOpenFile().has_value());
    }
};

QTEST_MAIN(OperatorDialogsTest)
#include "tst_operator_dialogs.moc"
