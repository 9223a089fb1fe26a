#!/usr/bin/python3
"""gsmmuxd end to end on what a real line does, in real time, against
`muxsim --serve` on a socat pseudo-terminal pair, with python3-serial as the
client (the helpers are gsmmuxd_e2e.py's).

    gsmmuxd_line_e2e.py BIN_DIR CASE

CASE: ttygone (the tty's far end goes away in the middle of a transfer),
ttyback (--wait-for-tty: the tty goes away and comes back), restart (the
module restarted, then closing the multiplexer itself), refused (one DLCI
refused), muxmode (a module left in multiplexer mode by a killed daemon),
second (a second daemon on the same link directory), status (the status
lines without a query per line). Every wait is bounded; what is timed is how
soon the daemon notices a tty that went away (2 s) and how soon a restarted
module's ports answer again (20 s).
"""
import os
import re
import subprocess
import sys
import time

import serial

import gsmmuxd_e2e as e2e
from gsmmuxd_e2e import (EXCHANGE_S, STARTUP_S, Run, data_call, echo_bulk, fail, log_lines,
                         open_port, quietly, terminate, wait_for)


def stderr_line(run, pattern, seconds, what):
    """Waits for a line of gsmmuxd's standard error matching `pattern`;
    returns the time it was seen."""
    end = time.monotonic() + seconds
    while not re.search(pattern, run.errors("gsmmuxd"), re.M):
        if time.monotonic() > end:
            fail("timed out waiting for %s; gsmmuxd said:\n%s" % (what, run.errors("gsmmuxd")))
        time.sleep(0.05)
    return time.monotonic()


# The tty says so either by a hang-up on poll or by EIO on the next read,
# whichever the far end's going reaches first: both name the device.
GONE = r": (hung up|Input/output error \(device removed\?\))"


def case_ttygone(run):
    """The tty goes away in the middle of a transfer: noticed within 2 s,
    said in words, a bounded log, exit 1, no links left."""
    host, socat = run.tty_pair()
    p = run.gsmmuxd("--port", "COM9:=" + host, "--lines", "none", "--log")
    mux2 = open_port(run.link(2))
    data_call(mux2)
    mux2.timeout = 0.2
    quietly(echo_bulk, mux2)
    time.sleep(0.5)
    socat.kill()
    gone = time.monotonic()
    noticed = stderr_line(run, re.escape(host) + GONE + r".*; ending", EXCHANGE_S,
                          "the daemon to say the tty went away")
    if noticed - gone > 2:
        fail("the tty's going was noticed after %.1f s" % (noticed - gone))
    try:
        status = p.wait(STARTUP_S)
    except subprocess.TimeoutExpired:
        fail("gsmmuxd hangs after the tty went away")
    errors = run.errors("gsmmuxd")
    if status != 1 or not re.search(r"gsmmuxd: .*" + re.escape(host) + GONE, errors):
        fail("exit status %d, errors:\n%s" % (status, errors))
    if os.path.exists(run.links) and os.listdir(run.links):
        fail("links left behind: %s" % os.listdir(run.links))
    # The reader's failed waits on the dead port: a line, and one with the count.
    failures = log_lines(run, r"WaitCommEvent err")
    if len(failures) > 4:
        fail("%d WaitCommEvent lines in the log:\n%s" % (len(failures), "".join(failures[:8])))
    print("noticed %.2f s after the tty went away; the log's WaitCommEvent lines:\n%s"
          % (noticed - gone, "".join(failures)))


def answers_at(run, n, seconds):
    """MUX`n` answers AT within `seconds`, asked again and again (a port
    whose multiplexer is down answers nothing yet); the time it took."""
    start = time.monotonic()
    end = start + seconds
    while time.monotonic() < end:
        try:
            with serial.Serial(run.link(n), 115200, timeout=1, write_timeout=1) as port:
                port.reset_input_buffer()
                port.write(b"AT\r")
                if port.read_until(b"OK\r\n").endswith(b"OK\r\n"):
                    return time.monotonic() - start
        except (serial.SerialException, OSError):
            time.sleep(0.2)
    fail("MUX%d does not answer AT within %d s:\n%s" % (n, seconds, run.errors("gsmmuxd")))


def slaves(run):
    return [os.readlink(run.link(n)) for n in (1, 2, 3)]


def case_ttyback(run):
    """--wait-for-tty: the tty goes away and comes back; the ports answer
    again on the same links, and the log stays small meanwhile."""
    host, socat = run.tty_pair()
    p = run.gsmmuxd("--port", "COM9:=" + host, "--lines", "none", "--wait-for-tty", "--log")
    answers_at(run, 1, EXCHANGE_S)
    before = slaves(run)
    socat.kill()
    socat.wait()
    stderr_line(run, re.escape(host) + GONE + r".*; waiting for", 2, "the daemon to wait for the tty")
    time.sleep(3)
    if len(log_lines(run, r"WaitCommEvent err")) > 4:
        fail("the log keeps growing while the tty is away")
    if p.poll() is not None:
        fail("gsmmuxd ended although told to wait:\n" + run.errors("gsmmuxd"))
    for end in ("modem", "host"):
        if os.path.lexists(os.path.join(run.dir, end)):
            os.unlink(os.path.join(run.dir, end))
    run.tty_pair()
    took = answers_at(run, 1, 40)
    answers_at(run, 2, EXCHANGE_S)
    if slaves(run) != before:
        fail("links changed: %s, were %s" % (slaves(run), before))
    print("ports answered %.1f s after the tty came back" % took)
    terminate(run, p)


