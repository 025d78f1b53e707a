// SPDX-License-Identifier: Apache-2.0
// The DirectIP confirmation reader on any bytes: it never reads past the end, and whatever it
// accepts is one whole, well-formed confirmation that writes back to exactly the bytes read.
#include "directip/mt_message.h"
#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>

using namespace kestravo::directip;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QString why;
    const std::optional<MtConfirmation> c = ReadConfirmation(std::span(data, size), &why);
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
