// SPDX-License-Identifier: Apache-2.0
#pragma once
// The sign-in exchanges of SMTP AUTH (RFC 4954): PLAIN (RFC 4616), LOGIN and CRAM-MD5 (RFC 2195),
// as pure functions of the relay's words, so that they can be tested and fuzzed without a relay.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kestravo::mail {

// The mechanisms this client speaks, strongest first.
enum class AuthMechanism { None, CramMd5, Plain, Login };

QString AuthMechanismName(AuthMechanism m); // "CRAM-MD5", "PLAIN", "LOGIN"

// The mechanism to use: wanted (None = the strongest that both sides have) when the relay
// offers it, else None.
AuthMechanism ChooseAuthMechanism(const QStringList& offered, AuthMechanism wanted);

// "AUTH PLAIN " + base64 of NUL user NUL password.
QByteArray AuthPlainCommand(const QByteArray& user, const QByteArray& password);

// The base64 text after "334 " in a challenge line, decoded; false when the line is no valid
// challenge (no 334, no text, not base64).
bool DecodeAuthChallenge(const QByteArray& line, QByteArray& challenge);

// The answer to a CRAM-MD5 challenge line: base64 of user, a blank and the lower-case hex
// HMAC-MD5 of the challenge keyed with the password. Empty when the line is no valid challenge.
QByteArray CramMd5Answer(const QByteArray& line, const QByteArray& user, const QByteArray& password);

// Overwrites the bytes before they are freed.
void WipeBytes(QByteArray& bytes);

} // namespace kestravo::mail
