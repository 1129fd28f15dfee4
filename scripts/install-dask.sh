#!/usr/bin/env bash
# The "dask" extra of pyproject.toml, for the tests of veldra.dask: installed
# into .venv without reinstalling the package itself.
set -euo pipefail
cd "$(dirname "$0")/.."
requirement=$(.venv/bin/python - <<'PY'
import re
text = open("pyproject.toml", encoding="utf-8").read()
print(re.search(r'^dask = \["([^"]+)"\]', text, re.M).group(1))
PY
)
.venv/bin/python -m pip install -q --disable-pip-version-check "$requirement"
