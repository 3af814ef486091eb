# Sourced by the preview server's benchmark scripts: the site they serve,
# free loopback ports, and wrk's figures in ms.

# make_site DIR: a 6 KB page with a variable tag (page.html) and a 100 KB
# image of random bytes (image.png).
make_site() {
  mkdir -p "$1"
  {
    echo '<html><head><title><iVar title></title></head><body>'
    for _ in $(seq 70); do
      echo '<p>A paragraph of the page, with <b>markup</b> and a <a href="image.png">link</a>.</p>'
    done
    echo '</body></html>'
  } >"$1/page.html"
  head -c 102400 /dev/urandom >"$1/image.png"
}

python=/usr/bin/python3
[ -x "$python" ] || python=python3

# free_ports N: N ports free on 127.0.0.1 right now, on one line.
free_ports() {
  "$python" -c '
import socket, sys
s = [socket.socket() for _ in range(int(sys.argv[1]))]
for x in s: x.bind(("127.0.0.1", 0))
print(" ".join(str(x.getsockname()[1]) for x in s))' "$1"
}

# wrk's latencies come as "1.23ms", "456.78us" or "1.02s": in ms.
ms() { awk '{v=$1; if (v ~ /us$/) {sub(/us$/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms$/,"",v)} else if (v ~ /s$/) {sub(/s$/,"",v); v*=1000} printf "%.2f", v}' <<<"$1"; }
