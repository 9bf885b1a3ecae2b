#!/usr/bin/env python3
"""Runs Debian's nginx on 127.0.0.1 for realistic tests and benchmarks.

nginx runs as the current user with a generated config in a work folder (pid,
logs and temp paths all there), serves static folders under URL prefixes,
offers HTTP/2 next to HTTP/1.1 over TLS, and logs every request as a JSON
line with the bytes sent. This program stays in the foreground, writes a
ready file once nginx accepts connections, and stops nginx on SIGTERM/SIGINT,
after --max-seconds, or when nginx ends by itself.

  nginx_server.py --static /hostA/=DIR [--static ...] (--ca-dir DIR | --cert C --key K | --plain)
                  [--workdir DIR] [--ready-file F] [--max-seconds 300] [--no-http2] [--workers 1]
"""

import sys

sys.dont_write_bytecode = True

import argparse  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import signal  # noqa: E402
import threading  # noqa: E402

import testservers  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description="Run nginx on 127.0.0.1 with a generated config.")
    parser.add_argument("--static", action="append", required=True, help="PREFIX=FOLDER; repeatable")
    tls = parser.add_mutually_exclusive_group(required=True)
    tls.add_argument("--ca-dir", help="make (or reuse) the test CA here and serve its server certificate")
    tls.add_argument("--cert", help="server certificate (PEM); needs --key")
    tls.add_argument("--plain", action="store_true", help="plain HTTP/1.1, no TLS")
    parser.add_argument("--key", help="private key of --cert")
    parser.add_argument("--workdir", help="folder for config, pid, logs and temp files, kept afterwards "
                        "(default: a temp folder removed at exit)")
    parser.add_argument("--ready-file", help="written (JSON: port, pid, scheme, base_url, access_log, workdir)")
    parser.add_argument("--max-seconds", type=float, default=testservers.DEFAULT_MAX_SECONDS)
    parser.add_argument("--no-http2", action="store_true")
    parser.add_argument("--workers", type=int, default=1)
    args = parser.parse_args(argv)
    if args.cert and not args.key:
        parser.error("--cert needs --key")
    if not 0 < args.max_seconds <= 86400:
        parser.error("--max-seconds must be within (0, 86400]")
    static = {}
    for item in args.static:
        prefix, sep, folder = item.partition("=")
        if not sep:
            parser.error("--static wants PREFIX=FOLDER")
        static[prefix] = folder
    if args.ca_dir:
        tls_pair = testservers.make_test_ca(args.ca_dir)
    elif args.cert:
        tls_pair = (args.cert, args.key)
    else:
        tls_pair = None

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    # nginx's own time limit is a backstop a little after ours.
    server = testservers.NginxServer(static, tls=tls_pair, http2=not args.no_http2, workdir=args.workdir,
                                     max_seconds=args.max_seconds + 10, workers=args.workers)
    try:
        server.start()
    except (RuntimeError, ValueError, OSError) as e:
        print("nginx_server: %s" % e, file=sys.stderr)
        return 1
    try:
        info = {"port": server.port, "pid": os.getpid(), "scheme": server.scheme, "base_url": server.base_url,
                "access_log": server.access_log_path, "workdir": server.workdir}
        if args.ready_file:
            tmp = args.ready_file + ".tmp%d" % os.getpid()
            with open(tmp, "w") as f:
                json.dump(info, f)
            os.replace(tmp, args.ready_file)
        print("READY %d" % server.port, flush=True)
        deadline_left = args.max_seconds
        # Wake up now and then to notice nginx ending on its own.
        while deadline_left > 0 and not stop.is_set() and server.proc.poll() is None:
            step = min(0.5, deadline_left)
            stop.wait(step)
            deadline_left -= step
        if deadline_left <= 0:
            print("nginx_server: --max-seconds reached, stopping", file=sys.stderr)
    finally:
        # Removes the work folder only when we made it (no --workdir given).
        server.cleanup()
        if args.ready_file:
            try:
                os.remove(args.ready_file)
            except OSError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
