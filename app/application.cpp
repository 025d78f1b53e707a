// SPDX-License-Identifier: Apache-2.0
#include "app/application.h"

#include <stdexcept>
#include <string>

namespace kestravo {

QString WindowTitle(const QString& version)
{
    return ApplicationTitle() + QStringLiteral(" v") + version;
}

QString ShortImeiMessage()
{
    return QStringLiteral("Введен не полный IMEI !\r\nDo not enter the full IMEI !");
}

QString SendResultText(int code, const QString& reason)
{
    const QString crlf = QStringLiteral("\r\n");
    if (code == 0)
        return QStringLiteral("Письмо отправлено\r\nMail sended\r\nError code 0");
    QString text = QStringLiteral("Письмо не отправлено\r\nMail not sent\r\nError code ") + QString::number(code);
    if (!reason.trimmed().isEmpty())
        text += crlf + reason.trimmed();
    return text;
}

QString ErrorBoxText(const QString& message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + u'.';
    return message;
}

QString UnopenedFilesText(const QStringList& files)
{
    QString text = QStringLiteral("The window holds one record: %1 is opened.\r\nNot opened:").arg(files.value(0));
    for (qsizetype i = 1; i < files.size(); ++i)
        text += QStringLiteral("\r\n") + files[i];
    return text;
}

namespace {

void InnermostMessage(const std::exception& failure, std::string& found)
{
    if (*failure.what() != '\0')
        found = failure.what();
    try {
        std::rethrow_if_nested(failure);
    } catch (const std::exception& inner) {
        InnermostMessage(inner, found);
    } catch (...) {
        // A wrapped failure of a kind without a message adds nothing.
    }
}

} // namespace

QString FailureMessage(std::exception_ptr failure)
{
    std::string found;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        InnermostMessage(e, found);
    } catch (...) {
        // A failure that carries no message shows an empty box.
    }
    return QString::fromUtf8(found.data(), static_cast<qsizetype>(found.size()));
}

} // namespace kestravo
