#!/usr/bin/env bash
set -euo pipefail
echo "The programming run against the simulator is not built yet." >&2
exit 1
