// SPDX-License-Identifier: Apache-2.0
// The real program under a window manager in a private X server, driven by real keys, the wheel
// and another program holding its files: what Qt's own test events cannot show.
#include "x_session.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using kestravo::test::CountingRelay;
using kestravo::test::XSession;

namespace {

const QString kMainTitle = QStringLiteral("^Tormalk KESTRAVO v2\\.2$");
const QString kBoxTitle = QStringLiteral("^Tormalk KESTRAVO$");

// SEND CONFIG TO SAT, in the window's own coordinates.
constexpr int kSendX = 73 + 16 + 67;
constexpr int kSendY = 71 + 12;

} // namespace

class RealGesturesTest : public QObject {
    Q_OBJECT

    // The program in a fresh session with a relay of its own; scratch holds its settings and history.
    struct Program {
        std::unique_ptr<XSession> x;
        QTemporaryDir scratch;
        QProcess process;
        QString window;
        QString failure; // why Start returned false

        ~Program() { kestravo::test::StopProcess(process); }

        bool Start(const XSession::Options& options, quint16 relayPort, const QStringList& args = {})
        {
            x = std::make_unique<XSession>(options.screen, true);
            if (!x->Ready() || !scratch.isValid()) {
                failure = QStringLiteral("no X server");
                return false;
            }
            QProcessEnvironment env = x->Env();
            env.insert("XDG_CONFIG_HOME", scratch.filePath("config"));
            env.insert("XDG_DATA_HOME", scratch.filePath("data"));
            if (relayPort != 0)
                env.insert("KESTRAVO_RELAY", QStringLiteral("127.0.0.1:%1").arg(relayPort));
            if (!options.scale.isEmpty())
                env.insert("QT_SCALE_FACTOR", options.scale);
            process.setProcessEnvironment(env);
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process.start(KESTRAVO_BINARY, args);
            if (!process.waitForStarted(kestravo::test::kXWaitMs)) {
                failure = QStringLiteral("the program did not start");
                return false;
            }
            window = x->WaitForWindow(kMainTitle);
            if (window.isEmpty()) {
                failure = QStringLiteral("the window did not appear");
                return false;
            }
            // Windows asked for on the command line come up over the main one.
            if (!args.isEmpty())
                return true;
            x->Xdotool({"windowactivate", "--sync", window});
            // The window found first may be one the program replaces while it fits itself into a
            // small screen; the main window is whichever window of that title becomes active.
            const auto mainActive = [&] {
                const QString active = x->ActiveWindow();
                if (active.isEmpty() || !x->Windows(kMainTitle).contains(active))
                    return false;
                window = active;
                return true;
            };
            if (!QTest::qWaitFor(mainActive, kestravo::test::kXWaitMs)) {
                failure = QStringLiteral("the window did not become active: %1 is").arg(x->ActiveWindow());
                return false;
            }
            return true;
        }
        QStringList Boxes() const { return x->Windows(kBoxTitle); }
        bool WaitForBoxes(int count, int ms = kestravo::test::kXWaitMs) const
        {
            return QTest::qWaitFor([&] { return Boxes().size() == count; }, ms);
        }
        // One box, up and holding the keyboard, as an operator sees it before answering it: a key
        // sent while it is still being mapped goes to the window behind.
        bool WaitForActiveBox() const
        {
            return QTest::qWaitFor(
                [&] {
                    const QStringList boxes = Boxes();
                    return boxes.size() == 1 && boxes.contains(x->ActiveWindow());
                },
                kestravo::test::kXWaitMs);
        }
    };

private slots:
    void init()
    {
        const QString missing = XSession::Missing(true);
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
    }

