#!/usr/bin/env bash
# The relay benchmark: vsp, the bare relay and socat measured side by side in one run,
# inside a private network namespace (loopback only), because vsp pings and broadcasts a
# module search when its window is shown. Builds vsp first (in build/, as scripts/test
# does). Arguments go to bench.py (--help lists them); with --soak first, to the link soak
# soak.py instead; with --idle first, to idle.py (idle CPU while nothing can move); with
# --preload first, to preload_cost.py (what vsp-run costs a program).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps" bench
if [ ! -f "$root/build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$root/build" --target vsp -j"$(nproc)" >/dev/null
script=bench.py
case "${1:-}" in
  --soak) script=soak.py; shift ;;
  --idle) script=idle.py; shift ;;
  --preload) script=preload_cost.py; shift
    cmake --build "$root/build" --target vspport -j"$(nproc)" >/dev/null ;;
esac
exec "$root/scripts/private-netns" /usr/bin/python3 "$root/bench/$script" "$@"
