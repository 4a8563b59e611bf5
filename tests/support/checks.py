"""What the Python sessions check with: a condition that must hold, and a
wait on a condition with a generous limit (never a fixed sleep)."""
import time


def expect(cond, what):
    if not cond:
        raise SystemExit("FAIL: " + what)


def wait_for(cond, what, limit=120):
    end = time.time() + limit
    while time.time() < end:
        if cond():
            return
        time.sleep(0.1)
    raise SystemExit("FAIL: timed out waiting for " + what)
