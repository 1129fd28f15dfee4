"""What differs between Python 2.7 and Python 3, in one place.

The package is one source for both; everything version-dependent that the
rest of it needs is named here, so the other modules read as Python 3.
"""

import sys
import threading
import time

PY2 = sys.version_info[0] == 2

if PY2:
    from collections import Iterator, MutableMapping, Sequence  # noqa: F401

    text_types = (str, unicode)  # noqa: F821
    integer_types = (int, long)  # noqa: F821
    range_type = xrange  # noqa: F821
    # No monotonic clock in the 2.7 standard library.
    monotonic = time.time

    def array_frombytes(buf, data):
        buf.fromstring(bytes(data))

    def array_tobytes(buf):
        return buf.tostring()

    class TimedLock(object):
        """A lock whose acquire takes a time-out, as Python 3's does."""

        def __init__(self):
            self._cond = threading.Condition(threading.Lock())
            self._held = False

        def acquire(self, blocking=True, timeout=-1):
            with self._cond:
                if not blocking:
                    timeout = 0
                deadline = None if timeout < 0 else monotonic() + timeout
                while self._held:
                    if deadline is None:
                        self._cond.wait()
                        continue
                    left = deadline - monotonic()
                    if left <= 0:
                        return False
                    self._cond.wait(left)
                self._held = True
                return True

        def release(self):
            with self._cond:
                self._held = False
                self._cond.notify()
else:
    from collections.abc import Iterator, MutableMapping, Sequence  # noqa: F401

    text_types = (str,)
    integer_types = (int,)
    range_type = range
    monotonic = time.monotonic
    TimedLock = threading.Lock

    def array_frombytes(buf, data):
        buf.frombytes(data)

    def array_tobytes(buf):
        return buf.tobytes()


def chained(error, cause):
    """``error`` with ``cause`` as its cause, for ``raise chained(e, c)``:
    what ``raise e from c`` says, in syntax Python 2.7 reads too (where the
    attributes are merely recorded)."""
    error.__cause__ = cause
    error.__suppress_context__ = True
    return error
