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
# IDLE (idle connections for the RSS measure, 1000; 0 skips it), ICAP=1 and ICAP_PORT
# (13344) for a second kestrivan behind a c-icap echo service, URL_RULES (URL
# filter deny rules with host patterns that no request matches, so each request
# is tried against all of them; 0: none), CLAMAV=1 for a kestrivan on PORT+2
# that scans every body with a clamd of its own; the rest go to bench-peers.sh.
# bench/bench_url_rules.sh compares 0, 10 and 1,000 such rules.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd); ROOT=$(dirname "$HERE")
SHARED=${SHARED_BENCH:-$ROOT/../shared/bench}
# A worktree lies one level deeper than the project's own checkout.
[ -n "${SHARED_BENCH:-}" ] || [ -d "$SHARED" ] || SHARED=$ROOT/../../shared/bench
BIN=${KESTRIVAN_BIN:-$ROOT/build/kestrivan}
PORT=${PORT:-13180}; IDLE=${IDLE:-1000}; URL_RULES=${URL_RULES:-0}
export FILES=${FILES:-1k 64k} CONNS=${CONNS:-50 200}
if [ -z "${PEERS+set}" ]; then
  PEERS=""
  command -v squid >/dev/null && PEERS="$PEERS squid-nocache"
  command -v tinyproxy >/dev/null && PEERS="$PEERS tinyproxy"
fi
export PEERS
[ -x "$BIN" ] || { echo "no kestrivan binary at $BIN (set KESTRIVAN_BIN)" >&2; exit 1; }
[ -x "$SHARED/bench-peers.sh" ] || { echo "no $SHARED/bench-peers.sh" >&2; exit 1; }

WORK=$(mktemp -d /tmp/kestrivan-bench.XXXXXX)
# The URL filter's rules: "(^|\.)siteN\.example\.test$", as one blocks a
# domain and its subdomains.
url_rules() {
  [ "$URL_RULES" -gt 0 ] || return 0
  echo "  <url-filtering><enabled>true</enabled><order>allow-by-default</order><template></template>"
  seq 1 "$URL_RULES" | awk '{printf "    <deny><enabled>true</enabled><comment>bench %d</comment><groups></groups><profiles></profiles><host>(^|\\.)site%d\\.example\\.test$</host><path></path><addresses></addresses><template></template></deny>\n", $1, $1}'
  echo "  </url-filtering>"
}
cat >"$WORK/kestrivan.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<kestrivan>
  <access><allow-first>true</allow-first><ntlm>false</ntlm>
    <allow><enabled>true</enabled><comment>bench</comment><log>false</log><ldap-names></ldap-names>
      <interfaces></interfaces><addresses>127.0.0.0-127.255.255.255</addresses>
      <authenticate>false</authenticate><user></user><password></password>
      <access>interface,proxy</access><bypass></bypass><interface-user></interface-user>
      <interface-password></interface-password><profiles></profiles></allow></access>
  <general><hostname>localhost</hostname><tempdir>/tmp</tempdir><linelength>100</linelength>
    <poolsize>400</poolsize><pooltimeout>60</pooltimeout>
    <general><enabled>true</enabled><comment>all</comment><groups></groups><profiles></profiles>
      <connecttimeout>10</connecttimeout><timeout>30</timeout><keepalivetimeout>30</keepalivetimeout>
      <maxdownloadbuffer>1M</maxdownloadbuffer><maxuploadbuffer>1M</maxuploadbuffer>
      <bufferwait>0</bufferwait><connectports>443</connectports><compressmime></compressmime>
      <compressout>false</compressout><compressin>false</compressin>
      <xforwardedfor>false</xforwardedfor><via>true</via></general></general>
$(url_rules)
</kestrivan>
XML
mkdir -p "$WORK/modules"
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill -- "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done' EXIT

# start_kestrivan NAME PORT CONFIG: one daemon with its logs under $WORK/NAME.
start_kestrivan() {
  local name=$1 port=$2 config=$3 dir="$WORK/$1"
  mkdir -p "$dir/modules"
  "$BIN" -f -c "$config" -s "$ROOT/etc/sections.xml" -l "$dir/error.log" \
    -a "$dir/access.log" -e "$dir/extended.log" -r "$dir/performance.log" -m "$dir/modules" \
    -L "127.0.0.1:$port" -t 1000 >"$dir/stdout.txt" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do grep -q "listening on 127.0.0.1:$port" "$dir/error.log" 2>/dev/null && break; sleep 0.1; done
  grep -q "listening on 127.0.0.1:$port" "$dir/error.log" || { cat "$dir/error.log" >&2; exit 1; }
}
start_kestrivan kestrivan "$PORT" "$WORK/kestrivan.xml"
KPID=${PIDS[0]}
TARGETS=("kestrivan=$PORT")

