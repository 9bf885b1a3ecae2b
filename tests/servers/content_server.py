#!/usr/bin/env python3
"""Scriptable HTTP/1.1 (and HTTPS) content and gate server for the launcher's tests.

Listens on 127.0.0.1 only. Serves static folders under URL prefixes and
virtual files generated from a seed, answers ranges, plays scripted gate and
pre-download answers, injects faults per path and attempt, and records every
request. See README.md for the config, scenario and fault formats.

  content_server.py --config cfg.json --ready-file ready.json --log requests.jsonl
                    [--scenario more.json] [--static /hostA/=DIR] [--virtual /hostA/big.bin=SEED:SIZE]
                    [--cert server.pem --key server.key] [--port 0] [--max-seconds 300] [--verbose]
"""

import sys

sys.dont_write_bytecode = True

import argparse  # noqa: E402
import base64  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import select  # noqa: E402
import selectors  # noqa: E402
import signal  # noqa: E402
import socket  # noqa: E402
import socketserver  # noqa: E402
import ssl  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
import urllib.parse  # noqa: E402
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer  # noqa: E402

import testservers  # noqa: E402

LOOPBACK = "127.0.0.1"
CONTROL_PREFIX = "/__control/"
IO_BLOCK = 65536
MAX_REQUEST_BODY = 16 * 1024 * 1024
IDLE_TIMEOUT = 60  # seconds a kept-alive connection may wait for its next request
SEND_TIMEOUT = 300  # seconds one socket operation may take while answering
HANDSHAKE_TIMEOUT = 10
MAX_FAULT_SECONDS = 600  # upper bound for any delay, stall or throttle pause
SETTLE_SECONDS = 2  # how long a log query waits for answers still being written

PASS_FAMILY = {"pass", "close_after", "stall", "corrupt", "ignore_range", "throttle"}
KINDS = PASS_FAMILY | {"respond", "error", "redirect", "close"}


class ConfigError(Exception):
    pass


# ----------------------------------------------------------------------------
# Config and rules


def _require(cond, message):
    if not cond:
        raise ConfigError(message)


def _number(step, key, default=None, minimum=0):
    value = step.get(key, default)
    if value is None:
        return None
    _require(isinstance(value, (int, float)) and not isinstance(value, bool) and value >= minimum,
             "%s must be a number >= %s, got %r" % (key, minimum, value))
    return value


def normalize_step(step, where):
    """Validates a step and returns it as a dict with an explicit "kind"."""
    if isinstance(step, str):
        step = {"kind": step}
    _require(isinstance(step, dict), "%s: a step must be an object or a kind name" % where)
    step = dict(step)
    kind = step.get("kind")
    if kind is None:
        kind = "respond" if "status" in step else "pass"
    _require(kind in KINDS, "%s: unknown kind %r" % (where, kind))
    step["kind"] = kind
    _number(step, "delay", 0)
    _require(step.get("delay", 0) <= MAX_FAULT_SECONDS, "%s: delay too long" % where)
    if kind in ("respond", "error"):
        status = step.setdefault("status", 500 if kind == "error" else 200)
        _require(isinstance(status, int) and 100 <= status <= 599, "%s: bad status %r" % (where, status))
        bodies = [k for k in ("body", "json", "body_base64", "body_file") if k in step]
        _require(len(bodies) <= 1, "%s: give at most one of body, json, body_base64, body_file" % where)
        if "body" in step:
            _require(isinstance(step["body"], str), "%s: body must be text" % where)
        if "body_base64" in step:
            try:
                base64.b64decode(step["body_base64"], validate=True)
            except (ValueError, TypeError):
                raise ConfigError("%s: body_base64 is not base64" % where) from None
        if "body_file" in step:
            _require(isinstance(step["body_file"], str) and os.path.isfile(step["body_file"]),
                     "%s: body_file %r is not a file" % (where, step.get("body_file")))
    if kind == "redirect":
        status = step.setdefault("status", 302)
        _require(status in (301, 302, 303, 307, 308), "%s: redirect status must be 301/302/303/307/308" % where)
        _require(isinstance(step.get("location"), str) and step["location"], "%s: redirect needs a location" % where)
    headers = step.get("headers", {})
    _require(isinstance(headers, dict) and all(isinstance(k, str) and isinstance(v, str)
                                                for k, v in headers.items()),
             "%s: headers must map names to text" % where)
    # Modifiers of normal serving; the kind names the main one.
    if kind == "close_after":
        _require("bytes" in step or "close_after" in step, "%s: close_after needs bytes" % where)
        step.setdefault("close_after", step.get("bytes"))
    if kind == "stall":
        step.setdefault("stall_seconds", step.get("seconds", 5))
        step.setdefault("stall_after", step.get("after_bytes", 0))
        step.setdefault("stall_then", step.get("then", "close"))
    if kind == "corrupt":
        _require("offset" in step or "corrupt_offset" in step, "%s: corrupt needs an offset" % where)
        step.setdefault("corrupt_offset", step.get("offset"))
        step.setdefault("corrupt_count", step.get("count", 1))
    if kind == "ignore_range":
        step["ignore_range"] = True
    if kind == "throttle":
        step.setdefault("bytes_per_second", step.get("rate"))
        _require(step.get("bytes_per_second") is not None, "%s: throttle needs bytes_per_second" % where)
    _number(step, "close_after")
    _number(step, "stall_seconds")
    _require(step.get("stall_seconds", 0) <= MAX_FAULT_SECONDS, "%s: stall too long" % where)
    _number(step, "stall_after")
    _require(step.get("stall_then", "close") in ("close", "continue"), "%s: stall then must be close or continue"
             % where)
    _number(step, "corrupt_offset")
    _number(step, "corrupt_count", 1, minimum=1)
    _number(step, "bytes_per_second", None, minimum=1)
    return step


