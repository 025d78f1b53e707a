// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the send history keeps of one message of the send flow: the window and kestravo-record
// write the same row, and only where it came from differs.
#include "history/send_history.h"
#include "mail/endpoints.h"
#include "send/link.h"

namespace kestravo::send {

inline history::SendEntry HistoryEntry(const SbdMessage& message, const mail::Endpoints& endpoints,
                                       history::Origin origin)
{
    history::SendEntry entry; // stamped with the time of SendHistory::Begin
    entry.imei = message.imei;
    entry.record = QByteArray(reinterpret_cast<const char*>(message.record.data()), qsizetype(message.record.size()));
    entry.relayHost = endpoints.relayHost;
    entry.relayPort = endpoints.relayPort;
    entry.sender = endpoints.sender;
    entry.gateway = endpoints.gateway;
    entry.origin = origin;
    return entry;
}

} // namespace kestravo::send
