#!/bin/bash
# Syslog forwarding end to end: events written into the Application log with
# cvnevent, read by a running CVNService, forwarded over TCP (LF after each
# message) to a local rsyslog. Two cases:
#   stream: N events written while the service runs; events per second from
#           the first write until rsyslog has the last one, and how long after
#           the last write that was (the lag: a service that keeps up with the
#           writer has a short one);
#   burst:  B events written while the service is stopped, then the service
#           started; events per second from the start until rsyslog has them.
# For each case the service's peak memory (VmHWM of the service process).
#
# Run as root from the project folder, with a built tree and rsyslog installed
# (Debian package rsyslog):
#   bench/syslog_throughput.sh [N] [build folder] [B]   N = 100000, build, B = 25000
#   bench/syslog_throughput.sh 10000 build-bench 100000
# Everything happens in a fresh machine root in a temporary folder (kept when
# KEEP=1 is set, for a look at rsyslog's output and the service's log files).
set -euo pipefail

N=${1:-100000}
BUILD=$(cd "${2:-build}" && pwd)
B=${3:-25000}
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

. "$(dirname "$0")/../scripts/rsyslog_peer.sh"
start_rsyslog

# The service's configuration: forward over TCP with LF to rsyslog, watch
# only the Application log.
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
    sleep 0.01
  done
}

service_pid() { sed -n 's/^pid=//p' "$CORVANE_ROOT"/services/cvnservice/status; }
peak_rss() { sed -n 's/^VmHWM:[[:space:]]*//p' "/proc/$(service_pid)/status"; }

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

# Stream: written while the service runs.
START=$(now_ns)
"$CVNEVENT" write Application CvnBench --id 2 --repeat "$N" "benchmark event payload"
WRITTEN=$(now_ns)
wait_for 2 "$N" || true
END=$(now_ns)
STREAM_GOT=$(count 2)
STREAM_HWM=$(peak_rss)

# Burst: written while the service is stopped, forwarded after the start.
"$SERVICE" -s stop
"$CVNEVENT" write Application CvnBench --id 3 --repeat "$B" "benchmark event payload"
BURST_START=$(now_ns)
"$SERVICE" -s start
wait_for 3 "$B" || true
BURST_END=$(now_ns)
BURST_GOT=$(count 3)
BURST_HWM=$(peak_rss)
sleep 1
EXTRA=$(($(count 2) - STREAM_GOT + $(count 3) - BURST_GOT))

awk -v n="$N" -v s="$START" -v w="$WRITTEN" -v e="$END" -v hwm="$STREAM_HWM" \
  -v b="$B" -v bs="$BURST_START" -v be="$BURST_END" -v bhwm="$BURST_HWM" -v extra="$EXTRA" -v sgot="$STREAM_GOT" -v bgot="$BURST_GOT" 'BEGIN {
  total = (e - s) / 1e9
  printf "stream: %d events over TCP (LF) to rsyslog\n", n
  printf "  written in:         %.3f s (one cvnevent process, %.0f events/s)\n", (w - s) / 1e9, n / ((w - s) / 1e9)
  printf "  all received in:    %.3f s, %.3f s after the last write\n", total, (e - w) / 1e9
  printf "  events per second:  %.0f\n", n / total
  printf "  service peak RSS:   %s\n", hwm
  if (sgot != n) printf "  WARNING: rsyslog received %d of %d\n", sgot, n
  btotal = (be - bs) / 1e9
  printf "burst: %d events written while the service was stopped\n", b
  printf "  start to last one:  %.3f s (the service start included)\n", btotal
  printf "  events per second:  %.0f\n", b / btotal
  printf "  service peak RSS:   %s\n", bhwm
  if (bgot != b) printf "  WARNING: rsyslog received %d of %d\n", bgot, b
  if (extra != 0) printf "WARNING: %d more events arrived after the waits ended\n", extra
}'
