// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every setting of a send in one table, as OpenSSH keeps its keywords: the file's section and
// key, the environment variable and the command-line option that win over it, what is used when
// none gives it, the parser, and one line of help. Resolution, the settings file's known keys,
// the settings dialog, the tool's usage text (and through it the bash completion) are read from
// here; a test holds the manual pages and the README to it.
#include "endpoints/endpoints.h"

#include <QString>

#include <span>

namespace kestravo::endpoints {

// The way to the gateway a setting belongs to; an option given for the other way is refused.
enum class Way { Both, Email, DirectIp };

// Where a value came from. The DirectIP gateway is HOST[:PORT] as an option or a variable, but
// the file keeps its host and port apart.
enum class Origin { Option, Variable, File };

struct SettingKey {
    const char* section;
    const char* key;
    const char* variable; // wins over the file; nullptr: none
    const char* option;   // "--relay", wins over the variable; nullptr: none
    QString EndpointOptions::*given; // where the option's value is handed in
    const char* valueName;           // "HOST[:PORT]"; choices as "none|starttls|tls"
    const char* defaultText;         // what is used when nothing gives a value
    Way way;
    // Checks text and stores it; throws EndpointError naming source. The one reading of the value
    // for a send, the dialog and the file check alike.
    void (*parse)(const QString& text, const QString& source, Origin origin, Endpoints& into);
    const char* help;
    // The variable and the option give this key together with the key named here (the DirectIP
    // port comes with its host); only the file gives it alone.
    const char* givenWith = nullptr;

    QString Name() const { return QStringLiteral("[%1] %2").arg(QLatin1String(section), QLatin1String(key)); }
};

// In the order the dialog shows them and resolution reads them.
std::span<const SettingKey> SettingKeys();

// The row of section/key, or nullptr.
const SettingKey* FindSettingKey(const QString& section, const QString& key);

// The source a refusal names for a value of the file: "PATH [section] key".
QString FileSource(const QString& path, const SettingKey& key);

} // namespace kestravo::endpoints