def case_restart(run):
    """The module restarted (its process ended and a new one serves the
    line): noticed by the keep-alive, the multiplexer brought back, the
    ports answer AT within 20 s on the same links. Then the module closes
    the multiplexer itself (CLD after its next MSC answer): back again."""
    host, _ = run.tty_pair()
    p = run.gsmmuxd("--port", "COM9:=" + host, "--lines", "none", "--keepalive", "2")
    answers_at(run, 1, EXCHANGE_S)
    before = slaves(run)
    module = [q for q in run.procs if q.args[0].endswith("muxsim")][-1]
    module.kill()
    module.wait()
    run.serve("closeAfter=MSC:CLD:3")
    took = answers_at(run, 1, 20)
    answers_at(run, 3, EXCHANGE_S)
    if slaves(run) != before:
        fail("links changed: %s, were %s" % (slaves(run), before))
    print("ports answered %.1f s after the module restarted" % took)
    stderr_line(run, r"restart 1 of the multiplexer: the module did not answer", 1,
                "the first restart with its reason")
    # The third MSC answer of the new module comes with a CLD.
    stderr_line(run, r"restart \d+ of the multiplexer: the module closed the multiplexer "
                r"down \(CLD\)", 40, "the restart after the module's CLD")
    time.sleep(1)
    answers_at(run, 2, 20)
    if slaves(run) != before:
        fail("links changed: %s, were %s" % (slaves(run), before))
    terminate(run, p)


def case_refused(run):
    """The module refuses DLCI 3 (DM to its SABM): MUX1 and MUX2 work, MUX3
    is reported in words and the daemon keeps running. A module that takes
    DLCI 3 (a new one, after a restart) gets it on the same link."""
    host, _ = run.tty_pair("dmDlcis=0x8")
    p = run.gsmmuxd("--port", "COM9:=" + host, "--lines", "none", "--keepalive", "2")
    stderr_line(run, r"MUX3: is .*, but cannot be opened: the module answered SABM on DLCI 3 "
                r"with DM \(it refuses the DLCI\); trying again in \d+ s", STARTUP_S,
                "MUX3 reported as refused")
    answers_at(run, 1, EXCHANGE_S)
    answers_at(run, 2, EXCHANGE_S)
    if p.poll() is not None:
        fail("gsmmuxd ended:\n" + run.errors("gsmmuxd"))
    before = slaves(run)
    module = [q for q in run.procs if q.args[0].endswith("muxsim")][-1]
    module.kill()
    module.wait()
    run.serve()
    stderr_line(run, r"MUX3: is open now", 40, "MUX3 opened after the restart")
    answers_at(run, 3, EXCHANGE_S)
    if slaves(run) != before:
        fail("links changed: %s, were %s" % (slaves(run), before))
    terminate(run, p)


def case_muxmode(run):
    """A daemon killed outright leaves the module in multiplexer mode (and
    its links and pid file behind): the next one starts all the same."""
    host, _ = run.tty_pair()
    p = run.gsmmuxd("--port", "COM9:=" + host, "--lines", "none", "--log")
    answers_at(run, 1, EXCHANGE_S)
    p.kill()
    p.wait()
    p = run.gsmmuxd("--port", "COM9:=" + host, "--lines", "none", "--log")
    answers_at(run, 1, EXCHANGE_S)
    answers_at(run, 3, EXCHANGE_S)
    terminate(run, p)


def case_second(run):
    """A second daemon on the same link directory is refused and leaves the
    first one's links alone."""
    p = run.gsmmuxd()
    before = slaves(run)
    second = subprocess.run([os.path.join(run.bindir, "gsmmuxd"), "--link-dir", run.links,
                             "--root", run.root], capture_output=True, text=True,
                            timeout=STARTUP_S)
    if second.returncode != 2 or not re.search(
            r"--link-dir .* is in use by another gsmmuxd \(pid %d\)" % p.pid, second.stderr):
        fail("second daemon: exit status %d, errors:\n%s" % (second.returncode, second.stderr))
    if slaves(run) != before:
        fail("links changed: %s, were %s" % (slaves(run), before))
    answers_at(run, 1, EXCHANGE_S)
    terminate(run, p)


def case_status(run):
    """--status prints from what is known: a few seconds of status lines
    put at most the keep-alive's modem-status queries on the line."""
    out = open(os.path.join(run.dir, "out.txt"), "w")
    p = run.gsmmuxd("--status", "--trace", "--keepalive", "2", stdout=out)
    time.sleep(5)
    answers_at(run, 1, EXCHANGE_S)
    terminate(run, p)
    out.close()
    with open(out.name) as f:
        text = f.read()
    queries = re.findall(r"host->module\s+DLCI 0\s+UIH.*MSC command", text)
    if not re.search(r"^status MUX1 DLCI 1 connected", text, re.M):
        fail("no status line for MUX1:\n%s" % "\n".join(re.findall(r"^status.*", text, re.M)))
    if not 1 <= len(queries) <= 6:
        fail("%d modem-status exchanges in about 6 s:\n%s" % (len(queries), "".join(queries[:10])))


def main():
    bindir, case = os.path.abspath(sys.argv[1]), sys.argv[2]
    run = e2e.CURRENT = Run(bindir)
    try:
        globals()["case_" + case](run)
    finally:
        run.close()
    print("PASS", case)


if __name__ == "__main__":
    main()
