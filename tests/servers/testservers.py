"""Helpers for tests that run against the local test servers.

Everything here binds to or connects to 127.0.0.1 only. It provides:
  * the deterministic generator behind the content server's virtual files
    (virtual_bytes, virtual_md5), so a test can compute what a download must
    produce without the file ever existing on disk;
  * make_test_ca: a throw-away CA, a server certificate for 127.0.0.1 signed by
    it, and two certificates a verifying client must refuse;
  * ContentServer and NginxServer: context managers that start and stop the
    servers as child processes and read what they recorded;
  * RefusedPort: a port number that nothing listens on.

Python standard library only. Servers started from here stop by themselves
after max_seconds and, by default, when the process that started them dies.
Start them from the thread that lives as long as the server (normally the main
thread): the "die with parent" signal follows the starting thread.

Run as a program it starts or stops a detached content server, for test
drivers that cannot keep a Python object alive (see README.md):
  testservers.py start-content --state-dir DIR [content_server.py options]
  testservers.py stop --state-dir DIR
"""

import sys

sys.dont_write_bytecode = True

import base64  # noqa: E402
import ctypes  # noqa: E402
import functools  # noqa: E402
import hashlib  # noqa: E402
import http.client  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import pwd  # noqa: E402
import grp  # noqa: E402
import re  # noqa: E402
import secrets  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import socket  # noqa: E402
import ssl  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from typing import NamedTuple  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
LOOPBACK = "127.0.0.1"
CONTENT_SERVER_SCRIPT = os.path.join(HERE, "content_server.py")
DEFAULT_NGINX = "/usr/sbin/nginx"
DEFAULT_MAX_SECONDS = 300

# ----------------------------------------------------------------------------
# Deterministic virtual file contents
#
# Byte o of the virtual file with seed S is byte (o mod 65536) of block
# k = o div 65536, where block k is the first 65536 bytes of
#   SHAKE-128( "launcher-test-vfile" NUL UTF8(S) NUL uint64_le(k) ).
# Every block differs, so data written at a wrong offset always changes the
# file's md5. The seed is text; an integer seed means its decimal text.

VIRTUAL_BLOCK = 65536
_VIRTUAL_TAG = b"launcher-test-vfile\x00"


def _seed_text(seed):
    return seed if isinstance(seed, str) else str(seed)


@functools.lru_cache(maxsize=512)
def virtual_block(seed, index):
    """Block `index` (65536 bytes) of the virtual file stream of `seed`."""
    material = _VIRTUAL_TAG + _seed_text(seed).encode("utf-8") + b"\x00" + index.to_bytes(8, "little")
    return hashlib.shake_128(material).digest(VIRTUAL_BLOCK)


def iter_virtual(seed, offset, length):
    """Yields the bytes [offset, offset + length) of the stream, piece by piece."""
    if offset < 0 or length < 0:
        raise ValueError("negative offset or length")
    seed = _seed_text(seed)
    end = offset + length
    pos = offset
    while pos < end:
        index, within = divmod(pos, VIRTUAL_BLOCK)
        take = min(VIRTUAL_BLOCK - within, end - pos)
        block = virtual_block(seed, index)
        yield block if (within == 0 and take == VIRTUAL_BLOCK) else block[within:within + take]
        pos += take


def virtual_bytes(seed, offset, length):
    """The bytes [offset, offset + length) of the virtual stream of `seed`."""
    return b"".join(iter_virtual(seed, offset, length))


_md5_cache = {}


def virtual_md5(seed, size):
    """md5 (32 lower-case hex digits) of the virtual file of `seed` and `size`."""
    key = (_seed_text(seed), size)
    if key not in _md5_cache:
        digest = hashlib.md5()
        for piece in iter_virtual(seed, 0, size):
            digest.update(piece)
        _md5_cache[key] = digest.hexdigest()
    return _md5_cache[key]


def write_virtual_file(path, seed, size, offset=0):
    """Writes the bytes [offset, offset + size) of the stream to a real file."""
    with open(path, "wb") as out:
        for piece in iter_virtual(seed, offset, size):
            out.write(piece)


