# SPDX-License-Identifier: Apache-2.0
"""A real SMTP server on loopback for the client's tests: aiosmtpd with a handler that stores
every accepted message as <n>.eml in the given folder. Prints "listening on PORT" once it
accepts connections and runs until its standard input closes or it is terminated. With
--pipelining it announces PIPELINING (RFC 2920) in its reply to EHLO: aiosmtpd reads the
commands of a batch in order as they come, which is all the extension asks of a server."""
import os
import socket
import sys
import time

from aiosmtpd.controller import Controller


class Store:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        path = os.path.join(self.folder, "%d.eml" % self.count)
        with open(path + ".part", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        os.rename(path + ".part", path)
        with open(os.path.join(self.folder, "%d.envelope" % self.count), "w") as f:
            f.write(envelope.mail_from + "\n" + "\n".join(envelope.rcpt_tos) + "\n")
        return "250 Message accepted"


class PipeliningStore(Store):
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        return responses[:-1] + ["250-PIPELINING"] + responses[-1:]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    args = sys.argv[1:]
    pipelining = "--pipelining" in args
    folder = [a for a in args if a != "--pipelining"][0]
    handler = PipeliningStore(folder) if pipelining else Store(folder)
    for attempt in range(5):
        port = free_port()
        controller = Controller(handler, hostname="127.0.0.1", port=port)
        try:
            controller.start()
            break
        except Exception:
            time.sleep(0.1)
    else:
        sys.exit("could not start the server")
    print("listening on %d" % port, flush=True)
    try:
        sys.stdin.read()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
