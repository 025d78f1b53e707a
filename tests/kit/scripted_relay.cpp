// SPDX-License-Identifier: Apache-2.0
#include "scripted_relay.h"

#include <QThread>

namespace kestravo::testkit {

namespace {

QByteArray Unescape(const QString& s)
{
    QByteArray out;
    const QByteArray in = s.toLatin1();
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 1 < in.size()) {
            const char c = in[++i];
            out.append(c == '0' ? '\0' : c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c);
        } else {
            out.append(in[i]);
        }
    }
    return out;
}

} // namespace

ScriptedRelay::ScriptedRelay(const QString& script, const QHostAddress& address)
{
    for (const QString& raw : script.split(u'\n')) {
        const QString line = raw.trimmed().isEmpty() ? QString() : raw;
        if (line.isEmpty())
            continue;
        const QString t = line.trimmed();
        if (t.startsWith(u"S+: "))
            steps_.append({Step::SendPiece, Unescape(t.mid(4)), {}});
        else if (t.startsWith(u"S: "))
            steps_.append({Step::Send, Unescape(t.mid(3)) + "\r\n", {}});
        else if (t == u"C: *")
            steps_.append({Step::ExpectAny, {}, {}});
        else if (t.startsWith(u"C~: "))
            steps_.append({Step::SkipUntil, {}, QRegularExpression(t.mid(4))});
        else if (t.startsWith(u"C: "))
            steps_.append({Step::Expect, t.mid(3).toLatin1(), {}});
        else if (t == u"M")
            steps_.append({Step::Message, {}, {}});
        else if (t == u"H")
            steps_.append({Step::Hold, {}, {}});
        else if (t == u"A")
            steps_.append({Step::Accept, {}, {}});
        else if (t.startsWith(u'X'))
            steps_.append({Step::Close, {}, {}});
        else
            qFatal("bad script line: %s", qPrintable(t));
    }
    server_.listen(address, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] { OnNewConnection(); });
}

ScriptedRelay::~ScriptedRelay()
{
    if (conn_) {
        conn_->disconnect(this);
        conn_->abort();
        delete conn_;
    }
}

QString ScriptedRelay::Where() const
{
    if (Finished())
        return QStringLiteral("script used up");
    const Step& s = steps_.at(pos_);
    return QStringLiteral("waiting at step %1 (%2)").arg(pos_).arg(QString::fromLatin1(s.text));
}

void ScriptedRelay::CloseClient()
{
    if (conn_)
        conn_->disconnectFromHost();
}

void ScriptedRelay::Resume()
{
    if (Holding()) {
        ++pos_;
        RunServerSteps();
    }
}

void ScriptedRelay::OnNewConnection()
{
    ++connections_;
    if (!conn_) {
        TakeConnection(server_.nextPendingConnection());
        return;
    }
    // A further connection waits for the script's "A"; without one it is unexpected.
    if (pos_ < steps_.size() && steps_[pos_].kind == Step::Accept) {
        RunServerSteps();
        return;
    }
    bool acceptFollows = false;
    for (qsizetype i = pos_; i < steps_.size(); ++i)
        acceptFollows = acceptFollows || steps_[i].kind == Step::Accept;
    if (!acceptFollows) {
        QTcpSocket* s = server_.nextPendingConnection();
        unexpected_.append(QStringLiteral("second connection"));
        s->abort();
        s->deleteLater();
    }
}

void ScriptedRelay::TakeConnection(QTcpSocket* s)
{
    if (conn_) {
        conn_->disconnect(this);
        conn_->abort();
        conn_->deleteLater();
    }
    conn_ = s;
    closedByScript_ = false;
    pendingInput_.clear();
    connect(conn_, &QTcpSocket::readyRead, this, [this] { OnReadyRead(); });
    connect(conn_, &QTcpSocket::disconnected, this, [this] {
        if (!closedByScript_)
            clientClosed_ = true;
        if (pos_ < steps_.size() && steps_[pos_].kind == Step::Message)
            ++pos_; // the message ended without its "." line
    });
    RunServerSteps();
}

void ScriptedRelay::RunServerSteps()
{
    while (conn_ && pos_ < steps_.size()) {
        Step& s = steps_[pos_];
        if (s.kind == Step::Send) {
            conn_->write(s.text);
            conn_->flush();
        } else if (s.kind == Step::SendPiece) {
            conn_->write(s.text);
            conn_->flush();
            conn_->waitForBytesWritten(1000);
            // Let the piece arrive on its own before the rest follows.
            QThread::msleep(50);
        } else if (s.kind == Step::Hold) {
            return;
        } else if (s.kind == Step::Accept) {
            if (!server_.hasPendingConnections())
                return;
            ++pos_;
            TakeConnection(server_.nextPendingConnection());
            return;
        } else if (s.kind == Step::Close) {
            closedByScript_ = true;
            ++pos_;
            conn_->disconnectFromHost();
            return;
        } else {
            return;
        }
        ++pos_;
    }
}

void ScriptedRelay::OnReadyRead()
{
    if (closedByScript_) {
        conn_->readAll();
        return;
    }
    pendingInput_ += conn_->readAll();
    for (;;) {
        const qsizetype eol = pendingInput_.indexOf("\r\n");
        if (eol < 0)
            break;
        const QByteArray line = pendingInput_.left(eol);
        pendingInput_.remove(0, eol + 2);
        TakeLine(line);
        if (closedByScript_)
            return;
    }
}

void ScriptedRelay::TakeLine(const QByteArray& line)
{
    if (pos_ >= steps_.size()) {
        unexpected_.append(QString::fromLatin1(line));
        return;
    }
    Step& s = steps_[pos_];
    switch (s.kind) {
    case Step::Expect:
        if (line != s.text)
            unexpected_.append(QString::fromLatin1(line));
        else
            ++pos_;
        break;
    case Step::ExpectAny:
        ++pos_;
        break;
    case Step::SkipUntil:
        if (s.re.match(QString::fromLatin1(line)).hasMatch())
            ++pos_;
        break;
    case Step::Message:
        if (line == ".") {
            messageEnded_ = true;
            ++pos_;
        } else {
            message_.append(line);
        }
        break;
    default:
        unexpected_.append(QString::fromLatin1(line));
        return;
    }
    RunServerSteps();
}

QByteArray Attachment(const QList<QByteArray>& lines, int n)
{
    qsizetype i = 0;
    for (int seen = -1; i < lines.size(); ++i) {
        if (lines[i].contains("filename=\"temp.sbd\"") && ++seen == n)
            break;
    }
    while (i < lines.size() && !lines[i].isEmpty())
        ++i;
    QByteArray base64;
    for (++i; i < lines.size() && !lines[i].isEmpty() && !lines[i].startsWith("--"); ++i)
        base64 += lines[i];
    return QByteArray::fromBase64(base64);
}

} // namespace kestravo::testkit
