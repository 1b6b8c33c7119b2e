#!/usr/bin/env bash
# Start-up time to a shown window, and resident memory once shown, of the real executable
# under Xvfb, beside a bare Qt window of the same size started the same way (most of a Qt
# program's start is Qt's own: xcb, fontconfig). Prints a table of the medians.
# Usage: bench/startup.sh [BUILD_DIR] [N]        Needs: xvfb, xauth, x11-utils.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
runs=${2:-10}
work=$(mktemp -d)
trap '[[ -n ${KEEP:-} ]] || rm -rf "$work"' EXIT
mkdir -p "$work/app" && install -d -m 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run
cp "$build/bin/talvo-hmi-tunnel" "$build/bin/bare_window" "$work/app/"
printf 'TV0412A100\nTV0412B200\nTV0519XA1\n' > "$work/app/snlist.dat"

xvfb-run -a -s "-screen 0 1100x520x24 -noreset" bash -s "$work/app" "$runs" <<'INNER'
dir=$1; runs=$2
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done  # server up
# measure TITLE COMMAND...: prints "median_ms median_rss_kib"
measure() {
  local title=$1; shift; local times=() rss=()
  for _ in $(seq 1 "$runs"); do
    local start=$(date +%s%N)
    "$@" & local pid=$!
    until xwininfo -name "$title" 2>/dev/null | grep -q IsViewable; do
      kill -0 $pid 2>/dev/null || { echo "$1 exited" >&2; exit 1; }
    done
    times+=($(( ($(date +%s%N) - start) / 1000000 )))
    sleep 0.5   # let the first paint and deferred work settle before reading memory
    rss+=($(awk '/VmRSS/{print $2}' /proc/$pid/status))
    kill $pid; wait $pid 2>/dev/null || true
  done
  echo "$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$((runs/2+1))p") $(printf '%s\n' "${rss[@]}" | sort -n | sed -n "$((runs/2+1))p")"
}
read -r bare_ms bare_kib < <(measure "Bare Qt window" "$dir/bare_window")
read -r tool_ms tool_kib < <(measure "Talvo-HMI Tunnel" "$dir/talvo-hmi-tunnel" TV0412A100 en)
# The tool added 6 ms and 9 MiB to the bare window when it was first measured; more than
# 60 ms or 16 MiB is a regression worth a look.
awk -v bm="$bare_ms" -v bk="$bare_kib" -v tm="$tool_ms" -v tk="$tool_kib" -v n="$runs" 'BEGIN {
  printf "| figure | tool | bare Qt window | ratio | target | met |\n|---|---|---|---|---|---|\n"
  printf "| start to shown window, median of %d, ms | %d | %d | %.2f | <= bare + 60 | %s |\n", n, tm, bm, tm / bm, (tm <= bm + 60) ? "yes" : "no"
  printf "| resident memory when shown, MiB | %.1f | %.1f | %.2f | <= bare + 16 | %s |\n", tk / 1024, bk / 1024, tk / bk, (tk <= bk + 16 * 1024) ? "yes" : "no"
}'
INNER
