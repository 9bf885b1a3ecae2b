#!/usr/bin/env python3
"""Creates a throw-away test CA and certificates with the openssl command line.

  make_test_ca.py OUTPUT_FOLDER [--days 30] [--key-type ec|rsa] [--force]

Writes into OUTPUT_FOLDER:
  ca.pem / ca.key               the test CA (give ca.pem to clients as trust anchor)
  server.pem / server.key       for IP:127.0.0.1 and DNS:localhost, signed by the CA
  untrusted.pem / untrusted.key self-signed, same names: a verifying client must refuse it
  wronghost.pem / wronghost.key signed by the CA for wrong-host.invalid only:
                                a client that checks host names must refuse it
Existing files are reused while the server certificate stays valid for a day,
unless --force. Prints the file names as JSON.
"""

import sys

sys.dont_write_bytecode = True

import argparse  # noqa: E402
import json  # noqa: E402

import testservers  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description="Create a test CA and server certificates.")
    parser.add_argument("folder")
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--key-type", choices=("ec", "rsa"), default="ec")
    parser.add_argument("--force", action="store_true")
    args = parser.parse_args(argv)
    try:
        ca = testservers.make_test_ca(args.folder, days=args.days, key_type=args.key_type, force=args.force)
    except (RuntimeError, OSError) as e:
        print("make_test_ca: %s" % e, file=sys.stderr)
        return 1
    print(json.dumps(ca._asdict(), indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
