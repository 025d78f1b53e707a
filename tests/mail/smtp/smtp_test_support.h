// SPDX-License-Identifier: Apache-2.0
#pragma once
#include "mail/smtp/smtpcli.h"
#include "kit/scripted_relay.h"
#include "kit/wait.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>
#include <ostream>

// Readable failure messages for Qt's texts.
inline std::ostream& operator<<(std::ostream& os, const QString& s) { return os << s.toStdString(); }
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QByteArray& b, std::ostream* os) { *os << '"' << b.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) { *os << '[' << l.join(" | ").toStdString() << ']'; }

namespace kestravo::mail::test {

// Records the client's events as short texts, in order: "connected 0", "closed 10061",
// "done CONNECT 0", "rcpt-error 550 0".
struct EventLog {
    QStringList events;
    QStringList displays;
    int done = 0;
    TSmtpRequest lastRq = smtpCustom;
    int lastCode = -1;

    void Attach(TCustomSmtpClient& c);
    bool WaitDone(int count = 1) { return testkit::WaitUntil([&] { return done >= count; }); }
};

// The 44-byte record every message of the system carries.
QByteArray SampleRecord();

// Writes bytes to a file in dir and returns its path.
QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes);

// Number of this process's open descriptors that refer to the file.
int OpenHandlesTo(const QString& path);

// Runs /usr/bin/python3 with a script from this folder; returns its standard output, or an empty
// array with the failure in error.
QByteArray RunPython(const QString& script, const QStringList& args, QString* error = nullptr);

} // namespace kestravo::mail::test