class Rule:
    """Matches requests and hands out one step per matching request (attempt)."""

    def __init__(self, spec, where, source):
        _require(isinstance(spec, dict), "%s: a rule must be an object" % where)
        self.spec = spec
        self.source = source
        self.name = spec.get("name") or where
        self.method = spec.get("method")
        if self.method is not None:
            _require(isinstance(self.method, str), "%s: method must be text" % where)
            self.method = self.method.upper()
        self.path = spec.get("path")
        self.path_prefix = spec.get("path_prefix")
        _require((self.path is None) != (self.path_prefix is None), "%s: give exactly one of path, path_prefix"
                 % where)
        _require(isinstance(self.path or self.path_prefix, str), "%s: path must be text" % where)
        self.query = spec.get("query")
        _require(self.query is None or (isinstance(self.query, dict) and all(
            v is None or isinstance(v, str) for v in self.query.values())),
            "%s: query must map names to text or null" % where)
        self.range_start = spec.get("range_start")
        _require(self.range_start is None or (isinstance(self.range_start, int) and self.range_start >= 0),
                 "%s: range_start must be a byte offset" % where)
        steps = spec.get("steps")
        if steps is None and ("kind" in spec or "status" in spec):
            steps = [{k: v for k, v in spec.items()
                      if k not in ("name", "method", "path", "path_prefix", "query", "range_start", "otherwise")}]
        _require(isinstance(steps, list) and steps, "%s: steps must be a non-empty list" % where)
        self.steps = [normalize_step(s, "%s step %d" % (where, i + 1)) for i, s in enumerate(steps)]
        otherwise = spec.get("otherwise")
        self.otherwise = normalize_step(otherwise, where + " otherwise") if otherwise is not None else None
        self.attempts = 0

    def matches(self, method, path, query, range_start):
        if self.method is not None and self.method != method:
            return False
        if self.path is not None and path != self.path:
            return False
        if self.path_prefix is not None and not path.startswith(self.path_prefix):
            return False
        if self.query:
            for key, want in self.query.items():
                values = query.get(key)
                if want is None:
                    if values is not None:
                        return False
                elif values is None or (want != "*" and want not in values):
                    return False
        if self.range_start is not None and range_start != self.range_start:
            return False
        return True

    def take_step(self):
        """Counts an attempt and returns (attempt number, its step)."""
        self.attempts += 1
        if self.attempts <= len(self.steps):
            return self.attempts, self.steps[self.attempts - 1]
        return self.attempts, self.otherwise or self.steps[-1]

    def describe(self):
        return {"name": self.name, "source": self.source, "attempts": self.attempts, "rule": self.spec}


def load_rules(specs, source):
    if isinstance(specs, dict):
        specs = specs.get("faults" if source == "fault" else "scenarios", specs.get("rules", []))
    _require(isinstance(specs, list), "%s rules must be a list" % source)
    return [Rule(spec, "%s %d" % (source, i + 1), source) for i, spec in enumerate(specs)]


