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
# IDLE (idle connections for the RSS measure, 1000; 0 skips it), URL_RULES (URL
# filter deny rules with host patterns that no request matches, so each request
# is tried against all of them; 0: none); the rest go to bench-peers.sh.
# bench/bench_url_rules.sh compares 0, 10 and 1,000 such rules.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd); ROOT=$(dirname "$HERE")
SHARED=${SHARED_BENCH:-$ROOT/../shared/bench}
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
"$BIN" -f -c "$WORK/kestrivan.xml" -s "$ROOT/etc/sections.xml" -l "$WORK/error.log" \
  -a "$WORK/access.log" -e "$WORK/extended.log" -r "$WORK/performance.log" -m "$WORK/modules" \
  -L "127.0.0.1:$PORT" -t 1000 >"$WORK/stdout.txt" 2>&1 &
KPID=$!
trap 'kill $KPID 2>/dev/null || true; wait $KPID 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q "listening on 127.0.0.1:$PORT" "$WORK/error.log" 2>/dev/null && break; sleep 0.1; done
grep -q "listening on 127.0.0.1:$PORT" "$WORK/error.log" || { cat "$WORK/error.log" >&2; exit 1; }

"$SHARED/bench-peers.sh" "kestrivan=$PORT"
echo "kestrivan URL filter rules: $URL_RULES"
[ "$IDLE" -gt 0 ] && /usr/bin/python3 "$HERE/idle_rss.py" "$KPID" "$PORT" "$IDLE"
echo "kestrivan files: $WORK"
