// SPDX-License-Identifier: Apache-2.0
#include "ways/history_binding.h"

namespace kestravo::ways {

namespace {

class FileBook : public send::HistoryBook {
public:
    FileBook(std::shared_ptr<history::SendHistory> file, const endpoints::Endpoints& endpoints,
             history::Origin origin, const send::SendOptions& way)
        : file_(std::move(file)), endpoints_(endpoints), origin_(origin), way_(way)
    {
    }

    qint64 Begin(const send::SbdMessage& message) override
    {
        return file_->Begin(HistoryEntry(message, endpoints_, origin_, way_));
    }
    void Reference(qint64 row, const QString& reference) override
    {
        file_->Reference(row, reference, ByMail());
    }
    void Finish(qint64 row, const send::SbdResult& result) override
    {
        file_->Finish(row, result.code, result.detail, ByMail() ? result.reference : QString(), result.reference,
                      result.queuePlace >= 0 ? std::optional<int>(result.queuePlace) : std::nullopt);
    }

private:
    bool ByMail() const { return endpoints_.transport == endpoints::Transport::Email; }

    std::shared_ptr<history::SendHistory> file_;
    const endpoints::Endpoints endpoints_;
    const history::Origin origin_;
    const send::SendOptions way_;
};

} // namespace

history::SendEntry HistoryEntry(const send::SbdMessage& message, const endpoints::Endpoints& endpoints,
                                history::Origin origin, const send::SendOptions& way)
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

std::unique_ptr<send::HistoryRecorder> Recorder(const endpoints::Endpoints& endpoints, history::Origin origin,
                                                const send::SendOptions& way, HistoryFile file,
                                                send::HistoryRecorder::Tell tell)
{
    if (!endpoints.historyEnabled || !file)
        return std::make_unique<send::HistoryRecorder>(send::HistoryRecorder::Open{}, std::move(tell));
    return std::make_unique<send::HistoryRecorder>(
        [endpoints, origin, way, file = std::move(file)]() -> std::unique_ptr<send::HistoryBook> {
            return std::make_unique<FileBook>(file(), endpoints, origin, way);
        },
        std::move(tell));
}

} // namespace kestravo::ways
