# kestrivan_lib.sh: what the bench scripts share, sourced by them.
#
#   kestrivan_config FILE [EXTRA_XML]  writes a configuration: proxy rights for
#                                      loopback clients, no filters, EXTRA_XML
#                                      (further sections) at the end
#   kestrivan_start WORK CONFIG PORT   starts kestrivan detached with its
#                                      files in WORK, listening on
#                                      127.0.0.1:PORT; waits until it listens
#                                      (KSTART_TRIES tenths of a second, 100)
#                                      and sets KPID (the daemon's PID)
#   kestrivan_stop PID                 ends it
#   cpu_per_request [TSV]              prints, from bench-peers.sh's results
#                                      (/tmp/pbench/results.tsv), each
#                                      target's CPU microseconds per request
#   cpu_ticks PID                      utime+stime of a process, in ticks
kestrivan_config() {
  cat >"$1" <<XML
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
${2:-}
</kestrivan>
XML
}

kestrivan_start() {
  local work=$1 config=$2 port=$3
  mkdir -p "$work/modules"
  # Detached, as an operator runs it: a foreground daemon would also echo
  # every log line on its standard output.
  "$BIN" -c "$config" -s "$ROOT/etc/sections.xml" -l "$work/error.log" \
    -a "$work/access.log" -e "$work/extended.log" -r "$work/performance.log" -m "$work/modules" \
    -p "$work/kestrivan.pid" -L "127.0.0.1:$port" -t 1000 >"$work/stdout.txt" 2>&1
  for _ in $(seq "${KSTART_TRIES:-100}"); do
    if grep -q "listening on 127.0.0.1:$port" "$work/error.log" 2>/dev/null && [ -s "$work/kestrivan.pid" ]; then
      KPID=$(cat "$work/kestrivan.pid"); return
    fi
    sleep 0.1
  done
  cat "$work/error.log" >&2
  return 1
}

# kestrivan_stop PID: TERM, and KILL when it has not ended after 10 s.
kestrivan_stop() {
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$1" 2>/dev/null || true
}

# cpu_ticks PID: the process's utime+stime so far, in clock ticks.
cpu_ticks() {
  sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'
}

# cpu_per_request [TSV]: CPU microseconds each target spent per request,
# median over the rounds, from bench-peers.sh's results: a run's CPU share
# (utime+stime of the target's processes over the run / wall time) times the
# run's time, divided by its requests, i.e. cpu_pct * 10^4 / (requests/s).
# For direct that is nginx's own CPU.
cpu_per_request() {
  awk -F'\t' '
    function med(s,  a, n, i, j, x) { n = split(s, a, " ")
      for (i = 2; i <= n; i++) { x = a[i]; for (j = i - 1; j > 0 && a[j] + 0 > x + 0; j--) a[j+1] = a[j]; a[j+1] = x }
      return n % 2 ? a[(n+1)/2] : (a[n/2] + a[n/2+1]) / 2 }
    $1 != "round" && $5 > 0 { k = $3 " | " $4 " | " $2; if (!(k in us)) order[++n] = k
      us[k] = us[k] " " $8 * 10000 / $5 }
    END { print "| file | conns | target | CPU us/request |"; print "|---|---|---|---|"
      for (i = 1; i <= n; i++) printf "| %s | %.1f |\n", order[i], med(us[order[i]]) }
  ' "${1:-/tmp/pbench/results.tsv}"
}
