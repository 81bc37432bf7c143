#!/usr/bin/env bash
# bench.sh: kestrivan side by side with the proxies users would pick instead.
#
# Starts kestrivan on 127.0.0.1:$PORT (proxy rights for loopback clients, no
# filters) and hands it to ../shared/bench/bench-peers.sh, which starts the
# nginx origin on 127.0.0.1:18080 and the peers, drives proxy-form requests
# with wrk and prints requests/s, p50/p99 latency and peak RSS per target.
# Then it measures the memory an idle keep-alive client connection costs.
#
#   bench/bench.sh                    1 KiB and 64 KiB bodies, 50 and 200 connections
#   ROUNDS=1 DURATION=5s bench/bench.sh
# Knobs: KESTRIVAN_BIN (default build/kestrivan), PORT (13180), FILES ("1k 64k"),
# CONNS ("50 200"), PEERS (default: squid-nocache and tinyproxy where installed),
# IDLE (idle connections for the RSS measure, 1000); the rest go to bench-peers.sh.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd); ROOT=$(dirname "$HERE")
SHARED=${SHARED_BENCH:-$ROOT/../shared/bench}
# A worktree lies one level deeper than the project's own checkout.
[ -n "${SHARED_BENCH:-}" ] || [ -d "$SHARED" ] || SHARED=$ROOT/../../shared/bench
BIN=${KESTRIVAN_BIN:-$ROOT/build/kestrivan}
PORT=${PORT:-13180}; IDLE=${IDLE:-1000}
export FILES=${FILES:-1k 64k} CONNS=${CONNS:-50 200}
if [ -z "${PEERS+set}" ]; then
  PEERS=""
  command -v squid >/dev/null && PEERS="$PEERS squid-nocache"
  command -v tinyproxy >/dev/null && PEERS="$PEERS tinyproxy"
fi
export PEERS
[ -x "$BIN" ] || { echo "no kestrivan binary at $BIN (set KESTRIVAN_BIN)" >&2; exit 1; }
[ -x "$SHARED/bench-peers.sh" ] || { echo "no $SHARED/bench-peers.sh" >&2; exit 1; }

. "$HERE/kestrivan_lib.sh"
WORK=$(mktemp -d /tmp/kestrivan-bench.XXXXXX)
kestrivan_config "$WORK/kestrivan.xml"
KPID=
trap '[ -z "$KPID" ] || kestrivan_stop "$KPID"' EXIT
kestrivan_start "$WORK" "$WORK/kestrivan.xml" "$PORT"

"$SHARED/bench-peers.sh" "kestrivan=$PORT"
/usr/bin/python3 "$HERE/idle_rss.py" "$KPID" "$PORT" "$IDLE"
echo "kestrivan files: $WORK"
