"""How long the tests wait before they give up. Every bound a test, the harness or a program the
tests start waits with goes through `patient()`: a bound only says when to give up, never what
passed. On a slow machine TELVARIN_TEST_PATIENCE=N (a number, 1 by default) makes every bound N
times as long; the unit tests (tests/unit/test_support.h) read the same setting.
"""
import os

SETTING = "TELVARIN_TEST_PATIENCE"


def _factor():
    text = os.environ.get(SETTING, "1")
    try:
        factor = float(text)
    except ValueError:
        factor = 0
    if not 1 <= factor <= 100:
        raise SystemExit(f"{SETTING} must be a number from 1 to 100, not '{text}'")
    return factor


FACTOR = _factor()


def patient(seconds):
    """A bound of `seconds` on a machine of ordinary speed, as long as this machine needs."""
    return seconds * FACTOR


def patient_ms(milliseconds):
    """The same for a bound handed to a program in milliseconds, as text."""
    return str(int(milliseconds * FACTOR))
