"""The guest's end of the sensor board that the host simulates (vm.py --board, whose
harness firmware/test/live.c says the frames): what a board's USB side does in the
machine. An Uno's bytes go into the serial gadget's /dev/ttyGS0, as its USB bridge
chip would send them; a 32U4 board is a USB/IP device on vhci-hcd, the kernel's own
host controller for it, attached through sysfs with one end of a socket pair whose
other end this relay joins to the port. Its own process: the test's threads must not
hold it up.

Usage (inside the guest): wire.py, with commands on standard input, one a line:
  board ELF MCU             the board on the host, anew
  hand MS COMMAND[;MS COMMAND]...  the hand's steps (live.c's)
  plug / unplug             (32U4) attached to / detached from vhci-hcd
Prints each of the harness's events ("step I HOST LAG", "done MAXLAG").
"""

import os
import select
import socket
import sys
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "firmware", "test"))
from frames import frame, split  # noqa: E402

PORT = "/dev/virtio-ports/vm.board"
GADGET_TTY = "/dev/ttyGS0"
VHCI = "/sys/devices/platform/vhci_hcd.0"
# The vhci-hcd port (its first USB 2 one, for a full-speed device), the device's bus and
# number as the guest will know it, and full speed.
VHCI_PORT, DEVID, FULL_SPEED = 0, (1 << 16) | 2, 2
STDIN = 0
LARGEST = 65535  # a frame's payload


class Wire:
    def __init__(self):
        self.port = os.open(PORT, os.O_RDWR)
        self.serial = self.usbip = None
        self.generation = 0
        self.pending = self.typed = b""

    def send(self, kind, payload):
        os.write(self.port, frame(kind, payload))

    def command(self, line):
        word, _, rest = line.strip().partition(" ")
        if word == "board":
            if self.serial is not None:
                os.close(self.serial)
                self.serial = None
            if rest.endswith("atmega328p"):
                self.serial = os.open(GADGET_TTY, os.O_WRONLY | os.O_NOCTTY)
                tty.setraw(self.serial)  # the device's side: bytes as they are
            self.send(b"b", rest.encode())
        elif word == "hand":
            self.send(b"h", "\n".join(rest.split(";")).encode())
        elif word == "plug":
            self.generation = self.generation % 255 + 1
            self.usbip, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
            self.send(b"a", bytes([self.generation]))
            with open(os.path.join(VHCI, "attach"), "w") as f:
                f.write(f"{VHCI_PORT} {theirs.fileno()} {DEVID} {FULL_SPEED}")
            theirs.close()  # vhci-hcd holds it now
        elif word == "unplug":
            with open(os.path.join(VHCI, "detach"), "w") as f:
                f.write(str(VHCI_PORT))
        else:
            raise SystemExit(f"wire: unknown command {line!r}")

    def unplugged(self):
        self.usbip.close()
        self.usbip = None

    def frames(self, data):
        frames, self.pending = split(self.pending + data)
        for kind, payload in frames:
            if kind == b"s" and self.serial is not None:
                try:
                    os.write(self.serial, payload[:1])  # the byte; its moment is the board's
                except OSError:  # the gadget unplugged: the bytes go nowhere
                    os.close(self.serial)
                    self.serial = None
            elif kind == b"u":
                # Replies on a connection since gone would confuse the next one.
                if payload[0] == self.generation and self.usbip:
                    try:
                        self.usbip.sendall(payload[1:])
                    except OSError:  # detached meanwhile
                        self.unplugged()
            elif kind == b"e":
                print(payload.decode(), flush=True)

    def loop(self):
        while True:
            ends = [STDIN, self.port] + ([self.usbip] if self.usbip else [])
            for ready in select.select(ends, [], [])[0]:
                if ready == STDIN:
                    data = os.read(STDIN, 65536)
                    if not data:
                        return
                    *lines, self.typed = (self.typed + data).split(b"\n")
                    for line in lines:
                        self.command(line.decode())
                elif ready == self.port:
                    self.frames(os.read(self.port, 65536))
                elif ready is self.usbip:  # not if a reply found it gone meanwhile
                    try:
                        data = self.usbip.recv(LARGEST)
                    except OSError:
                        data = b""
                    if data:
                        self.send(b"u", data)
                    else:  # detached
                        self.unplugged()


if __name__ == "__main__":
    Wire().loop()
