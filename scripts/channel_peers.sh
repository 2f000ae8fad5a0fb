# Sourced beside rsyslog_peer.sh by the channel scenarios and the throughput
# benchmark: the other two channels' peers.
#   - a local aiosmtpd (tests/email/smtp_peer.py) on one port of 127.0.0.1:
#     each start saves into a folder of its own ($WORK/smtp/1, 2, ...), the
#     first picks the port (SMTP_PORT), later ones reuse it; collect_mail
#     appends the bodies of the mails received since its last call to
#     $WORK/smtp/bodies, in the order they arrived;
#   - a SQLite file ($DB_FILE) with a table EventLog (Id in insertion order,
#     the columns of the default DB/Command and a Number), reached by the
#     service through the SQLite3 ODBC driver: DB_CONNECTION is the value for
#     DB/ConnString, DB_COMMAND one for DB/Command that keeps the record
#     number.
# Needs WORK. channel_peers_missing prints what is not installed.
SQLITE_DRIVER=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so
SMTP_PEER=$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/email" && pwd)/smtp_peer.py
PYTHON=/usr/bin/python3
SMTP_PORT=0
SMTP_PID=
SMTP_RUNS=0
DB_FILE=$WORK/db/events.db
DB_CONNECTION="Driver=$SQLITE_DRIVER;Database=$DB_FILE;"
DB_COMMAND="INSERT INTO EventLog (EventId, Number) VALUES (%EVENT_ID%, %EVENT_NUMBER%);"

channel_peers_missing() {
  "$PYTHON" -c 'import aiosmtpd' 2>/dev/null || echo "aiosmtpd (Debian package python3-aiosmtpd)"
  [ -f "$SQLITE_DRIVER" ] || echo "the SQLite3 ODBC driver (Debian package libsqliteodbc)"
  command -v sqlite3 >/dev/null || echo "the sqlite3 shell (Debian package sqlite3)"
}

start_smtp() {
  SMTP_RUNS=$((SMTP_RUNS + 1))
  local dir=$WORK/smtp/$SMTP_RUNS
  mkdir -p "$dir"
  "$PYTHON" "$SMTP_PEER" "$dir" --port "$SMTP_PORT" >>"$WORK/smtp/stdout" 2>&1 &
  SMTP_PID=$!
  for _ in $(seq 500); do
    [ -s "$dir/port" ] && break
    sleep 0.01
  done
  [ -s "$dir/port" ] || { echo "aiosmtpd did not start:" >&2; cat "$WORK/smtp/stdout" >&2; exit 1; }
  SMTP_PORT=$(cat "$dir/port")
}
stop_smtp() {
  [ -n "$SMTP_PID" ] || return 0
  kill -TERM "$SMTP_PID" 2>/dev/null || true
  wait "$SMTP_PID" 2>/dev/null || true
  SMTP_PID=
}

# Safe in a subshell: what was collected is counted in each folder's file
# "collected". A mail is complete once its .json file is there.
collect_mail() {
  local run dir n name
  for run in $(seq "$SMTP_RUNS"); do
    dir=$WORK/smtp/$run
    n=$(cat "$dir/collected" 2>/dev/null || echo 0)
    while :; do
      printf -v name 'msg%03d' $((n + 1))
      [ -f "$dir/$name.json" ] || break
      cat "$dir/$name.body" >>"$WORK/smtp/bodies"
      echo >>"$WORK/smtp/bodies"
      n=$((n + 1))
    done
    echo "$n" >"$dir/collected"
  done
  touch "$WORK/smtp/bodies"
}
mails_received() {
  local run total=0
  collect_mail
  for run in $(seq "$SMTP_RUNS"); do total=$((total + $(cat "$WORK/smtp/$run/collected"))); done
  echo "$total"
}

create_db() {
  mkdir -p "$(dirname "$DB_FILE")"
  db_query "CREATE TABLE EventLog (Id INTEGER PRIMARY KEY, Generated TEXT, Type INTEGER,
            EventId INTEGER, Log TEXT, Source TEXT, Description TEXT, Number INTEGER)"
}
# A query of the sqlite3 shell; waits up to 10 s for a lock another
# connection holds.
db_query() { sqlite3 -batch -cmd ".timeout 10000" "$DB_FILE" "$1"; }
