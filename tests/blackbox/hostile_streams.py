"""Runs the tool with the standard streams of a hostile or broken caller and prints what came of
it as one JSON object: {"stderr", "exit", "seconds"}.

hostile_streams.py SCENARIO SIGNAL_AFTER -- TOOL [ARGUMENT...], SIGTERM sent SIGNAL_AFTER seconds
after the start (0: none). SCENARIO: "undrained-stdout", a full standard output nobody reads
(the tool holds its read end); "full-stderr", standard input never written and a full standard
error that does not block, drained from just after the signal on; "stuck-stderr", the same
with a standard error that blocks and is drained only once the tool ended.
"""
import json
import os
import signal
import subprocess
import sys
import time


def full_pipe(blocking):
    """A pipe whose buffer is full; returns (read end, write end, bytes it holds)."""
    read, write = os.pipe()
    os.set_blocking(write, False)
    held = 0
    try:
        while True:
            held += os.write(write, b"x" * 65536)
    except BlockingIOError:
        pass
    os.set_blocking(write, blocking)
    return read, write, held


def drain(descriptor):
    return b"".join(iter(lambda: os.read(descriptor, 65536), b""))


def main():
    scenario, signal_after = sys.argv[1], float(sys.argv[2])
    tool = sys.argv[sys.argv.index("--") + 1:]
    began = time.monotonic()
    held = 0
    if scenario == "undrained-stdout":
        read, write, _ = full_pipe(True)
        os.set_inheritable(read, True)
        child = subprocess.Popen(tool, stdout=write, stderr=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL, pass_fds=(read,))
        os.close(read)
        os.close(write)
        error_end = child.stderr.fileno()
    else:
        read, write, held = full_pipe(scenario == "stuck-stderr")
        never_written, keep = os.pipe()
        child = subprocess.Popen(tool, stdin=never_written, stdout=subprocess.DEVNULL,
                                 stderr=write)
        os.close(never_written)
        os.close(write)
        error_end = read
    if signal_after > 0:
        time.sleep(signal_after)
        child.send_signal(signal.SIGTERM)
    if scenario == "full-stderr":
        time.sleep(0.03)  # the handler meets a full stream first, then one that drains
    if scenario == "stuck-stderr":
        child.wait(timeout=60)
    error = drain(error_end)
    status = child.wait(timeout=60)
    seconds = time.monotonic() - began
    json.dump({"stderr": error[held:].decode("utf-8", "replace"),
               "exit": status if status >= 0 else 128 - status, "seconds": seconds}, sys.stdout)


main()
