#!/bin/bash
# UDP bursts into a local rsyslog (imudp with the system's default socket
# buffer): for each Syslog/UdpMaxRate given, B events are written into the
# Application log while CVNService is stopped, then the service is started
# and forwards them over UDP. Printed per rate: how many rsyslog received, how
# many the kernel dropped for a full receive buffer (UdpRcvbufErrors), and the
# rate at which they arrived.
#
# Run as root from the project folder, with a built tree and rsyslog installed:
#   bench/syslog_udp_burst.sh [B] [build folder] [rates...]
#                         B = 50000, build, rates = 0 2000 5000 10000 20000
# Everything happens in a fresh machine root in a temporary folder (kept when
# KEEP=1 is set).
set -euo pipefail

B=${1:-50000}
BUILD=$(cd "${2:-build}" && pwd)
shift 2 2>/dev/null || shift $#
RATES=${*:-0 2000 5000 10000 20000}
. "$(dirname "$0")/../tests/delivery/scenario_common.sh"
now_ns() { date +%s%N; }

# rsyslog: one UDP input on a free port; the TCP input only tells when it is
# ready.
PORT=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$WORK/rsyslog/work"
cat >"$WORK/rsyslog/rsyslog.conf" <<CONF
global(workDirectory="$WORK/rsyslog/work" maxMessageSize="64k")
module(load="imudp")
module(load="imtcp")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="out") { action(type="omfile" file="$WORK/rsyslog/out.log" template="raw") }
input(type="imudp" address="127.0.0.1" port="$PORT" ruleset="out")
input(type="imtcp" address="127.0.0.1" port="0" listenPortFileName="$WORK/rsyslog/tcp.port"
      ruleset="out")
CONF
"$RSYSLOGD" -n -f "$WORK/rsyslog/rsyslog.conf" -i "$WORK/rsyslog/rsyslogd.pid" \
  >>"$WORK/rsyslog/stdout" 2>&1 &
RSYSLOG_PID=$!
for _ in $(seq 500); do
  [ -s "$WORK/rsyslog/tcp.port" ] && break
  sleep 0.01
done
[ -s "$WORK/rsyslog/tcp.port" ] || { echo "rsyslog did not start" >&2; cat "$WORK/rsyslog/stdout" >&2; exit 1; }

set_key Syslog/Forward 1
set_key Syslog/Server 127.0.0.1
set_key Syslog/Port "$PORT"
set_key Logs/InspectAll 0
set_key Logs/IsIncludeList 1
set_key Logs/List Application

count() {
  if [ -f "$WORK/rsyslog/out.log" ]; then grep -c "CvnBench: \[$1\]" "$WORK/rsyslog/out.log" || true; else echo 0; fi
}
rcvbuf_errors() { awk '/^Udp:/ { if (!h) { for (i = 1; i <= NF; i++) if ($i == "RcvbufErrors") c = i; h = 1 } else print $c }' /proc/net/snmp; }

"$SERVICE" -s install >/dev/null
INSTALLED=1
"$CVNEVENT" add-source Application CvnBench
"$SERVICE" -s start >/dev/null
# Warm-up: one event through, so the log is watched.
for _ in $(seq 30); do
  "$CVNEVENT" write Application CvnBench --id 1 "warm-up"
  for _ in $(seq 50); do
    [ "$(count 1)" -ge 1 ] && break 2
    sleep 0.02
  done
done
[ "$(count 1)" -ge 1 ] || { echo "no warm-up event reached rsyslog" >&2; exit 1; }

printf "%d events per burst, UDP to rsyslog (imudp, default receive buffer)\n" "$B"
printf "%12s %10s %10s %12s %12s\n" UdpMaxRate received lost RcvbufErrors "arrived/s"
id=100
for rate in $RATES; do
  id=$((id + 1))
  "$SERVICE" -s stop >/dev/null
  set_key Syslog/UdpMaxRate "$rate"
  "$CVNEVENT" write Application CvnBench --id "$id" --repeat "$B" "benchmark event payload"
  errors_before=$(rcvbuf_errors)
  start=$(now_ns)
  "$SERVICE" -s start >/dev/null
  # Until nothing more arrives for 2 s.
  last=-1
  last_change=$(now_ns)
  end=$last_change
  while :; do
    got=$(count "$id")
    if [ "$got" != "$last" ]; then
      last=$got
      last_change=$(now_ns)
      end=$last_change
    elif [ "$got" -ge "$B" ] || [ $(($(now_ns) - last_change)) -gt 2000000000 ]; then
      break
    fi
    sleep 0.02
  done
  errors=$(($(rcvbuf_errors) - errors_before))
  awk -v r="$rate" -v got="$last" -v b="$B" -v e="$errors" -v s="$start" -v t="$end" 'BEGIN {
    printf "%12s %10d %10d %12d %12.0f\n", (r == 0 ? "0 (unpaced)" : r), got, b - got, e, got / ((t - s) / 1e9) }'
done
