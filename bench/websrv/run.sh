#!/usr/bin/env bash
# Benchmark of the preview web server against a peer (python3 -m http.server)
# serving the same folder: a 6 KB page with a variable tag and a 100 KB image,
# each driven by wrk -c 50 -d 10s. Prints one table; see bench/README.md.
#
# Our server runs twice: with the page parser's temporary copies where the
# program puts them (TMPDIR, else /tmp), and with them on a tmpfs, which
# shows what the file system costs.
#
#   bench/websrv/run.sh [SECONDS]     default: 10
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../build-driver.sh" bench_websrv websrv
. "$(dirname "${BASH_SOURCE[0]}")/site.sh"
secs="${1:-10}"

work=$(mktemp -d /tmp/bench_websrv.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work" "${shmdir:-}"
}
trap cleanup EXIT

make_site "$work/www"
read -r ours shm peer < <(free_ports 3)

tmp="${TMPDIR:-/tmp}"
mkdir -p /dev/shm/bench_websrv.$$ && shmdir=/dev/shm/bench_websrv.$$
"$driver" "$work/www" "$ours" >"$work/ours.out" 2>"$work/ours.err" &
pid_ours=$!; pids+=("$pid_ours")
TMPDIR="$shmdir" "$driver" "$work/www" "$shm" >"$work/shm.out" 2>"$work/shm.err" &
pid_shm=$!; pids+=("$pid_shm")
"$python" -m http.server "$peer" --bind 127.0.0.1 --directory "$work/www" >/dev/null 2>&1 &
pids+=("$!")
for _ in $(seq 100); do
  grep -q '^port=' "$work/ours.out" 2>/dev/null && grep -q '^port=' "$work/shm.out" 2>/dev/null &&
    curl -s -o /dev/null "http://127.0.0.1:$peer/" && break
  sleep 0.1
done

# Both serve what they should before they are timed.
grep -q '<title>Benchmark page</title>' <<<"$(curl -s "http://127.0.0.1:$ours/page.html")" || { echo "our page is not substituted" >&2; exit 1; }
cmp -s <(curl -s "http://127.0.0.1:$ours/image.png") "$work/www/image.png" || { echo "our image differs" >&2; exit 1; }
cmp -s <(curl -s "http://127.0.0.1:$peer/image.png") "$work/www/image.png" || { echo "the peer's image differs" >&2; exit 1; }

load=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
for file in page.html image.png; do
  for server in ours shm peer; do
    port=${!server}
    case $server in
      ours) pid=$pid_ours; name="ours, copies in $tmp ($(stat -f -c %T "$tmp"))" ;;
      shm) pid=$pid_shm; name="ours, copies in tmpfs" ;;
      peer) pid=""; name="$("$python" --version 2>&1) -m http.server" ;;
    esac
    [ -n "$pid" ] && kill -USR1 "$pid"
    sleep 2
    out=$(wrk -c 50 -d "${secs}s" --latency "http://127.0.0.1:$port/$file" 2>&1 || true)
    rps=$(sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' <<<"$out")
    lat=($(sed -n 's/^ *Latency *\([^ ]*\) *\([^ ]*\) *\([^ ]*\).*/\1 \2 \3/p' <<<"$out"))
    p50=$(sed -n 's/^ *50% *\([^ ]*\).*/\1/p' <<<"$out")
    p99=$(sed -n 's/^ *99% *\([^ ]*\).*/\1/p' <<<"$out")
    total=$(sed -n 's/^ *\([0-9]*\) requests in.*/\1/p' <<<"$out")
    errs=$(sed -n 's/^ *Socket errors: connect \([0-9]*\), read \([0-9]*\), write \([0-9]*\), timeout \([0-9]*\).*/\1 \2 \3 \4/p' <<<"$out")
    read -r econn eread ewrite etime <<<"${errs:-0 0 0 0}"
    non2xx=$(sed -n 's/^ *Non-2xx or 3xx responses: *\([0-9]*\).*/\1/p' <<<"$out")
    loop="-"; handover="-"
    if [ -n "$pid" ]; then
      kill -USR1 "$pid"; sleep 0.5
      line=$(grep '^loop_max_ms=' "$work/$server.out" | tail -1)
      loop=$(sed -n 's/.*loop_max_ms=\([^ ]*\).*/\1/p' <<<"$line")
      handover=$(sed -n 's/.*handover_max_ms=\([^ ]*\).*/\1/p' <<<"$line")
    fi
    rows+=("| $file | $name | ${rps:-?} | ${total:-?} | $(ms "${lat[0]:-0}") | $(ms "${p50:-0}") | $(ms "${p99:-0}") | $(ms "${lat[2]:-0}") | $etime | $econn / $eread / $ewrite | ${non2xx:-0} | $loop | $handover |")
  done
done

echo "wrk -c 50 -d ${secs}s, $(wrk -v 2>&1 | head -1 | cut -d' ' -f1-2), $(nproc) cores, load average before: $load"
echo
echo "| file | server | requests/s | requests | latency avg (ms) | p50 (ms) | p99 (ms) | max (ms) | time-outs | connect / read / write errors | non-2xx | event loop late, max (ms) | hand-over, max (ms) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
