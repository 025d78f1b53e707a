// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the send history keeps of one message of the send flow: the window and kestravo-record
// write the same row, and only where it came from differs.
#include "history/send_history.h"
#include "endpoints/endpoints.h"
#include "send/link.h"

namespace kestravo::send {

inline history::SendEntry HistoryEntry(const SbdMessage& message, const endpoints::Endpoints& endpoints,
                                       history::Origin origin, const SendOptions& way = {})
{
    history::SendEntry entry; // stamped with the time of SendHistory::Begin
    entry.imei = message.imei;
    entry.record = QByteArray(reinterpret_cast<const char*>(message.record.data()), qsizetype(message.record.size()));
    entry.relayHost = endpoints.relayHost;
    entry.relayPort = endpoints.relayPort;
    entry.sender = endpoints.sender;
    entry.gateway = endpoints.gateway;
    entry.origin = origin;
    if (endpoints.transport == endpoints::Transport::DirectIp) {
        entry.transport = QStringLiteral("directip");
        entry.endpoint = endpoints.directipHost + u':' + endpoints.directipPort;
        entry.flags = way.flushQueue ? 0x0001 : 0;
        entry.priority = way.priority;
    } else {
        entry.endpoint = endpoints.relayHost + u':' + endpoints.relayPort;
    }
    return entry;
}

// Completes the row of a message with its result: the answer that judged it, its reference, its
// place in the device's queue.
inline void FinishHistoryEntry(history::SendHistory& file, qint64 row, const SbdResult& result,
                               const endpoints::Endpoints& endpoints)
{
    const bool byMail = endpoints.transport == endpoints::Transport::Email;
    file.Finish(row, result.code, result.detail, byMail ? result.reference : QString(), result.reference,
                result.queuePlace >= 0 ? std::optional<int>(result.queuePlace) : std::nullopt);
}

} // namespace kestravo::send
