import gettext
import os
import subprocess
import sys

import pytest


@pytest.fixture(scope="session")
def native():
    import veldra.engine
    return veldra.engine._native


@pytest.fixture(scope="session")
def locale_dir(native):
    return os.path.join(os.path.dirname(native.__file__), "locale")


@pytest.fixture(scope="session")
def catalog_text(locale_dir):
    """The text of a key as gettext reads it from the installed catalogs."""
    def text(catalog, key, language="en"):
        domain = catalog.replace(":", "_")
        t = gettext.translation(domain, locale_dir, languages=[language])
        value = t.gettext(key)
        assert value != key, "no text for %s in %s/%s" % (key, language, domain)
        return value
    return text


def run_python(code, env=None, cwd=None):
    """Runs code in a fresh interpreter; returns the completed process."""
    full_env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_MESSAGES", "LANG")}
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], env=full_env, cwd=cwd,
                          capture_output=True, text=True, timeout=120)
