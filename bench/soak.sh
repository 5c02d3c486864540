#!/usr/bin/env bash
# The link soak (bench/soak.py --help): builds vsp (in build/, as scripts/test does) and runs
# the soak inside a private network namespace, loopback only. Arguments go to soak.py.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps" bench
if [ ! -f "$root/build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$root/build" --target vsp -j"$(nproc)" >/dev/null
exec "$root/scripts/private-netns" /usr/bin/python3 "$root/bench/soak.py" "$@"
