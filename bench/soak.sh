#!/usr/bin/env bash
# The link soak (bench/soak.py --help), built and run as bench/run.sh does.
exec "$(dirname "$0")/run.sh" --soak "$@"
