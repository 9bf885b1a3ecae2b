#!/usr/bin/env python3
"""Download benchmark driver, run by bench/download_bench.sh (not a test).

Serves one 1 GiB file and 2000 files of 64 KiB from nginx over TLS + HTTP/2
on 127.0.0.1, then fetches both sets with three clients and prints their
figures side by side:
  * the launcher's engine (download_bench.exe under Wine): 32 MiB ranges, at
    most five transfers, md5 of every file checked by the engine itself;
  * curl's own tool built for Windows from the same Debian source, under
    Wine: --parallel --parallel-max 5, the same 32 MiB ranges;
  * Linux's native curl with the same options.
The curl runs do not check md5s themselves; the driver checks their output
afterwards and reports that time separately. Bytes sent come from nginx's
access log. Figures only: nothing is asserted.

Usage: download_bench.py WORKDIR ENGINE_EXE CURL_EXE
"""

import sys

sys.dont_write_bytecode = True

import hashlib  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "servers"))
import testservers  # noqa: E402

CHUNK = 32 << 20
BIG_SIZE = int(os.environ.get("BENCH_BIG_MIB", "1024")) << 20
SMALL_COUNT = int(os.environ.get("BENCH_SMALL_COUNT", "2000"))
SMALL_SIZE = 64 << 10


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def md5_file(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def make_data(work):
    """The served tree, made once: data/big.bin and data/small/NNNN.bin."""
    data = os.path.join(work, "data")
    index = os.path.join(work, "data-index.json")
    if os.path.exists(index):
        with open(index) as f:
            meta = json.load(f)
        if meta.get("big_size") == BIG_SIZE and meta.get("small_count") == SMALL_COUNT:
            return data, meta
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(os.path.join(data, "small"))
    big = os.path.join(data, "big.bin")
    digest = hashlib.md5()
    with open(big, "wb") as f:
        left = BIG_SIZE
        while left:
            piece = os.urandom(min(left, 8 << 20))
            digest.update(piece)
            f.write(piece)
            left -= len(piece)
    meta = {"big_size": BIG_SIZE, "small_count": SMALL_COUNT, "big_md5": digest.hexdigest(),
            "small": []}
    for i in range(SMALL_COUNT):
        name = "small/%04d.bin" % i
        piece = os.urandom(SMALL_SIZE)
        with open(os.path.join(data, name), "wb") as f:
            f.write(piece)
        meta["small"].append([name, hashlib.md5(piece).hexdigest(), SMALL_SIZE])
    with open(index, "w") as f:
        json.dump(meta, f)
    return data, meta


def access_entries(ngx):
    return ngx.access_log()


def timed(cmd, env=None):
    """Runs cmd under /usr/bin/time; returns (wall, user, sys, max_rss_mb, rc, stderr)."""
    full = ["/usr/bin/time", "-f", "TIME %e %U %S %M"] + cmd
    start = time.monotonic()
    proc = subprocess.run(full, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    wall = time.monotonic() - start
    err = proc.stderr.decode(errors="replace")
    line = [l for l in err.splitlines() if l.startswith("TIME ")]
    user = sys_ = rss = float("nan")
    if line:
        _, _, u, s, m = line[-1].split()
        user, sys_, rss = float(u), float(s), float(m) / 1024.0
    return wall, user, sys_, rss, proc.returncode, proc.stdout.decode(errors="replace"), err


def curl_config(path, items, out_dir, base, to_path, cacert):
    """A curl -K file: one option group per item, separated by "next".

    Options such as the range belong to a group; without "next" the last
    range would apply to every URL.
    """
    with open(path, "w") as f:
        for i, (url_path, range_text, out_name) in enumerate(items):
            if i:
                f.write("next\n")
            f.write('url = "%s%s"\n' % (base, url_path))
            # Backslashes of Windows paths are escapes inside quoted config values.
            f.write('output = "%s"\n' % to_path(os.path.join(out_dir, out_name)).replace("\\", "\\\\"))
            f.write('cacert = "%s"\n' % cacert.replace("\\", "\\\\"))
            f.write("silent\n")
            if range_text:
                f.write('range = "%s"\n' % range_text)


def big_items():
    items = []
    for k, begin in enumerate(range(0, BIG_SIZE, CHUNK)):
        end = min(begin + CHUNK, BIG_SIZE) - 1
        items.append(("big.bin", "%d-%d" % (begin, end), "big.part%03d" % k))
    return items


def check_curl_output(scenario, out_dir, meta):
    start = time.monotonic()
    try:
        return _check_curl_output(scenario, out_dir, meta), time.monotonic() - start
    except OSError:
        return False, time.monotonic() - start


def _check_curl_output(scenario, out_dir, meta):
    ok = True
    if scenario == "big":
        digest = hashlib.md5()
        for _, _, name in big_items():
            with open(os.path.join(out_dir, name), "rb") as f:
                for piece in iter(lambda: f.read(1 << 20), b""):
                    digest.update(piece)
        ok = digest.hexdigest() == meta["big_md5"]
    else:
        for name, md5, _ in meta["small"]:
            if md5_file(os.path.join(out_dir, name.replace("/", "_"))) != md5:
                ok = False
    return ok


def main(argv):
    work, engine_exe, curl_exe = argv[1:4]
    os.makedirs(work, exist_ok=True)
    data, meta = make_data(work)
    ca = testservers.make_test_ca(os.path.join(work, "ca"))
    results = []
    with testservers.NginxServer({"/data/": data}, tls=ca, http2=True, workers=2,
                                 max_seconds=3600) as ngx:
        base = ngx.url("/data/")
        scenarios = {
            "big": ("1 x %d MiB" % (BIG_SIZE >> 20), [["big.bin", meta["big_md5"], BIG_SIZE]]),
            "small": ("%d x 64 KiB" % SMALL_COUNT, meta["small"]),
        }
        for scenario, (label, files) in scenarios.items():
            total = sum(f[2] for f in files)
            # Warm the page cache so every client reads from memory.
            for name, _, _ in files:
                with open(os.path.join(data, name), "rb") as f:
                    while f.read(8 << 20):
                        pass
            for client in ("engine", "curl.exe (Wine)", "curl (Linux)"):
                out = os.path.join(work, "out")
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                log_before = len(access_entries(ngx))
                extra = ""
                if client == "engine":
                    listing = os.path.join(work, "list.txt")
                    with open(listing, "w") as f:
                        f.write(base + "\n")
                        for name, md5, size in files:
                            f.write("%s\t%s\t%d\n" % (name, md5, size))
                    cmd = ["wine", engine_exe, wine_path(listing), wine_path(out), wine_path(ca.ca_cert)]
                    wall, user, sys_, rss, rc, stdout, err = timed(cmd)
                    figures = dict(kv.split("=") for kv in stdout.split() if "=" in kv)
                    inner_wall = float(figures.get("wall", "nan"))
                    ok = rc == 0 and figures.get("failed") == "0"
                    extra = "engine wall %.2f s, peak working set %s MB (steady %s MB), md5 inside" % (
                        inner_wall, figures.get("peak_ws_mb"), figures.get("steady_ws_mb"))
                    check_time = 0.0
                else:
                    if scenario == "big":
                        items = big_items()
                    else:
                        items = [(name, "", name.replace("/", "_")) for name, _, _ in files]
                    conf = os.path.join(work, "curl.conf")
                    windows = client.startswith("curl.exe")
                    curl_config(conf, items, out, base, wine_path if windows else os.path.abspath,
                                wine_path(ca.ca_cert) if windows else ca.ca_cert)
                    if windows:
                        cmd = ["wine", curl_exe, "--parallel", "--parallel-max", "5", "-K", wine_path(conf)]
                    else:
                        cmd = ["curl", "--parallel", "--parallel-max", "5", "-K", conf]
                    wall, user, sys_, rss, rc, stdout, err = timed(cmd)
                    ok, check_time = check_curl_output(scenario, out, meta)
                    ok = ok and rc == 0
                    extra = "md5 checked afterwards in %.2f s" % check_time
                entries = access_entries(ngx)[log_before:]
                body_bytes = sum(e.get("body_bytes_sent", 0) for e in entries)
                all_bytes = sum(e.get("bytes_sent", 0) for e in entries)
                protocols = sorted(set(e.get("protocol", "") for e in entries))
                results.append({
                    "scenario": label, "client": client, "ok": ok, "wall": wall, "user": user,
                    "sys": sys_, "rss": rss, "mbps": total / wall / 1e6, "body": body_bytes,
                    "sent": all_bytes, "requests": len(entries), "protocols": ",".join(protocols),
                    "extra": extra, "total": total,
                })
                print("[bench] %-12s %-16s %s" % (label, client, "ok" if ok else "FAILED: " + err[-300:]),
                      file=sys.stderr)
        shutil.rmtree(os.path.join(work, "out"), ignore_errors=True)

    header = "%-12s %-16s %4s %8s %9s %8s %8s %9s %6s %14s %14s %s" % (
        "set", "client", "ok", "wall s", "MB/s", "user s", "sys s", "RSS MB", "reqs", "body bytes",
        "bytes sent", "protocol / notes")
    print(header)
    print("-" * len(header))
    for r in results:
        print("%-12s %-16s %4s %8.2f %9.1f %8.2f %8.2f %9.1f %6d %14d %14d %s; %s" % (
            r["scenario"], r["client"], "yes" if r["ok"] else "NO", r["wall"], r["mbps"], r["user"], r["sys"],
            r["rss"], r["requests"], r["body"], r["sent"], r["protocols"], r["extra"]))
    print("\nPayload per set: %s. Wall and CPU times are of the whole client process (Wine's start "
          "included for the Windows programs; wineserver's own CPU is not counted). RSS is the "
          "client process's maximum resident set." % ", ".join(
              "%s = %d bytes" % (label, sum(f[2] for f in files)) for label, files in
              (("1 big", [["", "", BIG_SIZE]]), ("small", meta["small"]))))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
