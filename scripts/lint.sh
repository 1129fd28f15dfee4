#!/usr/bin/env bash
# Static checks: mypy --strict on the examples (through the package's stubs
# and py.typed, as a user's type checker sees the package), and ruff's lint
# rules (pyproject.toml) on the Python sources.  Installs both into .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

.venv/bin/python -m pip install -q --disable-pip-version-check "mypy>=1.8" "ruff>=0.4"
# Checked against the installed package (bootstrap.sh installs it).
(cd examples && ../.venv/bin/python -m mypy --strict --no-incremental .)
.venv/bin/python -m ruff check python tests examples bench scripts

# Formatting is checked once the tree has been formatted in one go:
# .venv/bin/python -m ruff format --check python tests examples bench scripts
# .venv/bin/python -m pip install -q --disable-pip-version-check clang-format
# git ls-files '*.cpp' '*.hpp' | xargs .venv/bin/clang-format --dry-run --Werror
