#!/usr/bin/env bash
# One command on a fresh machine: installs the packages, builds everything and starts the console
# (a local Business Layer) on the example workbook. Arguments go to gridlet-console.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
exec bash scripts/run.sh "$@"
