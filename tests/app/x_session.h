// SPDX-License-Identifier: Apache-2.0
#pragma once
// The real program in a private X server, driven as a person drives it: a window manager, real
// keys through the server's own auto-repeat (xdotool), the wheel, and a relay on loopback that
// counts the messages it is given. Header-only; each test program that needs it includes it.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <memory>

namespace kestravo::test {

// Bounds on waiting for other processes, so that a broken run ends instead of hanging.
constexpr int kXWaitMs = 30000;

inline QString RunTool(const QString& program, const QStringList& args, const QProcessEnvironment& env,
                       int* exitCode = nullptr)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(kXWaitMs)) {
        p.kill();
        p.waitForFinished();
    }
    if (exitCode != nullptr)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

inline void StopProcess(QProcess& p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished();
    }
}

// Xvfb on a display of its own choosing, with openbox managing its windows when asked.
class XSession {
public:
    // The screen Xvfb offers and the scale the program is started with (QT_SCALE_FACTOR; empty: none).
    struct Options {
        QString screen = QStringLiteral("1280x1024x24");
        QString scale;
    };

    // What is missing to run at all; empty when everything is there.
    static QString Missing(bool windowManager)
    {
        QStringList tools{"Xvfb", "xdotool", "xwininfo"};
        if (windowManager)
            tools << "openbox";
        for (const QString& tool : tools)
            if (QStandardPaths::findExecutable(tool).isEmpty())
                return tool + " is not installed";
        return {};
    }

    explicit XSession(const QString& screen = QStringLiteral("1280x1024x24"), bool windowManager = true)
    {
        server_.start(QStandardPaths::findExecutable("Xvfb"),
                      {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"});
        if (!server_.waitForStarted(kXWaitMs))
            return;
        QByteArray number;
        while (!number.contains('\n') && server_.waitForReadyRead(kXWaitMs))
            number += server_.readAllStandardOutput();
        if (!number.contains('\n'))
            return;
        env_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
                                 "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING"})
            env_.remove(name);
        env_.insert("DISPLAY", ":" + QString::fromLatin1(number).trimmed());
        // No bus autolaunched on the private display (it would outlive the test).
        env_.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
        if (env_.contains("ASAN_OPTIONS"))
            env_.insert("ASAN_OPTIONS",
                        env_.value("ASAN_OPTIONS").replace("strict_string_checks=1", "strict_string_checks=0"));
        if (windowManager) {
            manager_.setProcessEnvironment(env_);
            manager_.setStandardOutputFile(QProcess::nullDevice());
            manager_.setStandardErrorFile(QProcess::nullDevice());
            manager_.start(QStandardPaths::findExecutable("openbox"), {"--sm-disable"});
            manager_.waitForStarted(kXWaitMs);
            // openbox owns the screen's manager selection once it manages windows.
            QTest::qWaitFor([&] { return RunTool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}, env_)
                                             .contains("window id"); },
                            kXWaitMs);
        }
        ready_ = true;
    }
    ~XSession()
    {
        StopProcess(manager_);
        StopProcess(server_);
    }
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    bool Ready() const { return ready_; }
    const QProcessEnvironment& Env() const { return env_; }
    QString Tool(const QString& program, const QStringList& args, int* rc = nullptr) const
    {
        return RunTool(program, args, env_, rc);
    }
    QString Xdotool(const QStringList& args) const { return Tool("xdotool", args); }

    // The viewable windows whose title matches pattern (a regular expression), as xdotool finds them.
    QStringList Windows(const QString& pattern) const
    {
        QStringList shown;
        for (const QString& id : Xdotool({"search", "--name", pattern}).split('\n', Qt::SkipEmptyParts))
            if (Tool("xwininfo", {"-id", id}).contains("Map State: IsViewable"))
                shown << id;
        return shown;
    }
    QString WaitForWindow(const QString& pattern, int ms = kXWaitMs) const
    {
        QString found;
        QTest::qWaitFor([&] {
            const QStringList ids = Windows(pattern);
            found = ids.isEmpty() ? QString() : ids.constLast();
            return !found.isEmpty();
        }, ms);
        return found;
    }
    // The window that has the input focus, as the X server sees it.
    QString FocusedWindow() const { return Xdotool({"getwindowfocus", "-f"}); }
    QString ActiveWindow() const { return Xdotool({"getactivewindow"}); }
    // The window's area on the screen, frame left out: x, y, width, height.
    QRect Geometry(const QString& window) const
    {
        const QString info = Tool("xwininfo", {"-id", window});
        auto field = [&](const char* name) {
            const QRegularExpressionMatch m =
                QRegularExpression(QString::fromLatin1(name) + QStringLiteral(":\\s+(-?\\d+)")).match(info);
            return m.hasMatch() ? m.captured(1).toInt() : -1;
        };
        return QRect(field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height"));
    }
    // Holds key down for ms through the server's auto-repeat, then lets it go.
    void HoldKey(const QString& key, int ms) const
    {
        Xdotool({"keydown", key});
        QTest::qWait(ms);
        Xdotool({"keyup", key});
    }

private:
    QProcess server_;
    QProcess manager_;
    QProcessEnvironment env_;
    bool ready_ = false;
};

// A relay that accepts every message and counts them: greeting, 250 to every command, 354 to DATA,
// 250 after the ".", 221 to QUIT.
class CountingRelay : public QObject {
public:
    CountingRelay()
    {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                auto data = std::make_shared<bool>(false);
                ++open_;
                s->write("220 counting relay ready\r\n");
                connect(s, &QTcpSocket::readyRead, s, [this, s, data] {
                    while (s->canReadLine()) {
                        const QByteArray line = s->readLine().trimmed();
                        if (*data) {
                            if (line != ".")
                                current_ << line;
                            if (line == ".") {
                                last_ = current_;
                                current_.clear();
                                *data = false;
                                ++messages_;
                                s->write("250 2.0.0 queued\r\n");
                            }
                        } else if (line.toUpper() == "DATA") {
                            *data = true;
                            s->write("354 go ahead\r\n");
                        } else if (line.toUpper() == "QUIT") {
                            s->write("221 bye\r\n");
                            s->disconnectFromHost();
                        } else {
                            s->write("250 ok\r\n");
                        }
                    }
                });
                connect(s, &QTcpSocket::disconnected, this, [this, s] {
                    --open_;
                    s->deleteLater();
                });
            }
        });
    }
    quint16 Port() const { return server_.serverPort(); }
    int Messages() const { return messages_; }
    // The base64 lines of the last message's ".sbd" attachment.
    QByteArray LastAttachment() const
    {
        QByteArray body;
        qsizetype i = 0;
        while (i < last_.size() && !(last_[i].contains(".sbd") && last_[i].contains("name")))
            ++i;
        while (i < last_.size() && !last_[i].isEmpty())
            ++i;
        for (++i; i < last_.size() && !last_[i].startsWith("--") && !last_[i].isEmpty(); ++i)
            body += last_[i];
        return body;
    }
    // Sessions not yet ended (by QUIT or the client closing).
    int Open() const { return open_; }

private:
    QTcpServer server_;
    int messages_ = 0;
    int open_ = 0;
    QList<QByteArray> current_;
    QList<QByteArray> last_;
};

} // namespace kestravo::test
