#!/usr/bin/env bash
# One programming run, start to end, on a machine without a programmer: builds the project,
# starts the programmer simulator on a pseudo-terminal, maps COM3 to it beside a copy of the
# tester, runs `ZqCmdLin -COM=3 -DOPROGA`, then shows the report file and the log file's name.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v g++ >/dev/null; then
  scripts/install-deps.sh
fi

cmake --preset default >/dev/null
cmake --build --preset default --target ZqCmdLin zq-programmer-sim

build=build/default
run_dir=$(mktemp -d "${TMPDIR:-/tmp}/zq-demo-XXXXXX")
cp "$build/tester/ZqCmdLin" "$run_dir/"

# The simulator answers like a programmer at work: a short pause before every packet.
"$build/tools/zq-programmer-sim" --link "$run_dir" --com 3 --delay 40 --fill >"$run_dir/sim.out" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
until grep -q READY "$run_dir/sim.out" 2>/dev/null; do
  kill -0 "$sim_pid" 2>/dev/null || { echo "the simulator did not start" >&2; exit 1; }
  sleep 0.05
done
echo "programmer simulator on $(sed -n 's/^PTY //p' "$run_dir/sim.out"), mapped as $run_dir/dosdevices/com3"

echo "running: ZqCmdLin -COM=3 -DOPROGA   (in $run_dir)"
(cd "$run_dir" && ./ZqCmdLin -COM=3 -DOPROGA)
echo "exit status: $?"
echo
echo "==== report file $run_dir/RptZq_COM3.Txt"
tr -d '\r' <"$run_dir/RptZq_COM3.Txt"
echo
echo "==== log file"
ls "$run_dir/LogFileS/"
