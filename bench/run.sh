#!/usr/bin/env bash
# The relay benchmark: vsp and socat measured side by side in one run, inside a private
# network namespace (loopback only), because vsp pings and broadcasts a module search when
# its window is shown. Arguments go to bench.py (--help lists them).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../scripts/private-netns" /usr/bin/python3 "$here/bench.py" "$@"
