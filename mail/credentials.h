// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where the password for the relay comes from, in this order: the settings' password_command (its
// first line of output, the command run without a shell), the desktop's keyring (QtKeychain:
// Secret Service or KWallet), and in the window only, a prompt asked once per run. The settings
// file never holds it.
#include "endpoints/endpoints.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace kestravo::mail {

using endpoints::Endpoints;
using endpoints::EndpointError;

// No password could be had; what() says where one can be put. A setting problem, as the
// endpoints' own refusals are.
class CredentialError : public EndpointError {
public:
    using EndpointError::EndpointError;
};

// Bytes that are overwritten when the last owner lets go of them.
std::shared_ptr<const QByteArray> MakeSecret(QByteArray bytes);

// Splits a command into its words as a shell would split a plain command, without running one:
// blanks separate words, '...' keeps everything, "..." keeps everything but \" and \\, and a
// backslash outside quotes takes the next character as it is. Nothing is expanded. False with the
// reason in error for an unclosed quote or a trailing backslash.
bool SplitCommandLine(const QString& text, QStringList& words, QString& error);

// Runs the command and gives the first line of its output (without CR LF). Throws CredentialError
// when it cannot start, fails, takes longer than timeoutSeconds or prints nothing.
QByteArray RunPasswordCommand(const QString& command, int timeoutSeconds);

// The keyring entry of the relay and user: service "kestravo", key "USER@HOST:PORT".
QString KeyringKey(const Endpoints& endpoints);
// The stored password, or nullopt with the keyring's reason in problem.
std::optional<QByteArray> ReadKeyringPassword(const Endpoints& endpoints, QString& problem);
// Throw CredentialError when the keyring refuses.
void WriteKeyringPassword(const Endpoints& endpoints, const QByteArray& password);
void ClearKeyringPassword(const Endpoints& endpoints);

// Asks the operator; nullopt when they decline.
using PasswordPrompt = std::function<std::optional<QString>(const QString& question)>;

// Fills endpoints.password when a user is set and no password is there yet. Throws
// CredentialError when no source gives one.
void FetchPassword(Endpoints& endpoints, const PasswordPrompt& prompt = {});

} // namespace kestravo::mail
