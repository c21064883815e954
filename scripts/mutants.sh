#!/usr/bin/env bash
# The fault-catching score of the unit tests: see scripts/mutants.py for what it does.
#   scripts/mutants.sh BUILD_DIR [--count N] [--seed S] [--subsystems rtp,rtcp,audio,codecs]
exec python3 "$(dirname "$0")/mutants.py" "$@"
