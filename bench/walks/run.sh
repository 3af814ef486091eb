#!/usr/bin/env bash
# Benchmark of the upload walk against a peer (lftp's "mirror -R"): both
# upload the same trees to the same vsftpd, started here on a free loopback
# port. Prints one table; see bench/README.md.
#
#   bench/walks/run.sh [REPEATS]     default 3; the table shows medians
#
# Rounds: 1,000 small files in 20 folders plus one 10 MB file, sent to a
# fresh remote folder; the same again with nothing changed; 10,000 small
# files in 100 folders, sent once (shown too) and then with nothing changed.
# Needs root: vsftpd serves anonymous users only from a chroot.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../build-driver.sh" bench_upload walks
repeats=${1:-3}

work=$(mktemp -d /tmp/bench_upload.XXXXXX)
chmod 755 "$work"
vsftpd_pid=""
cleanup() {
  if [ -n "$vsftpd_pid" ]; then kill "$vsftpd_pid" 2>/dev/null || true; wait "$vsftpd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- the trees --------------------------------------------------------------
python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rnd = random.Random(14)
def tree(top, folders, per):
    for d in range(folders):
        path = os.path.join(top, "dir%02d" % d)
        os.makedirs(path)
        for i in range(per):
            ext = ".html" if i % 4 == 0 else ".txt"
            with open(os.path.join(path, "file%03d%s" % (i, ext)), "wb") as f:
                f.write(bytes(rnd.getrandbits(8) for _ in range(rnd.randint(500, 4000))))
tree(os.path.join(work, "tree1k"), 20, 50)
with open(os.path.join(work, "tree1k", "big.bin"), "wb") as f:
    f.write(os.urandom(10 * 1024 * 1024))
tree(os.path.join(work, "tree10k"), 100, 100)
PY

# ---- vsftpd -----------------------------------------------------------------
anon="$work/root"
mkdir -p "$anon/pub" "$work/empty" "$work/home"
chmod 755 "$anon"
chown ftp:ftp "$anon/pub"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
anon_world_readable_only=NO
no_anon_password=NO
ftp_username=ftp
anon_root=$anon
secure_chroot_dir=$work/empty
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
pasv_enable=YES
connect_from_port_20=NO
xferlog_enable=NO
syslog_enable=NO
dirmessage_enable=NO
max_clients=0
max_per_ip=0
CONF
chmod 600 "$work/vsftpd.conf"
/usr/sbin/vsftpd "$work/vsftpd.conf" &
vsftpd_pid=$!
for _ in $(seq 50); do
  if exec 3<>"/dev/tcp/127.0.0.1/$port" 2>/dev/null; then exec 3>&- 3<&-; break; fi
  sleep 0.1
done

user=anonymous
pass=guest@example.org
export HOME="$work/home"   # no one's lftp settings

# Times one command; prints "wall_ms cpu_ms exit_status".
timed() {
  python3 -c '
import os, subprocess, sys, time
start = time.perf_counter()
p = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
_, status, use = os.wait4(p.pid, 0)
print("%.0f %.0f %d" % ((time.perf_counter() - start) * 1000, (use.ru_utime + use.ru_stime) * 1000,
                       os.waitstatus_to_exitcode(status)))
' "$@"
}
lftp_mirror() {  # local remote
  timed lftp -c "set net:max-retries 1; open -u $user,$pass -p $port 127.0.0.1; mirror -R $1 $2"
}
walk() {  # stamps mode local remote
  mkdir -p "$anon$4"; chown ftp:ftp "$anon$4"
  timed "$driver" "$1" "$2" 127.0.0.1 "$port" "$user" "$pass" "$3" "$4"
}
same_tree() {  # local remote
  diff -rq "$1" "$anon$2" >/dev/null && echo ok || echo DIFFERENT
}

declare -A results
record() { results["$1"]+="$2"$'\n'; }

# One tree, one repetition: each tool's first upload into a fresh remote
# folder, then its run with nothing changed; the trees are compared after.
round() {  # tree key r
  record "lftp first$2" "$(lftp_mirror "$work/$1" "/pub/lftp$2-$3")"
  record "lftp nochange$2" "$(lftp_mirror "$work/$1" "/pub/lftp$2-$3")"
  checks["lftp$2"]=$(same_tree "$work/$1" "/pub/lftp$2-$3")
  record "walk first$2" "$(walk "$work/stamps$2-$3" changed "$work/$1" "/pub/walk$2-$3")"
  record "walk nochange$2" "$(walk "$work/stamps$2-$3" changed "$work/$1" "/pub/walk$2-$3")"
  checks["walk$2"]=$(same_tree "$work/$1" "/pub/walk$2-$3")
  # The page parser makes a folder for each page's copy in $TMPDIR: the
  # same first upload with that on a tmpfs, as on many desktops.
  record "shm first$2" "$(TMPDIR=/dev/shm walk "$work/shm$2-$3" changed "$work/$1" "/pub/shm$2-$3")"
}
declare -A checks
for r in $(seq "$repeats"); do
  round tree1k 1k "$r"
  round tree10k 10k "$r"
  rm -rf "$anon/pub/"*-"$r"
done

median() {  # column, lines of "wall cpu rc" -> median of that column
  sed '/^$/d' <<<"$2" | sort -n -k"$1" | awk -v c="$1" '{v[NR]=$c} END {print v[int((NR+1)/2)]}'
}
failed() {  # lines of "wall cpu rc" -> number of runs that did not exit 0
  sed '/^$/d' <<<"$1" | awk '$3 != 0 {n++} END {print n+0}'
}
row() {  # label key checks
  local lw lc ww wc shm fails
  lw=$(median 1 "${results["lftp $2"]}"); lc=$(median 2 "${results["lftp $2"]}")
  ww=$(median 1 "${results["walk $2"]}"); wc=$(median 2 "${results["walk $2"]}")
  shm="-"
  if [ -n "${results["shm $2"]:-}" ]; then
    shm="$(median 1 "${results["shm $2"]}") / $(median 2 "${results["shm $2"]}")"
  fi
  fails="$(failed "${results["lftp $2"]}"), $(failed "${results["walk $2"]}")"
  echo "| $1 | $lw / $lc | $ww / $wc | $(awk -v a="$ww" -v b="$lw" 'BEGIN {printf "%.2f", a/b}') | $shm | $3 | $fails |"
}
echo "vsftpd $(dpkg-query -W -f='${Version}' vsftpd), lftp $(dpkg-query -W -f='${Version}' lftp), medians of $repeats runs,"
echo "TMPDIR ${TMPDIR:-/tmp} on $(df -T "${TMPDIR:-/tmp}" | awk 'NR==2 {print $2}'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| round | lftp wall / CPU (ms) | walk wall / CPU (ms) | walk / lftp wall | walk, TMPDIR on tmpfs (ms) | trees equal (lftp, walk) | failed runs (lftp, walk) |"
echo "|---|---|---|---|---|---|---|"
row "1,000 files + 10 MB, first upload" first1k "${checks[lftp1k]}, ${checks[walk1k]}"
row "same, nothing changed" nochange1k "${checks[lftp1k]}, ${checks[walk1k]}"
row "10,000 files, first upload" first10k "${checks[lftp10k]}, ${checks[walk10k]}"
row "10,000 files, nothing changed" nochange10k "${checks[lftp10k]}, ${checks[walk10k]}"