# ICAP=1: a second daemon on PORT+1 sends every response through the echo
# service of a c-icap server on ICAP_PORT (RESPMOD with preview), to show
# what the exchange costs beside the plain proxy.
if [ "${ICAP:-0}" = 1 ]; then
  ICAP_PORT=${ICAP_PORT:-13344}
  command -v c-icap >/dev/null || { echo "ICAP=1 needs c-icap (scripts/install-deps.sh)" >&2; exit 1; }
  cat >"$WORK/c-icap.conf" <<CONF
PidFile $WORK/c-icap.pid
CommandsSocket $WORK/c-icap.ctl
Timeout 30
MaxKeepAliveRequests 1000000
KeepAliveTimeout 600
StartServers 1
MaxServers 1
MinSpareThreads 50
MaxSpareThreads 250
ThreadsPerChild 250
MaxRequestsPerChild 0
Port 127.0.0.1:$ICAP_PORT
TmpDir $WORK
ServerLog $WORK/c-icap-server.log
AccessLog /dev/null
ModulesDir /usr/lib/x86_64-linux-gnu/c_icap
ServicesDir /usr/lib/x86_64-linux-gnu/c_icap
Service echo srv_echo.so
CONF
  setsid c-icap -N -f "$WORK/c-icap.conf" >"$WORK/c-icap.out" 2>&1 &
  PIDS+=(-$!)
  sed "s|</kestrivan>|<icap><enabled>true</enabled><servers><enabled>true</enabled><comment></comment><profiles></profiles><host>127.0.0.1</host><service>/echo</service><port>$ICAP_PORT</port><mode>respmod</mode></servers></icap></kestrivan>|" \
    "$WORK/kestrivan.xml" >"$WORK/kestrivan-icap.xml"
  start_kestrivan kestrivan-icap $((PORT + 1)) "$WORK/kestrivan-icap.xml"
  TARGETS+=("kestrivan-icap=$((PORT + 1))")
fi

# CLAMAV=1: a daemon on PORT+2 hands every body to a clamd started here on a
# unix-domain socket (offline, with a one-line signature database), to show
# what scanning costs beside the plain proxy.
if [ "${CLAMAV:-0}" = 1 ]; then
  command -v clamd >/dev/null || { echo "CLAMAV=1 needs clamd (scripts/install-deps.sh)" >&2; exit 1; }
  mkdir -p "$WORK/clamd/db"
  echo "Kestrivan.Bench.Marker:0:*:$(printf kestrivan-bench-marker | od -An -tx1 | tr -d ' \n')" \
    >"$WORK/clamd/db/bench.ndb"
  printf 'Foreground yes\nDatabaseDirectory %s\nLocalSocket %s\nLogFile %s\nMaxThreads 16\n' \
    "$WORK/clamd/db" "$WORK/clamd/clamd.sock" "$WORK/clamd/clamd.log" >"$WORK/clamd/clamd.conf"
  clamd -c "$WORK/clamd/clamd.conf" >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 600); do [ -S "$WORK/clamd/clamd.sock" ] && break; sleep 0.1; done
  [ -S "$WORK/clamd/clamd.sock" ] || { cat "$WORK/clamd/clamd.log" >&2; exit 1; }
  sed "s|</kestrivan>|<clamav><enabled>true</enabled><address>$WORK/clamd/clamd.sock</address><port>0</port><template></template><rules><enabled>true</enabled><comment></comment><groups></groups><profiles></profiles><template></template></rules></clamav></kestrivan>|" \
    "$WORK/kestrivan.xml" >"$WORK/kestrivan-clamav.xml"
  start_kestrivan kestrivan-clamav $((PORT + 2)) "$WORK/kestrivan-clamav.xml"
  TARGETS+=("kestrivan-clamav=$((PORT + 2))")
fi

"$SHARED/bench-peers.sh" "${TARGETS[@]}"
echo "kestrivan URL filter rules: $URL_RULES"
[ "$IDLE" -gt 0 ] && /usr/bin/python3 "$HERE/idle_rss.py" "$KPID" "$PORT" "$IDLE"
echo "kestrivan files: $WORK"
