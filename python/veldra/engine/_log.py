"""The records of the logger ``veldra.engine``: launches, attachments,
closes, and engines lost with how they ended (exit status or signal, as the
engine client reports it).

Nothing is printed unless the application configures logging: the logger
has a ``NullHandler``, so Python's last-resort handler stays quiet too.
"""

import logging
import weakref

logger = logging.getLogger("veldra.engine")
logger.addHandler(logging.NullHandler())

# Sessions whose loss was recorded: one record per engine, however many
# calls fail after it.
_LOST = weakref.WeakSet()


def _what(session):
    if session.name:
        return "shared session %r" % (session.name,)
    return "launched engine %d" % (session.handle,)


def started(session):
    if session.name:
        logger.info("attached to shared session %r", session.name)
    else:
        logger.info("launched engine %d", session.handle)


def start_failed(name, error):
    if name:
        logger.info("attaching to shared session %r failed: %s", name, error)
    else:
        logger.info("launching an engine failed: %s", error)


def closed(session, error):
    if error is not None:
        logger.warning("closing %s failed: %s", _what(session), error)
    elif session.name:
        logger.info("detached from shared session %r", session.name)
    else:
        logger.info("closed launched engine %d", session.handle)


def lost(session, error):
    """A call failed with EngineError on an engine this program had not
    closed: the engine has gone (the message says how it ended)."""
    # The engine client's own text (never translated) says the engine has
    # gone ("the engine is closed: the engine was killed by signal 9", "the
    # engine connection was lost: ...", or a failed connection seen before
    # the engine's exit was); other EngineErrors of a call (no
    # descriptors left for a result) leave the engine up.
    text = str(error)
    if (
        session.closed
        or session in _LOST
        or not any(word in text for word in ("lost", "closed", "exited", "killed", "connection"))
    ):
        return
    _LOST.add(session)
    logger.warning("lost %s: %s", _what(session), error)
