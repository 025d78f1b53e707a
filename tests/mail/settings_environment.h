// SPDX-License-Identifier: Apache-2.0
#pragma once
// For the tests of the settings: every variable ResolveEndpoints reads cleared for a test and put
// back after it, a private settings file, and the refusal a resolution ends with.
#include "endpoints/endpoints.h"
#include "endpoints/settings_keys.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace kestravo::mail::test {

using namespace kestravo::endpoints;

class CleanEnvironment {
public:
    CleanEnvironment()
    {
        // Every variable of the table, so a key added there is cleared here too.
        for (const SettingKey& key : SettingKeys())
            if (key.variable && std::find(names_.begin(), names_.end(), key.variable) == names_.end())
                names_.push_back(key.variable);
        names_.insert(names_.end(), {"XDG_CONFIG_HOME", "DBUS_SESSION_BUS_ADDRESS"});
        for (const char* name : names_) {
            saved_.push_back(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
            qunsetenv(name);
        }
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"); // no keyring
    }
    ~CleanEnvironment()
    {
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (saved_[i])
                qputenv(names_[i], *saved_[i]);
            else
                qunsetenv(names_[i]);
        }
    }
    CleanEnvironment(const CleanEnvironment&) = delete;
    CleanEnvironment& operator=(const CleanEnvironment&) = delete;

    // Writes the configuration file with the given [mail] lines.
    QString WriteConfig(const QByteArray& mailSection) const { return WriteConfigFile("[mail]\n" + mailSection); }
    // Writes the whole configuration file.
    QString WriteConfigFile(const QByteArray& bytes) const
    {
        QDir(config.path()).mkpath(QStringLiteral("kestravo"));
        const QString path = config.filePath(QStringLiteral("kestravo/kestravo.conf"));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        return path;
    }

    QTemporaryDir config;

private:
    std::vector<const char*> names_;
    std::vector<std::optional<QByteArray>> saved_;
};

// A self-signed CA certificate for nobody: what a cafile holds.
inline constexpr char kTestCaPem[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBfDCCASGgAwIBAgIUDw4DOC3TBdUDI74WNPa6HcPisAIwCgYIKoZIzj0EAwIw\n"
    "EjEQMA4GA1UEAwwHdGVzdC1jYTAgFw0yNjEyMTEwMzEwMTJaGA8yMTI2MTExNzAz\n"
    "MTAxMlowEjEQMA4GA1UEAwwHdGVzdC1jYTBZMBMGByqGSM49AgEGCCqGSM49AwEH\n"
    "A0IABCCf+sqHSTqj9qi8NsRkthdhRtFzLjkZ8vioWcOELqHHJo6xmPNKZcE7cF5n\n"
    "TnHliVRQzG2VpaK1Ld8iXAO4YXSjUzBRMB0GA1UdDgQWBBSicQiV9kxrhMd5vOca\n"
    "LVgm7fgPwjAfBgNVHSMEGDAWgBSicQiV9kxrhMd5vOcaLVgm7fgPwjAPBgNVHRMB\n"
    "Af8EBTADAQH/MAoGCCqGSM49BAMCA0kAMEYCIQCndSVMQI4iz7gGqK1L2W5nweu9\n"
    "XwjlCr2vSdbNBzVD+AIhAOxMBTOM1ulcmuU+tPBmaJoLsppeab+uEZcpnhg3Khju\n"
    "-----END CERTIFICATE-----\n";

// The refusal's text, or "" when the settings resolve.
inline std::string Refusal(const EndpointOptions& options = {})
{
    try {
        ResolveEndpoints(options);
    } catch (const EndpointError& e) {
        return e.what();
    }
    return {};
}

} // namespace kestravo::mail::test
