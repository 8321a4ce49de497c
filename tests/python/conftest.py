"""What the Python tests stand on: a real studio, the virtual rig, the
suite's independent dataset readers, and headless Chromium as the
operator. Paths come from the environment CTest sets (TESSALINE_STUDIO,
TESSALINE_RIG, TESSALINE_NODE_DIR, NODE)."""
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
# Under the sanitizers the interpreter runs with their runtimes preloaded;
# only interpreters started by the tests take them too, no other program.
_PRELOAD = os.environ.pop("LD_PRELOAD", None)


def wait_until(predicate, what, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


_running = []  # every Process a test started, stopped when the test ends


@pytest.fixture(autouse=True)
def _nothing_left_running():
    yield
    while _running:
        _running.pop().stop(signal.SIGKILL)


class Process:
    """A program beside the test, its output collected as it comes; stopped with SIGTERM."""

    def __init__(self, args, env=None, stdin=None):
        """`env` adds to the environment; a None value removes the variable.
        With stdin=subprocess.PIPE, type() writes to the program's input."""
        environment = dict(os.environ)
        for name, value in (env or {}).items():
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        self._chunks = []
        self.child = subprocess.Popen(args, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=environment)
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()
        _running.append(self)

    def _collect(self):
        for chunk in iter(lambda: self.child.stdout.read1(65536), b""):
            self._chunks.append(chunk)

    def read(self):
        return b"".join(self._chunks).decode(errors="replace")

    def type(self, text):
        self.child.stdin.write(text.encode())
        self.child.stdin.flush()

    def wait_for(self, pattern, what, timeout=30.0, after=0):
        """The first match of `pattern` in the output from offset `after` on."""
        found = []

        def seen():
            match = re.search(pattern, self.read()[after:])
            if match:
                found.append(match)
            elif self.child.poll() is not None:
                self._reader.join(5)
                match = re.search(pattern, self.read()[after:])
                if not match:
                    raise AssertionError(f"{what}: the program ended ({self.child.returncode}): {self.read()}")
                found.append(match)
            return bool(found)

        wait_until(seen, what, timeout)
        return found[0]

    def wait(self, timeout=60.0):
        """The exit status once the program ends by itself."""
        self.child.wait(timeout=timeout)
        self._reader.join(5)
        return self.child.returncode

    def stop(self, sig=signal.SIGTERM):
        if self.child.poll() is None:
            self.child.send_signal(sig)
            try:
                self.child.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.child.kill()
                self.child.wait()
        self._reader.join(5)
        return self.child.returncode


@dataclass
class Studio:
    base: str
    flight: str
    data_dir: Path
    process: "Process"

    def export_state(self, repo_id, user_id):
        import urllib.error
        import urllib.parse
        import urllib.request
        query = urllib.parse.urlencode({"repoId": repo_id, "userId": user_id})
        try:
            with urllib.request.urlopen(f"{self.base}/sessions/export-status?{query}", timeout=10) as answer:
                return json.load(answer)
        except urllib.error.HTTPError as e:
            raise AssertionError(f"export-status answered {e.code}: {e.read().decode(errors='replace')}\n"
                                 f"the studio said:\n{self.process.read()[-4000:]}") from None

    def wait_for_export(self, repo_id, user_id, timeout=120):
        states = []

        def finished():
            states.append(self.export_state(repo_id, user_id))
            return states[-1]["state"] in ("done", "failed")

        try:
            wait_until(finished, f"the export of {repo_id}", timeout)
        except AssertionError:
            raise AssertionError(f"timed out waiting for the export of {repo_id}; its last state: {states[-1]}\n"
                                 f"the studio said:\n{self.process.read()[-4000:]}") from None
        assert states[-1]["state"] == "done", states[-1]
        return states[-1]


@pytest.fixture
def studio(tmp_path):
    process = Process([os.environ["TESSALINE_STUDIO"], "--http-port", "0", "--flight-port", "0",
                       "--data-dir", str(tmp_path / "studio")])
    http = process.wait_for(r"HTTP API:\s+(http://\S+)", "the studio's HTTP address").group(1)
    flight = process.wait_for(r"Arrow Flight:\s+(grpc://\S+)", "the studio's Flight address").group(1)
    yield Studio(http, flight, tmp_path / "studio", process)
    process.stop()


@dataclass
class Rig:
    manifest: dict
    home: Path
    process: Process

    def port(self, role):
        return next(p["device"] for p in self.manifest["ports"] if p["role"] == role)

    def cameras(self):
        return {c["name"]: c for c in self.manifest["cameras"]}


@pytest.fixture
def rig(tmp_path, monkeypatch):
    """Virtual SO-101 arms (calibrated as the framework does it, ids rig_leader
    and rig_follower) and two 640x480 cameras."""
    home = tmp_path / "home"
    manifest = tmp_path / "rig.json"
    process = Process([os.environ["TESSALINE_RIG"], "--robot", "so101", "--calibrated", "--manifest", str(manifest)],
                      {"HF_LEROBOT_HOME": str(home)})
    process.wait_for(r"export TESSALINE_VIRTUAL_HARDWARE=", "the rig")
    monkeypatch.setenv("HF_LEROBOT_HOME", str(home))
    monkeypatch.setenv("TESSALINE_VIRTUAL_HARDWARE", str(manifest))
    yield Rig(json.loads(manifest.read_text()), home, process)
    process.stop()


def read_dataset(path):
    """The dataset as the suite's independent readers see it (problems, info, episodes, frames)."""
    out = subprocess.run([os.environ.get("NODE", "node"), str(Path(os.environ["TESSALINE_NODE_DIR"]) / "read_dataset.mjs"),
                          str(path)], capture_output=True, text=True, timeout=300, check=True)
    return json.loads(out.stdout)


def python(args, env=None, stdin=None):
    """Runs this interpreter on `args` with the package under test importable."""
    return Process([sys.executable, *args], {"LD_PRELOAD": _PRELOAD, **(env or {})}, stdin)


def python_script(source, env=None, stdin=None):
    return python(["-c", source], env, stdin)


def first_video_frames(video, count, width, height):
    """The first `count` frames of an MP4 file as RGB bytes, decoded by ffmpeg."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", str(video), "-frames:v", str(count), "-fps_mode", "passthrough", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], capture_output=True, check=True, timeout=120).stdout
    size = width * height * 3
    return [out[i * size:(i + 1) * size] for i in range(len(out) // size)]
