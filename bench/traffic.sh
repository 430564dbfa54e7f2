#!/usr/bin/env bash
# What the traffic monitor costs the master: the capture of one frame (ring
# and statistics together), under contention too, and one getTraffic page.
# The goal is at most 2 us per captured frame.
#
#   bench/traffic.sh [BUILD_DIR] [FRAMES]     (defaults: build, 1000000)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
frames=${2:-1000000}

cmake --build "$build" --target brio_modbus >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
c++ -O2 -std=c++17 -fPIC -Wall -Wextra "$root/bench/trafficcapture.cpp" -I"$root/src/modbus" \
  $(pkg-config --cflags Qt5Core) "$build/src/modbus/libbrio_modbus.a" $(pkg-config --libs Qt5Core) -lpthread \
  -o "$work/trafficcapture"
"$work/trafficcapture" "$frames"
