// SPDX-License-Identifier: Apache-2.0
#pragma once
// A relay on a loopback port chosen by the system that plays a transcript:
//
//   S: 220 relay.example ready     the relay sends the line and CR LF
//   S+: 220 rel                    the relay sends a piece without CR LF, on its own
//   C: MAIL FROM:<a@example.org>   the client must send exactly this line
//   C: *                           the client sends any one line
//   C~: <regex>                    lines are skipped until one matches the regular expression
//   M                              the message data: lines are collected up to the "." line
//   X                              the relay closes the connection
//   H                              the relay holds: nothing more happens until Resume()
//   A                              the relay takes the client's next connection and goes on
//                                  with the script there (a script without it takes one)
//
// Escapes in S lines: \0 \r \n \t \\. Anything the client sends that the script does not
// expect is recorded; Finished() tells whether every step was used.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

namespace kestravo::testkit {

class ScriptedRelay : public QObject {
public:
    // Listens on the loopback address given (IPv4 by default) at a port the system picks.
    explicit ScriptedRelay(const QString& script, const QHostAddress& address = QHostAddress(QHostAddress::LocalHost));
    ~ScriptedRelay() override;

    quint16 Port() const { return server_.serverPort(); }
    bool Listening() const { return server_.isListening(); }
    bool Finished() const { return pos_ >= steps_.size(); }
    QStringList Unexpected() const { return unexpected_; }
    // Lines of the message data, without the final "." and with the dot-stuffing as sent.
    QList<QByteArray> MessageLines() const { return message_; }
    bool MessageEnded() const { return messageEnded_; }
    bool ClientClosed() const { return clientClosed_; }
    bool Connected() const { return conn_ != nullptr; }
    // The step the script waits at, for failure messages.
    QString Where() const;
    // Closes the connection from outside the script.
    void CloseClient();
    // The script stands at an "H" step.
    bool Holding() const { return pos_ < steps_.size() && steps_[pos_].kind == Step::Hold; }
    // Goes on past the "H" step the script stands at.
    void Resume();
    // Connections the relay has seen (taken or not).
    int Connections() const { return connections_; }

private:
    struct Step {
        enum Kind { Send, SendPiece, Expect, ExpectAny, SkipUntil, Message, Close, Accept, Hold } kind;
        QByteArray text;
        QRegularExpression re;
    };

    void OnNewConnection();
    void TakeConnection(QTcpSocket* s);
    void OnReadyRead();
    void RunServerSteps();
    void TakeLine(const QByteArray& line);

    QTcpServer server_;
    QTcpSocket* conn_ = nullptr;
    QList<Step> steps_;
    qsizetype pos_ = 0;
    QByteArray pendingInput_;
    QStringList unexpected_;
    QList<QByteArray> message_;
    bool messageEnded_ = false;
    bool clientClosed_ = false;
    bool closedByScript_ = false;
    int connections_ = 0;
};


// The attachment temp.sbd of the n-th message in the lines a relay gathered, decoded from base64.
QByteArray Attachment(const QList<QByteArray>& lines, int n = 0);

} // namespace kestravo::testkit
