#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/corpus/<harness>/.

Each seed is a small real message, frame or file in the input layout of its
harness (see the comment at the top of each fuzz/<harness>_fuzz.cpp). Run it
again after changing a layout; the files it writes are kept in the repository.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

PCM16_44K = 0x02 | 0x200 | (0x000A << 32)  # 2 channels, 16-bit PCM, 44100 Hz
PCM32_44K = 0x02 | 0x800 | (0x000A << 32)


def length_code(n):
    return ((n + 23) & ~7) | ((-n) & 7)


def message(mid, status=0, o0=0, o1=0, o2=0, o3=0, payload=b""):
    """A control message: 16-byte little-endian header and padded payload."""
    head = struct.pack("<8H", 0x0064, length_code(len(payload)), mid, status, o0, o1, o2, o3)
    pad = b"\0" * ((-len(payload)) % 8)
    return head + payload + pad


def message64(mid, status, option, payload=b""):
    o = [(option >> (16 * i)) & 0xFFFF for i in range(4)]
    return message(mid, status, *o, payload=payload)


def address_payload(addr16, port, text=b""):
    return addr16 + struct.pack(">H", port) + text


LOOPBACK = b"\0" * 15 + b"\1"
LINK_LOCAL = bytes.fromhex("fe800000000000000000000000000001")


def frame(ftype, payload):
    """A controller frame: 24-bit big-endian length, type, 5 reserved bytes."""
    n = len(payload)
    return bytes([n >> 16 & 0xFF, n >> 8 & 0xFF, n & 0xFF, ftype]) + b"\0" * 5 + payload


def text_frame(text):
    return frame(1, b"\0" * 6 + text)


def format_frame(word):
    return frame(0, b"\0" + struct.pack("<Q", word))


def data_frame(word, audio):
    return frame(0, b"\0" + struct.pack("<Q", word) + audio)


def tag_frame(name):
    return frame(2, b"\0" + name)


def write(harness, name, data):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def control_message():
    h = "control_message"
    write(h, "discover", message(0x00))
    write(h, "discover-answer", message64(0x01, 1, 0, b"TolvenmarkHost"))
    write(h, "format-request", message64(0x04, 0, PCM32_44K))
    write(h, "status-answer", message(0x39, 1, 1, 1, 19644, 1, address_payload(LOOPBACK, 19644, b"Recoder")))
    write(h, "port-bitmap", message(0x03, 1, 1, 0, 4, 1, b"\x02" + b"\0" * 1023))
    write(h, "stream-data", message(0x0A, 0x0040, 7, payload=bytes(range(64))))


def fileinf():
    h = "fileinf"
    with open(os.path.join(HERE, "..", "host", "tolvenmarkhost_setting.inf"), "rb") as f:
        write(h, "host-settings", b"\0" + f.read())
    write(h, "groups", b"\0" + b"\xef\xbb\xbfa=1\r\n[net]\r\nb = 2 \r\n[ net.x ]\nb=9\n// c\n# d\n[]\nk=v=w\n")
    write(h, "continuation", b"\x80" + b"[g]\nlist=a,\n  ,b\n\tc\nnext = x\n more\n")
    write(h, "spaces", b"\x40" + b"[   ]\nk=   \n   \nv=1\n w\n")


def controller_frames():
    h = "controller_frames"
    upload = (format_frame(PCM16_44K) + data_frame(PCM16_44K, bytes(range(40))) +
              tag_frame(b"intro") + data_frame(PCM16_44K, b"\x11" * 24) +
              tag_frame(b"@@Zarnith-TAG-LOOP@@") + tag_frame(b"@@Zarnith-TAG-QUIT@@"))
    status = text_frame(b"Request=Status")
    # Reads of 256 bytes.
    write(h, "status-request", b"\0" + status)
    write(h, "upload-and-status", b"\0" + upload + status)
    # Byte by byte.
    write(h, "status-request-bytewise", b"\1\0" + status)
    # Reads of 3, 7 and 1 bytes in turn.
    write(h, "upload-split", b"\3\2\6\0" + upload)
    write(h, "commands", b"\0" + format_frame(PCM16_44K) + data_frame(PCM16_44K, b"\1" * 16) +
          text_frame(b"Seek=+1\r\nSeek=-1\nSeek=Front\r\nSeek=Quit\nSeek=5\nPlay\nPause=\nUnknown=1\n=x\n"))
    write(h, "connect-and-list", b"\0" + text_frame(b"Connect=fe80::1,19644 2\r\nRequest=TargetList\r\n"))
    write(h, "other-format-chunk", b"\0" + format_frame(PCM16_44K) + data_frame(PCM32_44K, b"\2" * 8))
    write(h, "bad-type", b"\0" + status + frame(7, b"xyz") + status)
    # 16 channels of 64-bit PCM at 48 kHz x 4096: refused without any allocation for it.
    write(h, "absurd-format", b"\0" + format_frame(0x20 | 0x1000 | 0x400000000 | 0x800000000000))


def record(flags, datagram):
    """One datagram of the target and sink harnesses: flags, 16-bit length, bytes."""
    return bytes([flags]) + struct.pack("<H", len(datagram)) + datagram


