#!/usr/bin/python3
# A real SMTP server (aiosmtpd) on 127.0.0.1 for the e-mail tests.
#   smtp_peer.py DIR [--starttls] [--require-starttls] [--smtps] [--auth USER:PASSWORD]
#                    [--auth-plaintext] [--port N] [--wrong-cert]
# With TLS, the certificates of a test CA are made in DIR (DIR/ca.pem is the
# CA to trust); the server's is for localhost and 127.0.0.1, or with
# --wrong-cert for attacker.invalid.
# Binds the port (0: any free one) and writes the port to DIR/port. Every message received is saved
# as DIR/msgNNN.eml (the DATA bytes as the server undid the dot-stuffing) and
# DIR/msgNNN.json (sender, recipients, login, TLS, connection number, content
# type, charset), with the Subject and the body as Python's email package
# decodes them in DIR/msgNNN.subject and DIR/msgNNN.body (UTF-8); the .json
# file is renamed into place last. SIGTERM ends the server.
import argparse
import asyncio
import email
import email.policy
import json
import os
import signal
import ssl
import subprocess

from aiosmtpd.smtp import SMTP, AuthResult


def write_atomic(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def tls_context(directory, wrong):
    maker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                         "make_test_certificates.sh")
    subprocess.run(["sh", maker, directory], check=True, capture_output=True)
    name = "wrong" if wrong else "good"
    cert, key = os.path.join(directory, name + ".pem"), os.path.join(directory, name + ".key")
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


class Handler:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.directory, "msg%03d" % self.count)
        raw = envelope.original_content
        parsed = email.message_from_bytes(raw, policy=email.policy.default)
        body = parsed.get_payload(decode=True) or b""
        charset = parsed.get_content_charset() or "us-ascii"
        facts = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "auth_login": session.auth_data.login.decode() if session.auth_data else None,
            "tls": server.transport.get_extra_info("ssl_object") is not None,
            "connection": server.connection_number,
            "content_type": parsed.get_content_type(),
            "charset": charset,
        }
        write_atomic(base + ".eml", raw)
        write_atomic(base + ".subject", str(parsed["Subject"]).encode())
        write_atomic(base + ".body", body.decode(charset, errors="replace").encode())
        write_atomic(base + ".json", json.dumps(facts).encode())
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("--starttls", action="store_true")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--smtps", action="store_true")
    parser.add_argument("--auth")
    parser.add_argument("--auth-plaintext", action="store_true")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--wrong-cert", action="store_true")
    args = parser.parse_args()

    context = tls_context(args.directory, args.wrong_cert) if args.starttls or args.smtps else None
    handler = Handler(args.directory)
    user, password = (args.auth.split(":", 1) if args.auth else (None, None))

    def authenticator(server, session, envelope, mechanism, data):
        ok = data.login.decode() == user and data.password.decode() == password
        return AuthResult(success=ok, handled=False, auth_data=data)

    connections = [0]

    def factory():
        connections[0] += 1
        smtp = SMTP(handler, hostname="localhost",
                    tls_context=context if args.starttls else None,
                    require_starttls=args.require_starttls,
                    authenticator=authenticator if args.auth else None,
                    auth_require_tls=not args.auth_plaintext)
        smtp.connection_number = connections[0]
        return smtp

    async def serve():
        loop = asyncio.get_running_loop()
        server = await loop.create_server(factory, "127.0.0.1", args.port,
                                          ssl=context if args.smtps else None)
        port = server.sockets[0].getsockname()[1]
        write_atomic(os.path.join(args.directory, "port"), str(port).encode())
        done = asyncio.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, done.set)
        await done.wait()
        server.close()

    asyncio.run(serve())


if __name__ == "__main__":
    main()
