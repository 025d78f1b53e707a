// SPDX-License-Identifier: Apache-2.0
// The DirectIP confirmation reader on any bytes: it never reads past the end, and whatever it
// accepts is one whole, well-formed confirmation that writes back to exactly the bytes read. The
// link's verdict on the same bytes as a whole answer: a success or "nothing queued" only for
// exactly one such confirmation of the message sent.
#include "directip/directip_link.h"
#include "directip/mt_message.h"
#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>

using namespace kestravo::directip;

namespace {

// The message the answer is judged against: the one it names where it is long enough to name one,
// so that the verdicts beyond "not ours" are reached.
MtMessage SentFor(const std::uint8_t* data, std::size_t size)
{
    MtMessage sent;
    sent.clientId = 1;
    sent.imei = "300234010123450";
    if (size >= 6 + 19) {
        sent.clientId = (std::uint32_t(data[6]) << 24) | (std::uint32_t(data[7]) << 16) | (std::uint32_t(data[8]) << 8) | data[9];
        sent.imei = QByteArray(reinterpret_cast<const char*>(data + 10), 15);
    }
    return sent;
}

void CheckVerdict(const std::uint8_t* data, std::size_t size, const std::optional<MtConfirmation>& c)
{
    if (size == 0)
        return; // the link never judges an empty answer: it is a close without one
    const kestravo::send::SbdResult r = JudgeAnswer(std::span(data, size), SentFor(data, size), QStringLiteral("the gateway"));
    FUZZ_CHECK(!r.detail.isEmpty(), "a verdict %d without words", r.code);
    const bool exact = c && c->clientId == SentFor(data, size).clientId;
    if (r.code == 0 || r.code == kNothingQueued) {
        FUZZ_CHECK(exact, "code %d for bytes that are not exactly one confirmation", r.code);
        FUZZ_CHECK((r.code == 0) == (c->status > 0), "code %d for status %d", r.code, int(c->status));
        FUZZ_CHECK(r.reference == QString::number(c->autoIdReference), "the reference lost");
    } else {
        FUZZ_CHECK(r.code == kProtocolError || (r.code >= kLowestStatus && r.code < 0), "code %d", r.code);
        FUZZ_CHECK(!exact || c->status < 0, "status %d judged %d", int(c->status), r.code);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QString why;
    const std::optional<MtConfirmation> c = ReadConfirmation(std::span(data, size), &why);
    CheckVerdict(data, size, c);
    if (!c) {
        FUZZ_CHECK(!why.isEmpty(), "refused without a reason");
        return 0;
    }
    FUZZ_CHECK(size == kConfirmationSize, "accepted %zu bytes", size);
    FUZZ_CHECK(WholeMessageSize(std::span(data, size)) == size, "the overall length disagrees");
    FUZZ_CHECK(c->status >= kLowestStatus && c->status <= kHighestStatus, "status %d", int(c->status));
    FUZZ_CHECK(c->imei.size() == qsizetype(kImeiLength), "IMEI of %d bytes", int(c->imei.size()));
    const QByteArray again = EncodeConfirmation(*c);
    FUZZ_CHECK(again == QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), "written back differently");
    // The gateway's side reads MT messages with the same cursor: it refuses or reads, never crashes.
    (void)ReadMtMessage(std::span(data, size));
    return 0;
}
