#!/usr/bin/env bash
# The main job: builds the provider and opens its line on COM1 of the
# prefix, here a pseudo-terminal, and shows the bytes it sends and its trace.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
exec build/release/tools/zqhost --pty --port COM1 --seconds "${ZQ_SECONDS:-5}"
