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
# With the mode "all", a third case:
#   every channel: the database (a SQLite file through ODBC, DB/UseTrans 1)
#           and e-mail (a local aiosmtpd, Email/Consolidation 2) turned on
#           beside syslog, then N events written as in the stream case;
#           events per second until rsyslog has the last, rows per second
#           until the table has all, records per second until the mails
#           hold all.
#
# Run as root from the project folder, with a built tree and rsyslog installed
# (Debian package rsyslog; for "all" also python3-aiosmtpd, libsqliteodbc
# and sqlite3):
#   bench/syslog_throughput.sh [N] [build folder] [B] [mode]
#                         N = 100000, build, B = 25000, mode = syslog or all
#   bench/syslog_throughput.sh 10000 build-bench 100000
# Everything happens in a fresh machine root in a temporary folder (kept when
# KEEP=1 is set, for a look at rsyslog's output and the service's log files).
set -euo pipefail

N=${1:-100000}
BUILD=$(cd "${2:-build}" && pwd)
B=${3:-25000}
MODE=${4:-syslog}
case "$MODE" in syslog | all) ;; *) echo "mode: syslog or all" >&2; exit 2 ;; esac
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
  [ "$MODE" = all ] && stop_smtp
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
if [ "$MODE" = all ]; then
  . "$(dirname "$0")/../scripts/channel_peers.sh"
  missing=$(channel_peers_missing)
  [ -z "$missing" ] || { echo "missing: $missing" >&2; exit 2; }
  start_smtp
  create_db
fi

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

# Every channel: the database and e-mail turned on by a reload.
if [ "$MODE" = all ]; then
  set_key DB/Forward 1 >/dev/null
  set_key DB/ConnString "$DB_CONNECTION" >/dev/null
  set_key DB/UseTrans 1 >/dev/null
  set_key Email/Forward 1 >/dev/null
  set_key Email/Server 127.0.0.1 >/dev/null
  set_key Email/Port "$SMTP_PORT" >/dev/null
  set_key Email/From bench@example.test >/dev/null
  set_key Email/To admin@example.test >/dev/null
  set_key Email/Consolidation 2 >/dev/null
  "$BUILD/src/tools/cvnconsole/cvnconsole" reload >/dev/null || { echo "the reload failed" >&2; exit 1; }
  rows() { db_query "SELECT count(*) FROM EventLog WHERE EventId = 4" 2>/dev/null || echo 0; }
  # Each mail's header counts the records it holds.
  mailed() {
    collect_mail
    sed -n 's/^Total number of events: \([0-9]*\).*/\1/p' "$WORK/smtp/bodies" |
      awk '{ n += $1 } END { print n + 0 }'
  }
  ALL_START=$(now_ns)
  "$CVNEVENT" write Application CvnBench --id 4 --repeat "$N" "benchmark event payload"
  ALL_WRITTEN=$(now_ns)
  # One waiter per channel, each polling at its own pace (looking at the
  # table and the mails costs far more than counting rsyslog's lines), so
  # that each end is seen when it comes; each writes its end time, and gives
  # up after 30 s without progress.
  wait_end() {
    local name=$1 probe=$2 pace=$3 got last=-1 since
    since=$(now_ns)
    while :; do
      got=$($probe)
      if [ "$got" -ge "$N" ]; then now_ns >"$WORK/end.$name"; return; fi
      if [ "$got" != "$last" ]; then
        last=$got
        since=$(now_ns)
      elif [ $(($(now_ns) - since)) -gt 30000000000 ]; then
        echo "every channel: $name received $got of $N; giving up" >&2
        return
      fi
      sleep "$pace"
    done
  }
  syslog_count() { count 4; }
  wait_end syslog syslog_count 0.01 &
  waiters=$!
  wait_end db rows 0.1 &
  waiters="$waiters $!"
  wait_end mail mailed 0.5 &
  waiters="$waiters $!"
  # shellcheck disable=SC2086
  wait $waiters
  SYSLOG_END=$(cat "$WORK/end.syslog" 2>/dev/null || true)
  DB_END=$(cat "$WORK/end.db" 2>/dev/null || true)
  MAIL_END=$(cat "$WORK/end.mail" 2>/dev/null || true)
  ALL_HWM=$(peak_rss)
  read -r ALL_SYSLOG ALL_ROWS ALL_MAILED <<<"$(count 4) $(rows) $(mailed)"
  MAILS=$(mails_received)
fi

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

[ "$MODE" = all ] || exit 0
end_or_none() { [ -n "$1" ] && echo "$1" || echo 0; }
awk -v n="$N" -v s="$ALL_START" -v w="$ALL_WRITTEN" -v hwm="$ALL_HWM" \
  -v se="$(end_or_none "$SYSLOG_END")" -v de="$(end_or_none "$DB_END")" \
  -v me="$(end_or_none "$MAIL_END")" -v sgot="$ALL_SYSLOG" -v rows="$ALL_ROWS" \
  -v mailed="$ALL_MAILED" -v mails="$MAILS" 'BEGIN {
  printf "every channel: %d events to syslog (TCP), the database (SQLite, in transactions)\n", n
  printf "  and e-mail (consolidated), written in %.3f s\n", (w - s) / 1e9
  if (se) printf "  syslog:             %.0f events/s, all in %.3f s\n", n / ((se - s) / 1e9), (se - s) / 1e9
  else printf "  syslog:             rsyslog received %d of %d\n", sgot, n
  if (de) printf "  database:           %.0f rows/s, all in %.3f s\n", n / ((de - s) / 1e9), (de - s) / 1e9
  else printf "  database:           the table holds %d of %d rows\n", rows, n
  if (me) printf "  e-mail:             %.0f records/s in %d mails, all in %.3f s\n", n / ((me - s) / 1e9), mails, (me - s) / 1e9
  else printf "  e-mail:             %d mails hold %d of %d records\n", mails, mailed, n
  printf "  service peak RSS:   %s\n", hwm
}'
