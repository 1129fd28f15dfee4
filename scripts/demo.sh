#!/usr/bin/env bash
# Builds and installs everything (see bootstrap.sh), then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
.venv/bin/python examples/quickstart.py
