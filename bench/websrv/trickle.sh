#!/usr/bin/env bash
# The preview web server with clients that trickle their requests, before
# and after: main's server (built from the commit this branch started from,
# or a ref given) and this tree's, side by side in one run. For each:
# wrk -c 50 alone; 300 trickling clients with a probe (one normal request
# at a time); and both together. Then, with the probe's worst wait beside
# each: clients that never close after their answer (a burst, and a steady
# rate), silent clients kept past their 60 s time-out, and the trickling
# clients run past it (about 90 s). Then, each on a server process of its
# own, with the probe's worst wait beside each: bursts of downloads that
# their clients never read beside one idle connection thread, and small
# limits of open files (a stuck download, and wrk -c 20). Prints three
# tables; see bench/README.md. The second takes about ten minutes, the
# third about four.
#
#   bench/websrv/trickle.sh [SECONDS] [BEFORE-REF]     default: 10, merge-base with main
#   TABLES="first long fresh" (default: all three) picks the tables to measure.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../build-driver.sh" bench_websrv websrv
. "$(dirname "${BASH_SOURCE[0]}")/site.sh"
secs="${1:-10}"
tables="${TABLES:-first long fresh}"
clients=300
every=2000   # ms between two bytes of one trickling client
after_driver="$driver"
cmake --build "$build" --target bench_trickle -j4 >/dev/null
trickle="$build/bench/websrv/bench_trickle"

# The "before" server from its own copy of the sources, rebuilt only when
# the ref moves.
before_ref=$(git -C "$root" rev-parse "${2:-$(git -C "$root" merge-base HEAD main)}")
before_src="$root/build/bench-before-src"
before_build="$root/build/bench-before"
if [ "$(cat "$before_src/.ref" 2>/dev/null)" != "$before_ref" ]; then
  rm -rf "$before_src"
  mkdir -p "$before_src"
  git -C "$root" archive "$before_ref" | tar -x -C "$before_src"
  echo "$before_ref" >"$before_src/.ref"
fi
cmake -S "$before_src" -B "$before_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$before_build" --target bench_websrv -j4 >/dev/null
before_driver="$before_build/bench/websrv/bench_websrv"

work=$(mktemp -d /tmp/bench_trickle.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

make_site "$work/www"
read -r port_before port_after < <(free_ports 2)

"$before_driver" "$work/www" "$port_before" >"$work/before.out" 2>"$work/before.err" &
pid_before=$!; pids+=("$pid_before")
"$after_driver" "$work/www" "$port_after" >"$work/after.out" 2>"$work/after.err" &
pid_after=$!; pids+=("$pid_after")
for _ in $(seq 100); do
  grep -q '^port=' "$work/before.out" 2>/dev/null && grep -q '^port=' "$work/after.out" 2>/dev/null && break
  sleep 0.1
done
for port in "$port_before" "$port_after"; do
  grep -q '<title>Benchmark page</title>' <<<"$(curl -s "http://127.0.0.1:$port/page.html")" ||
    { echo "the server on $port does not serve the page" >&2; exit 1; }
done

field() { sed -n "s/.*$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

# Highest thread count and resident memory of a process, sampled every
# 200 ms until the file $2 exists.
sample() {
  local pid=$1 stop=$2 t=0 m=0 v
  while [ ! -e "$stop" ]; do
    v=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0); [ "${v:-0}" -gt "$t" ] && t=$v
    v=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0); [ "${v:-0}" -gt "$m" ] && m=$v
    sleep 0.2
  done
  echo "$t $((m / 1024))"
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
for server in before after; do
  [[ " $tables " == *" first "* ]] || break
  pid_var=pid_$server; pid=${!pid_var}
  port_var=port_$server; port=${!port_var}
  for mode in wrk trickle both; do
    rm -f "$work/stop"
    sample "$pid" "$work/stop" >"$work/sample" &
    sampler=$!
    kill -USR1 "$pid"
    wrk_out=""; probe=""
    if [ "$mode" != wrk ]; then
      "$trickle" "$port" "trickle:$clients:$every" "$secs" /page.html >"$work/trickle.out" 2>"$work/trickle.err" &
      tpid=$!; pids+=("$tpid")
      for _ in $(seq 600); do grep -q '^ready' "$work/trickle.out" && break; sleep 0.1; done
    fi
    if [ "$mode" != trickle ]; then
      wrk_out=$(wrk -c 50 -d "${secs}s" --latency "http://127.0.0.1:$port/page.html" 2>&1 || true)
    fi
    if [ "$mode" != wrk ]; then
      wait "$tpid" || true
      probe=$(grep '^probes=' "$work/trickle.out" || echo "probes=?")
    fi
    kill -USR1 "$pid"; sleep 0.5
    touch "$work/stop"; wait "$sampler"
    read -r threads mem <"$work/sample"
    loop=$(field loop_max_ms "$(grep '^loop_max_ms=' "$work/$server.out" | tail -1)")

    rps="-"; p50="-"; p99="-"; total="-"; etime="-"; errs="-"
    if [ -n "$wrk_out" ]; then
      rps=$(sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' <<<"$wrk_out")
      total=$(sed -n 's/^ *\([0-9]*\) requests in.*/\1/p' <<<"$wrk_out")
      p50=$(ms "$(sed -n 's/^ *50% *\([^ ]*\).*/\1/p' <<<"$wrk_out")")
      p99=$(ms "$(sed -n 's/^ *99% *\([^ ]*\).*/\1/p' <<<"$wrk_out")")
      e=$(sed -n 's/^ *Socket errors: connect \([0-9]*\), read \([0-9]*\), write \([0-9]*\), timeout \([0-9]*\).*/\1 \2 \3 \4/p' <<<"$wrk_out")
      read -r econn eread ewrite etime <<<"${e:-0 0 0 0}"
      errs="$econn / $eread / $ewrite"
      [ -n "$rps" ] || rps="0"
    fi
    pok="-"; pp50="-"; pmax="-"; ended="-"
    if [ -n "$probe" ]; then
      pok="$(field ok "$probe") of $(field probes "$probe") ($(field timeouts "$probe") timed out)"
      pp50=$(field p50_ms "$probe"); pmax=$(field max_ms "$probe")
      ended="$(field ended "$probe") ($(field answered "$probe") answered)"
    fi
    case $mode in
      wrk) what="wrk -c 50" ;;
      trickle) what="$clients trickling + probe" ;;
      both) what="wrk -c 50 + $clients trickling + probe" ;;
    esac
    rows+=("| $server | $what | $rps | $total | $p50 | $p99 | $etime | $errs | $pok | $pp50 | $pmax | $ended | $threads | $mem | $loop |")
    sleep 2  # what the last scenario left behind ends
  done