    // Return or the keypad's Enter held on SEND CONFIG TO SAT for 2.5 s through the X server's own
    // auto-repeat sends one message; the result box it raises stays up through the rest of the hold
    // and goes with a fresh press.
    void heldReturnSendsOnce_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("Return") << QStringLiteral("Return");
        QTest::newRow("keypad Enter") << QStringLiteral("KP_Enter");
    }
    void heldReturnSendsOnce()
    {
        QFETCH(QString, key);
        CountingRelay relay;
        Program program;
        QVERIFY2(program.Start({}, relay.Port()), qPrintable(program.failure));
        program.x->Xdotool({"type", "--delay", "30", "300234010123450"});
        program.x->Xdotool({"mousemove", "--window", program.window, QString::number(kSendX),
                            QString::number(kSendY), "click", "1"});
        QVERIFY2(program.WaitForBoxes(1), "no result box after the click");
        QCOMPARE(relay.Messages(), 1);
        program.x->Xdotool({"key", key});
        QVERIFY2(program.WaitForBoxes(0), "a fresh press did not close the result box");
        QVERIFY2(QTest::qWaitFor([&] { return relay.Open() == 0; }, kestravo::test::kXWaitMs),
                 "the session did not end");

        // The focus is back on the button the click pressed.
        program.x->HoldKey(key, 2500);
        QVERIFY2(program.WaitForBoxes(1), "no result box after the held key");
        QTest::qWait(1000); // a second message, were one sent, would have arrived by now
        QCOMPARE(relay.Messages(), 2);
        QCOMPARE(program.Boxes().size(), 1);

        program.x->Xdotool({"key", key});
        QVERIFY2(program.WaitForBoxes(0), "a fresh press did not close the result box");
        QTest::qWait(500);
        QCOMPARE(relay.Messages(), 2);
    }

    // The case found by hand: in the settings dialog 70000 in "[directip] port", Save, Return on
    // the refusal box, 10800, Return. The keys after the box stay in the dialog: the value is
    // saved, and SEND CONFIG TO SAT, focused in the main window behind, is not pressed.
    void keysAfterARefusalStayInTheSettingsDialog()
    {
        CountingRelay relay;
        Program program;
        QVERIFY2(program.Start({}, relay.Port()), qPrintable(program.failure));
        program.x->Xdotool({"type", "--delay", "30", "300234010123450"});
        program.x->Xdotool({"mousemove", "--window", program.window, QString::number(kSendX),
                            QString::number(kSendY), "click", "1"});
        QVERIFY2(program.WaitForBoxes(1), "no result box after the click");
        program.x->Xdotool({"key", "Return"});
        QVERIFY(program.WaitForBoxes(0));
        QVERIFY(QTest::qWaitFor([&] { return relay.Open() == 0; }, kestravo::test::kXWaitMs));
        QCOMPARE(relay.Messages(), 1);

        program.x->Xdotool({"key", "ctrl+comma"});
        const QString settings = program.x->WaitForWindow(QStringLiteral("^Settings"));
        QVERIFY2(!settings.isEmpty(), "the settings dialog did not open");
        QVERIFY(QTest::qWaitFor([&] { return program.x->ActiveWindow() == settings; }, kestravo::test::kXWaitMs));
        // The dialog opens on its first button; the keys' rows follow the buttons in the tab
        // order, so two steps back reach the port, the key before the last ([directip] parallel).
        program.x->Xdotool({"key", "shift+Tab"});
        program.x->Xdotool({"key", "shift+Tab"});
        program.x->Xdotool({"type", "--delay", "30", "70000"});
        program.x->Xdotool({"key", "alt+s"});
        QVERIFY2(program.WaitForActiveBox(), "no refusal box holding the keyboard");
        program.x->Xdotool({"key", "Return"});
        QVERIFY(program.WaitForBoxes(0));
        program.x->Xdotool({"type", "--delay", "30", "10800"});
        program.x->Xdotool({"key", "Return"});
        QVERIFY2(QTest::qWaitFor([&] { return program.x->Windows(QStringLiteral("^Settings")).isEmpty(); }, 5000),
                 "Return did not save in the settings dialog");
        QTest::qWait(500);
        QCOMPARE(relay.Messages(), 1);
        QCOMPARE(program.Boxes().size(), 0);
        QFile saved(program.scratch.filePath("config/kestravo/kestravo.conf"));
        QVERIFY2(saved.open(QIODevice::ReadOnly), qPrintable(saved.fileName()));
        const QByteArray text = saved.readAll();
        QVERIFY2(text.contains("port=10800"), text.constData());
    }

    // At scale 1.5 on a 1366 x 768 screen the window scrolls. The wheel with the pointer crossing
    // the lists of the left-hand groups scrolls the page and changes none of them: the record sent
    // after the scrolling equals the one sent before.
    void theWheelScrollsThePageNotTheLists()
    {
        CountingRelay relay;
        Program program;
        XSession::Options small;
        small.screen = QStringLiteral("1366x768x24");
        small.scale = QStringLiteral("1.5");
        QVERIFY2(program.Start(small, relay.Port()), qPrintable(program.failure));
        const auto sendOnce = [&](int expected) {
            program.x->Xdotool({"mousemove", "--window", program.window, QString::number(kSendX * 3 / 2),
                                QString::number(kSendY * 3 / 2), "click", "1"});
            QVERIFY2(program.WaitForBoxes(1), "no result box after the click");
            program.x->Xdotool({"key", "Return"});
            QVERIFY(program.WaitForBoxes(0));
            QVERIFY(QTest::qWaitFor([&] { return relay.Open() == 0; }, kestravo::test::kXWaitMs));
            QCOMPARE(relay.Messages(), expected);
        };
        program.x->Xdotool({"type", "--delay", "30", "300234010123450"});
        sendOnce(1);
        const QByteArray before = relay.LastAttachment();
        QVERIFY(!before.isEmpty());

        // Over the lists of "Traffic counter", "Event on temperature" and the right-hand column
        // as the page slides under the pointer.
        QTemporaryDir shots;
        const QString top = shots.filePath("top.png");
        const QString scrolled = shots.filePath("scrolled.png");
        program.x->Tool("import", {"-window", program.window, top});
        // Down only: a list that took the steps would keep them. Then back to the top over the
        // logo strip, where nothing but the page can take the wheel.
        for (const int x : {(73 + 11 + 180) * 3 / 2, (73 + 441 + 100) * 3 / 2}) {
            program.x->Xdotool({"mousemove", "--window", program.window, QString::number(x), "150"});
            program.x->Xdotool({"click", "--repeat", "12", "--delay", "60", "5"});
            if (x < 600)
                program.x->Tool("import", {"-window", program.window, scrolled});
            program.x->Xdotool({"mousemove", "--window", program.window, "40", "150"});
            program.x->Xdotool({"click", "--repeat", "20", "--delay", "30", "4"});
        }
        QFile a(top), b(scrolled);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY2(a.readAll() != b.readAll(), "the page did not scroll");

        sendOnce(2);
        QCOMPARE(relay.LastAttachment(), before);
    }

    // Another program holds the history file in an exclusive transaction: Ctrl+H opens the history
    // window, and the main window takes the next shortcut, while the file is still held.
    void aHeldHistoryFileFreezesNothing()
    {
        CountingRelay relay;
        Program program;
        QVERIFY2(program.Start({}, relay.Port()), qPrintable(program.failure));
        program.x->Xdotool({"type", "--delay", "30", "300234010123450"});
        program.x->Xdotool({"mousemove", "--window", program.window, QString::number(kSendX),
                            QString::number(kSendY), "click", "1"});
        QVERIFY2(program.WaitForBoxes(1), "no result box after the click");
        program.x->Xdotool({"key", "Return"});
        QVERIFY(program.WaitForBoxes(0));
        QVERIFY(QTest::qWaitFor([&] { return relay.Open() == 0; }, kestravo::test::kXWaitMs));

        QProcess holder;
        holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        holder.start("/usr/bin/python3",
                     {"-c",
                      "import sqlite3, sys\n"
                      "c = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=30)\n"
                      "c.execute('BEGIN EXCLUSIVE')\n"
                      "c.execute('SELECT count(*) FROM sends').fetchall()\n"
                      "print('held', flush=True)\n"
                      "sys.stdin.read()\n",
                      program.scratch.filePath("data/kestravo/history.sqlite")});
        QVERIFY(holder.waitForStarted(kestravo::test::kXWaitMs));
        QVERIFY(holder.waitForReadyRead(kestravo::test::kXWaitMs));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

        program.x->Xdotool({"key", "ctrl+h"});
        const QString history = program.x->WaitForWindow(QStringLiteral("^Send history"));
        QVERIFY2(!history.isEmpty(), "the history window did not open");
        program.x->Xdotool({"windowactivate", "--sync", program.window});
        program.x->Xdotool({"key", "ctrl+comma"});
        QVERIFY2(!program.x->WaitForWindow(QStringLiteral("^Settings")).isEmpty(), "the settings dialog did not open");
        QCOMPARE(holder.state(), QProcess::Running);
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(kestravo::test::kXWaitMs));
    }

    // The history window and the settings dialog open within the screen's available area, on
    // small screens and at scales up to 2.
    void secondWindowsOpenWithinTheScreen_data()
    {
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QString>("scale");
        for (const char* screen : {"1280x720", "1366x768"})
            for (const char* scale : {"1", "1.5", "2"})
                QTest::addRow("%s at %s", screen, scale) << QString::fromLatin1(screen) << QString::fromLatin1(scale);
    }
    void secondWindowsOpenWithinTheScreen()
    {
        QFETCH(QString, screen);
        QFETCH(QString, scale);
        Program program;
        XSession::Options options;
        options.screen = screen + QStringLiteral("x24");
        options.scale = scale;
        QVERIFY2(program.Start(options, 0, {"--history", "--settings"}), qPrintable(program.failure));
        const QStringList size = screen.split(u'x');
        const QRect whole(0, 0, size[0].toInt(), size[1].toInt());
        for (const QString& title : {QStringLiteral("^Send history"), QStringLiteral("^Settings")}) {
            const QString window = program.x->WaitForWindow(title);
            QVERIFY2(!window.isEmpty(), qPrintable(title));
            QRect shown;
            // The window manager may still be placing it: wait until it stands where it stays.
            QTest::qWaitFor([&] {
                const QRect now = program.x->Geometry(window);
                const bool same = now == shown;
                shown = now;
                return same && whole.contains(now);
            }, 5000);
            QVERIFY2(whole.contains(shown), qPrintable(QStringLiteral("%1 at %2,%3 %4x%5").arg(title).arg(shown.x())
                                                          .arg(shown.y()).arg(shown.width()).arg(shown.height())));
        }
    }

    // Two files chosen in a file manager (the desktop entry passes %F): the first opens, and a
    // box on screen, not only a line on stderr, names the second as not opened.
    void severalFilesOpenTheFirstAndSayTheRest()
    {
        QTemporaryDir files;
        const QString first = files.filePath("300234010123450.sbd");
        const QString second = files.filePath("300234010123451.sbd");
        for (const QString& file : {first, second}) {
            int rc = -1;
            kestravo::test::RunTool(KESTRAVO_RECORD_TOOL, {"encode", "-o", file, "SendInterval=60"},
                                    QProcessEnvironment::systemEnvironment(), &rc);
            QCOMPARE(rc, 0);
        }
        Program program;
        QVERIFY2(program.Start({}, 0, {first, second}), qPrintable(program.failure));
        QVERIFY2(program.WaitForBoxes(1), "no box names the file not opened");
        program.x->Xdotool({"key", "Return"});
        QVERIFY(program.WaitForBoxes(0));
    }
};

QTEST_GUILESS_MAIN(RealGesturesTest)
#include "tst_real_gestures.moc"