def parse_virtual(spec, where):
    _require(isinstance(spec, dict), "%s: must be an object with seed and size" % where)
    size = spec.get("size")
    _require(isinstance(size, int) and size >= 0, "%s: size must be a byte count" % where)
    _require(isinstance(spec.get("seed"), (str, int)), "%s: seed must be text or a number" % where)
    return str(spec["seed"]), size


def load_config(args):
    config = {"static": {}, "virtual": {}, "scenarios": [], "faults": []}
    base_dir = os.getcwd()
    if args.config:
        with open(args.config, encoding="utf-8") as f:
            loaded = json.load(f)
        _require(isinstance(loaded, dict), "the config must be a JSON object")
        base_dir = os.path.dirname(os.path.abspath(args.config))
        config["static"].update({p: os.path.join(base_dir, d) for p, d in (loaded.get("static") or {}).items()})
        config["virtual"].update(loaded.get("virtual") or {})
        config["scenarios"] += list(loaded.get("scenarios") or [])
        config["faults"] += list(loaded.get("faults") or [])
        unknown = set(loaded) - {"static", "virtual", "scenarios", "faults", "comment"}
        _require(not unknown, "unknown config keys: %s" % ", ".join(sorted(unknown)))
    for path in args.scenario or []:
        with open(path, encoding="utf-8") as f:
            loaded = json.load(f)
        rules = loaded.get("scenarios", []) if isinstance(loaded, dict) else loaded
        _require(isinstance(rules, list), "%s: scenarios must be a list" % path)
        sdir = os.path.dirname(os.path.abspath(path))
        for rule in rules:
            for step in (rule.get("steps") or []) if isinstance(rule, dict) else []:
                if isinstance(step, dict) and "body_file" in step:
                    step["body_file"] = os.path.join(sdir, step["body_file"])
        config["scenarios"] += rules
    for item in args.static or []:
        prefix, sep, folder = item.partition("=")
        _require(sep, "--static wants PREFIX=FOLDER")
        config["static"][prefix] = folder
    for item in args.virtual or []:
        path, sep, rest = item.partition("=")
        seed, sep2, size = rest.rpartition(":")
        _require(sep and sep2 and size.isdigit(), "--virtual wants PATH=SEED:SIZE")
        config["virtual"][path] = {"seed": seed, "size": int(size)}
    # body_file paths of the config are relative to the config's folder
    for rule in config["scenarios"] + config["faults"]:
        if isinstance(rule, dict):
            for step in list(rule.get("steps") or []) + [rule.get("otherwise")]:
                if isinstance(step, dict) and "body_file" in step:
                    step["body_file"] = os.path.join(base_dir, step["body_file"])
    return config


# ----------------------------------------------------------------------------
# Shared server state


