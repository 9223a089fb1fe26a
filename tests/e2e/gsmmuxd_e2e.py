#!/usr/bin/python3
"""gsmmuxd end to end, with a client written by others (python3-serial) on
the pseudo-terminals it makes, in real time.

    gsmmuxd_e2e.py BIN_DIR CASE

CASE: sim (the simulated module in the process), silent (a tty whose far
end never answers), tty (a real-tty backend on
a socat pseudo-terminal pair whose far end is `muxsim --serve`), sigterm
(SIGTERM in the middle of a transfer), sighup (the same with SIGHUP). Every
wait is bounded; the timeouts are wide because the machine may be loaded,
and nothing here judges speed. gsmmuxd_line_e2e.py has the cases of what a
real line does.
"""
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

import serial

STARTUP_S = 60  # the driver resets the module and brings the multiplexer up
EXCHANGE_S = 20
BULK = bytes((i * 7 + i // 251) & 0xFF for i in range(100 * 1000))


CURRENT = None  # the Run of this case, for what fail() shows


def fail(why):
    print("FAIL:", why)
    if CURRENT and os.path.exists(os.path.join(CURRENT.root, "MuxLog.txt")):
        # The driver's own account: its log lines about the line and drops.
        lines = log_lines(CURRENT, r"(?i)overrun|error|drop|lost|full")
        print("".join(lines[-20:]))
    sys.exit(1)


def wait_for(predicate, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.05)
    fail("timed out waiting for " + what)


class Run:
    """The processes of one case, ended in any event."""

    def __init__(self, bindir):
        self.bindir = bindir
        self.dir = tempfile.mkdtemp(prefix="gsmmuxd-e2e-")
        self.links = os.path.join(self.dir, "mux")
        self.root = os.path.join(self.dir, "files")  # gsmmuxd --root: the driver's files
        self.procs = []

    def start(self, args, stdout=None):
        err = open(os.path.join(self.dir, os.path.basename(args[0]) + ".err"), "w")
        p = subprocess.Popen(args, stdout=stdout or subprocess.DEVNULL, stderr=err, cwd=self.dir)
        self.procs.append(p)
        return p

    def errors(self, program):
        with open(os.path.join(self.dir, program + ".err")) as f:
            return f.read()

    def link(self, n):
        return os.path.join(self.links, "MUX%d" % n)

    def gsmmuxd(self, *extra, stdout=None):
        p = self.start([os.path.join(self.bindir, "gsmmuxd"), "--link-dir", self.links,
                        "--root", self.root] + list(extra), stdout=stdout)
        # The links come first; each port is announced once it is open (or
        # refused), MUX3 last.
        wait_for(lambda: (all(os.path.exists(self.link(n)) for n in (1, 2, 3)) and
                          "gsmmuxd: MUX3: is " in self.errors("gsmmuxd")) or
                 p.poll() is not None, STARTUP_S, "the MUXn links")
        if p.poll() is not None:
            fail("gsmmuxd ended at start-up:\n" + self.errors("gsmmuxd"))
        return p

    def tty_pair(self, *module):
        """A socat pseudo-terminal pair with the simulated module served on
        one end (with --module settings `module`); returns the other end's
        path and socat's process."""
        modem = os.path.join(self.dir, "modem")
        host = os.path.join(self.dir, "host")
        socat = self.start(["socat", "pty,raw,echo=0,link=" + modem,
                            "pty,raw,echo=0,link=" + host])
        wait_for(lambda: os.path.exists(modem) and os.path.exists(host), EXCHANGE_S, "socat")
        self.serve(*module)
        return host, socat

    def serve(self, *module):
        """`muxsim --serve` on the modem end of the pair; its process."""
        args = [os.path.join(self.bindir, "muxsim")]
        for setting in module:
            args += ["--module", setting]
        return self.start(args + ["--serve", os.path.join(self.dir, "modem")])

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def open_port(path):
    return serial.Serial(path, 115200, timeout=EXCHANGE_S, write_timeout=EXCHANGE_S)


def expect(port, command, answer):
    port.reset_input_buffer()
    port.write(command)
    got = port.read_until(answer)
    if not got.endswith(answer):
        fail("%s: %r answered %r, not %r" % (port.port, command, got, answer))


def data_call(port):
    expect(port, b"ATD*99#\r", b"CONNECT\r\n")


# Octets per second the client offers in a transfer; 0: as fast as the
# line takes them. The sanitizer builds slow the driver's threads so much
# that at the line's full rate its queues overflow (it logs "Control queue
# ... is full"), which is what those builds would then test instead of
# races and memory.
PACE = int(os.environ.get("GSMMUXD_E2E_PACE", "0"))


def paced_write(port, data):
    if not PACE:
        port.write(data)
        return
    chunk = max(1, PACE // 10)
    start = time.monotonic()
    for at in range(0, len(data), chunk):
        port.write(data[at:at + chunk])
        ahead = start + (at + chunk) / PACE - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)


def echo_bulk(port, data=BULK):
    """Sends `data` through the data call (the module echoes it) while
    reading, as a PPP client does; returns what came back."""
    writer = threading.Thread(target=paced_write, args=(port, data))
    writer.start()
    got = bytearray()
    end = time.monotonic() + 60
    while len(got) < len(data) and time.monotonic() < end:
        got += port.read(len(data) - len(got))
    writer.join(EXCHANGE_S)
    return bytes(got)


def quietly(fn, *args):
    """Runs fn on a thread of its own, where the port failing under it (the
    daemon ending) is the point of the case, not an error."""
    def run():
        try:
            fn(*args)
        except (serial.SerialException, OSError):
            pass
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


def exchange(run):
    """MUX1 and MUX2 open at once: AT on both, then 100 kB through a data
    call on MUX2; then MUX1 closed and opened again still answers."""
    mux1, mux2 = open_port(run.link(1)), open_port(run.link(2))
    expect(mux1, b"AT\r", b"OK\r\n")
    expect(mux2, b"AT\r", b"OK\r\n")
    data_call(mux2)
    got = echo_bulk(mux2)
    if got != BULK:
        first = next((i for i in range(min(len(got), len(BULK))) if got[i] != BULK[i]), None)
        fail("bulk: %d of %d octets back, first difference at %s" % (len(got), len(BULK), first))
    mux1.close()
    mux1 = open_port(run.link(1))
    expect(mux1, b"AT\r", b"OK\r\n")
    mux1.close()
    mux2.close()


def terminate(run, p, sig=signal.SIGTERM):
    p.send_signal(sig)
    try:
        status = p.wait(STARTUP_S)
    except subprocess.TimeoutExpired:
        fail("gsmmuxd did not end after %s" % sig.name)
    if status != 0:
        fail("gsmmuxd exit status %d after %s:\n%s" % (status, sig.name, run.errors("gsmmuxd")))
    if os.path.exists(run.links) and os.listdir(run.links):
        fail("links left behind: %s" % os.listdir(run.links))


def pcap_frames(path):
    """(direction, frame octets) of every record of a LINKTYPE_MUX27010 capture."""
    with open(path, "rb") as f:
        data = f.read()
    magic, _, _, _, _, _, linktype = struct.unpack_from("<IHHiIII", data)
    if magic != 0xA1B2C3D4 or linktype != 236:
        fail("not a 27.010 capture: %s" % path)
    frames, at = [], 24
    while at + 16 <= len(data):
        length = struct.unpack_from("<I", data, at + 8)[0]
        record = data[at + 16:at + 16 + length]
        frames.append((record[1], record[2:]))
        at += 16 + length
    return frames


def discs(frames):
    """The DLCIs the host sent DISC on."""
    return {f[1] >> 2 for d, f in frames if d == 0 and len(f) > 3 and f[2] & 0xEF == 0x43}


def write_then_read(port):
    """A client that writes everything before it reads a thing: the echo
    waits for it, whole."""
    paced_write(port, BULK)
    got = bytearray()
    end = time.monotonic() + 60
    while len(got) < len(BULK) and time.monotonic() < end:
        got += port.read(len(BULK) - len(got))
    if got != BULK:
        fail("write, then read: %d of %d octets back intact" % (len(got), len(BULK)))


def case_sim(run):
    """The exchange, a client that reads late, the status lines and the
    table on SIGUSR1."""
    out = open(os.path.join(run.dir, "status.txt"), "w")
    p = run.gsmmuxd("--status", "--log", stdout=out)
    exchange(run)
    mux2 = open_port(run.link(2))
    write_then_read(mux2)
    mux2.close()
    p.send_signal(signal.SIGUSR1)
    wait_for(lambda: "port MUX3" in open(out.name).read(), EXCHANGE_S, "the port table")
    terminate(run, p)
    out.close()
    with open(out.name) as f:
        text = f.read()
    # The last status line of MUX2 has the whole transfer both ways.
    last = re.findall(r"^status MUX2 DLCI 2 connected to-port (\d+) to-client (\d+)", text, re.M)
    if not last or int(last[-1][0]) < 2 * len(BULK) or int(last[-1][1]) < 2 * len(BULK):
        fail("status of MUX2: %s" % (last[-1:] or text))
    for n in (1, 2, 3):
        if not re.search(r"^port MUX%d DLCI %d connected .* link %s -> /dev/pts/"
                         % (n, n, re.escape(run.link(n))), text, re.M):
            fail("no table line for MUX%d:\n%s" % (n, text))
    # The driver's log went under --root, not into the working directory.
    if not os.path.exists(os.path.join(run.root, "MuxLog.txt")) or \
            os.path.exists(os.path.join(run.dir, "MuxLog.txt")):
        fail("MuxLog.txt is not under --root only: %s" % os.listdir(run.dir))


def case_silent(run):
    """A tty with nothing at its far end: the reason in words, no hang."""
    modem = os.path.join(run.dir, "modem")
    host = os.path.join(run.dir, "host")
    run.start(["socat", "pty,raw,echo=0,link=" + modem, "pty,raw,echo=0,link=" + host])
    wait_for(lambda: os.path.exists(modem) and os.path.exists(host), EXCHANGE_S, "socat")
    sink = run.start(["cat", modem])
    p = run.start([os.path.join(run.bindir, "gsmmuxd"), "--link-dir", run.links, "--root",
                   run.root, "--port", "COM9:=" + host, "--lines", "none"])
    try:
        status = p.wait(STARTUP_S * 2)
    except subprocess.TimeoutExpired:
        fail("gsmmuxd hangs on a silent module")
    errors = run.errors("gsmmuxd")
    if status != 1 or ("the module on %s does not answer: nothing came back to AT+CMUX" % host
                       not in errors):
        fail("exit status %d, errors:\n%s" % (status, errors))


def stty(path):
    return subprocess.run(["stty", "-g", "-F", path], capture_output=True, text=True,
                          timeout=EXCHANGE_S).stdout


def case_tty(run):
    """The exchange on a real-tty backend, the tty restored, the capture
    read by tshark with every FCS good, DISC on every DLCI at the end."""
    host, _ = run.tty_pair()
    before = stty(host)
    cap = os.path.join(run.dir, "cap.pcap")
    p = run.gsmmuxd("--port", "COM9:=" + host, "--lines", "none", "--pcap", cap)
    if stty(host) == before:
        fail("the tty was not put into the driver's mode")
    exchange(run)
    terminate(run, p)
    if stty(host) != before:
        fail("tty settings not restored: %s, was %s" % (stty(host), before))
    frames = pcap_frames(cap)
    fcs = subprocess.run(["tshark", "-r", cap, "-T", "fields", "-e", "mux27010.checksum_correct"],
                         capture_output=True, text=True, timeout=120).stdout.split()
    if len(fcs) != len(frames) or any(v not in ("1", "True") for v in fcs):
        fail("tshark: %d frames, checksums %s" % (len(frames), sorted(set(fcs))))
    if discs(frames) != {0, 1, 2, 3}:
        fail("DISC sent on DLCIs %s, not 0 to 3" % sorted(discs(frames)))


def transfer_then_signal(run, sig):
    """A signal in the middle of a transfer: DISC on every DLCI, then the
    links are gone and the exit status is 0."""
    trace = open(os.path.join(run.dir, "trace.txt"), "w")
    p = run.gsmmuxd("--trace", stdout=trace)
    mux2 = open_port(run.link(2))
    data_call(mux2)
    mux2.timeout = 0.2
    writer = quietly(echo_bulk, mux2)
    time.sleep(0.5)
    terminate(run, p, sig)
    writer.join(STARTUP_S)
    trace.close()
    with open(trace.name) as f:
        text = f.read()
    sent = {int(d) for d in re.findall(r"host->module\s+DLCI (\d+)\s+DISC", text)}
    if sent != {0, 1, 2, 3}:
        fail("DISC sent on DLCIs %s, not 0 to 3" % sorted(sent))
    if not re.search(r"host->module\s+DLCI 2\s+UIH", text):
        fail("no data went on DLCI 2 before the signal")


def case_sigterm(run):
    transfer_then_signal(run, signal.SIGTERM)


def case_sighup(run):
    """Closing the terminal the daemon runs in ends it the same way."""
    transfer_then_signal(run, signal.SIGHUP)


def log_lines(run, pattern):
    """The lines of the driver's log (UTF-16LE text) that match `pattern`."""
    log = os.path.join(run.root, "MuxLog.txt")
    if not os.path.exists(log):
        fail("no driver log at %s" % log)
    with open(log, "rb") as f:
        text = f.read().decode("utf-16-le", errors="replace")
    return [l + "\n" for l in text.splitlines() if re.search(pattern, l)]


def case_logsymlink(run):
    # --root on a directory others can write: a MuxLog.txt planted there as
    # a symlink must not carry the log into the file it points to.
    os.makedirs(run.root)
    victim = os.path.join(run.dir, "victim")
    with open(victim, "w") as f:
        f.write("precious\n")
    planted = os.path.join(run.root, "MuxLog.txt")
    os.symlink(victim, planted)
    p = run.gsmmuxd("--log")
    mux1 = open_port(run.link(1))
    expect(mux1, b"AT\r", b"OK\r\n")
    mux1.close()
    terminate(run, p)
    with open(victim) as f:
        if f.read() != "precious\n":
            fail("the log went through the planted symlink")
    if not os.path.islink(planted):
        fail("the planted symlink was replaced")
    # What the daemon says on standard error is its own, in words: no
    # kernel debug output of the driver.
    errors = run.errors("gsmmuxd")
    noise = [l for l in errors.splitlines() if not l.startswith("gsmmuxd: ")]
    if noise or "MUX_version" in errors:
        fail("debug output on standard error:\n" + errors)


def main():
    global CURRENT
    bindir, case = os.path.abspath(sys.argv[1]), sys.argv[2]
    run = CURRENT = Run(bindir)
    try:
        globals()["case_" + case](run)
    finally:
        run.close()
    print("PASS", case)


if __name__ == "__main__":
    main()
