#!/usr/bin/env bash
# The live demo in one command: installs the build tools when they are
# missing, builds the console bridge, the PLC simulator and xksq, and runs
# them together on loopback (tools/demo/run-demo.sh). Options go to the
# demo: --seconds N stops it after N seconds (default: Ctrl-C).
set -euo pipefail
cd "$(dirname "$0")"
tools/install-packages.sh cmake ninja-build g++
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXKS_GUI=OFF -DXKS_TESTS=OFF \
  -DXKS_BENCH=OFF >/dev/null
cmake --build build/demo --target qzvq_console plcsim xksq
exec tools/demo/run-demo.sh build/demo "$@"
