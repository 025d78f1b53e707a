# SPDX-License-Identifier: Apache-2.0
"""The launcher of tools/sbd-gateway-sim that the Python tests and the benchmarks share: the
stand-in as a child process on loopback ports the system picks."""

import os
import queue
import subprocess
import tempfile
import threading

PYTHON = "/usr/bin/python3"
REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM = os.path.join(REPOSITORY, "tools", "sbd-gateway-sim")
WAIT = 60  # seconds; an upper bound for a loopback step, never a speed check


class GatewaySimError(RuntimeError):
    pass


class GatewaySim:
    """The stand-in started with "--port 0" and the arguments given. Its standard output arrives
    line by line through a queue, so the pipe never fills however many messages it reports; its
    standard error goes to a file (stderr_path, or a temporary one) that errors() reads. With
    "--directip-port" among the arguments the DirectIP side's port is read too. Raises
    GatewaySimError, the stand-in stopped, when it does not start."""

    def __init__(self, *args, stderr_path=None):
        self.own_stderr = stderr_path is None
        if self.own_stderr:
            handle, stderr_path = tempfile.mkstemp(prefix="sbd-gateway-sim-stderr-")
            os.close(handle)
        self.stderr_path = stderr_path
        self.stderr = open(stderr_path, "w")
        self.process = subprocess.Popen([PYTHON, SIM, "--port", "0"] + list(args),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self.stderr, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()
        try:
            self.listening = self.next_line()
            if not self.listening.startswith("listening on "):
                raise GatewaySimError("the gateway stand-in did not start: %r; stderr: %s"
                                      % (self.listening, self.errors()))
            self.port = int(self.listening.rsplit(":", 1)[1])
            self.directip_listening = None
            self.directip_port = None
            if "--directip-port" in args:
                self.directip_listening = self.next_line()
                if not self.directip_listening.startswith("directip listening on "):
                    raise GatewaySimError("the gateway stand-in did not start DirectIP: %r; stderr: %s"
                                          % (self.directip_listening, self.errors()))
                self.directip_port = int(self.directip_listening.rsplit(":", 1)[1])
        except BaseException:
            self.stop()
            raise

    def _pump(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def next_line(self, timeout=WAIT):
        """The next line of standard output: one per message the stand-in accepted."""
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise GatewaySimError("no output within %d s; stderr: %s" % (timeout, self.errors())) from None
        if line is None:
            raise GatewaySimError("the gateway stand-in ended; stderr: %s" % self.errors())
        return line

    def errors(self):
        """What the stand-in wrote to its standard error so far."""
        with open(self.stderr_path) as f:
            return f.read()

    def stop(self):
        """Asks the stand-in to end, then forces it after WAIT seconds."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.stderr.close()
        if self.own_stderr and os.path.exists(self.stderr_path):
            os.unlink(self.stderr_path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
