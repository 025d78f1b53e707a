// SPDX-License-Identifier: Apache-2.0
#pragma once
// The gateway stand-in tools/sbd-gateway-sim as a child process on ports the system picks: SMTP
// always, DirectIP when the arguments ask for it ("--directip-port 0"). The stand-in is asked to
// end when this object goes.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace kestravo::testkit {

class GatewaySim {
public:
    enum Storing { NoStore, Store };

    // Starts the stand-in with "--port 0" and the arguments given; with Store it keeps what it
    // accepts in a temporary folder of its own ("--store").
    explicit GatewaySim(const QStringList& arguments, Storing storing = NoStore);
    ~GatewaySim();
    GatewaySim(const GatewaySim&) = delete;
    GatewaySim& operator=(const GatewaySim&) = delete;

    // The ports it listens on; empty when it did not start (Error() says why).
    QString Port() const { return port_; }
    QString DirectIpPort() const { return directipPort_; }
    QString Error() const { return error_; }
    // The files it stored whose names end in suffix, sorted.
    QStringList Stored(const QString& suffix) const;
    // Its standard output after the listening lines (one line per message it accepted).
    QProcess& Process() { return process_; }

private:
    QByteArray NextLine();

    std::unique_ptr<QTemporaryDir> store_;
    QProcess process_;
    QString port_;
    QString directipPort_;
    QString error_;
};

} // namespace kestravo::testkit
