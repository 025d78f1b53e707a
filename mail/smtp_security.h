// SPDX-License-Identifier: Apache-2.0
#pragma once
// How a send flow sets up its SMTP client for encryption and sign-in, in one place: with neither
// configured the client is left exactly as before (plain SMTP, Connect, no greeting), so the
// dialogue with the relay stays the same byte for byte.
#include "endpoints/endpoints.h"
#include "mail/smtp/smtpcli.h"

namespace kestravo::mail {

using endpoints::Endpoints;

// Encryption or a user is configured.
bool UsesSecureSession(const Endpoints& endpoints);

// Security, user, mechanism, CA file and password from the endpoints onto the client.
void ConfigureSecurity(TCustomSmtpClient& client, const Endpoints& endpoints);

// Starts the session: Connect as of old (ends as smtpConnect), or, with a secure session, Open:
// connect, EHLO, STARTTLS, EHLO, AUTH (ends as smtpOpen).
void OpenSession(TCustomSmtpClient& client, const Endpoints& endpoints);

// The code a failed opening gives its messages: the relay's reply code when the relay refused
// something of the secure opening (535 to the password, say), otherwise fallback.
int OpenFailureCode(TSmtpRequest rq, int code, int fallback);

} // namespace kestravo::mail
