#!/usr/bin/env bash
# bench_filters.sh: what the content filters cost. Runs bench/bench.sh
# against nginx alone (no peers) with 1 KiB objects at 50 connections: one
# kestrivan without filters and one with one rule of each filter of
# ALL_FILTERS, measured in turn, and prints the share of requests/s kept.
#
#   bench/bench_filters.sh
#   ROUNDS=1 DURATION=3s bench/bench_filters.sh
# Knobs: ALL_FILTERS (the FILTERS of bench.sh; default every one it knows);
# the rest go to bench.sh and bench-peers.sh.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
export PEERS= FILES=1k CONNS=50 IDLE=0
out=$(FILTERS=${ALL_FILTERS:-header redirect cookies rewrite urlbl mime limits} "$HERE/bench.sh" 2>&1) ||
  { echo "$out" >&2; exit 1; }
echo "$out"
# The requests/s column of each daemon's line.
rps() { echo "$out" | awk -F'|' -v t=" $1 " '$4 == t {gsub(/[^0-9.]/, "", $6); print $6; exit}'; }
awk -v a="$(rps kestrivan-filters)" -v n="$(rps kestrivan)" \
  'BEGIN { if (n > 0) printf "\nrequests/s kept with one rule of each filter: %.1f %% (%s of %s)\n", 100 * a / n, a, n }'
