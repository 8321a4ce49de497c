#!/usr/bin/env python3
"""A fleet on this machine, against studios on their own disks, in one run.
ROBOTS robots, each with two 640x480 cameras, record one episode of FRAMES
frames as fast as they can, half of them through each of two studios:
  - ingest: frames/s into two fleet studios (shared bucket and database,
    --no-export) against the same load into two lone studios (goal >= 0.8);
  - export: video seconds per wall second of the lone studios, of the fleet
    with one --export-only studio, and with two (on one 2-core machine a
    second exporting studio adds no cores: goal >= 0.9 of one; on separate
    machines each brings its own).
  fleet.py BIN_DIR S3_ENV DB_ENV [ROBOTS] [FRAMES]"""
import json
import os
import re
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
import uuid
from pathlib import Path

import numpy

import tessaline

bin_dir, s3_file, db_file = Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3])
robots = int(sys.argv[4]) if len(sys.argv) > 4 else 4
frames = int(sys.argv[5]) if len(sys.argv) > 5 else 150
KEYS = ["observation.images.cam_front", "observation.images.cam_wrist"]
FPS = 30


def env_file(path):
    return dict(line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)


s3 = env_file(s3_file)
database = env_file(db_file)["TESSALINE_TEST_DB"]
work = Path(os.environ.get("TMPDIR", "/tmp")) / f"bench-fleet-{os.getpid()}"
started = []


