// SPDX-License-Identifier: Apache-2.0
#pragma once
// For the tests of the settings: every variable ResolveEndpoints reads cleared for a test and put
// back after it, a private settings file, and the refusal a resolution ends with.
#include "endpoints/endpoints.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace kestravo::mail::test {

using namespace kestravo::endpoints;

class CleanEnvironment {
public:
    CleanEnvironment()
    {
        for (const char* name : kNames) {
            saved_.push_back(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
            qunsetenv(name);
        }
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"); // no keyring
    }
    ~CleanEnvironment()
    {
        for (std::size_t i = 0; i < std::size(kNames); ++i) {
            if (saved_[i])
                qputenv(kNames[i], *saved_[i]);
            else
                qunsetenv(kNames[i]);
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
    static constexpr const char* kNames[] = {
        "KESTRAVO_RELAY",    "KESTRAVO_SENDER",   "KESTRAVO_GATEWAY", "KESTRAVO_TIMEOUT",
        "KESTRAVO_HISTORY",  "KESTRAVO_TRANSPORT", "KESTRAVO_DIRECTIP", "KESTRAVO_SECURITY",
        "KESTRAVO_USER",     "KESTRAVO_AUTH",     "KESTRAVO_CAFILE",  "KESTRAVO_PASSWORD_COMMAND",
        "XDG_CONFIG_HOME",   "DBUS_SESSION_BUS_ADDRESS"};
    std::vector<std::optional<QByteArray>> saved_;
};

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