done

# Clients that hold connections past their answer or past their time-out:
# scenario for bench_trickle, its seconds, and what it is.
long_scenarios=(
  "burst:320|25|320 clients never closing after their answer, all at once"
  "rate:25|20|clients never closing after their answer, 25 a second"
  "silent:512|75|512 silent clients, past their 60 s time-out"
  "trickle:300:$every|90|300 trickling clients, past their 60 s time-out"
  "trickle-keep:300:$every|90|300 trickling clients past their time-out, the ended connections kept open"
)
long_rows=()
for server in before after; do
  [[ " $tables " == *" long "* ]] || break
  pid_var=pid_$server; pid=${!pid_var}
  port_var=port_$server; port=${!port_var}
  for entry in "${long_scenarios[@]}"; do
    IFS='|' read -r scenario seconds what <<<"$entry"
    rm -f "$work/stop"
    sample "$pid" "$work/stop" >"$work/sample" &
    sampler=$!
    "$trickle" "$port" "$scenario" "$seconds" /page.html >"$work/long.out" 2>"$work/long.err" || true
    probe=$(grep '^probes=' "$work/long.out" || echo "probes=?")
    touch "$work/stop"; wait "$sampler"
    read -r threads mem <"$work/sample"
    pok="$(field ok "$probe") of $(field probes "$probe") ($(field timeouts "$probe") timed out, $(field failed "$probe") failed)"
    long_rows+=("| $server | $what | $pok | $(field p50_ms "$probe") | $(field max_ms "$probe") | $(field ended "$probe") ($(field answered "$probe") answered) | $threads | $mem |")
    sleep 5  # what the scenario left behind ends
  done
done

