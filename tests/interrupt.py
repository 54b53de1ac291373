"""Ctrl-C during a long call: SIGINT to a child process while the call runs.

interrupt(setup, call) runs `setup` in a child process, then `call` (an
expression) over and over; once the child is under way the parent sends it
SIGINT.  The result tells how long the KeyboardInterrupt took to come and the
names of its traceback entries, or what the child printed instead.
"""
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

from conftest import STAGE

# The calls under test run far longer than this by themselves, or never end: a
# KeyboardInterrupt within this many seconds was answered during the call, not
# after it.  How promptly it comes is measured by the benchmarks.
ANSWERED = 5.0

CHILD = """
import json, signal, sys, time, traceback
# A child started from a background job inherits SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
{setup}
print("started", flush=True)
try:
    while True:
        {call}
except KeyboardInterrupt as e:
    print(json.dumps({{"caught": time.monotonic(), "names": [f.name for f in traceback.extract_tb(e.__traceback__)]}}),
          flush=True)
"""


def interrupt(setup, call, delay=0.5, cwd=None):
    code = CHILD.format(setup=textwrap.dedent(setup), call=call)
    env = dict(os.environ, PYTHONPATH=str(STAGE))
    child = subprocess.Popen([sys.executable, "-P", "-u", "-c", code], env=env, cwd=cwd, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        first = child.stdout.readline()
        if first.strip() != "started":
            child.kill()
            return {"error": first + child.communicate()[1]}
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        child.kill()
        return {"error": "no KeyboardInterrupt within 60 s"}
    for line in out.splitlines():
        if line.startswith("{"):
            row = json.loads(line)
            return {"latency": row["caught"] - sent, "names": row["names"]}
    return {"error": out + err}
