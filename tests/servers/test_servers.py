"""Self-test of the local test servers (content_server.py, nginx_server.py, testservers.py).

Run: PYTHONDONTWRITEBYTECODE=1 python3 -m unittest -v test_servers
Every server here binds 127.0.0.1 on a free port and is stopped by the test.
"""

import sys

sys.dont_write_bytecode = True

import hashlib  # noqa: E402
import http.client  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import socket  # noqa: E402
import ssl  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import unittest  # noqa: E402

import testservers as ts  # noqa: E402

MiB = 1024 * 1024
TMP = None
CA = None
HOST_A = HOST_B = None
A_BIN = None  # contents of /hostA/a.bin
BIG_SIZE = 40 * MiB + 7  # virtual; reaches past the 32 MiB chunk boundary
HERE = os.path.dirname(os.path.abspath(__file__))


def setUpModule():
    global TMP, CA, HOST_A, HOST_B, A_BIN
    TMP = tempfile.mkdtemp(prefix="servers-selftest-")
    CA = ts.make_test_ca(os.path.join(TMP, "ca"))
    HOST_A = os.path.join(TMP, "trees", "a")
    HOST_B = os.path.join(TMP, "trees", "b")
    os.makedirs(os.path.join(HOST_A, "sub"))
    os.makedirs(HOST_B)
    A_BIN = ts.virtual_bytes("a-bin", 0, 100000)
    with open(os.path.join(HOST_A, "a.bin"), "wb") as f:
        f.write(A_BIN)
    with open(os.path.join(HOST_A, "version_map.txt"), "w") as f:
        f.write('{"VEXA.exe": ["0123456789abcdef0123456789abcdef", 10]}')
    with open(os.path.join(HOST_A, "sub", "c.txt"), "w") as f:
        f.write("in a sub folder\n")
    open(os.path.join(HOST_A, "empty.bin"), "wb").close()
    with open(os.path.join(HOST_B, "b.bin"), "wb") as f:
        f.write(b"host B " * 100)
    with open(os.path.join(TMP, "trees", "secret.txt"), "w") as f:
        f.write("outside every root\n")
    os.symlink(os.path.join(TMP, "trees", "secret.txt"), os.path.join(HOST_A, "link-out.txt"))


def tearDownModule():
    if TMP:
        shutil.rmtree(TMP, ignore_errors=True)


def fetch(conn, path, headers=None, method="GET", body=None):
    """(status, headers as a dict with lower-case names, body) over `conn`."""
    conn.request(method, path, body=body, headers=headers or {})
    resp = conn.getresponse()
    data = resp.read()
    return resp.status, {k.lower(): v for k, v in resp.getheaders()}, data


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


GATE_OTHERS = json.dumps({"DlcAddr": ["https://127.0.0.1:1/hostA/"], "PatchOption": 2})

BASE_CONFIG = {
    "scenarios": [
        {"name": "gate", "path": "/gate/get/urls", "query": {"key": "WIN10VN_1_0_0", "udid": "*", "is_qa": None},
         "steps": [{"status": 503, "body": "busy"}, {"status": 200, "json": {"Others": GATE_OTHERS}}]},
        {"name": "pre_download", "path": "/gate/pre_download", "query": {"channel": "VN"},
         "steps": [{"json": {"DlcAddr": ["https://127.0.0.1:1/hostB/"]}, "status": 200}]},
        {"name": "track", "method": "POST", "path": "/track/json_track",
         "steps": [{"status": 200, "json": {"ok": True}}]},
        {"name": "adjust", "path": "/v1/adjust", "status": 200, "body": "ok"},
    ],
}


def content_config():
    return dict(BASE_CONFIG, static={"/hostA/": HOST_A, "/hostB/": HOST_B},
                virtual={"/hostA/big.bin": {"seed": "big", "size": BIG_SIZE},
                         "/hostB/v.bin": {"seed": 7, "size": 300000}})


# ----------------------------------------------------------------------------