# Each on a fresh server process, so that its connection threads are made
# as the scenario's clients come: label, soft limit of open files ("-": the
# script's own), bench_trickle scenario, its seconds, and wrk's connections
# beside it (0: none).
fresh_scenarios=(
  "2 downloads never read, beside one idle thread|-|stuck:2|15|0"
  "5 downloads never read, beside one idle thread|-|stuck:5|15|0"
  "20 downloads never read, beside one idle thread|-|stuck:20|15|0"
  "open-file limit 64: 1 download never read|64|stuck:1|15|0"
  "open-file limit 64: wrk -c 20|64|probe|$secs|20"
  "open-file limit 128: 1 download never read|128|stuck:1|15|0"
  "open-file limit 128: wrk -c 20|128|probe|$secs|20"
)
truncate -s 64M "$work/www/big.bin"
# Starts driver $1 on port $2 under soft limit $3; sets fresh_pid.
fresh() {
  if [ "$3" = - ]; then
    "$1" "$work/www" "$2" >"$work/fresh.out" 2>"$work/fresh.err" &
  else
    (ulimit -Sn "$3" && exec "$1" "$work/www" "$2") >"$work/fresh.out" 2>"$work/fresh.err" &
  fi
  fresh_pid=$!; pids+=("$fresh_pid")
  for _ in $(seq 100); do grep -q '^port=' "$work/fresh.out" 2>/dev/null && break; sleep 0.1; done
}
fresh_rows=()
for server in before after; do
  [[ " $tables " == *" fresh "* ]] || break
  driver_var=${server}_driver; drv=${!driver_var}
  for entry in "${fresh_scenarios[@]}"; do
    IFS='|' read -r what limit scenario seconds conns <<<"$entry"
    read -r port < <(free_ports 1)
    fresh "$drv" "$port" "$limit"
    rm -f "$work/stop"
    sample "$fresh_pid" "$work/stop" >"$work/sample" &
    sampler=$!
    "$trickle" "$port" "$scenario" "$seconds" /page.html >"$work/fresh-probe.out" 2>"$work/fresh-probe.err" &
    tpid=$!; pids+=("$tpid")
    rps="-"; total="-"; errs="-"; unanswered="-"
    if [ "$conns" -gt 0 ]; then
      for _ in $(seq 600); do grep -q '^ready' "$work/fresh-probe.out" && break; sleep 0.1; done
      wrk_out=$(wrk -c "$conns" -t 2 -d "${seconds}s" "http://127.0.0.1:$port/page.html" 2>&1 || true)
      rps=$(sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p' <<<"$wrk_out")
      total=$(sed -n 's/^ *\([0-9]*\) requests in.*/\1/p' <<<"$wrk_out")
      e=$(sed -n 's/^ *Socket errors: connect \([0-9]*\), read \([0-9]*\), write \([0-9]*\), timeout \([0-9]*\).*/\1 \2 \3 \4/p' <<<"$wrk_out")
      read -r econn eread ewrite etime <<<"${e:-0 0 0 0}"
      errs="$econn / $eread / $ewrite / $etime"
      # Every answer ends at the close, which wrk counts as a read error.
      unanswered=$((econn + eread + ewrite - ${total:-0}))
    fi
    wait "$tpid" || true
    probe=$(grep '^probes=' "$work/fresh-probe.out" || echo "probes=?")
    touch "$work/stop"; wait "$sampler"
    read -r threads mem <"$work/sample"
    kill "$fresh_pid" 2>/dev/null || true; wait "$fresh_pid" 2>/dev/null || true
    pok="$(field ok "$probe") of $(field probes "$probe") ($(field timeouts "$probe") timed out, $(field failed "$probe") failed)"
    fresh_rows+=("| $server | $what | $rps | $total | $errs | $unanswered | $pok | $(field p50_ms "$probe") | $(field max_ms "$probe") | $threads |")
    sleep 2
  done
done

echo "before: $before_ref; after: the working tree ($(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD || echo ', modified'))"
echo "${secs} s a scenario, trickling clients send a byte every ${every} ms, $(wrk -v 2>&1 | head -1 | cut -d' ' -f1-2), $(nproc) cores, open files $(ulimit -n), load average before: $load"
echo
echo "| server | load | wrk requests/s | wrk requests | wrk p50 (ms) | wrk p99 (ms) | wrk time-outs | wrk connect / read / write errors | probes answered | probe p50 (ms) | probe max (ms) | trickling connections ended by the server | server threads, max | server memory, max (MB) | event loop late, max (ms) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| server | clients | probes answered | probe p50 (ms) | probe worst wait (ms) | their connections ended by the server | server threads, max | server memory, max (MB) |"
echo "|---|---|---|---|---|---|---|---|"
printf '%s\n' "${long_rows[@]}"
echo
echo "| server | scenario | wrk requests/s | wrk requests | wrk connect / read / write errors / time-outs | connections ended without an answer | probes answered | probe p50 (ms) | probe worst wait (ms) | server threads, max |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${fresh_rows[@]}"
