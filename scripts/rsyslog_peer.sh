# Sourced by the benchmark and the delivery scenarios: one rsyslogd on one
# TCP port of 127.0.0.1, every message as one line of $WORK/rsyslog/out.log,
# control characters left as they are and messages up to 64 KiB, so nothing
# is split or rewritten. Needs WORK and RSYSLOGD; sets PORT and RSYSLOG_PID.
# The first start picks the port (PORT=0); later starts reuse it. Exits
# when rsyslog does not come up. With RSYSLOG_DIRECT=1 every message is in the
# file before rsyslog reads more (no queue in its memory), so that a kill
# loses only what its socket held. With RSYSLOG_TLS naming a folder of
# certificates (tests/support/make_test_certificates.sh) the input is TLS.
PORT=0
start_rsyslog() {
  local queue= flush= tls_global= tls_input=
  if [ -n "${RSYSLOG_DIRECT:-}" ]; then
    queue=' queue.type="direct"'
    flush=' flushOnTXEnd="on" asyncWriting="off"'
  fi
  if [ -n "${RSYSLOG_TLS:-}" ]; then
    tls_global=" defaultNetstreamDriverCAFile=\"$RSYSLOG_TLS/ca.pem\"
       defaultNetstreamDriverCertFile=\"$RSYSLOG_TLS/good.pem\"
       defaultNetstreamDriverKeyFile=\"$RSYSLOG_TLS/good.key\""
    tls_input=' streamDriver.name="ossl" streamDriver.mode="1" streamDriver.authMode="anon"'
  fi
  mkdir -p "$WORK/rsyslog/work"
  cat >"$WORK/rsyslog/rsyslog.conf" <<EOF
global(workDirectory="$WORK/rsyslog/work" maxMessageSize="64k"
       parser.escapeControlCharactersOnReceive="off"$tls_global)
module(load="imtcp")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="out"$queue) {
  action(type="omfile" file="$WORK/rsyslog/out.log" template="raw"$flush) }
input(type="imtcp" address="127.0.0.1" port="$PORT" listenPortFileName="$WORK/rsyslog/tcp.port"
      ruleset="out"$tls_input)
EOF
  rm -f "$WORK/rsyslog/tcp.port"
  "$RSYSLOGD" -n -f "$WORK/rsyslog/rsyslog.conf" -i "$WORK/rsyslog/rsyslogd.pid" \
    >>"$WORK/rsyslog/stdout" 2>&1 &
  RSYSLOG_PID=$!
  for _ in $(seq 500); do
    if [ "$PORT" = 0 ]; then
      [ -s "$WORK/rsyslog/tcp.port" ] && break
    elif (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
      break
    fi
    sleep 0.01
  done
  if [ "$PORT" = 0 ]; then
    [ -s "$WORK/rsyslog/tcp.port" ] ||
      { echo "rsyslog did not start:" >&2; cat "$WORK/rsyslog/stdout" >&2; exit 1; }
    PORT=$(cat "$WORK/rsyslog/tcp.port")
  fi
  return 0
}
stop_rsyslog() {
  kill -TERM "$RSYSLOG_PID"
  wait "$RSYSLOG_PID" 2>/dev/null || true
  RSYSLOG_PID=
}

