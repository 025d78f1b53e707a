// SPDX-License-Identifier: Apache-2.0
// DirectIP MT messages: one table of fields per information element, one cursor that refuses to
// read past the end, and a message rejected whole when anything in it is off.
#include "directip/mt_message.h"

#include <stdexcept>
#include <vector>

namespace kestravo::directip {

namespace {

// A field of an element's content: its offset and size within the content.
struct FieldSpec {
    const char* name;
    std::size_t offset;
    std::size_t size;
};

// MT header, IEI 0x41.
constexpr FieldSpec kHeaderClientId{"client message ID", 0, 4};
constexpr FieldSpec kHeaderImei{"IMEI", 4, 15};
constexpr FieldSpec kHeaderFlags{"disposition flags", 19, 2};
constexpr std::size_t kHeaderSize = 21;
// MT confirmation, IEI 0x44.
constexpr FieldSpec kConfirmClientId{"client message ID", 0, 4};
constexpr FieldSpec kConfirmImei{"IMEI", 4, 15};
constexpr FieldSpec kConfirmReference{"auto ID reference", 19, 4};
constexpr FieldSpec kConfirmStatus{"message status", 23, 2};
constexpr std::size_t kConfirmSize = 25;
// MT priority, IEI 0x46.
constexpr FieldSpec kPriorityLevel{"priority", 0, 2};
constexpr std::size_t kPrioritySize = 2;

static_assert(kHeaderFlags.offset + kHeaderFlags.size == kHeaderSize);
static_assert(kConfirmStatus.offset + kConfirmStatus.size == kConfirmSize);
static_assert(kConfirmationSize == 3 + 3 + kConfirmSize);

// Reads forward over a byte span; a read past the end fails and moves nothing.
class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::size_t Left() const { return bytes_.size() - pos_; }
    bool Take(std::size_t n, std::span<const std::uint8_t>& out)
    {
        if (n > Left())
            return false;
        out = bytes_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    bool Number(std::size_t n, std::uint32_t& value)
    {
        std::span<const std::uint8_t> part;
        if (!Take(n, part))
            return false;
        value = 0;
        for (std::uint8_t b : part)
            value = (value << 8) | b;
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

std::uint32_t FieldNumber(std::span<const std::uint8_t> content, const FieldSpec& f)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < f.size; ++i)
        value = (value << 8) | content[f.offset + i];
    return value;
}

QByteArray FieldBytes(std::span<const std::uint8_t> content, const FieldSpec& f)
{
    return QByteArray(reinterpret_cast<const char*>(content.data() + f.offset), qsizetype(f.size));
}

void PutNumber(QByteArray& content, const FieldSpec& f, std::uint32_t value)
{
    for (std::size_t i = 0; i < f.size; ++i)
        content[qsizetype(f.offset + i)] = char((value >> (8 * (f.size - 1 - i))) & 0xFF);
}

void PutBytes(QByteArray& content, const FieldSpec& f, const QByteArray& bytes)
{
    content.replace(qsizetype(f.offset), qsizetype(f.size), bytes.left(qsizetype(f.size)));
}

void AppendElement(QByteArray& out, std::uint8_t iei, const QByteArray& content)
{
    out.append(char(iei));
    out.append(char((content.size() >> 8) & 0xFF));
    out.append(char(content.size() & 0xFF));
    out.append(content);
}

QByteArray Framed(const QByteArray& elements)
{
    QByteArray out;
    out.append(char(kRevision));
    out.append(char((elements.size() >> 8) & 0xFF));
    out.append(char(elements.size() & 0xFF));
    return out + elements;
}

bool IsImeiDigits(const QByteArray& imei)
{
    if (std::size_t(imei.size()) != kImeiLength)
        return false;
    for (char c : imei)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// One element as the cursor finds it.
struct Element {
    std::uint8_t iei = 0;
    std::span<const std::uint8_t> content;
};

// Walks the framing: revision 1, an overall length equal to what follows, elements that each fit
// what remains. False (with the reason) on anything else.
bool Elements(std::span<const std::uint8_t> bytes, std::vector<Element>& out, QString& why)
{
    Cursor cursor(bytes);
    std::uint32_t revision = 0;
    std::uint32_t overall = 0;
    if (!cursor.Number(1, revision) || !cursor.Number(2, overall)) {
        why = QStringLiteral("shorter than its 3-byte start");
        return false;
    }
    if (revision != kRevision) {
        why = QStringLiteral("protocol revision %1, not 1").arg(revision);
        return false;
    }
    if (overall != cursor.Left()) {
        why = QStringLiteral("its overall length says %1 bytes follow, %2 do").arg(overall).arg(cursor.Left());
        return false;
    }
    while (cursor.Left() > 0) {
        Element e;
        std::uint32_t iei = 0;
        std::uint32_t length = 0;
        if (!cursor.Number(1, iei) || !cursor.Number(2, length)) {
            why = QStringLiteral("an information element cut short in its start");
            return false;
        }
        e.iei = std::uint8_t(iei);
        if (!cursor.Take(length, e.content)) {
            why = QStringLiteral("element 0x%1 says %2 bytes, %3 remain")
                      .arg(iei, 2, 16, QLatin1Char('0'))
                      .arg(length)
                      .arg(cursor.Left());
            return false;
        }
        out.push_back(e);
    }
    return true;
}

} // namespace

QByteArray EncodeMtMessage(const MtMessage& m)
{
    if (m.clientId == 0)
        throw std::invalid_argument("the client message ID must not be 0");
    if (!IsImeiDigits(m.imei))
        throw std::invalid_argument("the IMEI must be 15 digits");
    if (m.payload.isEmpty() || std::size_t(m.payload.size()) > kMaxPayload)
        throw std::invalid_argument("the payload must be 1 to 270 bytes");
    if (m.priority < 0 || m.priority > 5)
        throw std::invalid_argument("the priority must be 1 to 5");
    QByteArray header(qsizetype(kHeaderSize), '\0');
    PutNumber(header, kHeaderClientId, m.clientId);
    PutBytes(header, kHeaderImei, m.imei);
    PutNumber(header, kHeaderFlags, m.flags);
    QByteArray elements;
    AppendElement(elements, kIeiMtHeader, header);
    AppendElement(elements, kIeiMtPayload, m.payload);
    if (m.priority != 0) {
        QByteArray priority(qsizetype(kPrioritySize), '\0');
        PutNumber(priority, kPriorityLevel, std::uint32_t(m.priority));
        AppendElement(elements, kIeiMtPriority, priority);
    }
    return Framed(elements);
}

std::optional<MtConfirmation> ReadConfirmation(std::span<const std::uint8_t> bytes, QString* why)
{
    QString reason;
    std::vector<Element> elements;
    std::optional<MtConfirmation> result;
    if (!Elements(bytes, elements, reason)) {
    } else if (elements.size() != 1 || elements.front().iei != kIeiMtConfirmation) {
        reason = QStringLiteral("not one MT confirmation element (IEI 0x44) alone");
    } else if (elements.front().content.size() != kConfirmSize) {
        reason = QStringLiteral("a confirmation element of %1 bytes, not 25").arg(elements.front().content.size());
    } else {
        const std::span<const std::uint8_t> c = elements.front().content;
        MtConfirmation confirmation;
        confirmation.clientId = FieldNumber(c, kConfirmClientId);
        confirmation.imei = FieldBytes(c, kConfirmImei);
        confirmation.autoIdReference = FieldNumber(c, kConfirmReference);
        confirmation.status = std::int16_t(std::uint16_t(FieldNumber(c, kConfirmStatus)));
        if (confirmation.status < kLowestStatus || confirmation.status > kHighestStatus)
            reason = QStringLiteral("a message status of %1, which the protocol does not have").arg(confirmation.status);
        else
            result = confirmation;
    }
    if (!result && why)
        *why = reason;
    return result;
}

std::size_t WholeMessageSize(std::span<const std::uint8_t> start)
{
    if (start.size() < 3)
        return 0;
    return 3 + ((std::size_t(start[1]) << 8) | start[2]);
}

QString StatusText(int status, std::uint32_t reference)
{
    if (status >= 1 && status <= kHighestStatus)
        return QStringLiteral("queued, place %1 of the device's queue (reference %2)").arg(status).arg(reference);
    switch (status) {
    case 0: return QStringLiteral("nothing queued for the device: the gateway took the message but queued no payload "
                                  "(status 0, reference %1)")
                       .arg(reference);
    case -1: return QStringLiteral("invalid IMEI: the gateway does not take it as an IMEI");
    case -2: return QStringLiteral("unknown IMEI: the gateway has no such device provisioned for you");
    case -3: return QStringLiteral("payload too large: the gateway takes at most 270 bytes");
    case -4: return QStringLiteral("payload expected but missing");
    case -5: return QStringLiteral("the device's MT queue is full (50 messages wait); flush it or wait until the device takes some");
    case -6: return QStringLiteral("MT resources unavailable at the gateway; try again later");
    case -7: return QStringLiteral("protocol violation: the gateway could not read the message");
    case -8: return QStringLiteral("ring alerts are disabled for this device");
    case -9: return QStringLiteral("the device is not attached (ring alert not sent)");
    case -10: return QStringLiteral("source address rejected by the gateway's MT filter: this machine's address is not allowed to send");
    case -11: return QStringLiteral("MTMSN out of range");
    }
    return QStringLiteral("unknown status %1").arg(status);
}

MtReading ReadMtMessage(std::span<const std::uint8_t> bytes)
{
    MtReading r;
    std::vector<Element> elements;
    const auto refuse = [&r](int status, const QString& why) {
        r.refusal = status;
        r.why = why;
        return r;
    };
    if (!Elements(bytes, elements, r.why))
        return refuse(-7, r.why);
    std::optional<Element> header;
    std::optional<Element> payload;
    std::optional<Element> priority;
    for (const Element& e : elements) {
        std::optional<Element>* slot = e.iei == kIeiMtHeader    ? &header
                                       : e.iei == kIeiMtPayload  ? &payload
                                       : e.iei == kIeiMtPriority ? &priority
                                                                 : nullptr;
        if (!slot)
            return refuse(-7, QStringLiteral("an unknown element 0x%1").arg(e.iei, 2, 16, QLatin1Char('0')));
        if (*slot)
            return refuse(-7, QStringLiteral("element 0x%1 given twice").arg(e.iei, 2, 16, QLatin1Char('0')));
        *slot = e;
    }
    if (!header || header->content.size() != kHeaderSize)
        return refuse(-7, QStringLiteral("no MT header of 21 bytes"));
    MtMessage m;
    m.clientId = FieldNumber(header->content, kHeaderClientId);
    m.imei = FieldBytes(header->content, kHeaderImei);
    m.flags = std::uint16_t(FieldNumber(header->content, kHeaderFlags));
    if (priority) {
        if (priority->content.size() != kPrioritySize)
            return refuse(-7, QStringLiteral("a priority element of %1 bytes").arg(priority->content.size()));
        const std::uint32_t level = FieldNumber(priority->content, kPriorityLevel);
        if (level < 1 || level > 5)
            return refuse(-7, QStringLiteral("priority %1, not 1 to 5").arg(level));
        m.priority = int(level);
    }
    if (!IsImeiDigits(m.imei)) {
        r.message = m;
        return refuse(-1, QStringLiteral("the IMEI is not 15 digits"));
    }
    if (payload) {
        m.payload = QByteArray(reinterpret_cast<const char*>(payload->content.data()), qsizetype(payload->content.size()));
        if (std::size_t(m.payload.size()) > kMaxPayload) {
            r.message = m;
            return refuse(-3, QStringLiteral("a payload of %1 bytes").arg(m.payload.size()));
        }
    }
    if (m.payload.isEmpty() && (m.flags & (kFlushQueue | kRingAlert)) == 0) {
        r.message = m;
        return refuse(-4, QStringLiteral("no payload"));
    }
    r.message = m;
    return r;
}

QByteArray EncodeConfirmation(const MtConfirmation& c)
{
    QByteArray content(qsizetype(kConfirmSize), '\0');
    PutNumber(content, kConfirmClientId, c.clientId);
    PutBytes(content, kConfirmImei, c.imei.leftJustified(qsizetype(kImeiLength), '\0', true));
    PutNumber(content, kConfirmReference, c.autoIdReference);
    PutNumber(content, kConfirmStatus, std::uint16_t(c.status));
    QByteArray elements;
    AppendElement(elements, kIeiMtConfirmation, content);
    return Framed(elements);
}

} // namespace kestravo::directip
