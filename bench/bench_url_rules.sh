#!/usr/bin/env bash
# bench_url_rules.sh: what URL filter rules cost. Runs bench/bench.sh against
# nginx alone (no peers) with 1 KiB objects at 50 connections, once with no
# rules and once each with 10 and 1,000 host-pattern rules that every request
# is tried against, and prints kestrivan's lines side by side.
#
#   bench/bench_url_rules.sh
#   ROUNDS=1 DURATION=3s bench/bench_url_rules.sh
# Knobs: RULE_COUNTS ("0 10 1000"); the rest go to bench.sh and bench-peers.sh.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
export PEERS= FILES=1k CONNS=50 IDLE=0
summary=""
for count in ${RULE_COUNTS:-0 10 1000}; do
  echo "=== $count URL rules"
  out=$(URL_RULES=$count "$HERE/bench.sh" 2>&1) || { echo "$out" >&2; exit 1; }
  echo "$out"
  summary+=$(echo "$out" | awk -v n="$count" '/\| kestrivan \|/ {print n " rules: " $0}')$'\n'
done
echo
echo "$summary"
