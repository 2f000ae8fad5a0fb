#!/bin/bash
# What a TCP receiver that dies takes with it: N events stream into the
# Application log of a running CVNService, forwarded over TCP (LF) to a local
# rsyslog; meanwhile rsyslog stops reading for 2 s (SIGSTOP), is killed
# (SIGKILL) and started again on the same port. Prints how many events
# arrived, how many were lost (taken by the connection but never read by
# rsyslog) and how many arrived twice. Runs R rounds.
#
# With RSYSLOG_DIRECT=1 rsyslog writes every message before it reads more, so
# that its kill loses only what its socket buffer held, not its queue. With
# TLS=1 the connection is TLS (certificates of a private CA made for the run).
#
# Run as root from the project folder with a built tree and rsyslog:
#   bench/syslog_stall_kill.sh [N] [build folder] [R]     N = 60000, build, R = 3
set -euo pipefail

N=${1:-60000}
BUILD=$(cd "${2:-build}" && pwd)
ROUNDS=${3:-3}
. "$(dirname "$0")/../tests/delivery/scenario_common.sh"

if [ -n "${TLS:-}" ]; then
  mkdir -p "$WORK/certs"
  sh "$(dirname "$0")/../tests/support/make_test_certificates.sh" "$WORK/certs" >/dev/null 2>&1
  RSYSLOG_TLS=$WORK/certs
  set_key Syslog/Tls 1
  set_key Syslog/TlsCaFile "$WORK/certs/ca.pem"
fi
start_service_with_rsyslog
printf "%d events per round over %s; rsyslog (%s) stopped for 2 s, then killed and restarted\n" \
  "$N" "$([ -n "${TLS:-}" ] && echo TLS || echo TCP)" \
  "$([ -n "${RSYSLOG_DIRECT:-}" ] && echo "direct queue" || echo "default queue")"
for round in $(seq "$ROUNDS"); do
  id=$((100 + round))
  write "$id" "$N" &
  WRITER=$!
  sleep 0.3
  kill -STOP "$RSYSLOG_PID"
  sleep 2
  kill -KILL "$RSYSLOG_PID"
  wait "$RSYSLOG_PID" 2>/dev/null || true
  start_rsyslog
  wait "$WRITER"
  # The cached messages are resent 10 s after a failure: wait for quiet.
  wait_count syslog_arrived "$id" "$N" 25 || true
  total=$(syslog_numbers "$id" | wc -l)
  unique=$(syslog_arrived "$id")
  printf "round %d: arrived %d, lost %d, duplicated %d\n" "$round" "$unique" $((N - unique)) \
    $((total - unique))
done
