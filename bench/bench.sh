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
#   CLAMAV=1 PEERS= bench/bench.sh   every body scanned by a clamd of its own
# Knobs: KESTRIVAN_BIN (default build/kestrivan), PORT (13180), FILES ("1k 64k"),
# CONNS ("50 200"), PEERS (default: squid-nocache and tinyproxy where installed),
# IDLE (idle connections for the RSS measure, 1000), CLAMAV (1: kestrivan hands
# every body to a clamd started here on a unix-domain socket, offline, with a
# one-line signature database); the rest go to bench-peers.sh.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd); ROOT=$(dirname "$HERE")
SHARED=${SHARED_BENCH:-$ROOT/../shared/bench}
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

WORK=$(mktemp -d /tmp/kestrivan-bench.XXXXXX)
CLAMAV_XML=""
CLAMD_PID=""
KPID=""
trap 'kill $KPID $CLAMD_PID 2>/dev/null || true; wait $KPID $CLAMD_PID 2>/dev/null || true' EXIT
if [ "${CLAMAV:-0}" = 1 ]; then
  mkdir -p "$WORK/clamd/db"
  echo "Kestrivan.Bench.Marker:0:*:$(printf kestrivan-bench-marker | od -An -tx1 | tr -d ' \n')" \
    >"$WORK/clamd/db/bench.ndb"
  printf 'Foreground yes\nDatabaseDirectory %s\nLocalSocket %s\nLogFile %s\nMaxThreads 16\n' \
    "$WORK/clamd/db" "$WORK/clamd/clamd.sock" "$WORK/clamd/clamd.log" >"$WORK/clamd/clamd.conf"
  clamd -c "$WORK/clamd/clamd.conf" >/dev/null 2>&1 &
  CLAMD_PID=$!
  for _ in $(seq 600); do [ -S "$WORK/clamd/clamd.sock" ] && break; sleep 0.1; done
  [ -S "$WORK/clamd/clamd.sock" ] || { cat "$WORK/clamd/clamd.log" >&2; exit 1; }
  CLAMAV_XML="<clamav><enabled>true</enabled><address>$WORK/clamd/clamd.sock</address><port>0</port>
    <template></template><rules><enabled>true</enabled><comment>all</comment><groups></groups>
      <profiles></profiles><template></template></rules></clamav>"
fi
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
  $CLAMAV_XML
</kestrivan>
XML
mkdir -p "$WORK/modules"
"$BIN" -f -c "$WORK/kestrivan.xml" -s "$ROOT/etc/sections.xml" -l "$WORK/error.log" \
  -a "$WORK/access.log" -e "$WORK/extended.log" -r "$WORK/performance.log" -m "$WORK/modules" \
  -L "127.0.0.1:$PORT" -t 1000 >"$WORK/stdout.txt" 2>&1 &
KPID=$!
for _ in $(seq 100); do grep -q "listening on 127.0.0.1:$PORT" "$WORK/error.log" 2>/dev/null && break; sleep 0.1; done
grep -q "listening on 127.0.0.1:$PORT" "$WORK/error.log" || { cat "$WORK/error.log" >&2; exit 1; }

"$SHARED/bench-peers.sh" "kestrivan=$PORT"
/usr/bin/python3 "$HERE/idle_rss.py" "$KPID" "$PORT" "$IDLE"
echo "kestrivan files: $WORK"
