#!/usr/bin/env python3
"""A scripted controller of the player host, for end-to-end tests.

    controller.py --port PORT [--host ADDRESS] STEP...

Connects over TCP to the host's controller port and runs the steps in order.
Every line the host sends is printed as "RX <seconds> <key>=<value>", every
step as "STEP <seconds> <step>"; the seconds count from the start. Exit
status 0 when every step succeeded, 1 (with a "FAIL" line) otherwise.

Steps:
  register                     send "Request=Status"
  newtrack:FORMAT              a format frame (FORMAT in hex), wait for "DataStack"
  chunks:FILE:FORMAT:SIZE:FIRST:COUNT
                               upload chunks of SIZE bytes of FILE, from chunk
                               FIRST, COUNT of them (0: to the end); each
                               waits for its "DataStack"
  format:FORMAT                a format frame without waiting
  tag:NAME                     a tag frame, wait for "DataTag"
  send:KEY=VALUE               one text line
  sleep:SECONDS
  wait:KEY=VALUE:SECONDS       read until that exact line arrives
  waitkey:KEY:SECONDS          read until any line with that key arrives
  read:SECONDS                 read whatever arrives for that long
  waitfile:PATH:SECONDS        read until the file PATH exists (a cue from the test)
"""

import argparse
import os
import select
import socket
import struct
import sys
import time

START = time.monotonic()


def now():
    return time.monotonic() - START


def frame(kind, payload):
    n = len(payload)
    return bytes([(n >> 16) & 0xFF, (n >> 8) & 0xFF, n & 0xFF, kind, 0, 0, 0, 0, 0]) + payload


def text_frame(text):
    return frame(1, bytes(6) + text.encode())


def data_frame(fmt, audio=b""):
    return frame(0, b"\x00" + struct.pack("<Q", fmt) + audio)


def tag_frame(name):
    return frame(2, b"\x00" + name.encode())


class Host:
    def __init__(self, address, port):
        self.sock = socket.create_connection((address, port), timeout=30)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setblocking(False)
        self.pending = b""
        self.lines = []  # received, not yet consumed by a wait

    def send(self, data):
        view = memoryview(data)
        while view:
            # Replies are read while sending, so that the host never has to queue much.
            readable, writable, _ = select.select([self.sock], [self.sock], [], 30)
            if readable:
                self._receive()
            if writable:
                try:
                    sent = self.sock.send(view)
                except BlockingIOError:
                    continue
                view = view[sent:]
            if not readable and not writable:
                raise RuntimeError("send stalled")

    def _receive(self):
        try:
            data = self.sock.recv(1 << 16)
        except BlockingIOError:
            return
        if not data:
            raise RuntimeError("host closed the connection")
        self.pending += data
        while len(self.pending) >= 9:
            n = (self.pending[0] << 16) | (self.pending[1] << 8) | self.pending[2]
            if len(self.pending) < 9 + n:
                break
            kind = self.pending[3]
            payload = self.pending[9:9 + n]
            self.pending = self.pending[9 + n:]
            if kind != 1 or len(payload) < 6:
                print("RX %.3f <frame type %d, %d bytes>" % (now(), kind, n), flush=True)
                continue
            for line in payload[6:].decode(errors="replace").replace("\r", "\n").split("\n"):
                if line:
                    print("RX %.3f %s" % (now(), line), flush=True)
                    self.lines.append(line)

    def read_until(self, match, seconds):
        """The first line (received before or within `seconds`) for which match() holds."""
        end = time.monotonic() + seconds
        while True:
            while self.lines:
                line = self.lines.pop(0)
                if match(line):
                    return line
            left = end - time.monotonic()
            if left <= 0:
                return None
            readable, _, _ = select.select([self.sock], [], [], left)
            if readable:
                self._receive()

    def poll(self, seconds):
        """Receives for up to `seconds`, keeping the lines for later waits."""
        readable, _, _ = select.select([self.sock], [], [], seconds)
        if readable:
            self._receive()

    def read_for(self, seconds):
        self.read_until(lambda line: False, seconds)
        self.lines.clear()


def run(host, step):
    name, _, rest = step.partition(":")
    if name == "register":
        host.send(text_frame("Request=Status"))
    elif name == "newtrack":
        host.send(data_frame(int(rest, 16)))
        if host.read_until(lambda l: l.startswith("DataStack="), 30) is None:
            return False
    elif name == "chunks":
        path, fmt, size, first, count = rest.split(":")
        fmt, size, first, count = int(fmt, 16), int(size), int(first), int(count)
        with open(path, "rb") as f:
            data = f.read()
        total = (len(data) + size - 1) // size
        last = total if count == 0 else min(total, first + count)
        for i in range(first, last):
            host.send(data_frame(fmt, data[i * size:(i + 1) * size]))
            if host.read_until(lambda l: l.startswith("DataStack="), 30) is None:
                return False
    elif name == "format":
        host.send(data_frame(int(rest, 16)))
    elif name == "tag":
        host.send(tag_frame(rest))
        if host.read_until(lambda l: l.startswith("DataTag="), 30) is None:
            return False
    elif name == "send":
        host.send(text_frame(rest))
    elif name == "sleep":
        host.read_for(float(rest))
    elif name == "wait":
        line, _, seconds = rest.rpartition(":")
        if host.read_until(lambda l: l == line, float(seconds)) is None:
            return False
    elif name == "waitkey":
        key, _, seconds = rest.rpartition(":")
        if host.read_until(lambda l: l.startswith(key + "="), float(seconds)) is None:
            return False
    elif name == "read":
        host.read_for(float(rest))
    elif name == "waitfile":
        path, _, seconds = rest.rpartition(":")
        end = time.monotonic() + float(seconds)
        while not os.path.exists(path):
            if time.monotonic() > end:
                return False
            host.poll(0.05)
    else:
        print("FAIL unknown step %s" % step, flush=True)
        return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="::1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("steps", nargs="*")
    args = parser.parse_args()
    try:
        host = Host(args.host, args.port)
        for step in args.steps:
            print("STEP %.3f %s" % (now(), step), flush=True)
            if not run(host, step):
                print("FAIL %.3f %s" % (now(), step), flush=True)
                return 1
    except (OSError, RuntimeError, ValueError) as error:
        print("FAIL %.3f %s" % (now(), error), flush=True)
        return 1
    print("DONE %.3f" % now(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
