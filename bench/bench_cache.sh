#!/usr/bin/env bash
# bench_cache.sh: kestrivan's memory-cache and disk-store hits beside squid's
# memory cache.
#
# Starts three kestrivans: one with a 256 MiB memory cache on 127.0.0.1:$PORT
# (after bench-peers.sh's check request every request is a hit: its check
# line shows "HIT from Kestrivan"), one with a disk store on $DISK_PORT whose
# journal and files already hold the bench's objects when it starts (every
# request is a hit served from the object's store file, which the daemon
# read back from the journal and never fetched), and one
# without cache on $MISS_PORT (every request a miss to the origin), and hands
# them to ../shared/bench/bench-peers.sh with the peer squid-memcache, which
# prints requests/s, p50/p99 latency and peak RSS per target.
#
#   bench/bench_cache.sh                        1 KiB and 64 KiB, 50 and 200 connections
#   ROUNDS=1 DURATION=3s bench/bench_cache.sh
# Knobs: KESTRIVAN_BIN (default build/kestrivan), PORT (13181), MISS_PORT (13182),
# DISK_PORT (13184),
# FILES ("1k 64k"), CONNS ("50 200"), PEERS (squid-memcache where squid is
# installed); the rest go to bench-peers.sh.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd); ROOT=$(dirname "$HERE")
SHARED=${SHARED_BENCH:-$ROOT/../shared/bench}
# A worktree lies one level deeper than the project's own checkout.
[ -n "${SHARED_BENCH:-}" ] || [ -d "$SHARED" ] || SHARED=$ROOT/../../shared/bench
BIN=${KESTRIVAN_BIN:-$ROOT/build/kestrivan}
PORT=${PORT:-13181}; MISS_PORT=${MISS_PORT:-13182}; DISK_PORT=${DISK_PORT:-13184}
export FILES=${FILES:-1k 64k} CONNS=${CONNS:-50 200}
if [ -z "${PEERS+set}" ]; then
  PEERS=""
  command -v squid >/dev/null && PEERS="squid-memcache"
fi
export PEERS
[ -x "$BIN" ] || { echo "no kestrivan binary at $BIN (set KESTRIVAN_BIN)" >&2; exit 1; }
[ -x "$SHARED/bench-peers.sh" ] || { echo "no $SHARED/bench-peers.sh" >&2; exit 1; }

. "$HERE/kestrivan_lib.sh"
WORK=$(mktemp -d /tmp/kestrivan-bench-cache.XXXXXX)
mkdir -p "$WORK/hit" "$WORK/disk" "$WORK/miss"
kestrivan_config "$WORK/hit/kestrivan.xml" "  <cache><enabled>true</enabled>
    <memory_size>256M</memory_size><memory_free_extra>16M</memory_free_extra>
    <max_size>2M</max_size><prefetch_window>60</prefetch_window>
    <refresh><enabled>true</enabled><comment>all</comment><profiles></profiles>
      <cacheable>true</cacheable><min_age>0</min_age><max_age>86400</max_age>
      <max_age_no_expiry>3600</max_age_no_expiry><lm_factor>10</lm_factor></refresh></cache>"
OBJECTS=()
for f in $FILES; do OBJECTS+=("http://127.0.0.1:18080/$f" "$f"); done
/usr/bin/python3 "$HERE/store_fill.py" "$WORK/disk/store" object "${OBJECTS[@]}"
kestrivan_config "$WORK/disk/kestrivan.xml" "  <cache><enabled>true</enabled>
    <memory_size>256M</memory_size><memory_free_extra>16M</memory_free_extra>
    <max_size>2M</max_size><prefetch_window>60</prefetch_window>
    <store><enabled>true</enabled><comment>bench</comment><profiles></profiles>
      <directory>$WORK/disk/store</directory><size_limit>1G</size_limit><free_extra>0</free_extra>
      <md5>false</md5></store>
    <refresh><enabled>true</enabled><comment>all</comment><profiles></profiles>
      <cacheable>true</cacheable><min_age>0</min_age><max_age>86400</max_age>
      <max_age_no_expiry>3600</max_age_no_expiry><lm_factor>10</lm_factor></refresh></cache>"
kestrivan_config "$WORK/miss/kestrivan.xml"
PIDS=()
trap 'for p in "${PIDS[@]}"; do kestrivan_stop "$p"; done' EXIT
kestrivan_start "$WORK/hit" "$WORK/hit/kestrivan.xml" "$PORT"; PIDS+=("$KPID")
kestrivan_start "$WORK/disk" "$WORK/disk/kestrivan.xml" "$DISK_PORT"; PIDS+=("$KPID")
kestrivan_start "$WORK/miss" "$WORK/miss/kestrivan.xml" "$MISS_PORT"; PIDS+=("$KPID")

"$SHARED/bench-peers.sh" "kestrivan-hit=$PORT" "kestrivan-disk=$DISK_PORT" "kestrivan-miss=$MISS_PORT"
echo; cpu_per_request
echo "kestrivan files: $WORK"
