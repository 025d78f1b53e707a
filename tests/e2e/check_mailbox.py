#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Checks one message an MTA delivered into an mbox file: the subject is the IMEI, it went to the
gateway address, and its only attachment, temp.sbd, holds exactly the 44 bytes of the record.

Waits up to --wait seconds for the message to arrive (delivery runs after the relay's reply).
Exit status 0 when it matches, 1 otherwise, with the reason on stdout.
"""

import argparse
import email
import email.policy
import mailbox
import os
import sys
import time

RECORD_SIZE = 44
GATEWAY = "data@sbd.iridium.com"


def messages(path):
    if not os.path.exists(path):
        return []
    box = mailbox.mbox(path, create=False)
    try:
        return [bytes(m) for m in box]
    finally:
        box.close()


def fail(text, raw=None):
    print("FAIL: " + text)
    if raw is not None:
        print("---- the message as delivered")
        print(raw.decode("utf-8", "replace"))
    return 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mailbox", required=True)
    parser.add_argument("--index", type=int, required=True,
                        help="0-based position of the message in the mailbox")
    parser.add_argument("--imei", required=True)
    parser.add_argument("--record", required=True, help="the record file the message must carry")
    parser.add_argument("--wait", type=float, default=30.0)
    options = parser.parse_args()

    with open(options.record, "rb") as f:
        record = f.read()[:RECORD_SIZE]
    if len(record) != RECORD_SIZE:
        return fail("%s holds %d bytes, not a record" % (options.record, len(record)))

    deadline = time.monotonic() + options.wait
    found = messages(options.mailbox)
    while len(found) <= options.index and time.monotonic() < deadline:
        time.sleep(0.1)
        found = messages(options.mailbox)
    if len(found) != options.index + 1:
        return fail("%s holds %d messages; expected %d" % (options.mailbox, len(found),
                                                           options.index + 1))
    raw = found[options.index]
    message = email.message_from_bytes(raw, policy=email.policy.compat32)

    subjects = message.get_all("Subject") or []
    if [s.strip() for s in subjects] != [options.imei]:
        return fail("Subject headers %r; expected exactly one, %r" % (subjects, options.imei), raw)
    envelope = [a.strip() for a in (message.get_all("Envelope-to") or [])]
    if envelope != [GATEWAY]:
        return fail("delivered for %r; expected %r" % (envelope, GATEWAY), raw)
    if not message.is_multipart():
        return fail("the message is not multipart, so it has no attachment", raw)

    attachments = [part for part in message.walk()
                   if not part.is_multipart() and part.get_filename() is not None]
    if [part.get_filename() for part in attachments] != ["temp.sbd"]:
        return fail("attachments %r; expected exactly one named temp.sbd"
                    % [part.get_filename() for part in attachments], raw)
    data = attachments[0].get_payload(decode=True)
    if data != record:
        return fail("the attachment differs from %s:\n  sent %s\n  want %s"
                    % (options.record, (data or b"").hex(), record.hex()), raw)
    print("message %d: Subject %s, temp.sbd equal to %s (%d bytes)"
          % (options.index, options.imei, os.path.basename(options.record), len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