class Studio:
    def __init__(self, name, *flags):
        self.lines = []
        self.child = subprocess.Popen([str(bin_dir / "tessaline-studio"), "--data-dir", str(work / name), *flags],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                      env={**os.environ, **{k: s3[k] for k in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_REGION")}})
        started.append(self)
        ready = threading.Event()

        def read():
            for line in self.child.stdout:
                self.lines.append(line)
                if "Press Ctrl+C" in line:
                    ready.set()
            ready.set()

        threading.Thread(target=read, daemon=True).start()
        if not ready.wait(60) or self.child.poll() is not None:
            raise RuntimeError(f"studio {name} did not start:\n" + "".join(self.lines))
        text = "".join(self.lines)
        http = re.search(r"HTTP API:\s+(http://\S+)", text)
        flight = re.search(r"Arrow Flight:\s+(grpc://\S+)", text)
        self.base = http.group(1) if http else None
        self.flight = flight.group(1) if flight else None

    def export_state(self, repo):
        query = urllib.parse.urlencode({"repoId": repo, "userId": repo.replace("/", "-")})
        with urllib.request.urlopen(f"{self.base}/sessions/export-status?{query}", timeout=30) as answer:
            return json.load(answer)

    def stop(self):
        if self.child.poll() is None:
            self.child.terminate()
            self.child.wait(120)


def fleet_flags(bucket, *more):
    return ["--store", f"s3://{bucket}/datasets", "--s3-endpoint", s3["S3_ENDPOINT"], "--db", database, *more]


def serving(*flags):
    return ["--http-port", "0", "--flight-port", "0", *flags]


def camera_images():
    y, x, c = numpy.ogrid[:480, :640, :3]
    return [[((x + y * 3 + c * 7 + i * 5 + cam * 11) % 256).astype(numpy.uint8) for cam in range(2)] for i in range(30)]


IMAGES = camera_images()


def record(studios, repos):
    """Every robot's episode at once, robot i through studios[i % 2]; frames/s over all."""
    sessions = []
    for i, repo in enumerate(repos):
        studio = studios[i % len(studios)]
        tessaline.config.VELQUIN_GRPC_SERVER = studio.flight
        sessions.append(tessaline.VelquinSession(KEYS, repo_id=repo, robot_type="so101_follower", fps=FPS,
                                                 server_url=studio.base, user_id=repo.replace("/", "-")))

    def robot(session):
        for i in range(frames):
            session.log_frame({KEYS[0]: IMAGES[i % 30][0], KEYS[1]: IMAGES[i % 30][1],
                               "state": numpy.full(6, i % 7, numpy.float32), "timestamp": i / FPS},
                              [float(i % 5)] * 6, episode_end=i == frames - 1)
        assert session.end_episode()

    began = time.perf_counter()
    threads = [threading.Thread(target=robot, args=(s,)) for s in sessions]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    rate = len(repos) * frames / (time.perf_counter() - began)
    for s in sessions:
        s.close()  # the end of the session: its export is asked for
    return rate


def wait_exported(studio, repos, began):
    """Seconds from `began` until every repository's export is done."""
    pending = set(repos)
    while pending:
        for repo in list(pending):
            state = studio.export_state(repo)
            if state.get("state") == "failed":
                raise RuntimeError(f"export of {repo} failed: {state}")
            if state.get("state") == "done" and (state.get("publish") or {}).get("state", "published") == "published":
                pending.discard(repo)
        time.sleep(0.2)
        if time.perf_counter() - began > 1200:
            raise RuntimeError(f"exports of {sorted(pending)} did not finish")
    return time.perf_counter() - began


def wait_queued(studio, repos):
    """Until every session is handed over, so the export's clock starts at its work."""
    until = time.perf_counter() + 300
    while not all("queued" in studio.export_state(r).get("waiting", "") for r in repos):
        if time.perf_counter() > until:
            raise RuntimeError("sessions were not handed over")
        time.sleep(0.2)


def repos(tag):
    return [f"bench/{tag}-{i}" for i in range(robots)]


try:
    bucket = f"bench-fleet-{uuid.uuid4().hex[:8]}"
    video_seconds = robots * frames / FPS

    # The lone studios: ingest, and then their own exports.
    lone = [Studio(f"lone{i}", *serving()) for i in range(2)]
    lone_rate = record(lone, repos("lone"))
    began = time.perf_counter()
    lone_export = video_seconds / max(wait_exported(lone[i % 2], [r], began) for i, r in enumerate(repos("lone")))
    for s in lone:
        s.stop()

    # The fleet: two serving studios that never export, then exporting studios.
    nodes = [Studio(f"node{i}", *serving(*fleet_flags(bucket, "--no-export"))) for i in range(2)]
    fleet_rate = record(nodes, repos("one"))
    wait_queued(nodes[0], repos("one"))
    exporter = Studio("export1", *fleet_flags(bucket, "--export-only"))
    began = time.perf_counter()
    one_export = video_seconds / wait_exported(nodes[0], repos("one"), began)
    exporter.stop()
    record(nodes, repos("two"))
    wait_queued(nodes[0], repos("two"))
    exporters = [Studio(f"export{i}", *fleet_flags(bucket, "--export-only")) for i in (2, 3)]
    began = time.perf_counter()
    two_export = video_seconds / wait_exported(nodes[0], repos("two"), began)
finally:
    for studio in started:
        studio.stop()
    subprocess.run(["rm", "-rf", str(work)], check=False)

ingest = fleet_rate / lone_rate
scaling = two_export / one_export
print(f"{robots} robots, 2 cameras 640x480, {frames} frames each, across two studios")
print(f"ingest frames/s: fleet {fleet_rate:.1f}, lone studios {lone_rate:.1f}; ratio {ingest:.2f} (goal >= 0.8)")
print(f"export, video s per wall s: lone studios {lone_export:.2f}, fleet with one export-only studio {one_export:.2f} "
      f"({one_export / lone_export:.2f} of lone), with two {two_export:.2f}; two vs one {scaling:.2f} (goal >= 0.9)")
print(f"BENCH|fleet ingest vs lone studios (frames/s)|{ingest:.2f}|>= 0.80|{'pass' if ingest >= 0.8 else 'FAIL'}")
print(f"BENCH|fleet export: 2 export studios vs 1 (video s/s)|{scaling:.2f}|>= 0.90|{'pass' if scaling >= 0.9 else 'FAIL'}")
print(f"BENCH|fleet export vs lone studios (video s/s)|{one_export / lone_export:.2f}|>= 0.70|"
      f"{'pass' if one_export / lone_export >= 0.7 else 'FAIL'}")
