#!/usr/bin/python3
"""Answers the updater's latest-version query: one UDP datagram "2\\0" in, one reply out."""
import argparse
import os
import signal
import socket
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--reply", required=True,
                        help='reply text: "client,server,apps" versions, e.g. "2,1,1"')
    parser.add_argument("--port-file", help="write the bound port here once listening")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.host, args.port))
    port = sock.getsockname()[1]
    if args.port_file:
        # Written under a temporary name so a reader never sees a partial number.
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    print("version responder on %s:%d answers %r" % (args.host, port, args.reply),
          file=sys.stderr, flush=True)

    reply = args.reply.encode("ascii")
    while True:
        data, sender = sock.recvfrom(512)
        if data == b"2\x00":
            sock.sendto(reply, sender)
            print("version query from %s:%d answered" % sender, file=sys.stderr, flush=True)
        else:
            print("ignored %d-byte datagram from %s:%d" % ((len(data),) + sender),
                  file=sys.stderr, flush=True)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
