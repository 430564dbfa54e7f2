#!/usr/bin/python3
"""An SMTPS mailbox (TLS from the first byte) that keeps what it receives:
the message bytes in message.eml, the envelope and login in envelope.txt."""
import argparse
import os
import signal
import ssl
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Keeper:
    def __init__(self, out):
        self.out = out
        self.login = ""

    async def handle_DATA(self, server, session, envelope):
        with open(os.path.join(self.out, "envelope.txt.tmp"), "w") as f:
            f.write("from %s\nto %s\nlogin %s\n" % (envelope.mail_from, ",".join(envelope.rcpt_tos), self.login))
        with open(os.path.join(self.out, "message.eml.tmp"), "wb") as f:
            f.write(envelope.original_content)
        os.replace(os.path.join(self.out, "envelope.txt.tmp"), os.path.join(self.out, "envelope.txt"))
        os.replace(os.path.join(self.out, "message.eml.tmp"), os.path.join(self.out, "message.eml"))
        return "250 Message accepted for delivery"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword):
            self.login = "%s:%s" % (auth_data.login.decode(), auth_data.password.decode())
            return AuthResult(success=True)
        return AuthResult(success=False, handled=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=465)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    keeper = Keeper(args.out)
    controller = Controller(keeper, hostname=args.host, port=args.port, ssl_context=context,
                            authenticator=keeper.authenticate, auth_require_tls=False)
    controller.start()
    print("ready port %d" % args.port, flush=True)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    done.wait()
    controller.stop()


if __name__ == "__main__":
    main()
