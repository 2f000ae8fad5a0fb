#!/bin/bash
# Monitoring, end to end: a running CVNService forwarding to a local rsyslog
# serves its metrics; a real Prometheus scrapes them and answers a query for
# the records read; promtool lints the exposition; "cvnconsole status --json"
# is read by a JSON parser; with the receiver gone the syslog channel shows
# pending records and is down (status exits 3), a reload lowers no counter,
# and once the receiver is back the channel delivers again (status exits 0).
# A stopped service makes status exit 1.
#
#   tests/delivery/metrics_scenario.sh [build folder]
# Exit 77 (skipped) when not root, or rsyslog or Prometheus is missing.
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
PROMETHEUS=${PROMETHEUS:-/usr/bin/prometheus}
PROMTOOL=${PROMTOOL:-/usr/bin/promtool}
[ -x "$PROMETHEUS" ] && [ -x "$PROMTOOL" ] ||
  { echo "SKIP: Prometheus is not installed (Debian package prometheus)"; exit 77; }
. "$(dirname "$0")/scenario_common.sh"
PROM_PID=
cleanup_more() {
  [ -n "$PROM_PID" ] || return 0
  kill -TERM "$PROM_PID" 2>/dev/null || true
  wait "$PROM_PID" 2>/dev/null || true
}
POLL=0.25

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# The body of an HTTP GET, or "HTTP <code>" when the answer is not 200.
http_get() {
  python3 - "$1" <<'EOF'
import sys, urllib.request, urllib.error
try:
    print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode(), end="")
except urllib.error.HTTPError as e:
    print("HTTP", e.code)
EOF
}
fail() { echo "FAILED: $*" >&2; FAILED=1; }
metrics() { http_get "http://127.0.0.1:$MPORT/metrics"; }
# The value of one sample of the exposition ("name{labels}"), 0 when absent.
sample() { metrics | awk -v k="$1" '$1 == k { print $2; found = 1 } END { if (!found) print 0 }'; }
status_rc() {
  local rc=0
  "$CVNCONSOLE" status >/dev/null 2>&1 || rc=$?
  echo "$rc"
}
wait_status() {
  local want=$1 timeout=$2 got
  for _ in $(seq $((timeout * 4))); do
    got=$(status_rc)
    [ "$got" = "$want" ] && return 0
    sleep 0.25
  done
  fail "cvnconsole status exits $got, not $want"
}
counters() { metrics | grep '^corvane_[a-z_]*_total' | sort; }

MPORT=$(free_port)
set_key General/MetricsAddress "127.0.0.1:$MPORT"
start_service_with_rsyslog
write 20 20

# The exposition: lint, and only /metrics is served.
metrics >"$WORK/exposition.txt"
"$PROMTOOL" check metrics <"$WORK/exposition.txt" || fail "promtool check metrics"
[ "$(http_get "http://127.0.0.1:$MPORT/other")" = "HTTP 404" ] || fail "/other is not 404"

# A real Prometheus scrapes the service and answers for the records read.
PPORT=$(free_port)
mkdir -p "$WORK/prometheus"
cat >"$WORK/prometheus/p.yml" <<EOF
global: {scrape_interval: 1s, evaluation_interval: 1s}
scrape_configs:
  - job_name: corvane
    static_configs: [{targets: ["127.0.0.1:$MPORT"]}]
EOF
"$PROMETHEUS" --config.file="$WORK/prometheus/p.yml" --storage.tsdb.path="$WORK/prometheus/data" \
  --web.listen-address="127.0.0.1:$PPORT" >"$WORK/prometheus/out.log" 2>&1 &
PROM_PID=$!
query='corvane_records_read_total{log="Application"}'
answer=0
for _ in $(seq 120); do
  answer=$(http_get "http://127.0.0.1:$PPORT/api/v1/query?query=$(python3 -c \
    'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$query")" |
    python3 -c 'import json, sys
r = json.load(sys.stdin)["data"]["result"]
print(int(float(r[0]["value"][1])) if r else 0)' 2>/dev/null || echo 0)
  [ "$answer" -ge 21 ] && break
  sleep 0.5
done
echo "prometheus: $query = $answer"
[ "$answer" -ge 21 ] || fail "Prometheus did not answer the records read"

# The JSON status, read by a real parser; every channel switched on delivers.
"$CVNCONSOLE" status --json >"$WORK/status.json" || fail "status exits $? with the receiver up"
python3 - "$WORK/status.json" <<'EOF' || fail "the JSON status"
import json, sys
s = json.load(open(sys.argv[1]))
syslog = s["channels"]["syslog"]
assert syslog["enabled"] == 1 and syslog["up"] == 1, syslog
assert syslog["records"]["delivered"] >= 21, syslog
assert s["records_read"]["Application"] >= 21, s["records_read"]
assert s["status"]["syslog_thread"] == 0, s["status"]
EOF

# The receiver goes: the channel is down, its records pending.
stop_rsyslog
write 21 5
wait_status 3 40
pending=$(sample 'corvane_channel_pending_records{channel="syslog"}')
up=$(sample 'corvane_channel_up{channel="syslog"}')
echo "receiver gone: syslog pending $pending, up $up"
[ "$pending" -ge 1 ] || fail "no syslog record pending"
[ "$up" = 0 ] || fail "the syslog channel is still up"

# A reload lowers no counter.
counters >"$WORK/before.txt"
"$CVNCONSOLE" reload >/dev/null
counters >"$WORK/after.txt"
join "$WORK/before.txt" "$WORK/after.txt" | awk '$3 < $2 { print "lowered by a reload:", $0; bad = 1 }
  END { exit bad }' || fail "a counter went down at the reload"
[ "$(wc -l <"$WORK/after.txt")" -ge "$(wc -l <"$WORK/before.txt")" ] || fail "counters vanished"

# The receiver is back: the cache is sent and the channel delivers again.
start_rsyslog
wait_status 0 60
echo "receiver back: syslog pending $(sample 'corvane_channel_pending_records{channel="syslog"}')"

"$SERVICE" -s stop >/dev/null
[ "$(status_rc)" = 1 ] || fail "status of a stopped service does not exit 1"

[ "$FAILED" = 0 ] && echo "metrics scenario: ok"
exit "$FAILED"