def target_datagram():
    h = "target_datagram"
    local, remote, log = 0, 1, 2
    write(h, "discover", record(remote, message(0x00)) + record(local, message(0x00)))
    write(h, "port-tables", record(remote, message(0x02, 0, 0, 0, 4, 1)) +
          record(remote, message(0x02, 0, 0xFFFF, 0, 1, 1)) + record(remote, message(0x02, 0, 1, 0, 4, 1)))
    write(h, "registrations", record(local, message(0x8002, 0x0002, 1, 0, 0, 1, b"Recoder")) +
          record(local, message(0x8003, 0, 1, 1, 0, 1, address_payload(LOOPBACK, 19644, b"Recoder"))) +
          record(remote, message(0x38, 0, 0)) + record(remote, message(0x38, 0, 1)) +
          record(remote, message(0x02, 0, 0, 1, 1, 1)))
    write(h, "stop-window", record(local, message(0x8002, 0, 1, 0, 0, 1, b"Recoder")) +
          record(local, message(0x8006, 0, 1, 0, 30, 1, bytes.fromhex("fd000000000000000000000000000002") +
                                b"\0" * 8)) +
          record(remote, message(0x02, 0, 1, 0, 1, 1)) + record(remote, message(0x2A)))
    write(h, "names-and-texts", record(remote, message64(0x16, 1, 7, b"syncTest")) +
          record(remote, message(0x10)) + record(remote, message(0x20)) + record(remote, message(0x22)) +
          record(remote, message(0x2C, 0, 1, 1)) + record(remote, message(0x2C, 0, 3)))
    write(h, "log-relay", record(remote, message(0x28, 0, 1)) +
          record(log, b"<30>Dec 10 15:00:00 localhost sink: a line") + record(remote, message(0x28, 0, 0)))
    write(h, "units", record(remote, message(0x30, 0, 0, 7)) + record(remote, message(0x30, 0, 3)) +
          record(remote, message(0x32, 0, 1, 1, 15)) + record(remote, message(0x32, 0, 4, 1, 0, 0, b"new")) +
          record(remote, message(0x32, 0, 0, 1)))
    write(h, "icons", record(remote, message(0x40, 0, 1, 1, 1, 0xFFFF)) +
          record(remote, message(0x40, 0, 2, 39, 2, 3)))
    write(h, "transfer", record(remote, message(0x1A, 0, 1)) +
          record(remote, message(0x1C, 0, 2, 0, 0, 0, b"0123456789")) +
          record(remote, message(0x1E, 0, 2, 0x1234, 0xFFFF)))
    write(h, "reboot-and-synchro", record(remote, message(0x46, 0, 1, payload=struct.pack("<q", 12345))) +
          record(remote, message(0x24, 0, 7)))


def pre_format(word, latency=0):
    """The pre-format word of a PCM format (class 0x0200 for 24 and 32 bits)."""
    pcm = word & 0xFF00
    cls = 0x0200 if pcm & 0x6000 or pcm == 0x800 else 0x0100
    return (word & 0xFF) | cls | (latency << 16) | (word & 0xFFFFFFFF00000000)


def sink_datagram():
    h = "sink_datagram"
    control, stream, ms, remote = 0, 1, 2, 3
    recorder, connect, headerless = 1, 2, 4
    write(h, "inquiries", bytes([0]) + record(control, message64(0x04, 0, 0)) +
          record(control, message64(0x04, 0, PCM32_44K)) + record(control, message(0x14)) +
          record(control, message(0x06, 0, 0, 0, 1)) + record(control, message(0x0E, payload=b"\1\2\3")) +
          record(control, message(0x4A)))
    write(h, "management", bytes([recorder]) + record(control, message(0x34, 0, 0, 7)) +
          record(control, message(0x34, 0, 2)) + record(control, message(0x36, 0, 1, 1, 15)) +
          record(control, message(0x36, 0, 3, 1, 0, 0, b"new")) + record(control, message(0x36, 0, 0, 1)) +
          record(control, message(0x42, 0, 1, 1, 1, 0xFFFF)))
    write(h, "handshake", bytes([recorder]) +
          record(control, message64(0x12, 0, pre_format(PCM32_44K))) +
          record(control, message64(0x18, 0, 0x006874696E72615A, b"TolvenmarkHost")) +
          record(control, message64(0x08, 0, PCM32_44K)) +
          record(stream, message(0x0A, 0x0040, 0, payload=b"\0" * 64)) +
          record(stream, message(0x0A, 0x0020, 1, payload=b"\1" * 64)) + record(stream, message(0x0C)))
    write(h, "stream-gap", bytes([recorder | connect]) +
          record(stream, message(0x0A, 0, 0, payload=b"\0" * 32)) +
          record(stream, message(0x0A, 0, 1, payload=b"\1" * 32)) +
          record(stream, message(0x0A, 0, 3, payload=b"\3" * 32)) +
          record(stream, message(0x0A, 0x0060, 2, payload=b"\2" * 32)) +
          record(stream, message(0x0A, 0, 3, payload=b"\3" * 32)) + record(stream, message(0x4C)) +
          record(control, message64(0x08, 0, PCM32_44K)) + record(stream, message(0x0C)))
    write(h, "header-less", bytes([connect | headerless]) + record(ms, b"\5" * 20 + b"\x00") +
          record(ms, b"\6" * 20 + b"\x81") + record(ms, b"\7" * 20 + b"\x03") + record(stream, message(0x0C)))
    clock = (struct.pack("<q", 5000) + LOOPBACK + struct.pack("<H", 0) +
             struct.pack("<q", -7) + bytes.fromhex("fd000000000000000000000000000002") + struct.pack("<H", 1))
    write(h, "other-hosts", bytes([0]) + record(remote, message64(0x12, 0, pre_format(PCM32_44K))) +
          record(control, message64(0x08, 0, PCM32_44K)) + record(remote, message(0x2A)) +
          record(control, message(0x800C, payload=clock)) + record(remote, message(0x800C, payload=clock)) +
          record(control, message(0x8002)) + record(control, message(0x7F)))