class VirtualFileTest(unittest.TestCase):
    def test_slices_agree_with_the_whole(self):
        whole = ts.virtual_bytes("s", 0, 3 * ts.VIRTUAL_BLOCK + 5)
        self.assertEqual(len(whole), 3 * ts.VIRTUAL_BLOCK + 5)
        for offset, length in [(0, 1), (1, 70000), (ts.VIRTUAL_BLOCK - 3, 6), (2 * ts.VIRTUAL_BLOCK, 5), (7, 0)]:
            self.assertEqual(ts.virtual_bytes("s", offset, length), whole[offset:offset + length],
                             (offset, length))

    def test_deterministic_distinct_blocks_and_md5(self):
        self.assertEqual(ts.virtual_bytes(7, 0, 100), ts.virtual_bytes("7", 0, 100))
        self.assertNotEqual(ts.virtual_bytes("s", 0, 100), ts.virtual_bytes("t", 0, 100))
        blocks = {ts.virtual_block("s", k) for k in range(64)}
        self.assertEqual(len(blocks), 64)  # a shifted write always changes the md5
        data = ts.virtual_bytes("s", 0, 200001)
        self.assertEqual(ts.virtual_md5("s", 200001), hashlib.md5(data).hexdigest())
        path = os.path.join(TMP, "v.out")
        ts.write_virtual_file(path, "s", 200001)
        self.assertEqual(ts.md5_of_file(path), hashlib.md5(data).hexdigest())
        # Fixed output: the generator must never change under the tests that rely on it.
        self.assertEqual(ts.virtual_md5("launcher", 1000), hashlib.md5(ts.virtual_bytes("launcher", 0, 1000))
                         .hexdigest())
        self.assertEqual(ts.virtual_bytes("launcher", 0, 8).hex(),
                         hashlib.shake_128(b"launcher-test-vfile\x00launcher\x00" + bytes(8)).digest(8).hex())


class RefusedPortTest(unittest.TestCase):
    def test_connection_is_refused(self):
        with ts.RefusedPort() as refused:
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((ts.LOOPBACK, refused.port), timeout=5).close()
            self.assertTrue(refused.url("/x").startswith("http://127.0.0.1:"))


class ContentServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ts.ContentServer(content_config(), max_seconds=120).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def setUp(self):
        self.server.clear_faults()
        self.server.clear_requests()
        self.conn = self.server.connection(timeout=10)

    def tearDown(self):
        self.conn.close()

    def test_whole_files_static_virtual_and_query_ignored(self):
        status, headers, body = fetch(self.conn, "/hostA/a.bin")
        self.assertEqual((status, body), (200, A_BIN))
        self.assertEqual(headers["content-length"], "100000")
        self.assertEqual(headers["accept-ranges"], "bytes")
        status, _, body = fetch(self.conn, "/hostB/v.bin?t=123456")
        self.assertEqual((status, body), (200, ts.virtual_bytes(7, 0, 300000)))
        status, _, body = fetch(self.conn, "/hostA/sub/c.txt")
        self.assertEqual((status, body), (200, b"in a sub folder\n"))
        status, _, body = fetch(self.conn, "/hostA/empty.bin")
        self.assertEqual((status, body), (200, b""))

    def test_head(self):
        status, headers, body = fetch(self.conn, "/hostA/a.bin", method="HEAD")
        self.assertEqual((status, body, headers["content-length"]), (200, b"", "100000"))
        status, headers, body = fetch(self.conn, "/hostA/big.bin", {"Range": "bytes=5-9"}, method="HEAD")
        self.assertEqual((status, body, headers["content-range"]), (206, b"", "bytes 5-9/%d" % BIG_SIZE))
        status, _, body = fetch(self.conn, "/hostA/none.bin", method="HEAD")
        self.assertEqual((status, body), (404, b""))
        # the connection is still usable after bodiless answers
        self.assertEqual(fetch(self.conn, "/hostA/sub/c.txt")[0], 200)

    def test_missing_and_escaping_paths_are_404(self):
        for path in ["/hostA/none.bin", "/hostA/sub", "/hostA/sub/", "/hostC/a.bin", "/hostA/../secret.txt",
                     "/hostA/%2e%2e/secret.txt", "/hostA/sub/../../secret.txt", "/hostA/link-out.txt",
                     "/hostA/..%2fsecret.txt", "/hostA/sub%5c..%5c..%5csecret.txt", "/"]:
            status, _, body = fetch(self.conn, path)
            self.assertEqual(status, 404, path)
            self.assertNotIn(b"outside", body)

    def test_ranges(self):
        for path, full in [("/hostA/a.bin", A_BIN), ("/hostB/v.bin", ts.virtual_bytes(7, 0, 300000))]:
            n = len(full)
            cases = [
                # range header, status, (first, last) for 206
                ("bytes=0-0", 206, (0, 0)),
                ("bytes=10-19", 206, (10, 19)),
                ("bytes=%d-" % (n - 10), 206, (n - 10, n - 1)),
                ("bytes=%d-%d" % (n - 10, 2 * n), 206, (n - 10, n - 1)),
                ("bytes=-10", 206, (n - 10, n - 1)),
                ("bytes=-%d" % (2 * n), 206, (0, n - 1)),
                ("bytes=%d-" % n, 416, None),
                ("bytes=%d-%d" % (2 * n, 3 * n), 416, None),
                ("bytes=5-2", 200, None),  # invalid forms are ignored: whole file
                ("bytes=0-1,5-6", 200, None),
                ("items=0-1", 200, None),
                ("bytes=x-1", 200, None),
            ]
            for header, want_status, span in cases:
                status, headers, body = fetch(self.conn, path, {"Range": header})
                self.assertEqual(status, want_status, (path, header))
                if status == 206:
                    first, last = span
                    self.assertEqual(body, full[first:last + 1], (path, header))
                    self.assertEqual(headers["content-range"], "bytes %d-%d/%d" % (first, last, n))
                    self.assertEqual(headers["content-length"], str(last - first + 1))
                elif status == 416:
                    self.assertEqual(headers["content-range"], "bytes */%d" % n)
                    self.assertEqual(body, b"")
                else:
                    self.assertEqual(body, full)
                    self.assertNotIn("content-range", headers)
        # large offsets of a virtual file, across the 32 MiB boundary
        first = 32 * MiB - 50
        status, headers, body = fetch(self.conn, "/hostA/big.bin", {"Range": "bytes=%d-%d" % (first, first + 99)})
        self.assertEqual((status, body), (206, ts.virtual_bytes("big", first, 100)))
        status, _, body = fetch(self.conn, "/hostA/big.bin", {"Range": "bytes=%d-" % (BIG_SIZE - 3)})
        self.assertEqual((status, body), (206, ts.virtual_bytes("big", BIG_SIZE - 3, 3)))
        status, headers, _ = fetch(self.conn, "/hostA/empty.bin", {"Range": "bytes=0-0"})
        self.assertEqual((status, headers["content-range"]), (416, "bytes */0"))

    def test_virtual_file_listing_gives_md5(self):
        files = self.server.virtual_files()
        self.assertEqual(files["/hostB/v.bin"], {"seed": "7", "size": 300000,
                                                 "md5": ts.virtual_md5(7, 300000)})
        self.assertEqual(files["/hostA/big.bin"]["md5"], ts.virtual_md5("big", BIG_SIZE))

    def test_keep_alive_reuses_one_connection(self):
        fetch(self.conn, "/hostA/a.bin")
        sock = self.conn.sock
        fetch(self.conn, "/hostA/a.bin", {"Range": "bytes=0-9"})
        fetch(self.conn, "/gate/get/urls?key=WIN10VN_1_0_0&udid=u")  # a scripted 503 keeps it too
        fetch(self.conn, "/hostA/none.bin")
        self.assertIs(self.conn.sock, sock)
        entries = self.server.requests()
        self.assertEqual(len(entries), 4)
        self.assertEqual(len({e["connection"] for e in entries}), 1)
        self.assertEqual([e["request_on_connection"] for e in entries], [1, 2, 3, 4])
        other = self.server.connection()
        try:
            fetch(other, "/hostA/sub/c.txt")
        finally:
            other.close()
        self.assertNotEqual(self.server.requests()[-1]["connection"], entries[0]["connection"])

    def test_expect_100_continue(self):
        body = b'{"event":"x"}' * 200
        with socket.create_connection((ts.LOOPBACK, self.server.port), timeout=10) as s:
            s.sendall(b"POST /track/json_track?token=t HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                      b"Content-Length: %d\r\nExpect: 100-continue\r\n\r\n" % len(body))
            self.assertTrue(s.recv(4096).startswith(b"HTTP/1.1 100"))
            s.sendall(body)
            f = s.makefile("rb")
            self.assertTrue(f.readline().startswith(b"HTTP/1.1 200"))
            f.close()
        self.assertEqual(ts.entry_body(self.server.requests()[-1]), body)

    # -- scenarios
    def test_gate_scenario_plays_its_steps_by_attempt(self):
        path = "/gate/get/urls?key=WIN10VN_1_0_0&udid=abc"
        self.assertEqual(fetch(self.conn, path)[::2], (503, b"busy"))
        status, headers, body = fetch(self.conn, path)
        self.assertEqual((status, headers["content-type"]), (200, "application/json"))
        self.assertEqual(json.loads(body), {"Others": GATE_OTHERS})
        self.assertEqual(fetch(self.conn, path)[0], 200)  # the last step repeats
        # query mismatches fall through to the (missing) static file
        for miss in ["/gate/get/urls?key=WIN10VN_2_0_0&udid=abc", "/gate/get/urls?key=WIN10VN_1_0_0",
                     "/gate/get/urls?key=WIN10VN_1_0_0&udid=abc&is_qa=true"]:
            self.assertEqual(fetch(self.conn, miss)[0], 404, miss)
        entries = self.server.requests()
        self.assertEqual([e.get("attempt") for e in entries[:3]], [1, 2, 3])
        self.assertEqual(entries[0]["rule"], "gate")
        self.assertEqual(entries[0]["query"], "key=WIN10VN_1_0_0&udid=abc")
        # clearing the faults resets the attempt counts of the config's scenarios
        self.server.clear_faults()
        self.assertEqual(fetch(self.conn, path)[0], 503)
        status, _, body = fetch(self.conn, "/gate/pre_download?channel=VN&udid=abc")
        self.assertEqual((status, json.loads(body)), (200, {"DlcAddr": ["https://127.0.0.1:1/hostB/"]}))

    def test_reports_are_recorded_with_body_headers_and_query(self):
        body = json.dumps({"event": "launch", "text": "\u00e9t\u00e9"}).encode()
        status, _, reply = fetch(self.conn, "/track/json_track?token=0123", method="POST", body=body,
                                 headers={"Content-Type": "application/json; charset=UTF-8"})
        self.assertEqual((status, json.loads(reply)), (200, {"ok": True}))
        self.assertEqual(fetch(self.conn, "/v1/adjust?a=1&b=x%20y")[::2], (200, b"ok"))
        self.assertEqual(fetch(self.conn, "/track/json_track", method="GET")[0], 404)  # rule is POST only
        fetch(self.conn, "/track/json_track", method="POST", body=b"\xff\x00\xfe")
        entries = self.server.requests()
        post, get, _, binary = entries
        self.assertEqual((post["method"], post["path"], post["query"], post["status"]),
                         ("POST", "/track/json_track", "token=0123", 200))
        self.assertEqual(ts.entry_body(post), body)
        self.assertIn(["Content-Type", "application/json; charset=UTF-8"], post["headers"])
        self.assertEqual(post["bytes_sent"], len(reply))
        self.assertEqual((get["method"], get["query"], get["body"]), ("GET", "a=1&b=x%20y", ""))
        self.assertEqual(ts.entry_body(binary), b"\xff\x00\xfe")
        self.assertIn("body_base64", binary)
        for e in entries:
            self.assertLessEqual(abs(e["time"] - time.time()), 30)
            self.assertTrue(e["completed"])

    def test_log_file_matches_control_endpoint_and_clears(self):
        fetch(self.conn, "/hostA/a.bin", {"Range": "bytes=0-99"})
        fetch(self.conn, "/hostA/none.bin")
        from_file = self.server.read_log()
        self.assertEqual(from_file, self.server.requests(kind=None))
        self.assertEqual([(e["status"], e["bytes_sent"]) for e in from_file], [(206, 100), (404, 10)])
        self.assertEqual(self.server.clear_requests(), {"cleared": 2})
        self.assertEqual(self.server.read_log(), [])
        self.assertEqual(self.server.requests(), [])

    # -- faults
    def test_error_fault_then_pass_by_attempt(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "steps": [
            {"kind": "error", "status": 500, "body": "boom"}, {"kind": "close_after", "bytes": 10}, "pass"],
            "otherwise": {"kind": "error", "status": 403}}])
        self.assertEqual(fetch(self.conn, "/hostA/a.bin")[::2], (500, b"boom"))
        with self.assertRaises(http.client.IncompleteRead) as cm:
            fetch(self.conn, "/hostA/a.bin")
        self.assertEqual(cm.exception.partial, A_BIN[:10])
        self.conn.close()
        self.assertEqual(fetch(self.conn, "/hostA/a.bin")[::2], (200, A_BIN))
        self.assertEqual(fetch(self.conn, "/hostA/a.bin")[0], 403)
        self.assertEqual(fetch(self.conn, "/hostA/sub/c.txt")[0], 200)  # other paths untouched
        entries = self.server.requests()
        self.assertEqual([(e.get("attempt"), e["step"], e["bytes_sent"], e["completed"]) for e in entries[:4]],
                         [(1, "error", 4, True), (2, "close_after", 10, False), (3, "pass", 100000, True),
                          (4, "error", 0, True)])

    def test_close_without_answer(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "kind": "close"}])
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            fetch(self.conn, "/hostA/a.bin")

    def test_stall_for_a_time_then_close(self):
        self.server.install_faults([{"path": "/hostB/v.bin", "steps": [
            {"kind": "stall", "seconds": 0.6, "after_bytes": 10}]}])
        started = time.monotonic()
        self.conn.request("GET", "/hostB/v.bin")
        resp = self.conn.getresponse()
        self.assertLess(time.monotonic() - started, 0.5)  # headers come at once
        with self.assertRaises(http.client.IncompleteRead) as cm:
            resp.read()
        self.assertGreaterEqual(time.monotonic() - started, 0.55)
        self.assertEqual(cm.exception.partial, ts.virtual_bytes(7, 0, 10))

    def test_stall_ends_when_client_closes(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "kind": "stall", "seconds": 60}])
        started = time.monotonic()
        self.conn.request("GET", "/hostA/a.bin")
        resp = self.conn.getresponse()
        self.assertEqual(resp.status, 200)
        resp.close()
        self.conn.close()
        entries = wait_for(self.server.requests, 10)
        self.assertTrue(entries)
        self.assertTrue(entries[0]["client_closed"])
        self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(entries[0]["bytes_sent"], 0)

    def test_stall_then_continue(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "kind": "stall", "seconds": 0.3, "after_bytes": 5000,
                                     "then": "continue"}])
        started = time.monotonic()
        self.assertEqual(fetch(self.conn, "/hostA/a.bin")[::2], (200, A_BIN))
        self.assertGreaterEqual(time.monotonic() - started, 0.28)

    def test_corrupt_flips_bytes_at_file_offsets(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "kind": "corrupt", "offset": 5000, "count": 3},
                                    {"path": "/hostA/big.bin", "kind": "corrupt", "offset": 32 * MiB}])
        status, _, body = fetch(self.conn, "/hostA/a.bin", {"Range": "bytes=4096-8191"})
        self.assertEqual(status, 206)
        expected = bytearray(A_BIN[4096:8192])
        for i in range(5000 - 4096, 5003 - 4096):
            expected[i] ^= 0xFF
        self.assertEqual(body, bytes(expected))
        # outside the range: untouched
        self.assertEqual(fetch(self.conn, "/hostA/a.bin", {"Range": "bytes=0-99"})[2], A_BIN[:100])
        good = ts.virtual_bytes("big", 32 * MiB - 2, 4)
        status, _, body = fetch(self.conn, "/hostA/big.bin", {"Range": "bytes=%d-%d" % (32 * MiB - 2, 32 * MiB + 1)})
        self.assertEqual(body, good[:2] + bytes([good[2] ^ 0xFF]) + good[3:])

    def test_ignore_range_sends_whole_file(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "kind": "ignore_range"}])
        status, headers, body = fetch(self.conn, "/hostA/a.bin", {"Range": "bytes=10-19"})
        self.assertEqual((status, body), (200, A_BIN))
        self.assertNotIn("content-range", headers)

    def test_redirects(self):
        base = self.server.base_url
        cases = [
            (301, "{base}/hostB/b.bin", base + "/hostB/b.bin"),
            (302, "/hostA/a.bin", base + "/hostA/a.bin"),
            (307, "{base}/mirror{path}?{query}", base + "/mirror/hostA/sub/c.txt?x=1"),
            (302, "ftp://127.0.0.1:1/x", "ftp://127.0.0.1:1/x"),
            (301, "file:///etc/passwd", "file:///etc/passwd"),
        ]
        for status, location, want in cases:
            self.server.install_faults([{"path": "/hostA/sub/c.txt", "kind": "redirect", "status": status,
                                         "location": location}])
            got, headers, _ = fetch(self.conn, "/hostA/sub/c.txt?x=1")
            self.assertEqual((got, headers["location"]), (status, want))

    def test_throttle(self):
        self.server.install_faults([{"path": "/hostB/v.bin", "kind": "throttle", "bytes_per_second": 60000}])
        started = time.monotonic()
        status, _, body = fetch(self.conn, "/hostB/v.bin", {"Range": "bytes=0-29999"})
        elapsed = time.monotonic() - started
        self.assertEqual((status, body), (206, ts.virtual_bytes(7, 0, 30000)))
        self.assertGreaterEqual(elapsed, 0.4)
        self.assertLess(elapsed, 5)

    def test_delay_and_canned_response_with_headers(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "steps": [
            {"status": 200, "body": "canned", "delay": 0.3, "headers": {"X-Test": "1", "Content-Type": "text/x"}}]}])
        started = time.monotonic()
        status, headers, body = fetch(self.conn, "/hostA/a.bin")
        self.assertGreaterEqual(time.monotonic() - started, 0.28)
        self.assertEqual((status, body, headers["x-test"], headers["content-type"]), (200, b"canned", "1", "text/x"))

    def test_range_start_selects_one_chunk(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "range_start": 4096, "kind": "error", "status": 502}])
        self.assertEqual(fetch(self.conn, "/hostA/a.bin", {"Range": "bytes=0-4095"})[0], 206)
        self.assertEqual(fetch(self.conn, "/hostA/a.bin", {"Range": "bytes=4096-8191"})[0], 502)
        self.assertEqual(fetch(self.conn, "/hostA/a.bin")[0], 200)

    def test_fault_install_modes_and_validation(self):
        one = {"path": "/hostA/a.bin", "kind": "error", "status": 501}
        two = {"path_prefix": "/hostB/", "kind": "error", "status": 502}
        self.assertEqual(self.server.install_faults([one]), {"installed": 1})
        self.assertEqual(self.server.install_faults([two], replace=False), {"installed": 2})
        self.assertEqual(fetch(self.conn, "/hostB/b.bin")[0], 502)
        self.assertEqual(self.server.install_faults([two]), {"installed": 1})
        self.assertEqual(fetch(self.conn, "/hostA/a.bin")[0], 200)  # replaced: the first is gone
        self.assertEqual(fetch(self.conn, "/hostB/b.bin")[0], 502)
        listed = self.server.control("GET", "faults")
        self.assertEqual([f["attempts"] for f in listed["faults"]], [1])
        self.server.clear_faults()
        self.assertEqual(fetch(self.conn, "/hostB/b.bin")[0], 200)
        for bad in [[{"path": "/x", "kind": "explode"}], [{"kind": "error"}], [{"path": "/x", "steps": []}],
                    [{"path": "/x", "kind": "redirect"}], [{"path": "/x", "kind": "stall", "seconds": -1}],
                    [{"path": "/x", "kind": "throttle", "bytes_per_second": 0}]]:
            with self.assertRaises(RuntimeError, msg=json.dumps(bad)) as cm:
                self.server.install_faults(bad)
            self.assertIn("400", str(cm.exception))


