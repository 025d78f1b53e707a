// SPDX-License-Identifier: Apache-2.0
#include "smtp_test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#ifndef KESTRAVO_SMTP_TEST_DIR
#error "KESTRAVO_SMTP_TEST_DIR must name the folder of the test scripts"
#endif

namespace kestravo::mail::test {

void EventLog::Attach(TCustomSmtpClient& c)
{
    c.OnSessionConnected = [this](TCustomSmtpClient*, std::uint16_t e) { events << QStringLiteral("connected %1").arg(e); };
    c.OnSessionClosed = [this](TCustomSmtpClient*, std::uint16_t e) { events << QStringLiteral("closed %1").arg(e); };
    c.OnRequestDone = [this](TCustomSmtpClient*, TSmtpRequest rq, std::uint16_t e) {
        events << QStringLiteral("done %1 %2").arg(SmtpRqTypeToStr(rq)).arg(e);
        lastRq = rq;
        lastCode = e;
        ++done;
    };
    c.OnDisplay = [this](TCustomSmtpClient*, const QString& m) { displays << m; };
}

QByteArray SampleRecord()
{
    QByteArray r;
    for (int i = 0; i < 44; ++i)
        r.append(char((i * 37 + 11) & 0xFF));
    return r;
}

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

int OpenHandlesTo(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int n = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo& fi : fds.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (fi.symLinkTarget() == target)
            ++n;
    return n;
}

QByteArray RunPython(const QString& script, const QStringList& args, QString* error)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            QStringList{QStringLiteral(KESTRAVO_SMTP_TEST_DIR "/") + script} + args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        if (error)
            *error = QString::fromLocal8Bit(p.readAllStandardError());
        p.kill();
        return {};
    }
    return p.readAllStandardOutput();
}

} // namespace kestravo::mail::test
