#!/usr/bin/python3
"""A device that answers discovery requests: every one-byte "D" datagram
on the port gets the reply given on the command line."""
import argparse
import socket


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="0.0.0.0")
    parser.add_argument("--port", type=int, default=30303)
    parser.add_argument("--reply", required=True, help="reply text; \\r and \\n are line ends")
    args = parser.parse_args()
    reply = args.reply.replace("\\r", "\r").replace("\\n", "\n").encode("latin-1")

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.host, args.port))
    print("ready port %d" % sock.getsockname()[1], flush=True)
    while True:
        data, sender = sock.recvfrom(2048)
        print("request %r from %s" % (data, sender[0]), flush=True)
        if data == b"D":
            sock.sendto(reply, sender)


if __name__ == "__main__":
    main()
