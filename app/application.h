// SPDX-License-Identifier: Apache-2.0
#pragma once
// Application-wide texts and the error box's wording rule.
#include <QString>
#include <QStringList>

#include <exception>

namespace kestravo {

// Caption of every message box. Not the window caption, which carries the version.
inline const QString& ApplicationTitle()
{
    static const QString title = QStringLiteral("Tormalk KESTRAVO");
    return title;
}

// The window's caption for a version: "Tormalk KESTRAVO v2.2" for "2.2".
QString WindowTitle(const QString& version);

// Shown by the save and send commands when the IMEI edit holds fewer than 15 characters.
QString ShortImeiMessage();

// The send's result box. Code 0: "Письмо отправлено", "Mail sended", "Error code 0" on three lines,
// as it always read. Any other code says the mail was not sent, then the code, then the reason
// (the relay's reply or the client's error text) on a line of its own.
QString SendResultText(int code, const QString& reason);

// The error box's text for a failure message: a period is added unless the message is empty or
// already ends in a character that sorts at or before ".".
QString ErrorBoxText(const QString& message);

// Several files given to open (a file manager passes every one selected): the window opens the
// first; this names the others as not opened.
QString UnopenedFilesText(const QStringList& files);

// The message of a failure; for a failure that wraps others, the innermost non-empty message.
QString FailureMessage(std::exception_ptr failure);

} // namespace kestravo
