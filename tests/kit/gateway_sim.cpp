// SPDX-License-Identifier: Apache-2.0
#include "gateway_sim.h"

#include <QDir>

#ifndef KESTRAVO_GATEWAY_SIM
#error "KESTRAVO_GATEWAY_SIM must name tools/sbd-gateway-sim"
#endif

namespace kestravo::testkit {

namespace {

constexpr int kBoundMs = 30000; // a start on loopback; catches a hang, never measures speed

} // namespace

GatewaySim::GatewaySim(const QStringList& arguments, Storing storing)
{
    QStringList args{QStringLiteral(KESTRAVO_GATEWAY_SIM), QStringLiteral("--port"), QStringLiteral("0")};
    if (storing == Store) {
        store_ = std::make_unique<QTemporaryDir>();
        args << QStringLiteral("--store") << store_->path();
    }
    args << arguments;
    process_.start(QStringLiteral("/usr/bin/python3"), args);
    if (!process_.waitForStarted(kBoundMs)) {
        error_ = process_.errorString();
        return;
    }
    const QByteArray first = NextLine();
    if (!first.startsWith("listening on ")) {
        error_ = QStringLiteral("the stand-in did not start: \"%1\" %2")
                     .arg(QString::fromUtf8(first), QString::fromLocal8Bit(process_.readAllStandardError()));
        return;
    }
    port_ = QString::fromLatin1(first.mid(first.lastIndexOf(':') + 1));
    if (!arguments.contains(QStringLiteral("--directip-port")))
        return;
    const QByteArray second = NextLine();
    if (!second.startsWith("directip listening on ")) {
        error_ = QStringLiteral("the stand-in did not start its DirectIP side: \"%1\"").arg(QString::fromUtf8(second));
        return;
    }
    directipPort_ = QString::fromLatin1(second.mid(second.lastIndexOf(':') + 1));
}

GatewaySim::~GatewaySim()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(kBoundMs))
        process_.kill();
    process_.waitForFinished(kBoundMs);
}

QByteArray GatewaySim::NextLine()
{
    while (!process_.canReadLine() && process_.waitForReadyRead(kBoundMs)) {
    }
    return process_.readLine().trimmed();
}

QStringList GatewaySim::Stored(const QString& suffix) const
{
    QStringList out;
    if (!store_)
        return out;
    const QDir folder(store_->path());
    for (const QString& name : folder.entryList({QStringLiteral("*") + suffix}, QDir::Files, QDir::Name))
        out << folder.filePath(name);
    return out;
}

} // namespace kestravo::testkit
