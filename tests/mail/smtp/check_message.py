# SPDX-License-Identifier: Apache-2.0
"""Parses one Internet message with the standard library and prints what a reader sees, as JSON."""
import email
import json
import sys
from email import policy

with open(sys.argv[1], "rb") as f:
    msg = email.message_from_bytes(f.read(), policy=policy.compat32)
parts = msg.get_payload() if msg.is_multipart() else []
print(json.dumps({
    "multipart": msg.is_multipart(),
    "type": msg.get_content_type(),
    "subject": msg["Subject"],
    "defects": [type(d).__name__ for d in msg.defects],
    "parts": [{
        "type": p.get_content_type(),
        "filename": p.get_filename(),
        "data": (p.get_payload(decode=True) or b"").hex(),
        "defects": [type(d).__name__ for d in p.defects],
    } for p in parts],
}))
