#!/usr/bin/env bash
# bench.sh: kestrivan side by side with the proxies users would pick instead.
#
# Starts kestrivan on 127.0.0.1:$PORT (proxy rights for loopback clients, no
# filters) and hands it to ../shared/bench/bench-peers.sh, which starts the
# nginx origin on 127.0.0.1:18080 and the peers, drives proxy-form requests
# with wrk and prints requests/s, p50/p99 latency and peak RSS per target.
# Then it prints each target's CPU microseconds per request and measures the
# memory an idle keep-alive client connection costs. Large bodies:
# bench/bench_large.sh (1 MiB and one 100 MiB download beside direct nginx).
#
#   bench/bench.sh                    1 KiB and 64 KiB bodies, 50 and 200 connections
#   ROUNDS=1 DURATION=5s bench/bench.sh
# Knobs: KESTRIVAN_BIN (default build/kestrivan), PORT (13180), FILES ("1k 64k"),
# CONNS ("50 200"), PEERS (default: squid-nocache and tinyproxy where installed),
# IDLE (idle connections for the RSS measure, 1000; 0 skips it), ICAP=1 and ICAP_PORT
# (13344) for a second kestrivan behind a c-icap echo service, URL_RULES (URL
# filter deny rules with host patterns that no request matches, so each request
# is tried against all of them; 0: none), CLAMAV=1 for a kestrivan on PORT+2
# that scans every body with a clamd of its own, FILTERS (content filters that
# get one enabled rule each, which every request is tried against and none
# matches: header, redirect, cookies, rewrite, urlbl, mime, limits; a second kestrivan on PORT+3
# runs with them, interleaved with the first; empty: none); the rest go to
# bench-peers.sh.
# bench/bench_url_rules.sh compares 0, 10 and 1,000 such rules;
# bench/bench_filters.sh no filter with one rule of each.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd); ROOT=$(dirname "$HERE")
SHARED=${SHARED_BENCH:-$ROOT/../shared/bench}
# A worktree lies one level deeper than the project's own checkout.
[ -n "${SHARED_BENCH:-}" ] || [ -d "$SHARED" ] || SHARED=$ROOT/../../shared/bench
BIN=${KESTRIVAN_BIN:-$ROOT/build/kestrivan}
PORT=${PORT:-13180}; IDLE=${IDLE:-1000}; URL_RULES=${URL_RULES:-0}; FILTERS=${FILTERS:-}
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
# The URL filter's rules: "(^|\.)siteN\.example\.test$", as one blocks a
# domain and its subdomains.
url_rules() {
  [ "$URL_RULES" -gt 0 ] || return 0
  echo "  <url-filtering><enabled>true</enabled><order>allow-by-default</order><template></template>"
  seq 1 "$URL_RULES" | awk '{printf "    <deny><enabled>true</enabled><comment>bench %d</comment><groups></groups><profiles></profiles><host>(^|\\.)site%d\\.example\\.test$</host><path></path><addresses></addresses><template></template></deny>\n", $1, $1}'
  echo "  </url-filtering>"
}
# One rule per filter named in FILTERS, as a site would write it: a tracking
# header removed, an old host redirected, tracking cookies dropped, the
# client's tracking header rewritten (which has every request header parsed
# anew).
filter_rules() {
  local rule='<enabled>true</enabled><comment>bench</comment><groups></groups><profiles></profiles>'
  for filter in $FILTERS; do
    case $filter in
      header) echo "  <header-filtering><enabled>true</enabled><order>allow-by-default</order><deny>$rule"'<name>^X-Tracking$</name><value></value><direction>client,server</direction></deny></header-filtering>' ;;
      redirect) echo "  <redirect><enabled>true</enabled><rules>$rule"'<pattern>^http://old\.example\.test/(.*)</pattern><replacement>http://new.example.test/$1</replacement><port>-1</port><action>reply-302</action><encoding></encoding><applies_to>both</applies_to></rules></redirect>' ;;
      cookies) echo "  <cookies-filtering><enabled>true</enabled><order>allow-by-default</order><deny>$rule"'<domain_pattern>tracker\.example\.test$</domain_pattern><path_pattern></path_pattern><direction>both</direction><time_mode>span</time_mode></deny></cookies-filtering>' ;;
      rewrite) echo "  <rewrite><enabled>true</enabled><rules>${rule/<groups><\/groups>/}"'<mime_type></mime_type><pattern>^X-Tracking:\ [^\r\n]*</pattern><replacement>X-Tracking: 0</replacement><targets>client_header</targets></rules></rewrite>' ;;
      urlbl)
        # A small database: 1,000 listed domains in one category.
        mkdir -p "$WORK/urlbl/bench"
        seq 1 1000 | awk '{printf "site%d.example.test\n", $1}' >"$WORK/urlbl/bench/domains"
        echo "  <urlblacklist><enabled>true</enabled><order>allow-by-default</order><directory>$WORK/urlbl</directory><template></template><deny><enabled>true</enabled><comment>bench</comment><groups></groups><profiles></profiles><categories>bench</categories><template></template></deny></urlblacklist>" ;;
      mime) echo "  <mime-filtering><enabled>true</enabled><order>allow-by-default</order><template></template><deny><enabled>true</enabled><comment>bench</comment><groups></groups><profiles></profiles><host></host><path></path><mime_type>^application/x-bench-never</mime_type><template></template></deny></mime-filtering>" ;;
      # Counted quotas far above what a run uses: checked and counted every request.
      limits) echo "  <limits><enabled>true</enabled><rules><enabled>true</enabled><comment>bench</comment><groups></groups><profiles></profiles><block>false</block><template></template><download_limit>4000m</download_limit><upload_limit>4000m</upload_limit><request_limit>4000000000</request_limit><rate>0</rate><time_mode>span</time_mode><options></options></rules></limits>" ;;
      *) echo "bench.sh: unknown filter in FILTERS: $filter" >&2; exit 1 ;;
    esac
  done
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

# start_kestrivan NAME PORT CONFIG: one daemon with its logs under $WORK/NAME,
# detached as an operator runs it (in the foreground it would also echo
# every log line on its standard output, which no peer pays for).
start_kestrivan() {
  kestrivan_start "$WORK/$1" "$3" "$2"
  PIDS+=("$KPID")
}
start_kestrivan kestrivan "$PORT" "$WORK/kestrivan.xml"
MAIN_PID=$KPID
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

# FILTERS: a second daemon on PORT+3 with one rule of each filter named,
# measured in turn with the first, so that both see the same machine.
if [ -n "$FILTERS" ]; then
  filter_rules >"$WORK/filter-rules.xml"
  sed -e "/<\/kestrivan>/{r $WORK/filter-rules.xml" -e "d}" "$WORK/kestrivan.xml" >"$WORK/kestrivan-filters.xml"
  echo "</kestrivan>" >>"$WORK/kestrivan-filters.xml"
  start_kestrivan kestrivan-filters $((PORT + 3)) "$WORK/kestrivan-filters.xml"
  TARGETS+=("kestrivan-filters=$((PORT + 3))")
fi

"$SHARED/bench-peers.sh" "${TARGETS[@]}"
echo "kestrivan URL filter rules: $URL_RULES"
echo "kestrivan filters with one rule: ${FILTERS:-none}"
echo; cpu_per_request
[ "$IDLE" -gt 0 ] && /usr/bin/python3 "$HERE/idle_rss.py" "$MAIN_PID" "$PORT" "$IDLE"
echo "kestrivan files: $WORK"