class ServerState:
    def __init__(self, config, log_path, scheme, verbose):
        self.lock = threading.Lock()
        # Requests being answered right now, minus those in a deliberate pause
        # (stall, delay, throttle). A client has the last byte of an answer a
        # moment before its thread records it; log queries wait for this to
        # reach 0 so that "fetch, then read the log" never misses an entry.
        self.busy = 0
        self.settled = threading.Condition(self.lock)
        self.stop_event = threading.Event()
        self.verbose = verbose
        self.scheme = scheme
        self.port = None
        self.mounts = []
        for prefix, folder in config["static"].items():
            _require(prefix.startswith("/") and prefix.endswith("/"),
                     "static prefix %r must start and end with /" % prefix)
            real = os.path.realpath(folder)
            _require(os.path.isdir(real), "static folder %r does not exist" % folder)
            self.mounts.append((prefix, real))
        self.mounts.sort(key=lambda m: len(m[0]), reverse=True)
        self.virtual = {}
        for path, spec in config["virtual"].items():
            _require(path.startswith("/"), "virtual path %r must start with /" % path)
            self.virtual[path] = parse_virtual(spec, "virtual %s" % path)
        self.config_rules = load_rules(config["faults"], "fault") + load_rules(config["scenarios"], "scenario")
        self.runtime_rules = []
        self.entries = []
        self.seq = 0
        self.conn_seq = 0
        self.log_path = log_path
        self.connections = set()
        if log_path:
            open(log_path, "w").close()

    @property
    def base_url(self):
        return "%s://%s:%d" % (self.scheme, LOOPBACK, self.port)

    def next_connection_id(self, sock):
        with self.lock:
            self.conn_seq += 1
            self.connections.add(sock)
            return self.conn_seq

    def forget_connection(self, sock):
        with self.lock:
            self.connections.discard(sock)

    def close_all_connections(self):
        with self.lock:
            socks = list(self.connections)
        for sock in socks:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def resolve(self, path):
        """('virtual', seed, size) | ('file', real path, size) | None."""
        if path in self.virtual:
            seed, size = self.virtual[path]
            return ("virtual", seed, size)
        if "\x00" in path:
            return None
        for prefix, root in self.mounts:
            if not path.startswith(prefix):
                continue
            rel = path[len(prefix):]
            parts = rel.split("/")
            if any(p in ("..", ".") for p in parts) or "\\" in rel:
                return None
            candidate = os.path.realpath(os.path.join(root, *[p for p in parts if p]))
            try:
                if os.path.commonpath([root, candidate]) != root:
                    return None
            except ValueError:
                return None
            if os.path.isfile(candidate):
                return ("file", candidate, os.path.getsize(candidate))
            return None
        return None

    def pick(self, method, path, query, range_start):
        with self.lock:
            for rule in self.runtime_rules + self.config_rules:
                if rule.matches(method, path, query, range_start):
                    attempt, step = rule.take_step()
                    return rule, attempt, step
        return None, 0, {"kind": "pass"}

    def install(self, rules, replace):
        with self.lock:
            if replace:
                self.runtime_rules = rules
            else:
                self.runtime_rules = self.runtime_rules + rules
            return len(self.runtime_rules)

    def clear_faults(self):
        with self.lock:
            self.runtime_rules = []
            for rule in self.config_rules:
                rule.attempts = 0

    def describe_rules(self):
        with self.lock:
            return {"faults": [r.describe() for r in self.runtime_rules],
                    "config": [r.describe() for r in self.config_rules]}

    def set_busy(self, delta):
        with self.lock:
            self.busy += delta
            if self.busy == 0:
                self.settled.notify_all()

    def wait_settled(self, timeout=SETTLE_SECONDS):
        with self.lock:
            return self.settled.wait_for(lambda: self.busy <= 0, timeout)

    def record(self, entry, was_busy=False):
        with self.lock:
            if was_busy:
                self.busy -= 1
                if self.busy == 0:
                    self.settled.notify_all()
            self.seq += 1
            entry["seq"] = self.seq
            self.entries.append(entry)
            if self.log_path:
                with open(self.log_path, "a", encoding="utf-8") as f:
                    f.write(json.dumps(entry, separators=(",", ":")) + "\n")
        if self.verbose:
            sys.stderr.write("%s %s -> %s (%s bytes)\n" % (entry.get("method"), entry.get("target"),
                                                             entry.get("status"), entry.get("bytes_sent")))

    def snapshot(self, since=0):
        with self.lock:
            return [e for e in self.entries if e["seq"] > since]

    def clear_entries(self):
        with self.lock:
            count = len(self.entries)
            self.entries = []
            if self.log_path:
                open(self.log_path, "w").close()
            return count

    def wait(self, seconds):
        """Sleeps up to `seconds`; returns False when the server is stopping."""
        return not self.stop_event.wait(max(0.0, min(seconds, MAX_FAULT_SECONDS)))


# ----------------------------------------------------------------------------
# Ranges


def parse_range(header, size):
    """(start, end) inclusive, "unsatisfiable", or None to send the whole file.

    Forms that RFC 9110 lets a server ignore (syntax errors, several ranges)
    are ignored: the answer is then 200 with the whole file.
    """
    if not header:
        return None
    unit, _, spec = header.strip().partition("=")
    if unit.strip().lower() != "bytes" or "," in spec:
        return None
    first, dash, last = spec.strip().partition("-")
    first, last = first.strip(), last.strip()
    if not dash or (first and not first.isdigit()) or (last and not last.isdigit()) or (not first and not last):
        return None
    if not first:  # suffix: the last N bytes
        count = int(last)
        if count == 0 or size == 0:
            return "unsatisfiable"
        return max(0, size - count), size - 1
    start = int(first)
    end = int(last) if last else size - 1
    if last and end < start:
        return None
    if start >= size:
        return "unsatisfiable"
    return start, min(end, size - 1)


def range_start_of(header):
    if not header:
        return None
    unit, _, spec = header.strip().partition("=")
    first = spec.strip().partition("-")[0].strip()
    return int(first) if unit.strip().lower() == "bytes" and first.isdigit() else None


