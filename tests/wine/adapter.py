#!/usr/bin/env python3
"""Plays the PC interface adapter on a pseudo-terminal while the Windows
provider runs under Wine in the TSPI host, and checks the link start-up:

  provider -> 02 60 85 19 (loss of synchronisation), 02 60 01 9D (poll)
  adapter  -> 02 60 00 9E (ACK)      provider -> 03 60 10 03 8A (special function)
  adapter  -> 02 60 00 9E            provider -> 02 60 11 8D (configuration request)
  adapter  -> 03 22 00 00 DB (a data frame)   provider -> 02 60 00 9E

Then the host must report that the line opened, and the provider's trace
file must hold the line opening. Every wait is bounded; on a mismatch the
bytes seen so far are printed and the exit code is 1.
"""

import argparse
import os
import select
import subprocess
import sys
import tempfile
import termios
import time
import tty

ACK = bytes.fromhex("02 60 00 9E")
OPENING = [bytes.fromhex(h) for h in ("02 60 85 19", "02 60 01 9D", "03 60 10 03 8A", "02 60 11 8D")]
DATA_FRAME = bytes.fromhex("03 22 00 00 DB")

# Wine's start and the provider's load come before the line opens; once it
# is open every frame is due within a few timer ticks.
LINE_OPEN_TIMEOUT = 30.0
FRAME_TIMEOUT = 3.0
HOST_EXIT_MARGIN = 40.0


def hex_bytes(data):
    return " ".join(f"{b:02X}" for b in data)


class Link:
    """The adapter's end of the pseudo-terminal: whole frames in, bytes out."""

    def __init__(self, master, host):
        self.master = master
        self.host = host
        self.pending = bytearray()
        self.log = []  # (seconds since start, direction, bytes)
        self.start = time.monotonic()

    def _note(self, direction, data):
        self.log.append((time.monotonic() - self.start, direction, bytes(data)))

    def _fill(self, deadline):
        """Reads what arrives before the deadline; gives up early once the
        host has ended and nothing is left to read."""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            ready, _, _ = select.select([self.master], [], [], min(left, 0.25))
            if ready:
                break
            if self.host.poll() is not None:
                return False
        try:
            chunk = os.read(self.master, 4096)
        except OSError:  # no process holds the other end
            return False
        if chunk:
            self._note("in ", chunk)
            self.pending += chunk
        return bool(chunk)

    def read_frame(self, timeout):
        """The next frame (length byte + L bytes + checksum), or None."""
        deadline = time.monotonic() + timeout
        while True:
            if self.pending and len(self.pending) >= self.pending[0] + 2:
                size = self.pending[0] + 2
                frame = bytes(self.pending[:size])
                del self.pending[:size]
                return frame
            if not self._fill(deadline):
                return None

    def drain(self, seconds):
        deadline = time.monotonic() + seconds
        while self._fill(deadline):
            pass

    def send(self, frame):
        self._note("out", frame)
        os.write(self.master, frame)


class Run:
    def __init__(self):
        self.failures = []

    def check(self, ok, what):
        print(f"{'PASS' if ok else 'FAIL'}: {what}")
        if not ok:
            self.failures.append(what)
        return ok


def expect(run, link, expected, timeout, what):
    frame = link.read_frame(timeout)
    seen = "nothing" if frame is None else hex_bytes(frame)
    return run.check(frame == expected, f"{what}: expected {hex_bytes(expected)}, got {seen}")


def expect_ack(run, link, timeout):
    """The provider's ACK of a data frame; its own polls may come first."""
    deadline = time.monotonic() + timeout
    seen = []
    while (frame := link.read_frame(max(0.0, deadline - time.monotonic()))) is not None:
        seen.append(frame)
        if frame == ACK:
            break
    got = ", ".join(hex_bytes(f) for f in seen) or "nothing"
    return run.check(ACK in seen, f"data frame {hex_bytes(DATA_FRAME)} acknowledged with {hex_bytes(ACK)}: got {got}")


