// SPDX-License-Identifier: Apache-2.0
#include "mail/smtp/smtp_auth.h"

#include <QMessageAuthenticationCode>

namespace kestravo::mail {

QString AuthMechanismName(AuthMechanism m)
{
    switch (m) {
    case AuthMechanism::CramMd5: return QStringLiteral("CRAM-MD5");
    case AuthMechanism::Plain: return QStringLiteral("PLAIN");
    case AuthMechanism::Login: return QStringLiteral("LOGIN");
    case AuthMechanism::None: break;
    }
    return QString();
}

AuthMechanism ChooseAuthMechanism(const QStringList& offered, AuthMechanism wanted)
{
    auto offers = [&](AuthMechanism m) {
        return offered.contains(AuthMechanismName(m), Qt::CaseInsensitive);
    };
    if (wanted != AuthMechanism::None)
        return offers(wanted) ? wanted : AuthMechanism::None;
    for (AuthMechanism m : {AuthMechanism::CramMd5, AuthMechanism::Plain, AuthMechanism::Login})
        if (offers(m))
            return m;
    return AuthMechanism::None;
}

QByteArray AuthPlainCommand(const QByteArray& user, const QByteArray& password)
{
    QByteArray raw;
    raw.reserve(user.size() + password.size() + 2);
    raw.append('\0').append(user).append('\0').append(password);
    QByteArray line = QByteArray("AUTH PLAIN ") + raw.toBase64();
    WipeBytes(raw);
    return line;
}

bool DecodeAuthChallenge(const QByteArray& line, QByteArray& challenge)
{
    challenge.clear();
    if (!line.startsWith("334") || (line.size() > 3 && line[3] != ' '))
        return false;
    const QByteArray text = line.mid(4).trimmed();
    if (text.isEmpty())
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    challenge = *decoded;
    return !challenge.isEmpty();
}

QByteArray CramMd5Answer(const QByteArray& line, const QByteArray& user, const QByteArray& password)
{
    QByteArray challenge;
    if (!DecodeAuthChallenge(line, challenge))
        return QByteArray();
    QByteArray digest = QMessageAuthenticationCode::hash(challenge, password, QCryptographicHash::Md5).toHex();
    QByteArray answer = user + ' ' + digest;
    QByteArray encoded = answer.toBase64();
    WipeBytes(digest);
    WipeBytes(answer);
    return encoded;
}

void WipeBytes(QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    volatile char* p = bytes.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        p[i] = 0;
    bytes.clear();
}

} // namespace kestravo::mail
