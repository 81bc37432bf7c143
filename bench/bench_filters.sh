#!/usr/bin/env bash
# bench_filters.sh: what the content filters cost together. Runs bench/bench.sh
# against nginx alone (no peers) with 1 KiB objects at 50 connections, once
# with no filter and once with one rule of each filter switched on (none of
# them matching, so every request is tried against all), and prints
# kestrivan's lines side by side with the share of requests/s kept.
#
#   bench/bench_filters.sh
#   ROUNDS=1 DURATION=3s bench/bench_filters.sh
# Knobs: ALL_FILTERS (default "url urlbl mime limits"); the rest go to bench.sh
# and bench-peers.sh.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
export PEERS= FILES=1k CONNS=50 IDLE=0 URL_RULES=0
declare -A rps
for filters in "" "${ALL_FILTERS:-url urlbl mime limits}"; do
  echo "=== filters: ${filters:-none}"
  out=$(FILTERS="$filters" "$HERE/bench.sh" 2>&1) || { echo "$out" >&2; exit 1; }
  echo "$out"
  line=$(echo "$out" | awk '/\| kestrivan \|/' | head -1)
  echo "kestrivan with filters ${filters:-none}: $line"
  # The columns: file, conns, target, runs, req/s.
  rps[${filters:-none}]=$(echo "$line" | awk -F'|' '{gsub(/ /, "", $6); print $6}')
done
none=${rps[none]}; all=${rps[${ALL_FILTERS:-url urlbl mime limits}]}
echo
echo "requests/s: no filter $none, one rule of each filter $all"
awk -v a="$all" -v n="$none" 'BEGIN { if (n > 0) printf "kept: %.1f %% (goal: at least 85 %%)\n", 100 * a / n }'
