#!/usr/bin/env bash
# bench_large.sh: large downloads through kestrivan beside direct nginx.
#
# Starts an nginx origin of its own on 127.0.0.1:$ORIGIN_PORT serving a
# 1 MiB and a 100 MiB file, and kestrivan on 127.0.0.1:$PORT (proxy rights
# for loopback clients, no filters), then, ROUNDS times, interleaved:
#   - 1 MiB with wrk at $CONNS connections for $DURATION, direct and
#     through kestrivan: requests/s, MB/s, p99;
#   - one 100 MiB download with curl, direct and through kestrivan: seconds
#     and MB/s.
# It prints the medians, kestrivan's throughput as a share of direct
# nginx's, and the CPU microseconds per request of kestrivan (utime+stime
# of the daemon over the run / requests) and of nginx for the direct runs.
# The 1 MiB case beside the other proxies: FILES=1m CONNS=50 bench/bench.sh.
#
#   bench/bench_large.sh
#   ROUNDS=1 DURATION=3s bench/bench_large.sh
# Knobs: KESTRIVAN_BIN (default build/kestrivan), PORT (13185), ORIGIN_PORT
# (18185), ROUNDS (3), CONNS (50), DURATION (8s), THREADS (4), CLIENT_CPUS /
# SERVER_CPUS (first / second half of the cores, as bench-peers.sh pins).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd); ROOT=$(dirname "$HERE")
BIN=${KESTRIVAN_BIN:-$ROOT/build/kestrivan}
PORT=${PORT:-13185}; ORIGIN_PORT=${ORIGIN_PORT:-18185}
ROUNDS=${ROUNDS:-3}; CONNS=${CONNS:-50}; DURATION=${DURATION:-8s}; THREADS=${THREADS:-4}
N=$(nproc); CLIENT_CPUS=${CLIENT_CPUS:-0-$((N/2-1))}; SERVER_CPUS=${SERVER_CPUS:-$((N/2))-$((N-1))}
SHARED=${SHARED_BENCH:-$ROOT/../shared/bench}
[ -n "${SHARED_BENCH:-}" ] || [ -d "$SHARED" ] || SHARED=$ROOT/../../shared/bench
[ -x "$BIN" ] || { echo "no kestrivan binary at $BIN (set KESTRIVAN_BIN)" >&2; exit 1; }
[ -f "$SHARED/proxy.lua" ] || { echo "no $SHARED/proxy.lua" >&2; exit 1; }
for tool in nginx wrk curl; do command -v $tool >/dev/null || { echo "bench_large.sh needs $tool" >&2; exit 1; }; done
. "$HERE/kestrivan_lib.sh"

