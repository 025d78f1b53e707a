// SPDX-License-Identifier: Apache-2.0
#pragma once
// The result codes a send ends with where the code is the system's own rather than a peer's, each
// with its one text, as curl's strerror keeps them; and HOST:PORT as results and boxes name a peer.
#include <QString>

namespace kestravo::send {

enum ResultCode : int {
    kAccepted = 0,
    kAborted = 426,        // the operator or the program dropped the send
    kNotSent = 500,        // the message could not be sent at all
    kClosed = 10004,       // the peer closed the connection under a request (Windows Sockets numbering)
    kTimedOut = 10060,     // no answer within the deadline
    kProtocolError = 20600, // an answer that breaks the protocol
    kNothingQueued = 20700  // DirectIP status 0: the gateway took the payload but queued nothing
};

// The fixed words of a code of the system's own; empty for a code that has none.
inline QString ResultWords(int code)
{
    switch (code) {
    case kAborted: return QStringLiteral("Operation aborted.");
    case kClosed: return QStringLiteral("Connection closed by the relay");
    case kTimedOut: return QStringLiteral("Connection timed out");
    case kNotSent: return QStringLiteral("The message could not be sent");
    default: return QString();
    }
}

// "426 Operation aborted.": the code, then its words, or `words` where the moment has better ones.
inline QString ResultText(int code, const QString& words = {})
{
    return QString::number(code) + u' ' + (words.isEmpty() ? ResultWords(code) : words);
}

// HOST:PORT, an IPv6 address in brackets.
inline QString HostPort(const QString& host, const QString& port)
{
    const bool bare = host.contains(u':') && !host.startsWith(u'[');
    return (bare ? u'[' + host + u']' : host) + u':' + port;
}

} // namespace kestravo::send
