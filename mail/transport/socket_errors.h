// SPDX-License-Identifier: Apache-2.0
#pragma once
// The transport's error numbers (Windows Sockets numbering) and their texts.
#include <QString>

namespace kestravo::mail {

QString WSocketErrorDesc(int code);             // "Connection refused", ..., "Not a WinSock error"
QString WSocketErrorMsgFromErrorCode(int code); // "Winsock - " + WSocketErrorDesc(code)
QString GetWinsockErr(int code);                // WSocketErrorDesc(code) + " (#" + code + ")"
int WSocketErrorFromErrno(int err);             // errno -> Windows Sockets number (ECONNREFUSED -> 10061)

} // namespace kestravo::mail
