// SPDX-License-Identifier: Apache-2.0
#pragma once
// The send history bound to a send: what a row keeps of a message beyond the record (where it
// went, by which way, from which front end), in the history file of history/. The window and
// kestravo-record write the same row; only where it came from differs.
#include "endpoints/endpoints.h"
#include "history/send_history.h"
#include "send/history_recorder.h"

#include <functional>
#include <memory>

namespace kestravo::ways {

// The row of one message before it is tried.
history::SendEntry HistoryEntry(const send::SbdMessage& message, const endpoints::Endpoints& endpoints,
                                history::Origin origin, const send::SendOptions& way = {});

// Gives the history file, opening it when asked (it may throw history::HistoryError).
using HistoryFile = std::function<std::shared_ptr<history::SendHistory>()>;

// The recorder of a run to `endpoints`: rows in the file `file` gives at the first write, none at
// all when the endpoints turn the history off.
std::unique_ptr<send::HistoryRecorder> Recorder(const endpoints::Endpoints& endpoints, history::Origin origin,
                                                const send::SendOptions& way, HistoryFile file,
                                                send::HistoryRecorder::Tell tell);

} // namespace kestravo::ways
