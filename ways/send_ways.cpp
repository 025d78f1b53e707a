// SPDX-License-Identifier: Apache-2.0
#include "ways/send_ways.h"

#include "directip/directip_link.h"
#include "mail/mail_link.h"

namespace kestravo::ways {

void CheckEndpoints(const endpoints::Endpoints& endpoints)
{
    endpoints::ParseAddress(endpoints.sender, QStringLiteral("sender"));
    endpoints::ParseAddress(endpoints.gateway, QStringLiteral("gateway"));
    endpoints::ParseTimeoutSeconds(QString::number(endpoints.timeoutSeconds), QStringLiteral("timeout"));
    if (endpoints.transport == endpoints::Transport::Email && endpoints.relayHost.isEmpty())
        throw endpoints::EndpointError("relay: no host");
    if (endpoints.transport == endpoints::Transport::DirectIp && endpoints.directipHost.isEmpty())
        throw endpoints::EndpointError("DirectIP: no gateway host");
}

std::unique_ptr<send::Link> MakeLink(const endpoints::Endpoints& endpoints, const send::SendOptions& options)
{
    CheckEndpoints(endpoints);
    if (endpoints.transport == endpoints::Transport::DirectIp)
        return std::make_unique<directip::DirectIpLink>(directip::Gateway{endpoints.directipHost, endpoints.directipPort},
                                                        options, endpoints.directipParallel);
    return std::make_unique<mail::MailLink>(endpoints, options);
}

std::unique_ptr<send::SbdSend> MakeFlow(const endpoints::Endpoints& endpoints, const send::SendOptions& options)
{
    return std::make_unique<send::SbdSend>(MakeLink(endpoints, options), endpoints.timeoutSeconds);
}

std::vector<send::SbdResult> SendAll(const endpoints::Endpoints& endpoints, std::vector<send::SbdMessage> messages,
                                     std::function<void(std::size_t, const send::SbdResult&)> onDone,
                                     std::function<void(std::size_t)> onStart, send::QuitReply quitReply,
                                     send::SendOptions options,
                                     std::function<void(std::size_t, const QString&)> onReference)
{
    std::unique_ptr<send::Link> link;
    try {
        link = MakeLink(endpoints, options);
    } catch (const endpoints::EndpointError& e) {
        send::SbdResult refused;
        refused.code = 500;
        refused.detail = QStringLiteral("500 ") + QString::fromUtf8(e.what());
        refused.outcome = send::Outcome::ConnectionFailed;
        std::vector<send::SbdResult> results(messages.size(), refused);
        for (std::size_t i = 0; i < messages.size(); ++i) {
            if (onStart)
                onStart(i);
            if (onDone)
                onDone(i, refused);
        }
        return results;
    }
    return send::SendAll(std::move(link), endpoints.timeoutSeconds, std::move(messages), std::move(onDone),
                         std::move(onStart), quitReply, std::move(onReference));
}

} // namespace kestravo::ways
