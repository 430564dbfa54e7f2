#!/usr/bin/python3
"""A device that answers discovery requests: every one-byte "D" datagram
on the port gets the reply given on the command line, or with --spoof N,
N replies of as many made-up devices (names of --name-size bytes)."""
import argparse
import socket
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="0.0.0.0")
    parser.add_argument("--port", type=int, default=30303)
    parser.add_argument("--reply", default="", help="reply text; \\r and \\n are line ends")
    parser.add_argument("--spoof", type=int, default=0)
    parser.add_argument("--name-size", type=int, default=16)
    args = parser.parse_args()
    reply = args.reply.replace("\\r", "\r").replace("\\n", "\n").encode("latin-1")

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.host, args.port))
    print("ready port %d" % sock.getsockname()[1], flush=True)
    while True:
        data, sender = sock.recvfrom(2048)
        print("request %r from %s" % (data, sender[0]), flush=True)
        if data == b"D" and args.spoof:
            for i in range(args.spoof):
                name = (b"%d " % i).ljust(args.name_size, b"x")
                sock.sendto(name + b"\r\n%02x:%04x\r\n502\r\n1\r\n" % (i % 256, i), sender)
                # A pace the receiver's socket buffer keeps up with.
                if args.name_size > 1024 or i % 8 == 7:
                    time.sleep(0.001)
        elif data == b"D":
            sock.sendto(reply, sender)


if __name__ == "__main__":
    main()
