"""What the prompt shows of an engine: its functions for ``dir(eng)`` and tab
completion, and each function's own arguments and text for
``help(eng.sqrt)`` and ``eng.sqrt.__doc__``.

The engine reports them through its function ``function_table`` (names,
arguments, help texts), asked once per engine: the table is fixed once the
engine serves (plug-ins load at start-up).  An engine that has no such
function (one older than this package) gives no table; its functions are then
looked up at call time, as before.
"""

import keyword
import re
import sys
import textwrap
import weakref

try:
    import inspect

    _Signature = inspect.Signature
    _Parameter = inspect.Parameter
except AttributeError:  # Python 2.7: no signature objects
    _Signature = _Parameter = None

from veldra._compat import text_types

# Session -> {name: (arguments, text)}, or None for an engine without a table.
_TABLES = weakref.WeakKeyDictionary()

_NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
_MISSING = object()


def _as_list(value):
    if value is None:
        return []
    if isinstance(value, text_types):
        return [value] if value else []
    return list(value)


def function_table(session, fetch):
    """The engine's functions as {name: (arguments, text)}, asked once per
    session with ``fetch()`` (which gives function_table's three results);
    None when the engine cannot tell.  A closed engine is asked again next
    time (and fails then too), so nothing wrong is remembered."""
    table = _TABLES.get(session, _MISSING)
    if table is not _MISSING:
        return table
    from . import EngineError, VeldraExecutionError

    try:
        names, arguments, texts = fetch()
    except VeldraExecutionError:
        table = None  # an engine without the table
    except EngineError:
        return None  # closed or dead: nothing to remember
    else:
        names, arguments, texts = (_as_list(names), _as_list(arguments), _as_list(texts))
        table = dict((name, (args, text)) for name, args, text in zip(names, arguments, texts))
    _TABLES[session] = table
    return table


def attribute_names(table, own):
    """The function names ``dir(eng)`` adds to the engine's own attributes:
    identifiers that no attribute of the engine hides."""
    if not table:
        return []
    return [name for name in table if _NAME.match(name) and not name.startswith("_") and name not in own]


def _parameter_names(arguments):
    """(required, optional, rest) parameter names from an arguments line
    such as ``"x, dim?"`` or ``"name, args..."``; None if it reads otherwise
    (``"m, n or size"``)."""
    required, optional, rest = [], [], None
    if not arguments.strip():
        return required, optional, rest
    for part in arguments.split(","):
        part = part.strip()
        if rest is not None:
            return None
        if part == "...":
            rest = "more"
            continue
        if part.endswith("..."):
            rest = part[:-3]
            part = None
        elif part.endswith("?"):
            part = part[:-1]
            if not _NAME.match(part):
                return None
            optional.append(part)
            continue
        if part is not None:
            if optional or not _NAME.match(part):
                return None
            required.append(part)
        elif not _NAME.match(rest):
            return None
    return required, optional, rest


def _safe(name):
    return name + "_" if keyword.iskeyword(name) else name


def signature(arguments, stdout, stderr):
    """An inspect.Signature of ``f(ARGS, *, nout=1, stdout=sys.stdout,
    stderr=sys.stderr)``; with arguments it cannot read, ``(*args, ...)``.
    None on Python 2.7."""
    if _Signature is None:
        return None
    parsed = _parameter_names(arguments or "") if arguments is not None else None
    if parsed is None:
        parsed = [], [], "args"
    required, optional, rest = parsed
    positional = _Parameter.POSITIONAL_ONLY
    params = [_Parameter(_safe(n), positional) for n in required]
    params += [_Parameter(_safe(n), positional, default=None) for n in optional]
    if rest is not None:
        params.append(_Parameter(_safe(rest), _Parameter.VAR_POSITIONAL))
    keyword_only = _Parameter.KEYWORD_ONLY
    params += [
        _Parameter("nout", keyword_only, default=1),
        _Parameter("stdout", keyword_only, default=stdout),
        _Parameter("stderr", keyword_only, default=stderr),
    ]
    try:
        return _Signature(params)
    except ValueError:  # a repeated name in a plug-in's arguments
        return _Signature([_Parameter("args", _Parameter.VAR_POSITIONAL)] + params[-3:])


def doc(name, entry):
    """The docstring of engine function ``name``: its arguments line, its
    help text, and how it is called."""
    if entry is None:
        head = "%s(...)\n\nAn engine function." % name
    else:
        arguments, text = entry
        head = "%s(%s)" % (name, arguments)
        if text:
            head += "\n\n" + textwrap.fill(text, 72)
        else:
            head += "\n\nAn engine function without a help text."
    return (
        head
        + "\n\n"
        + textwrap.fill(
            "Keywords: nout=1 (results asked for: 0 gives None, more a "
            "tuple), stdout=sys.stdout, stderr=sys.stderr (where its console "
            "text goes; None: not captured). %s.submit(...) starts the call "
            "and gives a CallFuture. Failures raise VeldraExecutionError." % name,
            72,
        )
    )


def own_attributes(obj):
    """The attributes ``dir`` lists for ``obj`` without engine functions."""
    base = getattr(object, "__dir__", None)
    if base is not None and sys.version_info[0] >= 3:
        return set(base(obj))
    names = set(dir(type(obj)))
    names.update(getattr(obj, "__dict__", ()))
    return names