def md5_of_file(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


# ----------------------------------------------------------------------------
# Ports


def free_port():
    """A port on 127.0.0.1 that was free a moment ago (bound to 0, then released).

    Only for programs that cannot bind port 0 themselves (nginx); anything we
    write binds port 0 directly.
    """
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class RefusedPort:
    """Holds a port on 127.0.0.1 that is bound but never listened on.

    Connections to it are refused at once, and no other program can take the
    port while this object is open, so a test of "host unreachable" cannot hit
    someone else's server by accident.
    """

    def __init__(self):
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.bind((LOOPBACK, 0))
        self.port = self._sock.getsockname()[1]

    def url(self, path="/", scheme="http"):
        return "%s://%s:%d%s" % (scheme, LOOPBACK, self.port, path)

    @property
    def base_url(self):
        return "http://%s:%d" % (LOOPBACK, self.port)

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ----------------------------------------------------------------------------
# Test certificates


class TestCA(NamedTuple):
    folder: str
    ca_cert: str  # trust anchor for clients (PEM)
    ca_key: str
    server_cert: str  # 127.0.0.1 / localhost, signed by the CA
    server_key: str
    untrusted_cert: str  # self-signed, same names: a verifying client refuses it
    untrusted_key: str
    wronghost_cert: str  # signed by the CA but only for "wrong-host.invalid"
    wronghost_key: str


_OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = placeholder
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[v3_server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
[v3_selfsigned]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
[v3_wronghost]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong-host.invalid
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
"""


def _ca_paths(folder):
    f = os.path.abspath(folder)
    j = lambda name: os.path.join(f, name)  # noqa: E731
    return TestCA(f, j("ca.pem"), j("ca.key"), j("server.pem"), j("server.key"), j("untrusted.pem"),
                  j("untrusted.key"), j("wronghost.pem"), j("wronghost.key"))


def _run_openssl(openssl, args, cwd):
    result = subprocess.run([openssl] + args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=60)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (" ".join(args[:2]), result.stderr.decode(errors="replace")))


def _certificate_valid_for(openssl, cert, seconds):
    if not os.path.isfile(cert):
        return False
    result = subprocess.run([openssl, "x509", "-checkend", str(seconds), "-noout", "-in", cert],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            timeout=30)
    return result.returncode == 0


def make_test_ca(folder, days=30, key_type="ec", openssl="openssl", force=False):
    """Creates (or reuses) the test CA and certificates in `folder`.

    Reuses existing files when all are present and the server certificate is
    valid for at least one more day, unless `force`. key_type: "ec" (P-256,
    fast) or "rsa" (2048 bits). One folder per test run: two processes writing
    the same folder at once would mix their files.
    """
    paths = _ca_paths(folder)
    os.makedirs(paths.folder, exist_ok=True)
    if not force and all(os.path.isfile(p) for p in paths[1:]) and \
            _certificate_valid_for(openssl, paths.server_cert, 86400):
        return paths
    cnf = os.path.join(paths.folder, "openssl-test.cnf")
    with open(cnf, "w") as f:
        f.write(_OPENSSL_CONFIG)
    if key_type == "ec":
        keygen = ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"]
    elif key_type == "rsa":
        keygen = ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"]
    else:
        raise ValueError("key_type must be 'ec' or 'rsa'")
    cwd = paths.folder
    for key in (paths.ca_key, paths.server_key, paths.untrusted_key, paths.wronghost_key):
        _run_openssl(openssl, ["genpkey"] + keygen + ["-out", key], cwd)
        os.chmod(key, 0o600)

    def serial():
        return "0x" + secrets.token_hex(8)

    _run_openssl(openssl, ["req", "-new", "-x509", "-config", cnf, "-key", paths.ca_key, "-out", paths.ca_cert,
                           "-days", str(days), "-sha256", "-extensions", "v3_ca", "-set_serial", serial(),
                           "-subj", "/CN=Launcher Test CA"], cwd)
    for cert, key, section, cn in ((paths.server_cert, paths.server_key, "v3_server", "127.0.0.1"),
                                   (paths.wronghost_cert, paths.wronghost_key, "v3_wronghost",
                                    "wrong-host.invalid")):
        csr = cert + ".csr"
        _run_openssl(openssl, ["req", "-new", "-config", cnf, "-key", key, "-out", csr, "-subj", "/CN=" + cn], cwd)
        _run_openssl(openssl, ["x509", "-req", "-in", csr, "-CA", paths.ca_cert, "-CAkey", paths.ca_key,
                               "-set_serial", serial(), "-out", cert, "-days", str(days), "-sha256",
                               "-extfile", cnf, "-extensions", section], cwd)
        os.remove(csr)
    _run_openssl(openssl, ["req", "-new", "-x509", "-config", cnf, "-key", paths.untrusted_key, "-out",
                           paths.untrusted_cert, "-days", str(days), "-sha256", "-extensions", "v3_selfsigned",
                           "-set_serial", serial(), "-subj", "/CN=127.0.0.1"], cwd)
    return paths


def client_ssl_context(ca_cert, alpn=None):
    """A client context that verifies the peer against `ca_cert` and the host name."""
    context = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=ca_cert)
    context.check_hostname = True
    context.verify_mode = ssl.CERT_REQUIRED
    if alpn:
        context.set_alpn_protocols(list(alpn))
    return context


def _tls_pair(tls):
    """(cert, key) from a TestCA, a (cert, key) pair, or None."""
    if tls is None:
        return None
    if isinstance(tls, TestCA):
        return tls.server_cert, tls.server_key
    cert, key = tls
    return os.path.abspath(cert), os.path.abspath(key)


# ----------------------------------------------------------------------------
# Child processes

_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """preexec_fn: the child gets SIGTERM when the thread that started it ends."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _stop_process(proc, timeout, first_signal=signal.SIGTERM):
    """Signals `proc` and waits; kills it when it has not ended after `timeout`."""
    if proc.poll() is not None:
        return proc.returncode
    try:
        proc.send_signal(first_signal)
    except ProcessLookupError:
        pass
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(timeout=10)


def _wait_for_file(path, proc, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.isfile(path):
            try:
                with open(path) as f:
                    return json.load(f)
            except (OSError, ValueError):
                pass  # written by rename, so a partial read means "not yet"
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("%s exited with code %s before it was ready" % (what, proc.returncode))
        time.sleep(0.02)
    raise RuntimeError("%s not ready after %.0f s" % (what, timeout))


def read_request_log(path):
    """The entries of a content server's JSON-lines request log."""
    entries = []
    if not os.path.isfile(path):
        return entries
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line:
                entries.append(json.loads(line))
    return entries


def entry_body(entry):
    """The request body of a log entry as bytes."""
    if "body_base64" in entry:
        return base64.b64decode(entry["body_base64"])
    return entry.get("body", "").encode("utf-8")


# ----------------------------------------------------------------------------
# Content server


def _absolute_config(config, base_dir):
    """A copy of a config dict with relative paths made absolute against base_dir."""
    out = json.loads(json.dumps(config))
    static = out.get("static") or {}
    for prefix, root in list(static.items()):
        static[prefix] = os.path.abspath(os.path.join(base_dir, root))

    def fix_steps(rules):
        for rule in rules or []:
            steps = list(rule.get("steps") or [])
            if isinstance(rule.get("otherwise"), dict):
                steps.append(rule["otherwise"])
            for step in steps:
                if isinstance(step, dict) and "body_file" in step:
                    step["body_file"] = os.path.abspath(os.path.join(base_dir, step["body_file"]))

    fix_steps(out.get("scenarios"))
    fix_steps(out.get("faults"))
    return out


class ContentServer:
    """Runs content_server.py as a child process on 127.0.0.1 (a free port).

    config: a dict in the config format of README.md (relative folders are
    taken relative to the current directory) or the path of a config file.
    static / virtual / scenarios / faults: merged into the config for brevity.
    tls: a TestCA, a (cert, key) pair or None for plain HTTP.
    """

    def __init__(self, config=None, *, static=None, virtual=None, scenarios=None, faults=None, tls=None,
                 workdir=None, max_seconds=DEFAULT_MAX_SECONDS, startup_timeout=20, die_with_parent=True,
                 verbose=False, python=None):
        if isinstance(config, str):
            with open(config, encoding="utf-8") as f:
                base = _absolute_config(json.load(f), os.path.dirname(os.path.abspath(config)))
        else:
            base = _absolute_config(config or {}, os.getcwd())
        extra = _absolute_config({"static": static or {}, "scenarios": scenarios or [], "faults": faults or []},
                                 os.getcwd())
        base.setdefault("static", {}).update(extra["static"])
        base.setdefault("virtual", {}).update(virtual or {})
        base["scenarios"] = list(base.get("scenarios") or []) + extra["scenarios"]
        base["faults"] = list(base.get("faults") or []) + extra["faults"]
        self.config = base
        self.tls = _tls_pair(tls)
        self._own_workdir = workdir is None
        self.workdir = os.path.abspath(workdir) if workdir else None
        self.max_seconds = max_seconds
        self.startup_timeout = startup_timeout
        self.die_with_parent = die_with_parent
        self.verbose = verbose
        self.python = python or sys.executable
        self.proc = None
        self.port = None
        self.ca_cert = tls.ca_cert if isinstance(tls, TestCA) else None

    # -- life cycle
    def start(self):
        if self.proc is not None:
            raise RuntimeError("already started")
        if self.workdir is None:
            self.workdir = tempfile.mkdtemp(prefix="content-server-")
        os.makedirs(self.workdir, exist_ok=True)
        self.config_path = os.path.join(self.workdir, "config.json")
        self.ready_path = os.path.join(self.workdir, "ready.json")
        self.log_path = os.path.join(self.workdir, "requests.jsonl")
        self.stderr_path = os.path.join(self.workdir, "server.stderr")
        with open(self.config_path, "w", encoding="utf-8") as f:
            json.dump(self.config, f, indent=1)
        if os.path.exists(self.ready_path):
            os.remove(self.ready_path)
        args = [self.python, CONTENT_SERVER_SCRIPT, "--config", self.config_path, "--ready-file", self.ready_path,
                "--log", self.log_path, "--max-seconds", str(self.max_seconds)]
        if self.tls:
            args += ["--cert", self.tls[0], "--key", self.tls[1]]
        if self.verbose:
            args.append("--verbose")
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        self._stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._stderr,
                                     env=env, preexec_fn=_die_with_parent if self.die_with_parent else None)
        try:
            ready = _wait_for_file(self.ready_path, self.proc, self.startup_timeout, "content server")
        except RuntimeError as e:
            self.stop()
            message = "%s; stderr: %s" % (e, self.stderr_text())
            self.cleanup()  # a failed start leaves no temp folder behind
            raise RuntimeError(message) from None
        self.port = ready["port"]
        return self

    def stop(self, timeout=10):
        """Stops the server (SIGTERM, then SIGKILL); returns its exit code."""
        code = None
        if self.proc is not None:
            code = _stop_process(self.proc, timeout)
            self.proc = None
        if getattr(self, "_stderr", None):
            self._stderr.close()
            self._stderr = None
        return code

    def cleanup(self):
        """Stops the server and removes the work folder when it made it itself."""
        self.stop()
        if self._own_workdir and self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()

    def stderr_text(self):
        try:
            with open(self.stderr_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    # -- addresses
    @property
    def scheme(self):
        return "https" if self.tls else "http"

    @property
    def base_url(self):
        return "%s://%s:%d" % (self.scheme, LOOPBACK, self.port)

    def url(self, path):
        return self.base_url + (path if path.startswith("/") else "/" + path)

    def connection(self, timeout=30, context=None):
        """A new http.client connection to this server (verifying with the test CA for HTTPS)."""
        if self.tls:
            if context is None:
                if not self.ca_cert:
                    context = ssl._create_unverified_context()  # only when no CA is known: control traffic
                else:
                    context = client_ssl_context(self.ca_cert)
            return http.client.HTTPSConnection(LOOPBACK, self.port, timeout=timeout, context=context)
        return http.client.HTTPConnection(LOOPBACK, self.port, timeout=timeout)

    # -- control endpoints
    def control(self, method, name, body=None):
        conn = self.connection(timeout=30)
        try:
            data = None if body is None else json.dumps(body).encode()
            headers = {"Content-Type": "application/json"} if data is not None else {}
            conn.request(method, "/__control/" + name, body=data, headers=headers)
            resp = conn.getresponse()
            payload = resp.read()
            if resp.status != 200:
                raise RuntimeError("control %s %s: %d %s" % (method, name, resp.status, payload[:300]))
            return json.loads(payload) if payload else None
        finally:
            conn.close()

    def requests(self, kind="request"):
        """Recorded entries from the server (only real requests unless kind is None)."""
        entries = self.control("GET", "requests")
        return [e for e in entries if kind is None or e.get("kind") == kind]

    def clear_requests(self):
        return self.control("DELETE", "requests")

    def install_faults(self, rules, replace=True):
        return self.control("POST", "faults", {"faults": rules, "replace": replace})

    def clear_faults(self):
        """Drops the faults installed at run time and resets every attempt count."""
        return self.control("DELETE", "faults")

    def virtual_files(self):
        return self.control("GET", "files")

    def read_log(self):
        """The log file's entries, once answers still being written are recorded."""
        self.control("GET", "health?settle=1")
        return read_request_log(self.log_path)


# ----------------------------------------------------------------------------
# nginx


def nginx_version(nginx=DEFAULT_NGINX):
    """(major, minor, patch) of the nginx binary, or None when it cannot run."""
    try:
        result = subprocess.run([nginx, "-v"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return None
    m = re.search(r"nginx/(\d+)\.(\d+)\.(\d+)", (result.stderr + result.stdout).decode(errors="replace"))
    return tuple(int(x) for x in m.groups()) if m else None


def nginx_available(nginx=DEFAULT_NGINX):
    return os.access(nginx, os.X_OK) and nginx_version(nginx) is not None


_NGINX_PREFIX_RE = re.compile(r"^/[A-Za-z0-9._~\-/]*/$")


def _nginx_quote(value):
    # nginx expands variables in alias and certificate paths; a "$" in a
    # folder name would silently point somewhere else.
    if any(c in value for c in "\n\r$"):
        raise ValueError("line breaks and '$' are not allowed in an nginx path: %r" % value)
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


_NGINX_LOG_FORMAT = (
    "'{\"time\":\"$time_iso8601\",\"msec\":$msec,\"remote_port\":\"$remote_port\","
    "\"method\":\"$request_method\",\"uri\":\"$request_uri\",\"protocol\":\"$server_protocol\","
    "\"status\":$status,\"bytes_sent\":$bytes_sent,\"body_bytes_sent\":$body_bytes_sent,"
    "\"range\":\"$http_range\",\"request_time\":$request_time,\"connection\":$connection,"
    "\"connection_requests\":$connection_requests,\"ssl_protocol\":\"$ssl_protocol\"}'")


def render_nginx_config(workdir, port, static, tls=None, http2=True, workers=1, version=(1, 22, 0)):
    """The text of an nginx.conf that keeps every path inside `workdir`.

    static: {url prefix ("/hostA/") -> folder}. tls: (cert, key) or None.
    """
    wd = os.path.abspath(workdir)
    lines = [
        "# Generated for one test run; every path lies in this folder.",
        "daemon off;",
        "master_process on;",
        "worker_processes %d;" % workers,
        "pid %s;" % _nginx_quote(os.path.join(wd, "nginx.pid")),
        "lock_file %s;" % _nginx_quote(os.path.join(wd, "nginx.lock")),
        "error_log %s info;" % _nginx_quote(os.path.join(wd, "error.log")),
    ]
    if os.geteuid() == 0:
        # As root the workers would otherwise drop to "nobody", who cannot read
        # a private temporary folder.
        lines.append("user %s %s;" % (pwd.getpwuid(os.getuid()).pw_name, grp.getgrgid(os.getgid()).gr_name))
    lines += [
        "events { worker_connections 512; }",
        "http {",
        "  default_type application/octet-stream;",
        "  types { text/plain txt; application/json json; }",
        "  log_format testlog escape=json %s;" % _NGINX_LOG_FORMAT,
        "  access_log %s testlog;" % _nginx_quote(os.path.join(wd, "access.log")),
    ]
    for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
        lines.append("  %s_temp_path %s;" % (name, _nginx_quote(os.path.join(wd, "tmp", name))))
    lines += [
        "  sendfile on;",
        "  tcp_nopush on;",
        "  server_tokens off;",
        "  keepalive_timeout 60s;",
        "  keepalive_requests 100000;",
        "  server {",
    ]
    h2_flag_in_listen = http2 and tls and version < (1, 25, 1)
    listen = "    listen %s:%d%s%s;" % (LOOPBACK, port, " ssl" if tls else "", " http2" if h2_flag_in_listen else "")
    lines.append(listen)
    if http2 and tls and not h2_flag_in_listen:
        lines.append("    http2 on;")
    lines.append("    server_name localhost;")
    if tls:
        lines += [
            "    ssl_certificate %s;" % _nginx_quote(tls[0]),
            "    ssl_certificate_key %s;" % _nginx_quote(tls[1]),
            "    ssl_protocols TLSv1.2 TLSv1.3;",
        ]
    lines.append("    location / { return 404; }")
    for prefix, folder in sorted(static.items()):
        if not _NGINX_PREFIX_RE.match(prefix) or "/../" in prefix or "/./" in prefix:
            raise ValueError("bad static prefix for nginx: %r" % prefix)
        folder = os.path.abspath(folder)
        lines.append("    location ^~ %s { alias %s; }" % (prefix, _nginx_quote(folder.rstrip("/") + "/")))
    lines += ["  }", "}", ""]
    return "\n".join(lines)


class NginxServer:
    """Runs Debian's nginx as the current user on 127.0.0.1 with a generated config.

    static: {url prefix -> folder}; tls: a TestCA, a (cert, key) pair or None.
    With TLS, HTTP/2 is offered by ALPN ("h2") besides HTTP/1.1. Access log
    entries (JSON lines, with bytes sent) are read with access_log().
    """

    def __init__(self, static, *, tls=None, http2=True, workdir=None, max_seconds=DEFAULT_MAX_SECONDS, workers=1,
                 startup_timeout=15, die_with_parent=True, nginx=DEFAULT_NGINX):
        self.static = {p: os.path.abspath(d) for p, d in static.items()}
        self.tls = _tls_pair(tls)
        self.ca_cert = tls.ca_cert if isinstance(tls, TestCA) else None
        self.http2 = http2
        self._own_workdir = workdir is None
        self.workdir = os.path.abspath(workdir) if workdir else None
        self.max_seconds = max_seconds
        self.workers = workers
        self.startup_timeout = startup_timeout
        self.die_with_parent = die_with_parent
        self.nginx = nginx
        self.proc = None
        self.port = None

    def start(self):
        if self.proc is not None:
            raise RuntimeError("already started")
        version = nginx_version(self.nginx)
        if version is None:
            raise RuntimeError("nginx not found at %s" % self.nginx)
        if self.workdir is None:
            self.workdir = tempfile.mkdtemp(prefix="nginx-server-")
        for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(os.path.join(self.workdir, "tmp", name), exist_ok=True)
        self.config_path = os.path.join(self.workdir, "nginx.conf")
        self.error_log_path = os.path.join(self.workdir, "error.log")
        self.access_log_path = os.path.join(self.workdir, "access.log")
        self.pid_path = os.path.join(self.workdir, "nginx.pid")
        last_error = ""
        # free_port() can race with another program taking the port; a few
        # tries with a new port each make that harmless.
        for _ in range(5):
            port = free_port()
            with open(self.config_path, "w") as f:
                f.write(render_nginx_config(self.workdir, port, self.static, self.tls, self.http2, self.workers,
                                            version))
            if os.path.exists(self.pid_path):
                os.remove(self.pid_path)
            err_offset = os.path.getsize(self.error_log_path) if os.path.exists(self.error_log_path) else 0
            # coreutils timeout bounds nginx's life even if nobody stops it, and
            # passes our SIGTERM on to nginx's whole process group.
            args = ["timeout", "--kill-after=5", str(int(self.max_seconds)), self.nginx, "-p", self.workdir,
                    "-c", self.config_path, "-e", self.error_log_path]
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL,
                                         preexec_fn=_die_with_parent if self.die_with_parent else None)
            if self._wait_ready(port):
                self.port = port
                return self
            _stop_process(self.proc, 5)
            self.proc = None
            last_error = self._error_log_tail(err_offset)
            if "Address already in use" not in last_error:
                break
        self.cleanup()  # a failed start leaves no temp folder behind
        raise RuntimeError("nginx did not start: %s" % last_error)

    def _wait_ready(self, port):
        deadline = time.monotonic() + self.startup_timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            if os.path.isfile(self.pid_path):
                try:
                    with socket.create_connection((LOOPBACK, port), timeout=1):
                        return True
                except OSError:
                    pass
            time.sleep(0.02)
        return False

    def _error_log_tail(self, offset=0):
        try:
            with open(self.error_log_path, "rb") as f:
                f.seek(offset)
                return f.read().decode(errors="replace")[-4000:]
        except OSError:
            return ""

    def error_log(self):
        return self._error_log_tail(0)

    def stop(self, timeout=10):
        code = None
        if self.proc is not None:
            code = _stop_process(self.proc, timeout)
            self.proc = None
        return code

    def cleanup(self):
        """Stops nginx and removes the work folder when it made it itself."""
        self.stop()
        if self._own_workdir and self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()

    @property
    def scheme(self):
        return "https" if self.tls else "http"

    @property
    def base_url(self):
        return "%s://%s:%d" % (self.scheme, LOOPBACK, self.port)

    def url(self, path):
        return self.base_url + (path if path.startswith("/") else "/" + path)

    def access_log(self):
        """Access log entries: dicts with method, uri, protocol, status, bytes_sent, range..."""
        entries = []
        try:
            with open(self.access_log_path, encoding="utf-8") as f:
                for line in f:
                    if line.strip():
                        entries.append(json.loads(line))
        except FileNotFoundError:
            pass
        return entries


# ----------------------------------------------------------------------------
# Detached content server for drivers that cannot hold a Python object


def _cli_start_content(state_dir, server_args, timeout):
    state_dir = os.path.abspath(state_dir)
    os.makedirs(state_dir, exist_ok=True)
    ready = os.path.join(state_dir, "ready.json")
    if os.path.exists(ready):
        os.remove(ready)
    args = [sys.executable, CONTENT_SERVER_SCRIPT, "--ready-file", ready,
            "--log", os.path.join(state_dir, "requests.jsonl")] + server_args
    if "--max-seconds" not in server_args:
        args += ["--max-seconds", str(DEFAULT_MAX_SECONDS)]
    with open(os.path.join(state_dir, "server.stderr"), "wb") as err:
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"), start_new_session=True)
    info = _wait_for_file(ready, proc, timeout, "content server")
    with open(os.path.join(state_dir, "server.pid"), "w") as f:
        f.write("%d\n" % proc.pid)
    print(json.dumps(info))
    return 0


def _cli_stop(state_dir, timeout):
    pid_file = os.path.join(os.path.abspath(state_dir), "server.pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        print("no server.pid in %s" % state_dir, file=sys.stderr)
        return 1
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        os.remove(pid_file)
        return 0
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.05)
    else:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    os.remove(pid_file)
    return 0


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p_start = sub.add_parser("start-content", help="start a detached content server; prints its ready info")
    p_start.add_argument("--state-dir", required=True)
    p_start.add_argument("--timeout", type=float, default=20)
    p_stop = sub.add_parser("stop", help="stop the server started with start-content")
    p_stop.add_argument("--state-dir", required=True)
    p_stop.add_argument("--timeout", type=float, default=10)
    args, rest = parser.parse_known_args(argv)
    if args.command == "start-content":
        return _cli_start_content(args.state_dir, rest, args.timeout)
    if rest:
        parser.error("unknown arguments: %s" % " ".join(rest))
    return _cli_stop(args.state_dir, args.timeout)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
