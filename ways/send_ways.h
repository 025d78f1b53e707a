// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one place that picks the way a send goes: the e-mail link (mail/) or the DirectIP link
// (directip/), built from the endpoints and the options. The flow and the job in send/ know only
// the link they are given.
#include "endpoints/endpoints.h"
#include "send/sbd_send.h"

#include <functional>
#include <memory>
#include <vector>

namespace kestravo::ways {

// Holds endpoints that did not come through ResolveEndpoints to the same rules, so nothing
// malformed reaches an envelope, a header or a connection. Throws endpoints::EndpointError.
void CheckEndpoints(const endpoints::Endpoints& endpoints);

// The link for the way the endpoints name (checked first: throws endpoints::EndpointError).
std::unique_ptr<send::Link> MakeLink(const endpoints::Endpoints& endpoints, const send::SendOptions& options = {});

// A flow over that link, with the endpoints' deadline.
std::unique_ptr<send::SbdSend> MakeFlow(const endpoints::Endpoints& endpoints, const send::SendOptions& options = {});

// send::SendAll by the way the endpoints name. Endpoints that fail the check send nothing: every
// message gets 500 with the reason (each still announced to onStart first).
std::vector<send::SbdResult> SendAll(const endpoints::Endpoints& endpoints, std::vector<send::SbdMessage> messages,
                                     std::function<void(std::size_t, const send::SbdResult&)> onDone = {},
                                     std::function<void(std::size_t)> onStart = {},
                                     send::QuitReply quitReply = send::QuitReply::Await,
                                     send::SendOptions options = {},
                                     std::function<void(std::size_t, const QString&)> onReference = {});

} // namespace kestravo::ways
