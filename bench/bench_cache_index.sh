#!/usr/bin/env bash
# bench_cache_index.sh: what the disk cache's index costs. For each object
# count it writes a store whose journal lists that many small finished
# objects, starts kestrivan on it and reports the start-up time (launch to
# listening: reading the journal back and rewriting it) and the resident set
# once it listens. Bytes per object are measured against a start with an
# empty store.
#
#   bench/bench_cache_index.sh                 0, 100,000 and 1,000,000 objects
#   COUNTS="0 100000" bench/bench_cache_index.sh
# Knobs: KESTRIVAN_BIN (default build/kestrivan), PORT (13183), COUNTS,
# WITH_FILES=1 also writes every object's file (1,000,000 files take minutes
# and about 4 GB; start-up reads only the journal, so the figures do not change).
# On a virtual machine where page faults are slow, most of the start-up time
# is the first touch of the index's memory; GLIBC_TUNABLES=glibc.malloc.hugetlb=1
# (huge pages for the heap) shows the time without it.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd); ROOT=$(dirname "$HERE")
BIN=${KESTRIVAN_BIN:-$ROOT/build/kestrivan}
PORT=${PORT:-13183}; COUNTS=${COUNTS:-0 100000 1000000}; WITH_FILES=${WITH_FILES:-0}
[ -x "$BIN" ] || { echo "no kestrivan binary at $BIN (set KESTRIVAN_BIN)" >&2; exit 1; }

. "$HERE/kestrivan_lib.sh"
WORK=$(mktemp -d /tmp/kestrivan-bench-index.XXXXXX)
PID=""
trap '[ -z "$PID" ] || kestrivan_stop "$PID"' EXIT

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

printf '%-10s %-12s %-10s %-14s\n' objects start_s rss_kib bytes_per_object
BASE=""
for count in $COUNTS; do
  dir=$WORK/$count
  mkdir -p "$dir"
  /usr/bin/python3 "$HERE/store_fill.py" "$dir/store" count "$count" $([ "$WITH_FILES" = 1 ] && echo --files)
  kestrivan_config "$dir/kestrivan.xml" "  <cache><enabled>true</enabled>
    <memory_size>64M</memory_size><memory_free_extra>4M</memory_free_extra>
    <max_size>8M</max_size><prefetch_window>60</prefetch_window>
    <store><enabled>true</enabled><comment>bench</comment><profiles></profiles>
      <directory>$dir/store</directory><size_limit>100G</size_limit><free_extra>0</free_extra>
      <md5>false</md5></store>
    <refresh><enabled>true</enabled><comment>all</comment><profiles></profiles>
      <cacheable>true</cacheable><min_age>0</min_age><max_age>86400</max_age>
      <max_age_no_expiry>3600</max_age_no_expiry><lm_factor>10</lm_factor></refresh></cache>"
  started=$(date +%s.%N)
  KSTART_TRIES=1200 kestrivan_start "$dir" "$dir/kestrivan.xml" "$PORT"; PID=$KPID
  ended=$(date +%s.%N)
  sleep 1
  rss=$(rss_kib "$PID")
  [ -n "$BASE" ] || BASE=$rss
  per=$([ "$count" -gt 0 ] && awk -v r="$rss" -v b="$BASE" -v n="$count" 'BEGIN {printf "%.0f", (r-b)*1024/n}' || echo "-")
  printf '%-10s %-12s %-10s %-14s\n' "$count" "$(awk -v a="$started" -v b="$ended" 'BEGIN {printf "%.2f", b-a}')" "$rss" "$per"
  kestrivan_stop "$PID"; PID=""
  rm -rf "$dir/store"
done
echo "kestrivan files: $WORK"
