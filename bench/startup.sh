#!/usr/bin/env bash
# Start-up time to a shown window, and resident memory once shown, of the real executable
# under Xvfb. Prints the median and worst of N starts (default 10).
# Usage: bench/startup.sh [BUILD_DIR] [N]        Needs: xvfb, xauth, x11-utils.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
runs=${2:-10}
work=$(mktemp -d)
trap '[[ -n ${KEEP:-} ]] || rm -rf "$work"' EXIT
mkdir -p "$work/app"
cp "$build/bin/talvo-hmi-tunnel" "$work/app/"
printf 'TV0412A100\nTV0412B200\nTV0519XA1\n' > "$work/app/snlist.dat"

xvfb-run -a -s "-screen 0 1100x520x24 -noreset" bash -s "$work/app/talvo-hmi-tunnel" "$runs" <<'INNER'
tool=$1; runs=$2; times=(); rss=()
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done  # server up
for i in $(seq 1 "$runs"); do
  start=$(date +%s%N)
  "$tool" TV0412A100 en & pid=$!
  until xwininfo -name "Talvo-HMI Tunnel" 2>/dev/null | grep -q IsViewable; do
    kill -0 $pid 2>/dev/null || { echo "tool exited"; exit 1; }
  done
  times+=($(( ($(date +%s%N) - start) / 1000000 )))
  sleep 0.5   # let the first paint and deferred work settle before reading memory
  rss+=($(awk '/VmRSS/{print $2}' /proc/$pid/status))
  kill $pid; wait $pid 2>/dev/null || true
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
msorted=($(printf '%s\n' "${rss[@]}" | sort -n))
echo "start to shown window: median ${sorted[$((runs/2))]} ms, worst ${sorted[$((runs-1))]} ms over $runs starts"
echo "resident memory when shown: median $(( ${msorted[$((runs/2))]} / 1024 )) MiB ($((${msorted[$((runs/2))]})) KiB)"
INNER
