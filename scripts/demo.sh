#!/usr/bin/env bash
# The demo of `make run`: runs the front end on a sample built in the build folder.
set -euo pipefail
build=${1:-build}
"$build/bin/klarvik" --version 2>/dev/null || "$build/bin/klarvik"