def finder_input(mode, ops, groups):
    """Operations, then the answer groups (lists of (flags, bytes))."""
    opbytes = bytes([mode]) + ops
    script = b""
    for group in groups:
        script += bytes([len(group)])
        for flags, data in group:
            script += bytes([flags]) + struct.pack("<H", len(data)) + data
    return struct.pack("<H", len(opbytes)) + opbytes + script


def reply(status=0, o0=0, o1=0, o2=0, o3=0, payload=b""):
    """Status, four options and payload of a templated answer."""
    return struct.pack("<5H", status, o0, o1, o2, o3) + payload


def finder_answers():
    h = "finder_answers"
    answer, own, coded, stranger, accept, endpoint = 1, 2, 3, 4, 8, 16
    bitmap = b"\x02" + b"\0" * 1023
    write(h, "port-scan", finder_input(0, bytes([7, 9]), [
        [(answer | accept, reply())],                                      # SYNCNAME_ANS
        [(answer | accept, reply(1, 1, 0, 1, 1, bitmap))],                 # PORT_ANS tables
        [(answer | accept, reply(1, 1, 0, 1, 1, bitmap))],                 # again with the type
        [(answer | accept, reply(1, payload=b"Out [myaddress]"))],         # OUTPUTNAME_ANS
        [(answer | accept | endpoint, reply(1, 1, 0, 0, 1, b"Recoder"))],  # PORT_ANS of id 1
        [(answer | accept, reply(1, 1, 2, 3, 4))],                         # SYNCHROINFO_ANS
    ]))
    write(h, "discovery", finder_input(0, bytes([25]), [
        [(answer | accept, reply(1, 0, 0, 0, 0, b"TolvenmarkHost"))],      # DISCOVER_ANS
        [(answer | accept, reply(1, 0, 0, 0, 0, b"TolvenmarkHost"))],
        [(answer | accept, reply(1, 0, 0, 0, 0, b"TolvenmarkHost"))],
        [(answer | accept, reply())],                                      # SYNCNAME_ANS
    ]))
    entry = LOOPBACK + struct.pack(">H", 19644) + b"Recoder"
    write(h, "status-scan", finder_input(0, bytes([8]) + struct.pack("<H", 19644), [
        [(answer | accept, reply())],
        [(answer | accept, reply(1, 2, 0, 0, 1))],
        [(answer | accept, reply(1, 1, 2, 19644, 1, entry))],
        [(answer | accept, reply(1, 2, 0, 19645, 1, entry))],
    ]))
    write(h, "texts-and-pages", finder_input(1, bytes([10, 11, 14, 1, 0, 12, 0, 0]), [
        [(answer | accept, reply(1, payload=b"1.0"))],
        [(answer | accept, reply(1, payload=b"http://x"))],
        [(answer | accept, reply(1, 1, 0, 2, 0, b"p0"))],
        [(answer | accept, reply(1, 1, 1, 2, 0, b"p1"))],
        [(answer, reply(0))],
    ]))
    write(h, "strays", finder_input(2, bytes([0, 3, 9, 1, 0, 5]), [
        [(stranger | answer | accept, reply(1)), (0, b"\x64\x00\x27\x00\x03\x00"),
         (coded | accept, struct.pack("<H", 0x39) + reply(1)), (answer | accept, reply(1, 0, 0, 0, 0, b"name"))],
        [(answer | accept, reply())],
        [(own, reply())],
        [(answer, reply(0, 9))],
    ]))
    write(h, "units-and-icon", finder_input(0, bytes([15, 0, 21, 1, 0, 0, 23, 1, 0x34, 0x12]), [
        [(answer | accept, reply(1, 0, 2, 0, 0))],
        [(answer | accept, reply(1, 1, 1, 0, 20, b"Gain"))],
        [(answer | accept, reply(1, 2, 5, 0, 2, b"Filter"))],
        [(answer | accept, reply(1, 1, 2, 2, 0, b"\0" * 16))],
        [(answer | accept, reply(1, 1, 0x1234))],
    ]))


if __name__ == "__main__":
    control_message()
    fileinf()
    controller_frames()
    target_datagram()
    sink_datagram()
    finder_answers()
