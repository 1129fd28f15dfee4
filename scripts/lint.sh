#!/usr/bin/env bash
# Static checks: mypy --strict on the examples (through the package's stubs
# and py.typed, as a user's type checker sees the package), ruff's lint
# rules (pyproject.toml) on the Python sources, and the formatting of the
# Python and C++ sources.  Installs the tools into .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

.venv/bin/python -m pip install -q --disable-pip-version-check "mypy>=1.8" "ruff>=0.4"
# Checked against the installed package (bootstrap.sh installs it).
(cd examples && ../.venv/bin/python -m mypy --strict --no-incremental .)
.venv/bin/python -m ruff check python tests examples bench scripts

# The layout of both languages (pyproject.toml's ruff settings,
# .clang-format); the generated case tables keep the generator's layout.
.venv/bin/python -m ruff format --check python tests examples bench scripts
.venv/bin/python -m pip install -q --disable-pip-version-check clang-format
git ls-files '*.cpp' '*.hpp' | grep -v '^server/numerics/case_tables.cpp$' |
  xargs .venv/bin/clang-format --dry-run --Werror
