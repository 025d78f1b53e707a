// SPDX-License-Identifier: Apache-2.0
#pragma once
// The Iridium SBD DirectIP mobile-terminated messages: the MT message a client sends and the
// confirmation the gateway answers with. Every multi-byte number is big-endian. A message is the
// protocol revision (1), the overall length of what follows (2 bytes), then information
// elements: IEI (1 byte), length (2 bytes), content. Each element's fields are named once, in the
// tables of mt_message.cpp, which the reader and the writer both walk.
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kestravo::directip {

constexpr std::uint8_t kRevision = 1;
constexpr std::uint8_t kIeiMtHeader = 0x41;
constexpr std::uint8_t kIeiMtPayload = 0x42;
constexpr std::uint8_t kIeiMtConfirmation = 0x44;
constexpr std::uint8_t kIeiMtPriority = 0x46;

// Disposition flags of the MT header.
constexpr std::uint16_t kFlushQueue = 0x0001;
constexpr std::uint16_t kRingAlert = 0x0002;
constexpr std::uint16_t kUpdateLocation = 0x0008;
constexpr std::uint16_t kHighPriority = 0x0010;
constexpr std::uint16_t kAssignMtmsn = 0x0020;

constexpr std::size_t kImeiLength = 15;
constexpr std::size_t kMaxPayload = 270;
// Revision, overall length, and one confirmation element of 25 bytes.
constexpr std::size_t kConfirmationSize = 3 + 3 + 25;
// The lowest and highest statuses a confirmation may carry: -11 (MTMSN out of range) to 50 (the
// last place of a device's queue).
constexpr int kLowestStatus = -11;
constexpr int kHighestStatus = 50;

struct MtMessage {
    std::uint32_t clientId = 0;  // unique per run, never 0
    QByteArray imei;             // 15 ASCII digits
    std::uint16_t flags = 0;     // disposition flags
    QByteArray payload;          // 1 to 270 bytes
    int priority = 0;            // 1 (highest) to 5; 0 sends no priority element
};

struct MtConfirmation {
    std::uint32_t clientId = 0;
    QByteArray imei;
    std::uint32_t autoIdReference = 0; // 0 on error
    std::int16_t status = 0;           // 1..50 queue place, 0 nothing queued (no payload taken), negative a refusal
};

// The bytes of an MT message. Throws std::invalid_argument for what the gateway would refuse
// (an IMEI not of 15 digits, an empty or oversized payload, client ID 0, a priority outside 0-5).
QByteArray EncodeMtMessage(const MtMessage& message);

// The confirmation in `bytes`, which must be exactly one whole message: revision 1, an overall
// length equal to what follows, one confirmation element of length 25 and nothing else, a status
// from -11 to 50. nullopt (with the reason in *why) for anything else; nothing is taken from a
// message that is off in any way.
std::optional<MtConfirmation> ReadConfirmation(std::span<const std::uint8_t> bytes, QString* why = nullptr);

// Bytes a whole message takes, from its first three (revision and overall length); 0 while fewer
// than three are at hand.
std::size_t WholeMessageSize(std::span<const std::uint8_t> start);

// The operator's words for a status: "queued, place 3 of the device's queue (reference 123456)",
// "unknown IMEI: the gateway has no such device provisioned for you", ...
QString StatusText(int status, std::uint32_t reference);

// An MT message as the gateway reads it (the stand-in's and the tests' side): the header, the
// payload and the priority, checked as ReadConfirmation checks a confirmation; the status the
// gateway gives to what is off (-7 for a malformed message, -3 for an oversized payload).
struct MtReading {
    std::optional<MtMessage> message;
    int refusal = 0; // 0, or the status to answer with
    QString why;
};
MtReading ReadMtMessage(std::span<const std::uint8_t> bytes);

// The confirmation's bytes (the gateway's side).
QByteArray EncodeConfirmation(const MtConfirmation& confirmation);

} // namespace kestravo::directip
