#!/usr/bin/env bash
# Benchmark of the preview web server against a peer (python3 -m http.server)
# serving the same folder: a 6 KB page with a variable tag and a 100 KB image,
# each driven by wrk -c 50 -d 10s. Prints one table; see bench/README.md.
#
# Our server runs twice: with the page parser's temporary copies where the
# program puts them (TMPDIR, else /tmp), and with them on a tmpfs, which
# shows what the file system costs (the image needs no copy: it is measured
# on the first only).
#
# Other builds of the benchmark driver can be measured in the same run, one
# after the other, each named: LABEL=PATH. ROUNDS (default 1) repeats the
# whole set, every other round in the opposite order; a summary gives each
# server's median.
#
#   bench/websrv/run.sh [SECONDS] [LABEL=DRIVER ...]     default: 10
#   ROUNDS=3 bench/websrv/run.sh 10 old=/path/to/bench_websrv
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../build-driver.sh" bench_websrv websrv
. "$(dirname "${BASH_SOURCE[0]}")/site.sh"
secs="${1:-10}"
shift || true
rounds="${ROUNDS:-1}"

labels=("this tree")
drivers=("$driver")
for arg in "$@"; do
  labels+=("${arg%%=*}")
  drivers+=("${arg#*=}")
done

work=$(mktemp -d /tmp/bench_websrv.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work" "${shmdir:-}"
}
trap cleanup EXIT

make_site "$work/www"
n=${#drivers[@]}
read -r -a ports < <(free_ports $((2 * n + 1)))
peer=${ports[$((2 * n))]}

tmp="${TMPDIR:-/tmp}"
mkdir -p /dev/shm/bench_websrv.$$ && shmdir=/dev/shm/bench_websrv.$$
# Server k: driver k / 2, copies in $tmp (even k) or in tmpfs (odd k).
spids=()
for ((k = 0; k < 2 * n; k++)); do
  d=${drivers[$((k / 2))]}
  if ((k % 2)); then
    TMPDIR="$shmdir" "$d" "$work/www" "${ports[$k]}" >"$work/s$k.out" 2>"$work/s$k.err" &
  else
    "$d" "$work/www" "${ports[$k]}" >"$work/s$k.out" 2>"$work/s$k.err" &
  fi
  spids+=("$!"); pids+=("$!")
done
"$python" -m http.server "$peer" --bind 127.0.0.1 --directory "$work/www" >/dev/null 2>&1 &
pids+=("$!")
for _ in $(seq 100); do
  up=1
  for ((k = 0; k < 2 * n; k++)); do grep -q '^port=' "$work/s$k.out" 2>/dev/null || up=0; done
  [ $up = 1 ] && curl -s -o /dev/null "http://127.0.0.1:$peer/" && break
  sleep 0.1
done

# All serve what they should before they are timed.
for ((k = 0; k < 2 * n; k++)); do
  grep -q '<title>Benchmark page</title>' <<<"$(curl -s "http://127.0.0.1:${ports[$k]}/page.html")" ||
    { echo "server $k (${labels[$((k / 2))]}): the page is not substituted" >&2; exit 1; }
  cmp -s <(curl -s "http://127.0.0.1:${ports[$k]}/image.png") "$work/www/image.png" ||
    { echo "server $k (${labels[$((k / 2))]}): the image differs" >&2; exit 1; }
done
cmp -s <(curl -s "http://127.0.0.1:$peer/image.png") "$work/www/image.png" || { echo "the peer's image differs" >&2; exit 1; }

name_of() {
  if [ "$1" = peer ]; then echo "$("$python" --version 2>&1) -m http.server"; return; fi
  local where="copies in $tmp ($(stat -f -c %T "$tmp"))"
  (($1 % 2)) && where="copies in tmpfs"
  if [ "$n" -gt 1 ]; then echo "${labels[$(($1 / 2))]}, $where"; else echo "ours, $where"; fi
}

# The measurements of one round: file and server.
plan=()
for ((k = 0; k < 2 * n; k++)); do plan+=("page.html $k"); done
plan+=("page.html peer")
for ((k = 0; k < 2 * n; k += 2)); do plan+=("image.png $k"); done
plan+=("image.png peer")

loads=()
rows=()
summary="$work/summary"
: >"$summary"
for ((round = 1; round <= rounds; round++)); do
  loads+=("$(cut -d' ' -f1-3 /proc/loadavg)")
  order=("${plan[@]}")
  if ((round % 2 == 0)); then
    order=()
    for ((i = ${#plan[@]} - 1; i >= 0; i--)); do order+=("${plan[$i]}"); done
  fi
  for entry in "${order[@]}"; do
    read -r file server <<<"$entry"
    if [ "$server" = peer ]; then port=$peer; pid=""; else port=${ports[$server]}; pid=${spids[$server]}; fi
    name=$(name_of "$server")
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
      line=$(grep '^loop_max_ms=' "$work/s$server.out" | tail -1)
      loop=$(sed -n 's/.*loop_max_ms=\([^ ]*\).*/\1/p' <<<"$line")
      handover=$(sed -n 's/.*handover_max_ms=\([^ ]*\).*/\1/p' <<<"$line")
    fi
    rows+=("| $round | $file | $name | ${rps:-?} | ${total:-?} | $(ms "${lat[0]:-0}") | $(ms "${p50:-0}") | $(ms "${p99:-0}") | $(ms "${lat[2]:-0}") | $etime | $econn / $eread / $ewrite | ${non2xx:-0} | $loop | $handover |")
    echo "$file|$name|${rps:-0}|$(ms "${lat[0]:-0}")" >>"$summary"
  done
done

echo "wrk -c 50 -d ${secs}s, $(wrk -v 2>&1 | head -1 | cut -d' ' -f1-2), $(nproc) cores, $rounds round(s), load average before each: ${loads[*]}"
for ((i = 0; i < n; i++)); do echo "${labels[$i]}: ${drivers[$i]}"; done
echo
echo "| round | file | server | requests/s | requests | latency avg (ms) | p50 (ms) | p99 (ms) | max (ms) | time-outs | connect / read / write errors | non-2xx | event loop late, max (ms) | hand-over, max (ms) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| file | server | requests/s, median | requests/s, each round | latency avg (ms), median |"
echo "|---|---|---|---|---|"
# Medians per file and server, in the order first measured.
awk -F'|' '
  !(($1 FS $2) in seen) { seen[$1 FS $2] = ++n; key[n] = $1 FS $2 }
  { k = $1 FS $2; c = ++cnt[k]; r[k, c] = $3; l[k, c] = $4 }
  function median(a, k, c,   i, j, t, v) {
    for (i = 1; i <= c; i++) v[i] = a[k, i] + 0
    for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
  }
  END {
    for (i = 1; i <= n; i++) {
      k = key[i]; split(k, f, FS); each = ""
      for (j = 1; j <= cnt[k]; j++) each = each (j > 1 ? " / " : "") sprintf("%.0f", r[k, j])
      printf "| %s | %s | %.0f | %s | %.2f |\n", f[1], f[2], median(r, k, cnt[k]), each, median(l, k, cnt[k])
    }
  }' "$summary"
