"""The call futures' base on Python 2.7.

The backport of concurrent.futures lets a finished future be finished
again; the futures here rely on Python 3's refusal (InvalidStateError) to
settle exactly once, so this base refuses the same way.
"""

import concurrent.futures
from concurrent.futures._base import CANCELLED, CANCELLED_AND_NOTIFIED, FINISHED

_FINAL = (CANCELLED, CANCELLED_AND_NOTIFIED, FINISHED)


class InvalidStateError(concurrent.futures._base.Error):
    """The future is already finished or cancelled."""


class Future(concurrent.futures.Future):
    def set_result(self, result):
        with self._condition:
            if self._state in _FINAL:
                raise InvalidStateError("%r is already settled" % (self,))
            super(Future, self).set_result(result)

    def set_exception(self, exception):
        with self._condition:
            if self._state in _FINAL:
                raise InvalidStateError("%r is already settled" % (self,))
            super(Future, self).set_exception(exception)
