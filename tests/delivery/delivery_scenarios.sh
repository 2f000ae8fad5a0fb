#!/bin/bash
# Syslog delivery under faults, end to end: events written with cvnevent into
# the Application log of a running CVNService, forwarded over TCP to a local
# rsyslog. Each scenario checks that every event arrives at least once and in
# order (the numbers of one scenario only ever go back where the service was
# restarted, which reads again what was not yet durable), and prints how many
# arrived twice:
#   kill9-burst   the service killed (SIGKILL) right after a burst of writes
#   kill9-steady  the service killed while a writer is still writing
#   stop-backlog  a stop 0.5 s after a burst; it must end within its deadline
#   burst-stopped events written while the service is stopped, then started
#   slow-receiver the receiver stops reading (SIGSTOP) for a while, and the
#                 service is reloaded and stopped meanwhile: its memory stays
#                 flat, no thread is given up, nothing is lost
#   full-disk     the receiver is down and the cache folder is a tiny tmpfs
#                 that fills up
#
# Run as root from the project folder with a built tree:
#   tests/delivery/delivery_scenarios.sh [build folder] [scale]
# scale multiplies the event counts (default 1; the long form uses 4).
# Exit 77 (skipped) when not root or rsyslog is missing.
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
SCALE=${2:-1}
SERVICE=$BUILD/src/service/CVNService
CVNCFG=$BUILD/src/tools/cvncfg/cvncfg
CVNEVENT=$BUILD/src/tools/cvnevent/cvnevent
CVNCONSOLE=$BUILD/src/tools/cvnconsole/cvnconsole
RSYSLOGD=${RSYSLOGD:-/usr/sbin/rsyslogd}
[ "$(id -u)" = 0 ] || { echo "SKIP: the scenarios need root (service, tmpfs)"; exit 77; }
[ -x "$RSYSLOGD" ] || { echo "SKIP: rsyslog is not installed (Debian package rsyslog)"; exit 77; }
for program in "$SERVICE" "$CVNCFG" "$CVNEVENT" "$CVNCONSOLE"; do
  [ -x "$program" ] || { echo "missing: $program" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/cvn-delivery.XXXXXX)
export CORVANE_ROOT=$WORK/root
RSYSLOG_PID=
INSTALLED=
TMPFS=
FAILED=0

cleanup() {
  [ -n "$RSYSLOG_PID" ] && kill -CONT "$RSYSLOG_PID" 2>/dev/null || true
  if [ -n "$INSTALLED" ]; then
    "$SERVICE" -s stop || true
    "$SERVICE" -s uninstall || true
  fi
  if [ -n "$RSYSLOG_PID" ]; then
    kill -TERM "$RSYSLOG_PID" 2>/dev/null || true
    wait "$RSYSLOG_PID" 2>/dev/null || true
  fi
  [ -n "$TMPFS" ] && umount "$TMPFS" 2>/dev/null || true
  if [ "${KEEP:-0}" = 1 ]; then echo "kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }

. "$(dirname "$0")/../../scripts/rsyslog_peer.sh"

# The record numbers of the events of one id, in the order they arrived.
# Messages carry the low 16 bits of a record number; a scenario never goes
# back by half of that, so the full numbers are unwrapped from the order.
numbers() {
  [ -f "$WORK/rsyslog/out.log" ] || return 0
  sed -n "s/.*CvnScenario: \[$1\] #\([0-9]*\).*/\1/p" "$WORK/rsyslog/out.log" |
    awk '{ n = $1 + base
           if (NR > 1 && n < prev - 32768) { base += 65536; n += 65536 }
           if (NR > 1 && n > prev + 32768) { base -= 65536; n -= 65536 }
           print n; prev = n }'
}
arrived() { numbers "$1" | sort -un | wc -l; }

# Waits until every one of want events of an id arrived; gives up after
# timeout seconds without progress.
wait_all() {
  local id=$1 want=$2 timeout=${3:-30} last=-1 since got
  since=$(now_ms)
  while :; do
    got=$(arrived "$id")
    [ "$got" -ge "$want" ] && return 0
    if [ "$got" != "$last" ]; then
      last=$got
      since=$(now_ms)
    elif [ $(($(now_ms) - since)) -gt $((timeout * 1000)) ]; then
      return 1
    fi
    sleep 0.05
  done
}

# Checks one scenario: every event arrived, and the numbers went back at
# most once per restart ("-": order not checked). Prints the figures.
check() {
  local name=$1 id=$2 want=$3 restarts=$4 total unique backs result=ok order
  wait_all "$id" "$want" 60 || true
  sleep 0.3
  total=$(numbers "$id" | wc -l)
  unique=$(arrived "$id")
  backs=$(numbers "$id" | awk 'NR > 1 && $1 < prev { n++ } { prev = $1 } END { print n + 0 }')
  if [ "$restarts" = - ]; then
    order="order across connections not checked"
  else
    order="out of order $((backs > restarts ? backs - restarts : 0))"
    [ "$backs" -gt "$restarts" ] && result=FAILED
  fi
  [ "$unique" -ne "$want" ] && result=FAILED
  [ "$result" = ok ] || FAILED=1
  printf "%-14s %s: written %d, arrived %d, lost %d, duplicated %d, %s\n" \
    "$name" "$result" "$want" "$unique" $((want - unique)) $((total - unique)) "$order"
}

