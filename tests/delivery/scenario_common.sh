# Sourced by the delivery scenarios: the tools of a built tree, a fresh
# machine root in a temporary folder (kept with KEEP=1), a local rsyslog, and
# the service installed on that root, forwarding the Application log over TCP
# to the rsyslog. Needs BUILD. A script that leaves more to undo defines
# cleanup_more, which runs after the service is stopped and uninstalled.
# Exits 77 (skipped) when not root or rsyslog is missing.

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
SETTINGS="$CORVANE_ROOT/ProgramData/Halvorn/Corvane 3/settings.cvncfg"
LOGS="$CORVANE_ROOT/ProgramData/Halvorn/Corvane 3/Logs"
RSYSLOG_PID=
INSTALLED=
FAILED=0

cleanup_more() { :; }
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
  cleanup_more
  if [ "${KEEP:-0}" = 1 ]; then echo "kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }

. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/rsyslog_peer.sh"

# The service's %EVENT_NUMBER% is the low 16 bits of a record number. Read
# in the order a channel delivered them, the full numbers are unwrapped: a
# scenario never goes back by half of that range.
unwrap16() {
  awk '{ n = $1 + base
         if (NR > 1 && n < prev - 32768) { base += 65536; n += 65536 }
         if (NR > 1 && n > prev + 32768) { base -= 65536; n -= 65536 }
         print n; prev = n }'
}

# The record numbers of the events of one id that rsyslog received, in the
# order they arrived. Messages read "...: [id] #number ...".
syslog_numbers() {
  [ -f "$WORK/rsyslog/out.log" ] || return 0
  { grep -o "CvnScenario: \[$1\] #[0-9]*" "$WORK/rsyslog/out.log" || true; } | sed 's/.*#//' |
    unwrap16
}

syslog_arrived() { syslog_numbers "$1" | sort -un | wc -l; }

# Waits until "$count_of id" reaches want; gives up after timeout seconds
# without progress.
wait_count() {
  local count_of=$1 id=$2 want=$3 timeout=${4:-30} last=-1 since got
  since=$(now_ms)
  while :; do
    got=$("$count_of" "$id")
    [ "$got" -ge "$want" ] && return 0
    if [ "$got" != "$last" ]; then
      last=$got
      since=$(now_ms)
    elif [ $(($(now_ms) - since)) -gt $((timeout * 1000)) ]; then
      return 1
    fi
    sleep "${POLL:-0.05}"
  done
}

write() { "$CVNEVENT" write Application CvnScenario --id "$1" --repeat "$2" "${3:-scenario event}"; }
service_pid() { sed -n 's/^pid=//p' "$CORVANE_ROOT/services/cvnservice/status"; }
running() { "$SERVICE" status 2>/dev/null | grep -q SERVICE_RUNNING; }
# After a kill the service's monitor restarts it; start it when it did not.
ensure_running() {
  for _ in $(seq 100); do
    running && return 0
    sleep 0.05
  done
  "$SERVICE" -s start || true
}
set_key() { "$CVNCFG" set "$SETTINGS" "$1" "$2" >/dev/null; }
# Lines of the service's own log files that match a pattern.
log_lines() { cat "$LOGS"/CVN*.log 2>/dev/null | grep -e "$1" || true; }

# rsyslog up, the service configured for it (more keys may be set before),
# installed and started, and one event through, so that every record
# written from then on is new to it.
start_service_with_rsyslog() {
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
  for _ in $(seq 30); do
    write 1 1
    wait_count syslog_arrived 1 1 1 && return 0
  done
  echo "no event reached rsyslog" >&2
  exit 1
}