# ----------------------------------------------------------------------------
# Request handler


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "launcher-testserver/1.0"

    def version_string(self):
        return self.server_version
    timeout = IDLE_TIMEOUT
    # Headers and body go out in separate writes; without this, Nagle and the
    # client's delayed ACK add ~40 ms to every small keep-alive answer.
    disable_nagle_algorithm = True

    # -- connection bookkeeping
    def setup(self):
        super().setup()
        self.state = self.server.state
        self.conn_id = self.state.next_connection_id(self.connection)
        self.requests_on_connection = 0
        self.entry = None

    def finish(self):
        try:
            super().finish()
        finally:
            self.state.forget_connection(self.connection)

    def handle_one_request(self):
        try:
            self.connection.settimeout(IDLE_TIMEOUT)
        except OSError:
            self.close_connection = True
            return
        try:
            super().handle_one_request()
        except (ConnectionError, ssl.SSLError, socket.timeout):
            self.close_connection = True

    def log_message(self, fmt, *args):
        if self.state.verbose:
            sys.stderr.write("%s - %s\n" % (self.address_string(), fmt % args))

    def send_header(self, keyword, value):
        if self.entry is not None:
            self.entry["response_headers"].append([keyword, str(value)])
        super().send_header(keyword, value)

    def send_response(self, code, message=None):
        if self.entry is not None:
            self.entry["status"] = code
        super().send_response(code, message)

    # -- methods
    def do_GET(self):
        self.dispatch()

    do_HEAD = do_POST = do_PUT = do_DELETE = do_OPTIONS = do_PATCH = do_GET

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            chunks, total = [], 0
            for _ in range(100000):
                line = self.rfile.readline(1024)
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                total += size
                if total > MAX_REQUEST_BODY:
                    raise ValueError("request body too large")
                chunks.append(self.rfile.read(size))
                self.rfile.readline(16)
            return b"".join(chunks)
        length = self.headers.get("Content-Length")
        if not length:
            return b""
        length = int(length)
        if length < 0 or length > MAX_REQUEST_BODY:
            raise ValueError("bad request body length")
        return self.rfile.read(length)

    def dispatch(self):
        started = time.time()
        self.requests_on_connection += 1
        self.connection.settimeout(SEND_TIMEOUT)
        target = self.path
        split = urllib.parse.urlsplit(target)
        path = urllib.parse.unquote(split.path or "/")
        query = split.query
        try:
            body = self.read_body()
        except (ValueError, OSError):
            self.close_connection = True
            self.send_error(400, "bad request body")
            return
        if path.startswith(CONTROL_PREFIX):
            self.handle_control(path[len(CONTROL_PREFIX):], split.query, body)
            return
        entry = {
            "kind": "request",
            "time": started,
            "connection": self.conn_id,
            "request_on_connection": self.requests_on_connection,
            "client_port": self.client_address[1],
            "method": self.command,
            "target": target,
            "path": split.path,
            "query": query,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "status": None,
            "response_headers": [],
            "bytes_sent": 0,
            "completed": False,
        }
        try:
            entry["body"] = body.decode("utf-8")
        except UnicodeDecodeError:
            entry["body_base64"] = base64.b64encode(body).decode("ascii")
        range_header = self.headers.get("Range")
        rule, attempt, step = self.state.pick(self.command, path, urllib.parse.parse_qs(query, keep_blank_values=True),
                                              range_start_of(range_header))
        if rule is not None:
            entry.update({"rule": rule.name, "attempt": attempt})
        entry["step"] = step["kind"]
        self.entry = entry
        self.state.set_busy(1)
        try:
            self.perform(step, path, query, range_header)
        except (ConnectionError, ssl.SSLError, socket.timeout, OSError) as e:
            entry["error"] = "%s: %s" % (type(e).__name__, e)
            self.close_connection = True
        finally:
            self.entry = None
            entry["duration"] = round(time.time() - started, 6)
            self.state.record(entry, was_busy=True)

    # -- behaviours
    def pause(self, seconds):
        """A deliberate wait; False when the server is stopping."""
        self.state.set_busy(-1)
        try:
            return self.state.wait(seconds)
        finally:
            self.state.set_busy(1)

    def perform(self, step, path, query, range_header):
        delay = step.get("delay", 0)
        if delay and not self.pause(delay):
            self.drop_connection()
            return
        kind = step["kind"]
        if kind == "close":
            self.drop_connection()
            return
        if kind in ("respond", "error"):
            self.send_canned(step)
            return
        if kind == "redirect":
            self.send_redirect(step, path, query)
            return
        self.serve_resource(step, path, range_header)

    def drop_connection(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def send_bytes(self, data):
        self.wfile.write(data)
        self.entry["bytes_sent"] += len(data)

    def send_canned(self, step):
        if "json" in step:
            body = json.dumps(step["json"], separators=(",", ":"), ensure_ascii=False).encode("utf-8")
            content_type = "application/json"
        elif "body_base64" in step:
            body = base64.b64decode(step["body_base64"])
            content_type = "application/octet-stream"
        elif "body_file" in step:
            with open(step["body_file"], "rb") as f:
                body = f.read()
            content_type = "application/octet-stream"
        else:
            body = step.get("body", "").encode("utf-8")
            content_type = "text/plain; charset=utf-8"
        headers = dict(step.get("headers", {}))
        no_body = step["status"] in (204, 304) or step["status"] < 200
        self.send_response(step["status"])
        if not any(k.lower() == "content-type" for k in headers) and not no_body:
            self.send_header("Content-Type", content_type)
        for key, value in headers.items():
            self.send_header(key, value)
        if not no_body:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD" and not no_body:
            self.send_bytes(body)
        self.entry["completed"] = True

    def send_redirect(self, step, path, query):
        location = step["location"].replace("{base}", self.state.base_url).replace("{path}", path) \
            .replace("{query}", query)
        if location.startswith("/"):
            location = self.state.base_url + location
        body = b"redirect\n"
        self.send_response(step["status"])
        self.send_header("Location", location)
        for key, value in step.get("headers", {}).items():
            self.send_header(key, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.send_bytes(body)
        self.entry["completed"] = True

    def send_plain_error(self, status, message, extra_headers=()):
        body = (message + "\n").encode()
        self.send_response(status)
        for key, value in extra_headers:
            self.send_header(key, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.send_bytes(body)
        self.entry["completed"] = True

    def serve_resource(self, step, path, range_header):
        resource = self.state.resolve(path)
        if resource is None:
            self.send_plain_error(404, "not found")
            return
        if self.command not in ("GET", "HEAD"):
            self.send_plain_error(405, "method not allowed", [("Allow", "GET, HEAD")])
            return
        kind, source, size = resource
        wanted = None if step.get("ignore_range") else parse_range(range_header, size)
        if wanted == "unsatisfiable":
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            self.entry["completed"] = True
            return
        if wanted is None:
            start, count, status = 0, size, 200
        else:
            start, count, status = wanted[0], wanted[1] - wanted[0] + 1, 206
        self.send_response(status)
        self.send_header("Content-Type", "text/plain" if path.endswith(".txt") else "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, start + count - 1, size))
        self.send_header("Content-Length", str(count))
        for key, value in step.get("headers", {}).items():
            self.send_header(key, value)
        self.end_headers()
        if self.command == "HEAD":
            self.entry["completed"] = True
            return
        if kind == "file":
            with open(source, "rb") as f:
                self.send_body(step, start, count, file=f)
        else:
            self.send_body(step, start, count, seed=source)

    def send_body(self, step, start, count, file=None, seed=None):
        close_after = step.get("close_after")
        stall_seconds = step.get("stall_seconds")
        stall_after = step.get("stall_after", 0) if stall_seconds is not None else None
        corrupt_at = step.get("corrupt_offset")
        corrupt_end = corrupt_at + step.get("corrupt_count", 1) if corrupt_at is not None else None
        rate = step.get("bytes_per_second")
        limit = count if close_after is None else min(count, close_after)
        plain = close_after is None and stall_seconds is None and corrupt_at is None and rate is None
        if plain and file is not None and not isinstance(self.connection, ssl.SSLSocket):
            self.sendfile_plain(file, start, count)
            return
        sent = 0
        began = time.monotonic()
        piece = IO_BLOCK if rate is None else max(1, min(IO_BLOCK, int(rate // 20) or 1))
        while sent < limit:
            if stall_after is not None and sent >= stall_after:
                stall_after = None
                if not self.stall(stall_seconds) or step.get("stall_then", "close") == "close":
                    self.drop_connection()
                    return
            n = min(piece, limit - sent)
            if stall_after is not None:
                n = min(n, stall_after - sent)
            pos = start + sent
            if file is not None:
                file.seek(pos)
                data = file.read(n)
                if len(data) != n:  # the file shrank under us
                    self.drop_connection()
                    return
            else:
                data = testservers.virtual_bytes(seed, pos, n)
            if corrupt_at is not None and pos < corrupt_end and corrupt_at < pos + n:
                data = bytearray(data)
                for i in range(max(corrupt_at, pos), min(corrupt_end, pos + n)):
                    data[i - pos] ^= 0xFF
                data = bytes(data)
            if rate is not None:
                due = began + sent / rate
                if not self.pause(due - time.monotonic()):
                    self.drop_connection()
                    return
            self.send_bytes(data)
            sent += n
        if stall_after is not None and sent >= stall_after:
            # A stall at (or past) the end of what we send: headers and all the
            # body, then silence.
            if not self.stall(stall_seconds) or step.get("stall_then", "close") == "close":
                self.drop_connection()
                return
        if limit < count:
            self.drop_connection()
            return
        self.entry["completed"] = True

    def sendfile_plain(self, file, start, count):
        # os.sendfile in our own loop (rather than socket.sendfile) so that
        # bytes_sent stays exact when the client goes away mid-answer.
        out_fd, in_fd = self.connection.fileno(), file.fileno()
        pos, left = start, count
        with selectors.DefaultSelector() as selector:
            selector.register(out_fd, selectors.EVENT_WRITE)
            while left > 0:
                try:
                    n = os.sendfile(out_fd, in_fd, pos, min(left, 1 << 23))
                except BlockingIOError:
                    if not selector.select(SEND_TIMEOUT):
                        raise socket.timeout("send timed out") from None
                    continue
                if n == 0:  # the file shrank under us
                    break
                pos += n
                left -= n
                self.entry["bytes_sent"] += n
        if left:
            self.drop_connection()
            return
        self.entry["completed"] = True

    def stall(self, seconds):
        """Waits `seconds`, or less when the client closes or the server stops.

        Returns True when the full time passed with the client still there.
        """
        self.entry["stalled"] = True
        self.state.set_busy(-1)
        try:
            return self.stall_wait(seconds)
        finally:
            self.state.set_busy(1)

    def stall_wait(self, seconds):
        deadline = time.monotonic() + min(seconds, MAX_FAULT_SECONDS)
        sock = self.connection
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return True
            if self.state.stop_event.is_set():
                return False
            try:
                readable, _, _ = select.select([sock], [], [], min(remaining, 0.1))
            except (OSError, ValueError):
                return False
            if readable and self.client_closed(sock):
                self.entry["client_closed"] = True
                return False

    @staticmethod
    def client_closed(sock):
        try:
            if isinstance(sock, ssl.SSLSocket):
                # Anything a client sends mid-answer is not a request we owe an
                # answer to; reading it is how we see the TLS close or EOF.
                sock.settimeout(0.05)
                try:
                    return sock.recv(4096) == b""
                finally:
                    sock.settimeout(SEND_TIMEOUT)
            return sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
        except (BlockingIOError, socket.timeout, ssl.SSLWantReadError):
            return False
        except (OSError, ssl.SSLError):
            return True

    # -- control endpoints (never recorded)
    def send_json(self, status, value):
        body = json.dumps(value, separators=(",", ":")).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_control(self, name, query, body):
        method = self.command
        state = self.state
        try:
            if name == "health" and method in ("GET", "HEAD"):
                if "settle" in urllib.parse.parse_qs(query):
                    state.wait_settled()
                self.send_json(200, {"ok": True, "port": state.port, "scheme": state.scheme, "pid": os.getpid()})
            elif name == "requests" and method in ("GET", "HEAD"):
                state.wait_settled()
                params = urllib.parse.parse_qs(query)
                since = int(params.get("since", ["0"])[0])
                self.send_json(200, state.snapshot(since))
            elif name == "requests" and method == "DELETE":
                state.wait_settled()
                self.send_json(200, {"cleared": state.clear_entries()})
            elif name == "faults" and method in ("GET", "HEAD"):
                self.send_json(200, state.describe_rules())
            elif name == "faults" and method == "POST":
                payload = json.loads(body.decode("utf-8") or "[]")
                replace = True
                if isinstance(payload, dict):
                    replace = bool(payload.get("replace", True))
                    payload = payload.get("faults", [])
                rules = load_rules(payload, "fault")
                self.send_json(200, {"installed": state.install(rules, replace)})
            elif name == "faults" and method == "DELETE":
                state.clear_faults()
                self.send_json(200, {"cleared": True})
            elif name == "files" and method in ("GET", "HEAD"):
                files = {path: {"seed": seed, "size": size, "md5": testservers.virtual_md5(seed, size)}
                         for path, (seed, size) in state.virtual.items()}
                self.send_json(200, files)
            elif name == "shutdown" and method == "POST":
                self.send_json(200, {"stopping": True})
                self.close_connection = True
                state.stop_event.set()
            else:
                self.send_json(404, {"error": "unknown control endpoint %s %s" % (method, name)})
        except (ConfigError, ValueError) as e:
            self.send_json(400, {"error": str(e)})


# ----------------------------------------------------------------------------
# Server


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

    def __init__(self, port, state, ssl_context):
        self.state = state
        self.ssl_context = ssl_context
        super().__init__((LOOPBACK, port), Handler)

    def server_bind(self):
        # HTTPServer.server_bind would look our own name up (getfqdn); a test
        # server has no business asking any resolver anything.
        socketserver.TCPServer.server_bind(self)
        self.server_name = LOOPBACK
        self.server_port = self.server_address[1]

    def finish_request(self, request, client_address):
        sock = request
        if self.ssl_context is not None:
            # The handshake runs on the connection's own thread, so a client
            # that never completes it cannot hold up the accept loop.
            try:
                request.settimeout(HANDSHAKE_TIMEOUT)
                sock = self.ssl_context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as e:
                self.state.record({"kind": "tls_error", "time": time.time(), "client_port": client_address[1],
                                   "error": "%s: %s" % (type(e).__name__, e)})
                return
        try:
            self.RequestHandlerClass(sock, client_address, self)
        finally:
            if sock is not request:
                try:
                    sock.close()
                except OSError:
                    pass

    def handle_error(self, request, client_address):
        if self.state.verbose:
            super().handle_error(request, client_address)


def make_ssl_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    # We speak HTTP/1.1 only; saying so lets HTTP/2-preferring clients fall back.
    context.set_alpn_protocols(["http/1.1"])
    return context


def write_ready_file(path, info):
    tmp = path + ".tmp%d" % os.getpid()
    with open(tmp, "w") as f:
        json.dump(info, f)
    os.replace(tmp, path)


def main(argv):
    parser = argparse.ArgumentParser(description="Scriptable test content server (127.0.0.1 only).")
    parser.add_argument("--config", help="JSON config: static, virtual, scenarios, faults")
    parser.add_argument("--scenario", action="append", help="extra scenario file (list of rules); repeatable")
    parser.add_argument("--static", action="append", help="PREFIX=FOLDER, e.g. /hostA/=data/a; repeatable")
    parser.add_argument("--virtual", action="append", help="PATH=SEED:SIZE; repeatable")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default 0: a free one)")
    parser.add_argument("--ready-file", help="written (JSON: port, pid, scheme, base_url) once listening")
    parser.add_argument("--log", help="JSON-lines request log (truncated at start)")
    parser.add_argument("--cert", help="server certificate (PEM) for HTTPS")
    parser.add_argument("--key", help="private key of --cert")
    parser.add_argument("--max-seconds", type=float, default=testservers.DEFAULT_MAX_SECONDS,
                        help="stop by itself after this many seconds (default %(default)s)")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)
    if bool(args.cert) != bool(args.key):
        parser.error("--cert and --key go together")
    if not 0 < args.max_seconds <= 86400:
        parser.error("--max-seconds must be within (0, 86400]")
    try:
        config = load_config(args)
        state = ServerState(config, args.log, "https" if args.cert else "http", args.verbose)
    except (ConfigError, OSError, ValueError) as e:
        print("content_server: config error: %s" % e, file=sys.stderr)
        return 2
    context = make_ssl_context(args.cert, args.key) if args.cert else None
    server = Server(args.port, state, context)
    state.port = server.server_address[1]

    def on_signal(signum, frame):
        state.stop_event.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    serve_thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    serve_thread.start()
    info = {"port": state.port, "pid": os.getpid(), "scheme": state.scheme, "base_url": state.base_url}
    if args.ready_file:
        write_ready_file(args.ready_file, info)
    print("READY %d" % state.port, flush=True)
    if not state.stop_event.wait(args.max_seconds):
        print("content_server: --max-seconds reached, stopping", file=sys.stderr)
    state.stop_event.set()
    server.shutdown()
    state.close_all_connections()
    server.server_close()
    if args.ready_file:
        try:
            os.remove(args.ready_file)
        except OSError:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