def play_adapter(run, link):
    """The start-up exchange; stops at the first mismatch."""
    steps = [
        (OPENING[0], FRAME_TIMEOUT, "first frame after opening (NACK loss of sync)", False),
        (OPENING[1], FRAME_TIMEOUT, "second frame (poll)", True),
        (OPENING[2], FRAME_TIMEOUT, "after the ACK: special function 3", True),
        (OPENING[3], FRAME_TIMEOUT, "after the ACK: configuration request", False),
    ]
    for expected, timeout, what, ack_after in steps:
        if not expect(run, link, expected, timeout, what):
            return
        if ack_after:
            link.send(ACK)
    link.send(DATA_FRAME)
    expect_ack(run, link, FRAME_TIMEOUT)


def host_output(out):
    return os.pread(out.fileno(), 1 << 20, 0).decode(errors="replace")


def wait_line_open(run, out, host):
    """Until the host says the line is open (the port is then configured)."""
    deadline = time.monotonic() + LINE_OPEN_TIMEOUT
    while time.monotonic() < deadline and host.poll() is None:
        if "line open for" in host_output(out):
            return True
        time.sleep(0.05)
    return run.check(False, f"line opened within {LINE_OPEN_TIMEOUT:.0f} s")


def check_port_settings(run, slave):
    """What the provider configured reaches the pseudo-terminal."""
    _, _, cflag, _, _, ospeed, _ = termios.tcgetattr(slave)
    settings = {
        "9600 baud": ospeed == termios.B9600,
        "8 data bits": cflag & termios.CSIZE == termios.CS8,
        "no parity": not cflag & termios.PARENB,
        "2 stop bits": bool(cflag & termios.CSTOPB),
        "CTS flow control": bool(cflag & termios.CRTSCTS),
    }
    for what, ok in settings.items():
        run.check(ok, f"port set to {what}")


def point_link(link_path, target):
    """Replaces the symbolic link in one step."""
    tmp = link_path + ".new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(target, tmp)
    os.replace(tmp, link_path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True, help="tsphost.exe")
    parser.add_argument("--provider", required=True, help="zq_6232.tsp")
    parser.add_argument("--link", required=True, help="the path COM1 is mapped to")
    parser.add_argument("--trace", required=True, help="the provider's first trace file")
    parser.add_argument("--seconds", type=int, default=4, help="how long the host keeps the line open")
    args = parser.parse_args()

    for path in (args.host, args.provider):
        if not os.path.isfile(path):
            print(f"FAIL: {path} is missing (build the mingw presets first)")
            return 1

    master, slave = os.openpty()
    # Raw from the start: an echo would send the provider's frames back.
    tty.setraw(slave)
    point_link(args.link, os.ttyname(slave))
    if os.path.exists(args.trace):
        os.unlink(args.trace)
    # What the adapter sent to a provider that has gone: an ACK and a data
    # frame, still in the pseudo-terminal. The port must open without them,
    # or the ACK would take the place of the new poll's.
    os.write(master, ACK + DATA_FRAME)

    run = Run()
    with tempfile.TemporaryFile() as out:
        # Output to a file, not a pipe: the Wine server started by this
        # command may outlive it.
        host = subprocess.Popen(
            ["wine", args.host, "--seconds", str(args.seconds), "--port", "COM1", "--speed", "9600",
             "--debug", "127", args.provider],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        link = Link(master, host)
        try:
            if wait_line_open(run, out, host):
                check_port_settings(run, slave)
                play_adapter(run, link)
            end = time.monotonic() + args.seconds + HOST_EXIT_MARGIN
            while host.poll() is None and time.monotonic() < end:
                link.drain(0.2)
            if host.poll() is None:
                host.kill()
                run.check(False, f"host ended within {args.seconds + HOST_EXIT_MARGIN:.0f} s")
            host.wait()
        finally:
            if host.poll() is None:
                host.kill()
                host.wait()
        output = host_output(out)

    run.check(host.returncode == 0, f"host exit code 0 (lineOpen succeeded), got {host.returncode}")
    run.check("TSPI_lineOpen = 0x0," in output, "host printed TSPI_lineOpen = 0x0")
    trace = b""
    if os.path.exists(args.trace):
        with open(args.trace, "rb") as f:
            trace = f.read()
    run.check(b"TSPI_lineOpen(" in trace, f"trace file {args.trace} records TSPI_lineOpen")

    print("--- host output")
    print(output.rstrip())
    print("--- wire (seconds since start, direction as seen by the adapter)")
    for at, direction, data in link.log:
        print(f"{at:7.3f} {direction} {hex_bytes(data)}")
    os.close(master)
    os.close(slave)
    if run.failures:
        print(f"{len(run.failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
