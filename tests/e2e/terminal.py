#!/usr/bin/env python3
"""Drives an interactive bash at a terminal of its own (a pty), as a person
at a terminal would, for the launcher's terminal tests.

    terminal.py STEP...

Each step is one word:
    send:TEXT      types TEXT (\\n, \\r, \\xHH escapes: \\x03 is Ctrl-C, \\x1a Ctrl-Z)
    sleep:SECS     waits
    expect:TEXT    waits up to 20 s for TEXT in what the terminal showed
                   since the last expect
    kill:NAME:SIG  sends SIG to the processes of the terminal's session whose
                   name is NAME
Exits 0 when every step was met; otherwise 1, with what the terminal showed.
The environment and the current folder are bash's.
"""
import os
import pty
import select
import signal
import sys
import time


def unescaped(text):
    out = bytearray()
    i = 0
    while i < len(text):
        if text.startswith("\\n", i):
            out += b"\n"
            i += 2
        elif text.startswith("\\x", i):
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out += text[i].encode()
            i += 1
    return bytes(out)


def session_processes(sid, name=None):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as comm:
                if name is not None and comm.read().strip() != name:
                    continue
            if os.getsid(int(entry)) == sid:
                found.append(int(entry))
        except OSError:
            pass
    return found


def run(pid, fd, steps):
    seen = b""
    looked = 0

    def read_for(seconds):
        nonlocal seen
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                return
            try:
                data = os.read(fd, 65536)
            except OSError:
                return
            if not data:
                return
            seen += data

    def fail(step):
        sys.stdout.write(f"step not met: {step}\n--- the terminal showed:\n")
        sys.stdout.write(seen[-4000:].decode("utf-8", "replace"))
        return 1

    read_for(0.5)
    for step in steps:
        kind, _, arg = step.partition(":")
        if kind == "send":
            os.write(fd, unescaped(arg))
        elif kind == "sleep":
            read_for(float(arg))
        elif kind == "expect":
            end = time.monotonic() + 20
            while seen.find(arg.encode(), looked) < 0 and time.monotonic() < end:
                read_for(0.1)
            at = seen.find(arg.encode(), looked)
            if at < 0:
                return fail(step)
            looked = at + len(arg)
        elif kind == "kill":
            name, _, sig = arg.rpartition(":")
            targets = session_processes(os.getsid(pid), name)
            if not targets:
                return fail(step)
            for target in targets:
                os.kill(target, int(sig))
        read_for(0.05)
    return 0


def main(steps):
    env = dict(os.environ, PS1="$ ", TERM="dumb")
    pid, fd = pty.fork()
    if pid == 0:
        os.execvpe("bash", ["bash", "--norc", "--noprofile", "-i"], env)
    try:
        return run(pid, fd, steps)
    finally:
        # Whatever the steps left, stopped jobs included, ends with them.
        for process in session_processes(os.getsid(pid)):
            os.kill(process, signal.SIGKILL)
        os.waitpid(pid, 0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
