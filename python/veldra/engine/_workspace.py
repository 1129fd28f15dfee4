"""The workspace: an engine's variables as a mapping."""

from veldra._compat import MutableMapping, chained, text_types

from . import _native, VeldraExecutionError

# ---- the workspace ---------------------------------------------------------


class Workspace(MutableMapping):
    """The engine's variables as a mapping: ``eng.workspace["x"] = 1.0``.

    Reading uses the engine function ``fetch``, writing ``assign``, ``del``
    ``clear``, ``in`` ``exists`` and ``len``/iteration ``names``.  Keys must
    be valid variable names (an ASCII letter, then letters, digits or
    underscores, at most 63 characters): reading or deleting any other key
    raises ``KeyError``, assigning it ``ValueError``, ``in`` gives False;
    none of these reaches the engine.  Engine output of these calls goes to
    ``sys.stdout``/``sys.stderr``.
    """

    __slots__ = ("_engine",)

    def __init__(self, engine):
        self._engine = engine

    @staticmethod
    def _valid(name):
        return isinstance(name, text_types) and _native.validateIdentity(name)

    def __getitem__(self, name):
        if not self._valid(name):
            raise KeyError(name)
        try:
            return self._engine.call("fetch", name)
        except VeldraExecutionError:
            if not self._engine.call("exists", name):
                raise chained(KeyError(name), None)
            raise

    def __setitem__(self, name, value):
        if not self._valid(name):
            raise ValueError("%r is not a valid variable name" % (name,))
        self._engine.call("assign", name, value, nout=0)

    def __delitem__(self, name):
        if not self._valid(name) or not self._engine.call("exists", name):
            raise KeyError(name)
        self._engine.call("clear", name, nout=0)

    def __contains__(self, name):
        return self._valid(name) and bool(self._engine.call("exists", name))

    def _names(self):
        names = self._engine.call("names")
        if names is None:
            return []
        if isinstance(names, text_types):
            return [names] if names else []
        return list(names)

    def __iter__(self):
        return iter(self._names())

    def __len__(self):
        return len(self._names())

    def clear(self):
        """Delete every variable (one engine call)."""
        self._engine.call("clear", nout=0)

    def __repr__(self):
        try:
            return "<Workspace %r>" % (self._names(),)
        except Exception:  # noqa: BLE001 - closed engine
            return "<Workspace of a closed engine>"
