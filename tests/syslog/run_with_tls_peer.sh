#!/bin/sh
# Runs a test program (and its arguments, e.g. "wine prog.exe") next to TLS
# servers on 127.0.0.1 (openssl s_server, echoing each line reversed), with
# certificates from a test CA made for the run. The test finds the ports and
# the files in the environment:
#   CVN_TLS_PEER_PORT         a certificate from the CA for localhost and 127.0.0.1
#   CVN_TLS_WRONG_NAME_PORT   a certificate from the CA for attacker.invalid
#   CVN_TLS_EXPIRED_PORT      an expired certificate from the CA for localhost
#   CVN_TLS_SELF_SIGNED_PORT  a self-signed certificate for localhost
#   CVN_TLS_MUTUAL_PORT       as the first, and a client certificate from the CA required
#   CVN_TLS_DIR               ca.pem, client.pem and client.key
# Without the openssl command the program runs without them and skips.
dir=$(mktemp -d)
servers=
trap 'kill $servers 2>/dev/null; wait $servers 2>/dev/null; rm -rf "$dir"' EXIT INT TERM

# Starts a server with a certificate (and more options) and exports its port.
serve() {
  variable=$1 cert=$2
  shift 2
  openssl s_server -accept 127.0.0.1:0 -cert "$dir/$cert.pem" -key "$dir/$cert.key" -rev "$@" \
    >"$dir/$variable.out" 2>&1 </dev/null &
  servers="$servers $!"
  i=0
  while [ $i -lt 100 ]; do
    port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$dir/$variable.out")
    [ -n "$port" ] && break
    sleep 0.05
    i=$((i + 1))
  done
  [ -n "$port" ] && export "$variable=$port"
}

if command -v openssl >/dev/null 2>&1 && sh "$(dirname "$0")/../support/make_test_certificates.sh" "$dir" >"$dir/make.log" 2>&1; then
  serve CVN_TLS_PEER_PORT good
  serve CVN_TLS_WRONG_NAME_PORT wrong
  serve CVN_TLS_EXPIRED_PORT expired
  serve CVN_TLS_SELF_SIGNED_PORT self
  serve CVN_TLS_MUTUAL_PORT good -Verify 1 -CAfile "$dir/ca.pem" -verify_return_error
  export CVN_TLS_DIR="$dir"
fi
"$@"