class ServerLifeTest(unittest.TestCase):
    def test_sigterm_stops_cleanly(self):
        server = ts.ContentServer(static={"/hostA/": HOST_A}, max_seconds=60).start()
        try:
            ready = server.ready_path
            self.assertTrue(os.path.exists(ready))
            # a connection in the middle of a stall must not hold the stop up
            server.install_faults([{"path": "/hostA/a.bin", "kind": "stall", "seconds": 60}])
            conn = server.connection()
            conn.request("GET", "/hostA/a.bin")
            conn.getresponse()
            started = time.monotonic()
            self.assertEqual(server.stop(timeout=10), 0)
            self.assertLess(time.monotonic() - started, 5)
            self.assertFalse(os.path.exists(ready))
            conn.close()
        finally:
            server.cleanup()

    def test_shutdown_endpoint_stops_the_server(self):
        # For drivers without a process handle (a Windows test under Wine
        # starting the Linux python3 gets none).
        server = ts.ContentServer(static={"/hostA/": HOST_A}, max_seconds=60).start()
        try:
            self.assertEqual(server.control("POST", "shutdown"), {"stopping": True})
            self.assertEqual(server.proc.wait(timeout=10), 0)
            self.assertFalse(os.path.exists(server.ready_path))
        finally:
            server.cleanup()

    def test_max_seconds_stops_a_forgotten_server(self):
        server = ts.ContentServer(static={"/hostA/": HOST_A}, max_seconds=1).start()
        try:
            self.assertEqual(server.proc.wait(timeout=10), 0)
            self.assertIn("max-seconds", server.stderr_text())
        finally:
            server.cleanup()

    def test_bad_config_is_refused(self):
        for config in [{"static": {"/hostA/": os.path.join(TMP, "missing")}},
                       {"faults": [{"path": "/x", "kind": "nonsense"}]},
                       {"static": {"hostA": HOST_A}},
                       {"unknown": 1}]:
            with self.assertRaises(RuntimeError) as cm:
                ts.ContentServer(config, max_seconds=10).start()
            self.assertIn("code 2", str(cm.exception))

    def test_detached_start_and_stop_from_the_command_line(self):
        state = os.path.join(TMP, "detached")
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        out = subprocess.run([sys.executable, os.path.join(HERE, "testservers.py"), "start-content",
                              "--state-dir", state, "--static", "/hostA/=" + HOST_A, "--max-seconds", "60"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=30, check=True)
        info = json.loads(out.stdout)
        conn = http.client.HTTPConnection(ts.LOOPBACK, info["port"], timeout=10)
        self.assertEqual(fetch(conn, "/hostA/sub/c.txt")[::2], (200, b"in a sub folder\n"))
        conn.close()
        self.assertEqual(len(ts.read_request_log(os.path.join(state, "requests.jsonl"))), 1)
        subprocess.run([sys.executable, os.path.join(HERE, "testservers.py"), "stop", "--state-dir", state],
                       env=env, timeout=30, check=True)
        with self.assertRaises(ProcessLookupError):
            os.kill(info["pid"], 0)


class HttpsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ts.ContentServer(content_config(), tls=CA, max_seconds=120).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def setUp(self):
        self.server.clear_faults()
        self.server.clear_requests()

    def test_verified_with_the_test_ca(self):
        self.assertTrue(self.server.base_url.startswith("https://127.0.0.1:"))
        context = ts.client_ssl_context(CA.ca_cert, alpn=["h2", "http/1.1"])
        conn = http.client.HTTPSConnection(ts.LOOPBACK, self.server.port, timeout=10, context=context)
        try:
            status, _, body = fetch(conn, "/hostA/a.bin", {"Range": "bytes=100-199"})
            self.assertEqual((status, body), (206, A_BIN[100:200]))
            self.assertEqual(conn.sock.selected_alpn_protocol(), "http/1.1")
            sock = conn.sock
            self.assertEqual(fetch(conn, "/hostB/v.bin")[2], ts.virtual_bytes(7, 0, 300000))
            self.assertIs(conn.sock, sock)
        finally:
            conn.close()
        # "localhost" is a valid name too
        with socket.create_connection((ts.LOOPBACK, self.server.port), timeout=10) as raw:
            with ts.client_ssl_context(CA.ca_cert).wrap_socket(raw, server_hostname="localhost"):
                pass

    def test_faults_over_tls(self):
        self.server.install_faults([{"path": "/hostA/a.bin", "steps": [{"kind": "close_after", "bytes": 100},
                                                                        {"kind": "stall", "seconds": 60}]}])
        conn = self.server.connection(timeout=10)
        try:
            with self.assertRaises(http.client.IncompleteRead) as cm:
                fetch(conn, "/hostA/a.bin")
            self.assertEqual(cm.exception.partial, A_BIN[:100])
        finally:
            conn.close()
        conn = self.server.connection(timeout=10)
        conn.request("GET", "/hostA/a.bin")
        resp = conn.getresponse()
        resp.close()
        conn.close()
        entries = wait_for(lambda: len(self.server.requests()) == 2 and self.server.requests(), 10)
        self.assertTrue(entries and entries[1].get("client_closed"), entries)

    def test_untrusted_and_wrong_host_certificates_are_refused(self):
        for cert, key, reason in [(CA.untrusted_cert, CA.untrusted_key, "self-signed"),
                                  (CA.wronghost_cert, CA.wronghost_key, "mismatch")]:
            with ts.ContentServer(static={"/hostA/": HOST_A}, tls=(cert, key), max_seconds=60) as bad:
                conn = http.client.HTTPSConnection(ts.LOOPBACK, bad.port, timeout=10,
                                                   context=ts.client_ssl_context(CA.ca_cert))
                with self.assertRaises(ssl.SSLCertVerificationError) as cm:
                    fetch(conn, "/hostA/a.bin")
                conn.close()
                self.assertIn(reason, str(cm.exception).lower())
                self.assertTrue(wait_for(lambda: bad.requests(kind="tls_error"), 5))
                self.assertEqual(bad.requests(), [])


# ----------------------------------------------------------------------------
# A minimal HTTP/2 client: enough to prove that nginx answers over h2.


def _h2_frame(kind, flags, stream, payload=b""):
    return len(payload).to_bytes(3, "big") + bytes([kind, flags]) + stream.to_bytes(4, "big") + payload


def _hpack_literal(name, value):
    # "Literal header field without indexing, new name", no Huffman coding;
    # every length here is below 127, so one length byte each.
    assert len(name) < 127 and len(value) < 127
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


_H2_STATIC_STATUS = {8: 200, 9: 204, 10: 206, 11: 304, 12: 400, 13: 404, 14: 500}


def h2_get(sock, authority, path, extra=()):
    """(status, body) of one GET on a fresh HTTP/2 connection."""
    block = b"".join(_hpack_literal(n, v) for n, v in [(b":method", b"GET"), (b":scheme", b"https"),
                                                        (b":authority", authority), (b":path", path)] + list(extra))
    sock.sendall(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + _h2_frame(4, 0, 0) + _h2_frame(1, 0x5, 1, block))
    buf = b""
    status, body = None, b""

    def read_exact(n):
        nonlocal buf
        while len(buf) < n:
            data = sock.recv(65536)
            if not data:
                raise ConnectionError("h2 connection closed")
            buf += data
        out, buf = buf[:n], buf[n:]
        return out

    for _ in range(1000):
        header = read_exact(9)
        length, kind, flags = int.from_bytes(header[:3], "big"), header[3], header[4]
        stream = int.from_bytes(header[5:9], "big") & 0x7FFFFFFF
        payload = read_exact(length)
        if kind == 4 and not flags & 1:  # SETTINGS: acknowledge
            sock.sendall(_h2_frame(4, 1, 0))
        elif kind == 7:  # GOAWAY
            raise ConnectionError("h2 GOAWAY")
        elif kind == 1 and stream == 1:  # HEADERS
            first = payload[0]
            status = _H2_STATIC_STATUS.get(first & 0x7F) if first & 0x80 else None
            if flags & 1:
                return status, body
        elif kind == 0 and stream == 1:  # DATA
            body += payload
            if flags & 1:
                return status, body
    raise RuntimeError("h2 answer did not end")


class NginxTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = ts.virtual_bytes("nginx", 0, 200000)
        with open(os.path.join(HOST_B, "n.bin"), "wb") as f:
            f.write(cls.data)
        cls.server = ts.NginxServer({"/hostA/": HOST_A, "/hostB/": HOST_B}, tls=CA, max_seconds=120).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def test_h2_is_negotiated_and_serves_a_range(self):
        with socket.create_connection((ts.LOOPBACK, self.server.port), timeout=10) as raw:
            context = ts.client_ssl_context(CA.ca_cert, alpn=["h2", "http/1.1"])
            with context.wrap_socket(raw, server_hostname="127.0.0.1") as s:
                self.assertEqual(s.selected_alpn_protocol(), "h2")
                status, body = h2_get(s, b"127.0.0.1:%d" % self.server.port, b"/hostB/n.bin",
                                      [(b"range", b"bytes=1000-5999")])
        self.assertEqual((status, body), (206, self.data[1000:6000]))
        entry = wait_for(lambda: [e for e in self.server.access_log() if e["protocol"] == "HTTP/2.0"], 5)[-1]
        self.assertEqual((entry["uri"], entry["status"], entry["body_bytes_sent"], entry["range"]),
                         ("/hostB/n.bin", 206, 5000, "bytes=1000-5999"))
        self.assertGreater(entry["bytes_sent"], 5000)

    def test_http11_over_verified_tls_with_ranges(self):
        conn = http.client.HTTPSConnection(ts.LOOPBACK, self.server.port, timeout=10,
                                           context=ts.client_ssl_context(CA.ca_cert))
        try:
            status, headers, body = fetch(conn, "/hostB/n.bin", {"Range": "bytes=199990-"})
            self.assertEqual((status, body, headers["content-range"]), (206, self.data[199990:],
                                                                        "bytes 199990-199999/200000"))
            self.assertEqual(fetch(conn, "/hostA/a.bin")[::2], (200, A_BIN))
            self.assertEqual(fetch(conn, "/hostB/n.bin", {"Range": "bytes=300000-"})[0], 416)
            self.assertEqual(fetch(conn, "/hostA/none.bin")[0], 404)
            self.assertEqual(fetch(conn, "/elsewhere/a.bin")[0], 404)
        finally:
            conn.close()
        entries = wait_for(lambda: [e for e in self.server.access_log() if e["protocol"] == "HTTP/1.1"
                                    and e["uri"] == "/elsewhere/a.bin"] and self.server.access_log(), 5)
        mine = [e for e in entries if e["protocol"] == "HTTP/1.1"][-5:]
        self.assertEqual([(e["status"], e["body_bytes_sent"]) for e in mine][:2], [(206, 10), (200, 100000)])
        self.assertEqual(len({e["connection"] for e in mine}), 1)  # keep-alive

    def test_command_line_runner(self):
        workdir = os.path.join(TMP, "nginx-cli")
        ready = os.path.join(TMP, "nginx-ready.json")
        proc = subprocess.Popen([sys.executable, os.path.join(HERE, "nginx_server.py"), "--static",
                                 "/hostA/=" + HOST_A, "--ca-dir", os.path.join(TMP, "ca"), "--workdir", workdir,
                                 "--ready-file", ready, "--max-seconds", "60"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        try:
            info = ts._wait_for_file(ready, proc, 20, "nginx_server.py")
            conn = http.client.HTTPSConnection(ts.LOOPBACK, info["port"], timeout=10,
                                               context=ts.client_ssl_context(CA.ca_cert))
            self.assertEqual(fetch(conn, "/hostA/sub/c.txt")[::2], (200, b"in a sub folder\n"))
            conn.close()
            with open(os.path.join(workdir, "nginx.pid")) as f:
                master = int(f.read())
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=15), 0)
            self.assertFalse(os.path.exists(ready))
            with self.assertRaises(ProcessLookupError):
                for _ in range(100):  # nginx may take a moment to finish
                    os.kill(master, 0)
                    time.sleep(0.05)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=10)
            proc.stderr.close()

    def test_config_keeps_every_path_in_the_work_folder(self):
        text = ts.render_nginx_config("/tmp/w", 1234, {"/hostA/": "/data/a"}, ("/c/s.pem", "/c/s.key"))
        self.assertIn("listen 127.0.0.1:1234 ssl", text)
        self.assertNotIn("/var/", text)
        self.assertNotIn("/run/", text)
        for bad in [{"hostA/": "/d"}, {"/a b/": "/d"}, {"/../": "/d"}, {"/a/": "/d$x"}]:
            with self.assertRaises(ValueError, msg=str(bad)):
                ts.render_nginx_config("/tmp/w", 1, bad)


if __name__ == "__main__":
    unittest.main()
