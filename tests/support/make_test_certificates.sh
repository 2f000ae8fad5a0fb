#!/bin/sh
# Makes the certificates of a test CA in a folder ($1), as PEM files:
#   ca.pem / ca.key            the CA
#   good.pem / good.key        from the CA, for localhost and 127.0.0.1
#   wrong.pem / wrong.key      from the CA, for attacker.invalid
#   expired.pem / expired.key  from the CA, for localhost and 127.0.0.1, expired
#   client.pem / client.key    from the CA, a client certificate for client.test
#   self.pem / self.key        self-signed, for localhost and 127.0.0.1
# Exits non-zero when the openssl command fails.
set -e
dir=$1

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/$1.key"; }

# A certificate from the CA: file name, subject name, subject alternative
# names, days of validity (-1: expired).
issue() {
  key "$1"
  openssl req -new -key "$dir/$1.key" -subj "/CN=$2" -out "$dir/$1.csr"
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth,clientAuth\n' "$3" >"$dir/$1.ext"
  openssl x509 -req -in "$dir/$1.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days "$4" -extfile "$dir/$1.ext" -out "$dir/$1.pem"
}

key ca
openssl req -x509 -new -key "$dir/ca.key" -days 2 -subj "/CN=Corvane Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
  -out "$dir/ca.pem"
issue good localhost "DNS:localhost,IP:127.0.0.1" 2
issue wrong attacker.invalid "DNS:attacker.invalid" 2
issue expired localhost "DNS:localhost,IP:127.0.0.1" -1
issue client client.test "DNS:client.test" 2
key self
openssl req -x509 -new -key "$dir/self.key" -days 2 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -out "$dir/self.pem"
