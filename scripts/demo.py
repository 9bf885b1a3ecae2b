#!/usr/bin/env python3
"""The local end-to-end demo, run by scripts/demo under Wine's environment.

Starts the test content/gate server of tests/servers on 127.0.0.1 (HTTPS with
a throw-away CA), publishing a newer launcher and the sample game's next
version with patches; runs the installed launcher.exe under Wine pointed at
that server through save\\setting.json; follows what it does (the server's
request log and the files in the launcher folder); lets it update itself and
restarts it; updates the game from the new launcher; and stops everything.
Nothing but 127.0.0.1 is ever contacted.

  demo.py --build-dir BUILD --work DIR [--wine wine] [--timeout SECONDS]

Exit code 0 when every step happened as expected.
"""

import argparse
import filecmp
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "servers"))
sys.path.insert(0, os.path.join(REPO, "tests", "fixtures"))
import build_demo  # noqa: E402
import testservers as ts  # noqa: E402

START = time.monotonic()


def say(text):
    print(f"[demo {time.monotonic() - START:6.1f}s] {text}", flush=True)


def md5_of(path):
    try:
        with open(path, "rb") as f:
            return hashlib.md5(f.read()).hexdigest()
    except OSError:
        return None


def read_json(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def map_version(path):
    root = read_json(path)
    if not isinstance(root, dict):
        return None
    v = root.get("version")
    if isinstance(v, dict):  # the flat form keeps it as a pseudo-entry
        v = v.get("md5")
    return v


def linux_path(wine_path):
    """A Z: path back to its Linux form (other drives are left as they are)."""
    if wine_path[:2].upper() == "Z:":
        return wine_path[2:].replace("\\", "/")
    return wine_path


class Demo:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build_dir)
        self.work = os.path.abspath(args.work)
        self.launcher_exe = os.path.join(self.build, "launcher.exe")
        self.poke_exe = os.path.join(self.build, "tests", "launcher_poke.exe")
        self.server = None
        self.seen = 0
        self.failures = []
        self.logs = os.path.join(self.work, "logs")

    # --------------------------------------------------------------- helpers
    def expect(self, ok, text):
        say(("ok: " if ok else "NOT AS EXPECTED: ") + text)
        if not ok:
            self.failures.append(text)
        return ok

    def wine(self, *argv, log_name):
        out = open(os.path.join(self.logs, log_name), "ab")
        return subprocess.Popen([self.args.wine, *argv], cwd=self.info["install"],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=out)

    def poke(self, *argv, timeout=90):
        # Output through a file: a Wine service process that the call happens
        # to start would hold a pipe open long after the helper has ended.
        out_path = os.path.join(self.logs, "poke.out")
        with open(out_path, "wb") as out:
            r = subprocess.run([self.args.wine, self.poke_exe, *argv], stdin=subprocess.DEVNULL,
                               stdout=out, stderr=subprocess.DEVNULL, timeout=timeout)
        with open(out_path, encoding="utf-8", errors="replace") as f:
            return r.returncode, f.read().strip()

    def show_requests(self):
        try:
            reqs = self.server.requests()
        except Exception:  # the server is only a narrator here
            return
        for r in reqs[self.seen:]:
            target = r.get("target", "")
            size = r.get("bytes_sent", 0)
            say(f"  server: {r.get('method')} {target} -> {r.get('status')} ({size} bytes)")
        self.seen = max(self.seen, len(reqs))

    def wait(self, what, predicate, timeout=None):
        end = time.monotonic() + (timeout or self.args.timeout)
        while time.monotonic() < end:
            self.show_requests()
            if predicate():
                return True
            time.sleep(0.3)
        self.show_requests()
        return self.expect(False, f"{what} (gave up after {timeout or self.args.timeout} s)")

    def install_path(self, *parts):
        return os.path.join(self.info["install"], *parts)

    # ----------------------------------------------------------------- steps
    def build_files(self):
        font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
        self.info = build_demo.build_demo(self.launcher_exe, os.path.join(self.work, "files"),
                                          font if os.path.isfile(font) else None)
        os.makedirs(self.logs, exist_ok=True)
        say(f"launcher folder:        {self.info['install']}")
        say(f"game folder:            {self.info['game']} (game {self.info['old_game_version']})")
        say(f"published on the server: {self.info['cdn']} (launcher "
            f"{self.info['new_launcher_version']}, game {self.info['new_game_version']} with "
            f"patches for {', '.join(self.info['patched_files'])})")

    def start_server(self):
        ca = ts.make_test_ca(os.path.join(self.work, "ca"))
        self.server = ts.ContentServer(static={"/cdn/": self.info["cdn"]}, tls=ca,
                                       workdir=os.path.join(self.work, "server"),
                                       max_seconds=self.args.timeout * 6)
        self.server.start()
        cdn = self.server.url("/cdn/")
        others = json.dumps({"DlcAddr": [cdn]}, separators=(",", ":"))
        self.server.install_faults([
            {"name": "gate", "path": "/gate/get/urls", "status": 200,
             "json": {"Others": others, "DlcAddr": [cdn]}},
            {"name": "pre-download gate", "path": "/gate/pre_download", "status": 200,
             "json": {"DlcAddr": []}},
            {"name": "ip echo", "path": "/ip", "status": 200, "body": "127.0.0.1\n"},
        ])
        say(f"server: {self.server.base_url} (pid {self.server.proc.pid}); request log "
            f"{self.server.log_path}")
        shutil.copyfile(ca.ca_cert, self.install_path("save", "demo-ca.pem"))
        setting = {
            "GateURLs": [self.server.url("/gate/")],
            "IpEchoURL": self.server.url("/ip"),
            "ca_bundle": "save\\demo-ca.pem",
        }
        with open(self.install_path("save", "setting.json"), "w", encoding="utf-8") as f:
            json.dump(setting, f, indent="\t", sort_keys=True)
        say("save\\setting.json points the launcher at it: " + json.dumps(setting))

    def first_run(self):
        say(f"starting launcher {self.info['old_launcher_version']} under Wine "
            f"(DISPLAY={os.environ.get('DISPLAY', '')}); its first act is a launcher check")
        first = self.wine(self.install_path("launcher.exe"), log_name="launcher-first.log")
        code, out = self.poke("wait-window", "60")
        self.expect(code == 0, f"the launcher's window is up: {out}")
        new_md5 = self.info["new_launcher_md5"]
        self.wait("the launcher update is applied",
                  lambda: map_version(self.install_path("launcher_version_map.txt")) ==
                  self.info["new_launcher_version"] and
                  md5_of(self.install_path("update", "launcher.exe")) == new_md5)
        say(f"applied: launcher_version_map.txt says {self.info['new_launcher_version']}; the new "
            "program waits in update\\launcher.exe (a running program cannot replace itself)")
        if self.info["font"]:
            fonts = read_json(self.install_path("update", "font_update.txt"))
            self.expect(fonts == [self.info["font"]], f"update\\font_update.txt lists {fonts}")
        say("the launcher now asks to restart; its prompt belongs to the launcher's windows, "
            "which are not built yet, so the demo closes the launcher as the player would")
        code, _ = self.poke("close")
        self.expect(code == 0, "the launcher closed")
        try:
            first.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.expect(False, "wine returned after the launcher closed")

    def handoff(self):
        say("at exit it copied itself to launcher_temp.exe and started it in the replace mode; "
            "the copy waits for it to end, then puts the new program in place")
        new_md5 = self.info["new_launcher_md5"]
        self.wait("launcher.exe is the new program",
                  lambda: md5_of(self.install_path("launcher.exe")) == new_md5)
        self.wait("launcher_temp.exe deleted itself",
                  lambda: not os.path.exists(self.install_path("launcher_temp.exe")))
        self.expect(md5_of(self.install_path("launcher.exe")) == new_md5,
                    f"launcher.exe md5 {md5_of(self.install_path('launcher.exe'))} (new build)")
        if self.info["font"]:
            font = self.info["font"]
            prefix = os.environ.get("WINEPREFIX", "")
            system_font = os.path.join(prefix, "drive_c", "windows", "Fonts", font)
            published = md5_of(os.path.join(self.info["cdn"], font))
            self.expect(not os.path.exists(self.install_path("update", "font_update.txt")) and
                        md5_of(self.install_path(font)) == published and
                        md5_of(system_font) == published,
                        f"the font list was applied: {font} is beside the program and in the Wine "
                        f"prefix's fonts folder ({system_font})")

    def second_run(self):
        say("restarting the launcher")
        self.second = self.wine(self.install_path("launcher.exe"), log_name="launcher-second.log")
        code, out = self.poke("wait-window", "60")
        image = out.split("image=", 1)[-1] if code == 0 else ""
        running_md5 = md5_of(linux_path(image)) if image else None
        self.expect(running_md5 == self.info["new_launcher_md5"],
                    f"the running launcher is the new build ({out}, md5 {running_md5})")
        time.sleep(2)  # its own launcher check: nothing more to fetch
        self.show_requests()

    def game_update(self):
        say(f"pressing the game button: a game check of game {self.info['old_game_version']}")
        code, _ = self.poke("check-game")
        self.expect(code == 0, "the check was asked for")
        ok = self.wait("the game is updated",
                       lambda: map_version(os.path.join(self.info["game"], "version_map.txt")) ==
                       self.info["new_game_version"])
        if ok:
            new_files = build_demo.bc.list_files(self.info["game_new"])
            same = all(filecmp.cmp(os.path.join(self.info["game_new"], *rel.split("/")),
                                   os.path.join(self.info["game"], *rel.split("/")), shallow=False)
                       for rel in new_files)
            self.expect(same, f"the game folder holds game {self.info['new_game_version']} byte for "
                        f"byte ({len(new_files)} files)")

    def finish(self):
        say("closing the launcher")
        code, _ = self.poke("close")
        self.expect(code == 0, "the launcher closed")
        try:
            self.second.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.expect(False, "wine returned after the launcher closed")
        code, _ = self.poke("wait-gone", "30")
        self.expect(code == 0 and not os.path.exists(self.install_path("launcher_temp.exe")),
                    "no launcher and no updater is left running")

    def summary(self):
        say("files:")
        for label, path in [
            ("launcher folder", self.info["install"]),
            ("new program kept", self.install_path("update", "launcher.exe")),
            ("download trace", self.install_path("save", "dltrace.log")),
            ("game folder", self.info["game"]),
            ("content host tree", self.info["cdn"]),
            ("server request log", self.server.log_path if self.server else ""),
            ("Wine output", self.logs),
        ]:
            say(f"  {label:20} {path}")

    def run(self):
        for needed in (self.launcher_exe, self.poke_exe):
            if not os.path.isfile(needed):
                say(f"missing {needed}: build first (scripts/demo does)")
                return 2
        self.second = None
        try:
            self.build_files()
            self.start_server()
            self.first_run()
            self.handoff()
            self.second_run()
            if not self.args.skip_game:
                self.game_update()
            self.finish()
        except Exception as e:  # report, then stop what was started
            self.expect(False, f"the demo stopped: {e!r}")
            if self.second is not None:
                self.poke("close", timeout=90)
        finally:
            if self.server:
                self.show_requests()
                self.server.stop()
                say("server stopped")
            self.summary()
        if self.failures:
            say(f"{len(self.failures)} step(s) did not go as expected")
            return 1
        say("done: the launcher updated itself and restarted as the new build" +
            ("" if self.args.skip_game else ", which updated the game"))
        return 0


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build-dir", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--wine", default="wine")
    p.add_argument("--timeout", type=int, default=120, help="seconds per step")
    p.add_argument("--skip-game", action="store_true", help="only the launcher's self-update")
    args = p.parse_args(argv)
    if os.path.isdir(args.work):
        shutil.rmtree(args.work)
    os.makedirs(args.work)
    return Demo(args).run()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
