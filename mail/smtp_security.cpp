// SPDX-License-Identifier: Apache-2.0
#include "mail/smtp_security.h"

namespace kestravo::mail {

bool UsesSecureSession(const Endpoints& e)
{
    return e.security != Endpoints::Security::None || !e.user.isEmpty();
}

void ConfigureSecurity(TCustomSmtpClient& client, const Endpoints& e)
{
    if (!UsesSecureSession(e))
        return;
    switch (e.security) {
    case Endpoints::Security::None: client.SetSecurity(smtpSecurityNone); break;
    case Endpoints::Security::StartTls: client.SetSecurity(smtpSecurityStartTls); break;
    case Endpoints::Security::Tls: client.SetSecurity(smtpSecurityImplicitTls); break;
    }
    client.SetCaFile(e.caFile);
    if (e.user.isEmpty()) {
        client.SetAuthType(smtpAuthNone);
        return;
    }
    client.SetUsername(e.user);
    if (e.auth == u"plain")
        client.SetAuthType(smtpAuthPlain);
    else if (e.auth == u"login")
        client.SetAuthType(smtpAuthLogin);
    else if (e.auth == u"cram-md5")
        client.SetAuthType(smtpAuthCramMD5);
    else
        client.SetAuthType(smtpAuthAutoSelect);
    if (e.password)
        client.SetPassword(*e.password);
}

void OpenSession(TCustomSmtpClient& client, const Endpoints& e)
{
    if (UsesSecureSession(e))
        client.Open();
    else
        client.Connect();
}

int OpenFailureCode(TSmtpRequest rq, int code, int fallback)
{
    if (rq == smtpOpen && code >= 400 && code <= 599 && code != 500)
        return code;
    return fallback;
}

} // namespace kestravo::mail
