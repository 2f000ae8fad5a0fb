#!/bin/sh
# Runs a test program (and its arguments, e.g. "wine prog.exe") next to a TLS
# server on 127.0.0.1: openssl s_server with a fresh self-signed certificate,
# echoing each line reversed. The test finds the port in CVN_TLS_PEER_PORT.
# Without the openssl command the program runs without it and skips.
dir=$(mktemp -d)
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$dir"' EXIT INT TERM
if command -v openssl >/dev/null 2>&1 &&
   openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
     -subj "/CN=localhost" -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1; then
  openssl s_server -accept 127.0.0.1:0 -cert "$dir/cert.pem" -key "$dir/key.pem" -rev \
    >"$dir/server.out" 2>&1 </dev/null &
  server=$!
  i=0
  while [ $i -lt 100 ]; do
    port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$dir/server.out")
    [ -n "$port" ] && break
    sleep 0.05
    i=$((i + 1))
  done
  [ -n "$port" ] && export CVN_TLS_PEER_PORT="$port"
fi
"$@"
