#!/usr/bin/env bash
# One programming run, start to end, on a machine without a programmer: builds the project,
# starts the programmer simulator on a pseudo-terminal, maps COM3 to it beside a copy of the
# tester, runs `ZqCmdLin -COM=3 -DOPROGA`, then shows the report file and the log file's name.
# Then a gang of four sockets: four simulated programmers (one of them failing), one `zq-gang`.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v g++ >/dev/null; then
  scripts/install-deps.sh
fi

cmake --preset default >/dev/null
cmake --build --preset default --target ZqCmdLin zq-gang zq-programmer-sim

build=build/default
run_dir=$(mktemp -d "${TMPDIR:-/tmp}/zq-demo-XXXXXX")
cp "$build/tester/ZqCmdLin" "$build/gang/zq-gang" "$run_dir/"

# The simulator answers like a programmer at work: a short pause before every packet.
"$build/tools/zq-programmer-sim" --link "$run_dir" --com 3 --delay 40 --fill >"$run_dir/sim.out" &
sim_pid=$!
sim_pids=("$sim_pid")
trap 'kill "${sim_pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true' EXIT
wait_ready() {
  until grep -q READY "$1" 2>/dev/null; do
    kill -0 "$2" 2>/dev/null || { echo "the simulator did not start" >&2; exit 1; }
    sleep 0.05
  done
}
wait_ready "$run_dir/sim.out" "$sim_pid"
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

echo
echo "==== a gang of four sockets: COM5 to COM8, the programmer on COM7 fails with error 0x86"
for port in 5 6 7 8; do
  options=(--link "$run_dir" --com "$port" --delay 40 --fill)
  if [ "$port" = 7 ]; then options+=(--status 86); fi
  "$build/tools/zq-programmer-sim" "${options[@]}" >"$run_dir/sim$port.out" &
  sim_pids+=("$!")
  wait_ready "$run_dir/sim$port.out" "$!"
done
echo "running: zq-gang -COM=5-8 -DOPROGA --junit gang.xml --json gang.json   (in $run_dir)"
status=0
(cd "$run_dir" && ./zq-gang -COM=5-8 -DOPROGA --junit gang.xml --json gang.json) || status=$?
echo "exit status: $status (0: every port OK, 1: some port NG)"
echo "JUnit XML: $run_dir/gang.xml, JSON: $run_dir/gang.json"
