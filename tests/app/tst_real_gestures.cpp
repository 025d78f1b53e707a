// SPDX-License-Identifier: Apache-2.0
// The real program under a window manager in a private X server, driven by real keys, the wheel
// and another program holding its files: what Qt's own test events cannot show.
#include "x_session.h"

#include <QDir>
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

        ~Program() { kestravo::test::StopProcess(process); }

        bool Start(const XSession::Options& options, quint16 relayPort, const QStringList& args = {})
        {
            x = std::make_unique<XSession>(options.screen, true);
            if (!x->Ready() || !scratch.isValid())
                return false;
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
            if (!process.waitForStarted(kestravo::test::kXWaitMs))
                return false;
            window = x->WaitForWindow(kMainTitle);
            if (window.isEmpty())
                return false;
            x->Xdotool({"windowactivate", "--sync", window});
            return QTest::qWaitFor([&] { return x->ActiveWindow() == window; }, kestravo::test::kXWaitMs);
        }
        QStringList Boxes() const { return x->Windows(kBoxTitle); }
        bool WaitForBoxes(int count, int ms = kestravo::test::kXWaitMs) const
        {
            return QTest::qWaitFor([&] { return Boxes().size() == count; }, ms);
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
        QVERIFY(program.Start({}, relay.Port()));
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
        QVERIFY(program.Start({}, relay.Port()));
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
        // order, so one step back reaches the last key, the port.
        program.x->Xdotool({"key", "shift+Tab"});
        program.x->Xdotool({"type", "--delay", "30", "70000"});
        program.x->Xdotool({"key", "alt+s"});
        QVERIFY2(program.WaitForBoxes(1), "no refusal box");
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
};

QTEST_GUILESS_MAIN(RealGesturesTest)
#include "tst_real_gestures.moc"
