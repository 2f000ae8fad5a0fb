#!/bin/bash
# Delivery on every channel at once, end to end: events written with cvnevent
# into the Application log of a running CVNService that forwards each record
# to a local rsyslog over TCP, inserts it into a SQLite file through ODBC
# (in transactions, the channel's position kept in the same database) and
# mails it to a local aiosmtpd. Each scenario prints one line per channel:
# records written, arrived, lost and duplicated (by record number). A loss
# fails the run, and so does a row inserted twice; how many arrived twice
# elsewhere is only shown.
#   burst         5,000 records at once, five times every channel's queue bound
#                 (one mail per record)
#   reloads       the mail server down, two reloads, then the server comes up
#   purge         the e-mail queue purged while that channel is held back by a
#                 mail server that is down: the other channels are unaffected
#                 (what e-mail lost is what was purged)
#   db-stalled    another connection holds the database locked while records
#                 are written: syslog and e-mail go on, the rows follow later
#   kill9         the service killed (SIGKILL) while a writer streams, every
#                 channel busy; the service's monitor starts it again
#
# Run as root from the project folder with a built tree:
#   tests/delivery/channel_scenarios.sh [build folder] [scale]
# scale multiplies the record counts (default 1; the long form uses 4).
# Exit 77 (skipped) when not root or a peer is missing.
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
SCALE=${2:-1}
. "$(dirname "$0")/scenario_common.sh"
. "$(dirname "$0")/../../scripts/channel_peers.sh"
missing=$(channel_peers_missing)
[ -z "$missing" ] || { echo "SKIP: missing $missing"; exit 77; }
LOCKER=
cleanup_more() {
  stop_smtp
  [ -n "$LOCKER" ] && kill "$LOCKER" 2>/dev/null || true
}
POLL=0.25

db_numbers() {
  { db_query "SELECT Number FROM EventLog WHERE EventId = $1 ORDER BY Id" || true; } | unwrap16
}
email_numbers() {
  collect_mail
  { grep -o "\[$1\] #[0-9]*" "$WORK/smtp/bodies" || true; } | sed 's/.*#//' | unwrap16
}
db_arrived() { db_numbers "$1" | sort -un | wc -l; }
email_arrived() { email_numbers "$1" | sort -un | wc -l; }

# Waits until each channel has every record of an id, or made no progress for
# timeout seconds.
wait_channels() {
  local id=$1 want=$2 timeout=$3 channel
  shift 3
  for channel in "$@"; do wait_count "${channel}_arrived" "$id" "$want" "$timeout" || true; done
}

# One table line: a scenario's figures on one channel, and the seconds since
# the scenario began. With "purged" the records that did not arrive are shown
# as purged instead of failing.
printf "%-11s %-7s %-7s %8s %8s %6s %11s %5s\n" scenario channel result written arrived lost \
  duplicated s
report() {
  local scenario=$1 channel=$2 id=$3 want=$4 purged=${5:-} total unique result=ok
  "${channel}_numbers" "$id" >"$WORK/numbers"
  total=$(wc -l <"$WORK/numbers")
  unique=$(sort -un "$WORK/numbers" | wc -l)
  if [ "$unique" -gt "$want" ]; then
    result=FAILED
  elif [ "$unique" -lt "$want" ]; then
    if [ -n "$purged" ]; then result=purged; else result=FAILED; fi
  fi
  [ "$channel" = db ] && [ -n "$POSITION_TABLE" ] && [ "$total" -gt "$unique" ] && result=FAILED
  [ "$result" = FAILED ] && FAILED=1
  printf "%-11s %-7s %-7s %8d %8d %6d %11d %5d\n" "$scenario" "$channel" "$result" "$want" \
    "$unique" $((want - unique)) $((total - unique)) $((($(now_ms) - BEGAN) / 1000))
}
report_all() {
  local scenario=$1 id=$2 want=$3
  wait_channels "$id" "$want" 45 syslog db email
  sleep 1
  for channel in syslog db email; do report "$scenario" "$channel" "$id" "$want"; done
}

# A value of the console's status table (" 21  e-mail records behind   7").
# status exits 3 while a channel fails, which some scenarios arrange.
status_value() {
  { "$CVNCONSOLE" status 2>/dev/null || true; } | sed -n "s/^ *[0-9]*  $1  *//p"
}
# The mails received, or "done" (a large number) once e-mail has nothing
# behind and nothing queued.
DONE=999999999
email_progress() {
  if [ "$(status_value "e-mail records behind")" = 0 ] &&
    [ "$(status_value "e-mail queue length")" = 0 ]; then echo "$DONE"; else mails_received; fi
}
reload() { "$CVNCONSOLE" reload >/dev/null || echo "            (a reload failed: $?)"; }
# Writes n records in slices, so that the service reads while it writes.
stream() {
  local id=$1 n=$2 slice=500 done=0
  while [ "$done" -lt "$n" ]; do
    [ $((n - done)) -lt "$slice" ] && slice=$((n - done))
    write "$id" "$slice"
    done=$((done + slice))
    sleep 0.02
  done
}