WORK=$(mktemp -d /tmp/kestrivan-large.XXXXXX)
mkdir -p "$WORK/origin/www" "$WORK/origin/log" "$WORK/daemon"
head -c 1048576 /dev/urandom >"$WORK/origin/www/1m"
head -c 104857600 /dev/urandom >"$WORK/origin/www/100m"
chmod -R a+rX "$WORK"
cat >"$WORK/origin/nginx.conf" <<CONF
daemon off;
worker_processes 4;
pid nginx.pid;
error_log log/error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush off;
    keepalive_timeout 65s;
    keepalive_requests 1000000;
    server { listen 127.0.0.1:$ORIGIN_PORT backlog=4096 reuseport; root www; }
}
CONF
PIDS=()
NGINX_PID=""
cleanup() {
  for p in "${PIDS[@]}"; do kestrivan_stop "$p"; done
  if [ -n "$NGINX_PID" ]; then kill "$NGINX_PID" 2>/dev/null || true; wait "$NGINX_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT
if ss -Hltn "sport = :$ORIGIN_PORT" | grep -q .; then echo "port $ORIGIN_PORT already in use" >&2; exit 1; fi
setsid taskset -c "$SERVER_CPUS" nginx -p "$WORK/origin/" -c "$WORK/origin/nginx.conf" \
  -e "$WORK/origin/log/error.log" >"$WORK/origin/log/out" 2>&1 </dev/null &
NGINX_PID=$!
kestrivan_config "$WORK/daemon/kestrivan.xml"
kestrivan_start "$WORK/daemon" "$WORK/daemon/kestrivan.xml" "$PORT"; PIDS+=("$KPID")
taskset -a -cp "$SERVER_CPUS" "$KPID" >/dev/null
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$ORIGIN_PORT/1m" && break; sleep 0.1; done

ORIGIN=http://127.0.0.1:$ORIGIN_PORT
# The CPU of a run: the daemon's, or for direct runs nginx's (its workers).
nginx_pids() { echo "$NGINX_PID"; ps -o pid= --ppid "$NGINX_PID"; }
ticks_of() {
  local t=0 p
  if [ "$1" = direct ]; then for p in $(nginx_pids); do t=$((t + $(cpu_ticks "$p"))); done
  else t=$(cpu_ticks "$KPID"); fi
  echo "$t"
}
HZ=$(getconf CLK_TCK)

# Every target must deliver the whole file before anything is measured.
for f in 1m 100m; do
  size=$(stat -c %s "$WORK/origin/www/$f")
  for proxy in "" "http://127.0.0.1:$PORT"; do
    got=$(curl -s -m 60 ${proxy:+-x "$proxy"} -o /dev/null -w '%{http_code} %{size_download}' "$ORIGIN/$f")
    [ "$got" = "200 $size" ] || { echo "FAILED: ${proxy:-direct} /$f: $got" >&2; exit 1; }
  done
done

RESULTS=$WORK/results.tsv
printf 'round\ttarget\tcase\trate\tmb_s\tp99_ms\tcpu_us_per_request\n' >"$RESULTS"
# wrk_1m ROUND TARGET: one bounded wrk run of 1 MiB requests.
wrk_1m() {
  local r=$1 t=$2 c0 c1 out mode=proxy url=http://127.0.0.1:$PORT
  [ "$t" = direct ] && { mode=direct; url=$ORIGIN; }
  c0=$(ticks_of "$t")
  out=$(TARGET=$ORIGIN/1m MODE=$mode taskset -c "$CLIENT_CPUS" \
        wrk -t"$THREADS" -c"$CONNS" -d"$DURATION" --timeout 10s -s "$SHARED/proxy.lua" "$url")
  c1=$(ticks_of "$t")
  echo "$out" | sed -n 's/^RESULT //p' | sed 's/[a-z0-9_]*=//g' | {
    read -r rps _ p99 reqs _ _ bytes
    awk -v r="$r" -v t="$t" -v rps="$rps" -v p99="$p99" -v n="$reqs" -v b="$bytes" -v a="$c0" -v z="$c1" \
        -v hz="$HZ" -v d="${DURATION%s}" 'BEGIN { printf "%s\t%s\t1m c'"$CONNS"'\t%.1f\t%.1f\t%.2f\t%.1f\n",
        r, t, rps, b / d / 1e6, p99, (n > 0 ? (z - a) / hz * 1e6 / n : 0) }'
  } | tee -a "$RESULTS"
}
# curl_100m ROUND TARGET: one 100 MiB download.
curl_100m() {
  local r=$1 t=$2 c0 c1 secs
  c0=$(ticks_of "$t")
  secs=$(curl -s -m 300 $([ "$t" = direct ] || echo "-x http://127.0.0.1:$PORT") -o /dev/null \
         -w '%{time_total}' "$ORIGIN/100m")
  c1=$(ticks_of "$t")
  awk -v r="$r" -v t="$t" -v s="$secs" -v a="$c0" -v z="$c1" -v hz="$HZ" 'BEGIN {
    printf "%s\t%s\t100m x1\t%.3f\t%.1f\t-\t%.0f\n", r, t, s, 104857600 / s / 1e6, (z - a) / hz * 1e6 }' \
    | tee -a "$RESULTS"
}
for r in $(seq "$ROUNDS"); do
  order=(direct kestrivan); [ $((r % 2)) = 0 ] && order=(kestrivan direct)
  for t in "${order[@]}"; do wrk_1m "$r" "$t"; done
  for t in "${order[@]}"; do curl_100m "$r" "$t"; done
done

echo
echo "Medians over $ROUNDS rounds (1m: requests/s; 100m: seconds for the download)."
awk -F'\t' '
  function med(s,  a, n, i, j, x) { n = split(s, a, " ")
    for (i = 2; i <= n; i++) { x = a[i]; for (j = i - 1; j > 0 && a[j] + 0 > x + 0; j--) a[j+1] = a[j]; a[j+1] = x }
    return n % 2 ? a[(n+1)/2] : (a[n/2] + a[n/2+1]) / 2 }
  NR > 1 { k = $3 "|" $2; if (!(k in rate)) order[++n] = k
    rate[k] = rate[k] " " $4; mb[k] = mb[k] " " $5; p99[k] = p99[k] " " $6; cpu[k] = cpu[k] " " $7 }
  END {
    print "| case | target | req/s or s | MB/s | share of direct MB/s | p99 ms | CPU us/request |"
    print "|---|---|---|---|---|---|---|"
    for (i = 1; i <= n; i++) { split(order[i], kt, "|"); d = kt[1] "|direct"
      printf "| %s | %s | %s | %.1f | %.2f | %s | %.0f |\n", kt[1], kt[2], med(rate[order[i]]),
        med(mb[order[i]]), med(mb[order[i]]) / med(mb[d]), kt[1] ~ /^1m/ ? med(p99[order[i]]) : "-",
        med(cpu[order[i]]) } }
' "$RESULTS"
echo "kestrivan files: $WORK"