write() { "$CVNEVENT" write Application CvnScenario --id "$1" --repeat "$2" "${3:-scenario event}"; }
service_pid() { sed -n 's/^pid=//p' "$CORVANE_ROOT/services/cvnservice/status"; }
rss_kb() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$(service_pid)/status"; }
running() { "$SERVICE" status 2>/dev/null | grep -q SERVICE_RUNNING; }
# After a kill the service's monitor restarts it; start it when it did not.
ensure_running() {
  for _ in $(seq 100); do
    running && return 0
    sleep 0.05
  done
  "$SERVICE" -s start || true
}

SETTINGS="$CORVANE_ROOT/ProgramData/Halvorn/Corvane 3/settings.cvncfg"
set_key() { "$CVNCFG" set "$SETTINGS" "$1" "$2" >/dev/null; }

start_rsyslog
set_key Syslog/Forward 1
set_key Syslog/Server 127.0.0.1
set_key Syslog/Port "$PORT"
set_key Syslog/Tcp 1
set_key Syslog/TcpSeparator 2
set_key Syslog/Format '%SOURCE%: [%EVENT_ID%] #%EVENT_NUMBER% %DESCRIPTION%'
set_key Logs/InspectAll 0
set_key Logs/IsIncludeList 1
set_key Logs/List Application
"$SERVICE" -s install
INSTALLED=1
# Room for every scenario's records: nothing is overwritten before it is read.
"$CVNEVENT" create-log Application --max-size $((256 * 1024 * 1024)) >/dev/null
"$CVNEVENT" add-source Application CvnScenario >/dev/null
"$SERVICE" -s start
# Registered: from now on every record written is new.
for _ in $(seq 30); do
  write 1 1
  wait_all 1 1 1 && break
done

n=$((5000 * SCALE))

write 10 "$n"
kill -KILL "$(service_pid)"
ensure_running
check kill9-burst 10 "$n" 1

write 11 "$n" &
WRITER=$!
sleep 0.2
kill -KILL "$(service_pid)"
wait "$WRITER"
ensure_running
check kill9-steady 11 "$n" 1

write 12 "$n"
sleep 0.5
began=$(now_ms)
"$SERVICE" -s stop || { echo "stop-backlog   FAILED: the stop did not succeed"; FAILED=1; }
stop_ms=$(($(now_ms) - began))
"$SERVICE" -s start
check stop-backlog 12 "$n" 1
echo "               (the stop took $stop_ms ms)"

"$SERVICE" -s stop
write 13 $((5 * n))
"$SERVICE" -s start
check burst-stopped 13 $((5 * n)) 0

# 3 KB messages, more than the connection's buffers hold, into a receiver
# that stopped reading: sends time out and the messages go to the cache.
long=$(head -c 3000 /dev/zero | tr '\0' 'x')
slow=$((8000 * SCALE))
kill -STOP "$RSYSLOG_PID"
before=$(rss_kb)
write 14 "$slow" "$long" &
WRITER=$!
sleep 15
during=$(rss_kb)
"$CVNCONSOLE" reload >/dev/null 2>&1 || true
began=$(now_ms)
"$SERVICE" -s stop || { echo "slow-receiver  FAILED: the stop did not succeed"; FAILED=1; }
stop_ms=$(($(now_ms) - began))
kill -CONT "$RSYSLOG_PID"
wait "$WRITER"
"$SERVICE" -s start
# Each send that timed out left bytes in a connection that rsyslog reads
# later, interleaved with the next connections': the order within each
# connection holds, but the output cannot tell connections apart.
check slow-receiver 14 "$slow" -
given_up=$(cat "$CORVANE_ROOT"/ProgramData/Halvorn/Corvane\ 3/Logs/CVN*.log | grep -c "given up" || true)
echo "               (service memory: ${before} kB before, ${during} kB while the receiver stood;"
echo "                a reload, then a stop that took $stop_ms ms; threads given up: $given_up)"
[ $((during - before)) -lt 16384 ] || { echo "slow-receiver FAILED: memory grew"; FAILED=1; }
[ "$given_up" = 0 ] || { echo "slow-receiver FAILED: a thread was given up"; FAILED=1; }

# A cache folder with room for a few hundred messages, the receiver down.
TMPFS=$WORK/tinycache
mkdir -p "$TMPFS"
if mount -t tmpfs -o size=64k tmpfs "$TMPFS" 2>/dev/null; then
  set_key General/CacheFolder "$TMPFS"
  "$SERVICE" -s stop
  "$SERVICE" -s start
  stop_rsyslog
  write 15 "$n"
  sleep 3
  start_rsyslog
  check full-disk 15 "$n" 1
  full=$(cat "$CORVANE_ROOT"/ProgramData/Halvorn/Corvane\ 3/Logs/CVN*.log | grep -c "could not be added to the cache file" || true)
  echo "               (cache appends refused for a full disk: $full)"
else
  echo "full-disk      skipped: tmpfs cannot be mounted here"
fi

exit "$FAILED"