start_smtp
create_db
set_key Email/Forward 1
set_key Email/Server 127.0.0.1
set_key Email/Port "$SMTP_PORT"
set_key Email/From scenario@example.test
set_key Email/To admin@example.test
set_key Email/Consolidation 0
set_key Email/TemplateHeader ''
set_key Email/Tempate $'[%EVENT_ID%] #%EVENT_NUMBER%\n'
set_key DB/Forward 1
set_key DB/ConnString "$DB_CONNECTION"
set_key DB/Command "$DB_COMMAND"
set_key DB/UseTrans 1
POSITION_TABLE=CvnPositions
if ! "$CVNCFG" set "$SETTINGS" DB/PositionTable "$POSITION_TABLE" >/dev/null 2>&1; then
  echo "(this build has no DB/PositionTable: rows inserted twice are only shown)"
  POSITION_TABLE=
fi
start_service_with_rsyslog

# One mail per record, so that the e-mail queue's bound is reached too.
BEGAN=$(now_ms)
n=$((5000 * SCALE))
write 30 "$n"
report_all burst 30 "$n"

# The mail server down: the records wait in the e-mail channel through two
# reloads, then go out once the server is back (after the connect back-off).
BEGAN=$(now_ms)
n=200
stop_smtp
write 31 "$n"
wait_channels 31 "$n" 30 syslog db
reload
sleep 1
reload
sleep 2
start_smtp
report_all reloads 31 "$n"

# The mail server down while more records than the e-mail queue holds are
# written: that channel falls behind. Its queue is purged while more records
# are written; syslog and the database get every record once.
BEGAN=$(now_ms)
n=$((1500 * SCALE))
more=$((500 * SCALE))
stop_smtp
write 32 "$n"
wait_channels 32 "$n" 30 syslog db
behind=$(status_value "e-mail records behind")
write 32 "$more" &
WRITER=$!
"$CVNCONSOLE" purge email >/dev/null || echo "            (the purge failed: $?)"
wait "$WRITER"
start_smtp
n=$((n + more))
wait_channels 32 "$n" 30 syslog db
# E-mail sends what it read after the purge, up to the newest record.
wait_count email_progress - "$DONE" 45 || true
sleep 1
for channel in syslog db; do report purge "$channel" 32 "$n"; done
report purge email 32 "$n" purged
echo "            (e-mail was $behind records behind when its queue was purged)"

# Consolidated mails from here on: the e-mail channel keeps up with the others.
set_key Email/Consolidation 2
reload

# The database locked by another connection for a while (the sqlite3 shell
# in an exclusive transaction) while records are written.
BEGAN=$(now_ms)
n=$((10000 * SCALE))
hold=20
{ echo "BEGIN EXCLUSIVE;"; sleep "$hold"; echo "COMMIT;"; } |
  sqlite3 -batch -cmd ".timeout 10000" "$DB_FILE" &
LOCKER=$!
# Locked once a reader that does not wait is refused.
for _ in $(seq 100); do
  sqlite3 -batch -cmd ".timeout 0" "$DB_FILE" "SELECT 1 FROM EventLog LIMIT 1" >/dev/null 2>&1 ||
    break
  sleep 0.05
done
write 33 "$n"
wait_count syslog_arrived 33 "$n" 30 || true
syslog_ms=$(($(now_ms) - BEGAN))
locked=no
kill -0 "$LOCKER" 2>/dev/null && locked=yes
wait "$LOCKER" || true
LOCKER=
report_all db-stalled 33 "$n"
echo "            (syslog had them ${syslog_ms} ms after the write began; database still locked then: $locked)"

# SIGKILL while a writer streams and every channel is busy.
BEGAN=$(now_ms)
n=$((20000 * SCALE))
stream 34 "$n" &
WRITER=$!
POLL=0.05 wait_count syslog_arrived 34 $((n / 3)) 30 || true
kill -KILL "$(service_pid)"
wait "$WRITER"
ensure_running
report_all kill9 34 "$n"

echo "failures the service logged (numbers as N):"
log_lines ',[EA],' | cut -d, -f5- | sed 's/[0-9][0-9]*/N/g' | sort | uniq -c | sort -rn | head -n 12
exit "$FAILED"
