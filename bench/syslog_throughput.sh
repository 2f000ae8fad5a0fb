#!/bin/bash
# Syslog forwarding end to end: events written into the Application log with
# cvnevent, read by a running CVNService, forwarded over TCP (LF after each
# message) to a local rsyslog. Prints events per second, from the first write
# until rsyslog has received the last event, and the service's peak memory
# (VmHWM of the service process).
#
# Run as root from the project folder, with a built tree and rsyslog installed
# (Debian package rsyslog):
#   bench/syslog_throughput.sh [N] [build folder]     N = 10000, folder = build
#   bench/syslog_throughput.sh 10000 build-bench
# Everything happens in a fresh machine root in a temporary folder (kept when
# KEEP=1 is set, for a look at rsyslog's output and the service's log files).
# The forwarder pauses 1 ms after each message, so expect well under 1000
# events per second.
set -euo pipefail

N=${1:-10000}
BUILD=$(cd "${2:-build}" && pwd)
SERVICE=$BUILD/src/service/CVNService
CVNCFG=$BUILD/src/tools/cvncfg/cvncfg
CVNEVENT=$BUILD/src/tools/cvnevent/cvnevent
RSYSLOGD=${RSYSLOGD:-/usr/sbin/rsyslogd}
for program in "$SERVICE" "$CVNCFG" "$CVNEVENT" "$RSYSLOGD"; do
  [ -x "$program" ] || { echo "missing: $program" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/cvn-syslog-bench.XXXXXX)
export CORVANE_ROOT=$WORK/root
RSYSLOG_PID=
INSTALLED=

cleanup() {
  if [ -n "$INSTALLED" ]; then
    "$SERVICE" -s stop || true
    "$SERVICE" -s uninstall || true
  fi
  if [ -n "$RSYSLOG_PID" ]; then
    kill -TERM "$RSYSLOG_PID" 2>/dev/null || true
    wait "$RSYSLOG_PID" 2>/dev/null || true
  fi
  if [ "${KEEP:-0}" = 1 ]; then echo "kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

now_ns() { date +%s%N; }

# rsyslog: one TCP input on a port it chooses (written to tcp.port), every
# message as one line of out.log; control characters left as they are and
# messages up to 64 KiB, so nothing is split or rewritten.
mkdir -p "$WORK/rsyslog/work"
cat >"$WORK/rsyslog/rsyslog.conf" <<EOF
global(workDirectory="$WORK/rsyslog/work" maxMessageSize="64k"
       parser.escapeControlCharactersOnReceive="off")
module(load="imtcp")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="out") { action(type="omfile" file="$WORK/rsyslog/out.log" template="raw") }
input(type="imtcp" address="127.0.0.1" port="0" listenPortFileName="$WORK/rsyslog/tcp.port"
      ruleset="out")
EOF
"$RSYSLOGD" -n -f "$WORK/rsyslog/rsyslog.conf" -i "$WORK/rsyslog/rsyslogd.pid" \
  >"$WORK/rsyslog/stdout" 2>&1 &
RSYSLOG_PID=$!
for _ in $(seq 500); do
  [ -s "$WORK/rsyslog/tcp.port" ] && break
  sleep 0.01
done
[ -s "$WORK/rsyslog/tcp.port" ] || { echo "rsyslog did not start:" >&2; cat "$WORK/rsyslog/stdout" >&2; exit 1; }
PORT=$(cat "$WORK/rsyslog/tcp.port")

# The service's configuration: forward over TCP with LF to rsyslog, watch
# only the Application log. MaxNewRecords is raised so that a reader that
# falls behind a fast writer by more than 10000 records does not skip them.
SETTINGS="$CORVANE_ROOT/ProgramData/Halvorn/Corvane 3/settings.cvncfg"
set_key() { "$CVNCFG" set "$SETTINGS" "$1" "$2"; }
set_key Syslog/Forward 1
set_key Syslog/Server 127.0.0.1
set_key Syslog/Port "$PORT"
set_key Syslog/Tcp 1
set_key Syslog/TcpSeparator 2
set_key Logs/InspectAll 0
set_key Logs/IsIncludeList 1
set_key Logs/List Application
set_key Logs/MaxNewRecords 999999

"$SERVICE" -s install
INSTALLED=1
"$CVNEVENT" add-source Application CvnBench
"$SERVICE" -s start

count() {
  if [ -f "$WORK/rsyslog/out.log" ]; then grep -c "CvnBench: \[$1\]" "$WORK/rsyslog/out.log" || true; else echo 0; fi
}

# Waits until rsyslog holds want messages of event id $1; gives up after 30 s
# without progress.
wait_for() {
  local id=$1 want=$2 last=-1 since got
  since=$(now_ns)
  while :; do
    got=$(count "$id")
    [ "$got" -ge "$want" ] && return 0
    if [ "$got" != "$last" ]; then
      last=$got
      since=$(now_ns)
    elif [ $(($(now_ns) - since)) -gt 30000000000 ]; then
      echo "rsyslog received $got of $want events of id $id; giving up" >&2
      return 1
    fi
    sleep 0.02
  done
}

# Warm-up: one event through, so the log is watched and the connection is
# up. Records already in a log when the service first sees it are never
# forwarded, so an event written before the service has registered the log
# is lost; write another each second until one arrives.
for _ in $(seq 30); do
  "$CVNEVENT" write Application CvnBench --id 1 "warm-up"
  for _ in $(seq 50); do
    [ "$(count 1)" -ge 1 ] && break 2
    sleep 0.02
  done
done
[ "$(count 1)" -ge 1 ] || { echo "no warm-up event reached rsyslog" >&2; exit 1; }

START=$(now_ns)
"$CVNEVENT" write Application CvnBench --id 2 --repeat "$N" "benchmark event payload"
WRITTEN=$(now_ns)
wait_for 2 "$N"
END=$(now_ns)

# The service database holds the pid of the running service process.
PID=$(sed -n 's/^pid=//p' "$CORVANE_ROOT"/services/cvnservice/status)
HWM=$(sed -n 's/^VmHWM:[[:space:]]*//p' "/proc/$PID/status")
RSS=$(sed -n 's/^VmRSS:[[:space:]]*//p' "/proc/$PID/status")
sleep 1
EXTRA=$(($(count 2) - N))

awk -v n="$N" -v s="$START" -v w="$WRITTEN" -v e="$END" -v hwm="$HWM" -v rss="$RSS" \
  -v extra="$EXTRA" 'BEGIN {
  total = (e - s) / 1e9
  printf "events:            %d over TCP (LF) to rsyslog\n", n
  printf "written in:        %.3f s (one cvnevent process)\n", (w - s) / 1e9
  printf "all received in:   %.3f s\n", total
  printf "events per second: %.0f\n", n / total
  printf "service peak RSS:  %s (VmHWM; VmRSS now %s)\n", hwm, rss
  if (extra != 0) printf "WARNING: rsyslog received %d events more than written\n", extra
}'
