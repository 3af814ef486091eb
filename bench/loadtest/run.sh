#!/usr/bin/env bash
# Benchmark of the load tester's run engine against a peer (ab), both aimed
# at nginx on a free loopback port. Prints one table; see bench/README.md.
#
#   bench/loadtest/run.sh [N ...]     default: 100 1000 5000 <limit> 20000
#
# <limit> is the largest N the hard open-file limit allows (a margin is kept
# for the program's own descriptors); N = 20000 is run as well, to show how
# requests beyond the limit are reported.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../build-driver.sh" bench_loadtest loadtest

hard=$(ulimit -Hn)
ulimit -Sn "$hard"
limit=$(( hard - 200 ))
if [ "$limit" -gt 20000 ]; then limit=20000; fi
if [ $# -gt 0 ]; then sizes=("$@"); else sizes=(100 1000 5000 "$limit"); [ "$limit" -lt 20000 ] && sizes+=(20000); fi

work=$(mktemp -d /tmp/bench_loadtest.XXXXXX)
chmod 755 "$work"
cleanup() {
  if [ -f "$work/nginx.pid" ]; then kill "$(cat "$work/nginx.pid")" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# One server port per measurement, so that no round meets the TIME_WAIT
# connections of the one before it.
ports=($(python3 -c '
import socket
socks = [socket.socket() for _ in range(32)]
for s in socks: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))'))
listen=""
for p in "${ports[@]}"; do listen+="    listen 127.0.0.1:$p backlog=65535;"$'\n'; done
next=0
mkdir -p "$work/www" "$work/logs"
head -c 1024 /dev/zero | tr '\0' 'a' >"$work/www/1k.html"
head -c 102400 /dev/zero | tr '\0' 'b' >"$work/www/100k.html"
cat >"$work/nginx.conf" <<CONF
worker_processes 4;
worker_rlimit_nofile $hard;
pid $work/nginx.pid;
error_log $work/logs/error.log crit;
events { worker_connections 32768; }
http {
  access_log off;
  keepalive_timeout 0;
  sendfile on;
  client_body_temp_path $work/tmp_body;
  proxy_temp_path $work/tmp_proxy;
  fastcgi_temp_path $work/tmp_fcgi;
  uwsgi_temp_path $work/tmp_uwsgi;
  scgi_temp_path $work/tmp_scgi;
  server {
$listen    root $work/www;
  }
}
CONF
nginx -c "$work/nginx.conf" -p "$work"
for _ in $(seq 50); do [ -f "$work/nginx.pid" ] && break; sleep 0.1; done

# A short pause between rounds, so that one round's closing does not
# overlap the next one's start.
settle() { sleep 2; }

rows=()
for file in 1k.html 100k.html; do
  for n in "${sizes[@]}"; do
    url="http://127.0.0.1:${ports[$next]}/$file"; next=$((next + 1))
    settle
    out=$("$driver" run "$url" "$n" 2>/dev/null || true)
    nostep=$("$driver" run-nostep "http://127.0.0.1:${ports[$next]}/$file" "$n" 2>/dev/null | grep '^tool=engine' || true)
    next=$((next + 1))
    cpu_nostep=$(sed -n "s/.* cpu_per_1000=\([^ ]*\).*/\1/p" <<<"$nostep")
    line=$(grep '^tool=engine' <<<"$out" || echo "tool=engine users=$n hung=1")
    get() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$line"; }
    reasons=$(grep '^reason ' <<<"$out" | sed 's/^reason count=\([0-9]*\) text=/\1x /; s/_/ /g' | paste -sd ';' - || true)
    rows+=("| $file | $n | engine | $(get wall_ms) | $(get start_loop_ms) | $(get cpu_per_1000) (${cpu_nostep:-?} without the 1 ms steps) | $(( $(get peak_rss_kb) / 1024 )) MB ($(get kb_per_user) KB/user) | $(get errors)${reasons:+ ($reasons)} | $(get median_ms) | $(get p95_ms) |")

    settle
    abn=$n; [ "$abn" -gt 20000 ] && abn=20000
    url="http://127.0.0.1:${ports[$next]}/$file"; next=$((next + 1))
    about=$(/usr/bin/time -f 'TIME %e %U %S %M' ab -q -r -s 60 -n "$abn" -c "$abn" "$url" 2>&1 || true)
    t=$(sed -n 's/^TIME //p' <<<"$about")
    wall=$(awk '{printf "%.0f", $1*1000}' <<<"$t")
    cpu=$(awk -v n="$abn" '{printf "%.3f", ($2+$3)/n*1000}' <<<"$t")
    rss=$(awk '{printf "%d", $4/1024}' <<<"$t")
    failed=$(sed -n 's/^Failed requests: *\([0-9]*\).*/\1/p' <<<"$about"); failed=${failed:-all}
    nonok=$(sed -n 's/^Non-2xx responses: *\([0-9]*\).*/\1/p' <<<"$about")
    med=$(sed -n 's/^ *50% *\([0-9]*\).*/\1/p' <<<"$about")
    p95=$(sed -n 's/^ *95% *\([0-9]*\).*/\1/p' <<<"$about")
    rows+=("| $file | $n | ab | $wall | - | $cpu | $rss MB | $failed${nonok:+ (+$nonok non-2xx)} | ${med:--} | ${p95:--} |")
  done
done

echo "Open-file limit: hard $hard; largest N run without overflow: $limit"
echo
echo "| file | N | tool | wall of the run (ms) | start loop (ms) | CPU s / 1000 req | peak memory | errors | median (ms) | 95th pct (ms) |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| chart points | repaint (ms) |"
echo "|---|---|"
"$driver" paint 2>/dev/null | sed -n 's/^tool=chart points=\([0-9]*\) paint_ms=\(.*\)/| \1 | \2 |/p'
