"""Studios as a lab's fleet: one bucket, one database, and export jobs that
any exporting studio claims. The robot's session goes to one studio, the
operator asks another how its export goes, and a third, which only
exports, writes the dataset into the bucket; a studio killed in the middle
of an export has its job finished by another, once, across a restart of
the database; a bucket that refuses
writes holds nothing up but the export, and says so. Needs TESSALINE_S3_ENV
and TESSALINE_TEST_DB_ENV (CTest's python.fleet sets both)."""
import json
import os
import re
import signal
import socket
import threading
import subprocess
import urllib.error
import urllib.parse
import urllib.request
import uuid
from pathlib import Path

import numpy

import tessaline
from conftest import Process, Studio, read_dataset, wait_until
from test_store import bucket_copy, s3_env

KEYS = ["observation.images.cam_front"]


def database():
    lines = Path(os.environ["TESSALINE_TEST_DB_ENV"]).read_text().splitlines()
    return dict(line.split("=", 1) for line in lines if "=" in line)["TESSALINE_TEST_DB"]


def credentials():
    env = s3_env()
    return {k: env[k] for k in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_REGION")}


def node(data_dir, bucket, *flags, env=None, db=None, endpoint=None):
    """A studio of the fleet; one with --export-only serves no clients."""
    args = [os.environ["TESSALINE_STUDIO"], "--data-dir", str(data_dir), "--store", f"s3://{bucket}/datasets",
            "--s3-endpoint", endpoint or s3_env()["S3_ENDPOINT"], "--db", db or database(), *flags]
    if "--export-only" in flags:
        process = Process(args, {**credentials(), **(env or {})})
        process.wait_for(r"is exporting the sessions", "the export node")
        return process
    process = Process([*args, "--http-port", "0", "--flight-port", "0"], credentials())
    http = process.wait_for(r"HTTP API:\s+(http://\S+)", "the studio's HTTP address").group(1)
    flight = process.wait_for(r"Arrow Flight:\s+(grpc://\S+)", "the studio's Flight address").group(1)
    return Studio(http, flight, data_dir, process)


def record(studio, repo, episodes, frames, size=(96, 128), user="fleet"):
    """Frames that depend only on their place, so two recordings are the same."""
    tessaline.config.VELQUIN_GRPC_SERVER = studio.flight
    noise = numpy.random.default_rng(5).integers(0, 256, (*size, 3), dtype=numpy.uint8)
    with tessaline.VelquinSession(KEYS, repo_id=repo, robot_type="so101_follower", fps=30, server_url=studio.base,
                                  user_id=user) as session:
        for episode in range(episodes):
            for i in range(frames):
                image = numpy.roll(noise, episode * 7 + i * 3, axis=1)
                session.log_frame({KEYS[0]: image, "state": numpy.full(6, i, numpy.float32), "timestamp": i / 30},
                                  [float(i + episode)] * 6, episode_end=i == frames - 1)
            assert session.end_episode()


def get_json(studio, path):
    with urllib.request.urlopen(studio.base + path, timeout=60) as answer:
        return json.load(answer)


def post_json(studio, path, body):
    request = urllib.request.Request(studio.base + path, method="POST", data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=120) as answer:
        return json.load(answer)


def s3api(*args):
    env = {**os.environ, **s3_env()}
    subprocess.run(["/usr/bin/aws", "--endpoint-url", s3_env()["S3_ENDPOINT"], "s3api", *args], env=env, check=True,
                   capture_output=True)


def deny_puts(bucket, resource):
    """A new bucket whose policy refuses writes to `resource` (a key pattern)."""
    s3api("create-bucket", "--bucket", bucket)
    policy = json.dumps({"Version": "2012-10-17", "Statement": [
        {"Effect": "Deny", "Principal": "*", "Action": "s3:PutObject", "Resource": f"arn:aws:s3:::{bucket}/{resource}"}]})
    s3api("put-bucket-policy", "--bucket", bucket, "--policy", policy)


def same_dataset(ours, theirs):
    """What the readers see, but where each file lives on the disk."""
    for key in ("problems", "info", "episodes"):
        assert ours[key] == theirs[key], key
    assert ours.get("frames") == theirs.get("frames")


def test_a_session_ended_at_one_studio_is_exported_by_another(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    robots = node(tmp_path / "a", bucket, "--no-export")
    operators = node(tmp_path / "b", bucket, "--no-export")
    exporter = node(tmp_path / "c", bucket, "--export-only")
    try:
        record(robots, "lab/fleet", episodes=3, frames=12)
        state = operators.wait_for_export("lab/fleet", "fleet")
        assert (state["episodesAdded"], state["framesAdded"]) == (3, 36)
        assert state["publish"]["state"] == "published"
        # Neither studio that served clients encoded anything.
        assert not (tmp_path / "a" / "datasets").exists() and not (tmp_path / "b" / "datasets").exists()
        copy = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/fleet", tmp_path / "copy"))

        # The same frames through one studio on its own disk.
        process = Process([os.environ["TESSALINE_STUDIO"], "--http-port", "0", "--flight-port", "0",
                           "--data-dir", str(tmp_path / "alone")])
        alone = Studio(process.wait_for(r"HTTP API:\s+(http://\S+)", "the studio").group(1),
                       process.wait_for(r"Arrow Flight:\s+(grpc://\S+)", "the studio").group(1), tmp_path / "alone", process)
        record(alone, "lab/fleet", episodes=3, frames=12)
        local = alone.wait_for_export("lab/fleet", "fleet")["datasetDir"]
        same_dataset(copy, read_dataset(tmp_path / "alone" / local))
        alone.process.stop()

        # A second session appends through the fleet, to what the bucket holds.
        record(robots, "lab/fleet", episodes=1, frames=5)
        wait_until(lambda: operators.export_state("lab/fleet", "fleet").get("episodesAdded") == 1, "the append", 120)
        copy = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/fleet", tmp_path / "copy-after"))
        assert copy["problems"] == []
        assert [e["length"] for e in copy["episodes"]] == [12, 12, 12, 5]

        # Another user's session cannot go into this user's dataset; it can go elsewhere.
        record(robots, "lab/fleet", episodes=1, frames=4, user="other")
        wait_until(lambda: operators.export_state("lab/fleet", "other").get("state") == "failed", "the refusal", 120)
        assert "belongs to another user" in operators.export_state("lab/fleet", "other")["error"]
        assert post_json(operators, "/sessions/export/retry", {"userId": "other", "repoId": "lab/other"})["episodes"] == 1
        assert operators.wait_for_export("lab/other", "other")["episodesAdded"] == 1
        assert len(read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/fleet", tmp_path / "copy-last"))["episodes"]) == 4

        # The viewer at a studio that never exported shows the bucket's datasets; videos play from the bucket.
        listed = {d["repoId"]: d for d in get_json(operators, "/datasets")["datasets"]}
        assert (listed["lab/fleet"]["episodes"], listed["lab/other"]["episodes"]) == (4, 1)
        episodes = get_json(operators, "/datasets/episodes?repoId=lab/fleet")["episodes"]
        assert [e["length"] for e in episodes] == [12, 12, 12, 5]
        video = episodes[3]["videos"][KEYS[0]]["path"]
        whole = (tmp_path / "copy-last" / video).read_bytes()
        query = urllib.parse.urlencode({"repoId": "lab/fleet", "path": video})
        ranged = urllib.request.Request(f"{operators.base}/datasets/video?{query}", headers={"Range": "bytes=100-4099"})
        with urllib.request.urlopen(ranged, timeout=30) as answer:
            assert (answer.status, answer.read()) == (206, whole[100:4100])
        assert not any(p.stat().st_blocks for p in (tmp_path / "b" / "view").rglob("*.mp4"))  # never fetched whole
        # A range past the end is refused before a byte is sent, and the studio goes on.
        past = urllib.request.Request(f"{operators.base}/datasets/video?{query}", headers={"Range": f"bytes={len(whole) + 10}-"})
        try:
            urllib.request.urlopen(past, timeout=30)
            assert False, "a range past the end was answered"
        except urllib.error.HTTPError as refused:
            assert (refused.code, refused.headers["Content-Range"]) == (416, f"bytes */{len(whole)}")
        health = get_json(operators, "/healthz")
        assert (health["ok"], health["database"]["reachable"], health["store"]["reachable"]) == (True, True, True), health
        assert health["database"]["jobs"].get("done", 0) >= 3, health

        # Deleting an episode there changes the bucket's dataset, between the fleet's exports.
        deleted = post_json(operators, "/datasets/episodes/delete", {"repoId": "lab/fleet", "episode": 1})
        assert deleted["episodes"] == 3
        copy = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/fleet", tmp_path / "copy-deleted"))
        assert copy["problems"] == []
        assert [e["length"] for e in copy["episodes"]] == [12, 12, 5]
        assert [e["length"] for e in get_json(operators, "/datasets/episodes?repoId=lab/fleet")["episodes"]] == [12, 12, 5]
        record(robots, "lab/fleet", episodes=1, frames=3)
        wait_until(lambda: operators.export_state("lab/fleet", "fleet").get("framesAdded") == 3, "an append after it", 120)
        copy = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/fleet", tmp_path / "copy-end"))
        assert [e["length"] for e in copy["episodes"]] == [12, 12, 5, 3] and copy["problems"] == []
    finally:
        for process in (robots.process, operators.process, exporter):
            process.stop()


def test_a_studio_killed_mid_export_has_its_job_finished_by_another_once(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    robots = node(tmp_path / "a", bucket, "--no-export")
    first = node(tmp_path / "c1", bucket, "--export-only", "--export-lease", "4")
    second = None
    try:
        record(robots, "lab/killed", episodes=8, frames=60, size=(480, 640))

        def midway():
            s = robots.export_state("lab/killed", "fleet")
            return s["state"] == "running" and 1 <= s.get("episodesDone", 0) < 8

        wait_until(midway, "the first exporter half-way", 120)
        first.stop(signal.SIGKILL)
        # The database restarts meanwhile: the studios carry on with new connections.
        subprocess.run([str(Path(__file__).parents[1] / "storage" / "postgres_cluster.sh"), "restart",
                        str(Path(os.environ["TESSALINE_TEST_DB_ENV"]).parent)], check=True, timeout=120)
        second = node(tmp_path / "c2", bucket, "--export-only", "--export-lease", "4")
        state = robots.wait_for_export("lab/killed", "fleet", timeout=180)
        assert (state["episodesAdded"], state["framesAdded"]) == (8, 480)
        assert "(attempt 2)" in second.read()  # the same job, taken over
        dataset = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/killed", tmp_path / "copy"))
        assert dataset["problems"] == []
        assert [e["length"] for e in dataset["episodes"]] == [60] * 8
    finally:
        robots.process.stop()
        first.stop()
        if second:
            second.stop()


def test_a_bucket_that_refuses_writes_keeps_the_episodes_and_says_why(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    robots = node(tmp_path / "a", bucket)
    try:
        deny_puts(bucket, "*")
        record(robots, "lab/denied", episodes=2, frames=6)
        wait_until(lambda: "AccessDenied" in robots.export_state("lab/denied", "fleet").get("waiting", ""),
                   "the refusal, told to the operator", 60)
        assert list((tmp_path / "a" / "export-jobs").iterdir())  # the episodes stay here meanwhile
        # The studio restarts meanwhile, and an operator's retry hurries the same job on:
        # neither makes a second one.
        robots.process.stop()
        robots = node(tmp_path / "a", bucket)
        wait_until(lambda: "AccessDenied" in robots.export_state("lab/denied", "fleet").get("waiting", ""),
                   "the hand-over going on after the restart", 60)
        assert post_json(robots, "/sessions/export/retry", {"userId": "fleet", "repoId": "lab/denied"})["episodes"] == 2

        s3api("delete-bucket-policy", "--bucket", bucket)
        state = robots.wait_for_export("lab/denied", "fleet", timeout=180)
        assert (state["episodesAdded"], state["framesAdded"]) == (2, 12)
        copy = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/denied", tmp_path / "copy"))
        assert [e["length"] for e in copy["episodes"]] == [6, 6]
        assert not list((tmp_path / "a" / "export-jobs").iterdir())
    finally:
        robots.process.stop()


def test_an_export_the_bucket_refuses_is_queued_again_and_goes_in_once(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    studio = node(tmp_path / "a", bucket)  # hands over and exports
    try:
        deny_puts(bucket, "datasets/lab/half/data/*")  # the episodes may go in; the dataset's files may not
        record(studio, "lab/half", episodes=2, frames=6)
        wait_until(lambda: "AccessDenied" in studio.export_state("lab/half", "fleet").get("waiting", ""),
                   "the refused publication, told to the operator", 120)

        s3api("delete-bucket-policy", "--bucket", bucket)
        state = studio.wait_for_export("lab/half", "fleet", timeout=180)
        assert (state["episodesAdded"], state["framesAdded"]) == (2, 12)
        dataset = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/half", tmp_path / "copy"))
        assert dataset["problems"] == []
        assert [e["length"] for e in dataset["episodes"]] == [6, 6]
        # What was exported here but never published was kept aside, not lost.
        assert list((tmp_path / "a" / "set-aside").iterdir())
    finally:
        studio.process.stop()


def test_a_dataset_whose_first_publication_failed_is_retried_where_it_was_exported(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    studio = node(tmp_path / "a", bucket)  # hands over and exports
    try:
        deny_puts(bucket, "datasets/lab/first/data/*")
        record(studio, "lab/first", episodes=2, frames=6)
        wait_until(lambda: studio.export_state("lab/first", "fleet").get("state") == "failed", "the job failed", 300)
        s3api("delete-bucket-policy", "--bucket", bucket)

        # Only in this studio's copy so far, the dataset is still its user's alone.
        try:
            post_json(studio, "/sessions/export/retry", {"userId": "other", "repoId": "lab/first"})
            assert False, "another user's retry into the dataset was taken"
        except urllib.error.HTTPError as refused:
            assert refused.code == 403 and "another user" in json.load(refused)["error"]
        assert post_json(studio, "/sessions/export/retry", {"userId": "fleet", "repoId": "lab/first"})["episodes"] == 2
        state = studio.wait_for_export("lab/first", "fleet", timeout=180)
        assert (state["episodesAdded"], state["framesAdded"]) == (2, 12)
        dataset = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/first", tmp_path / "copy"))
        assert dataset["problems"] == [] and [e["length"] for e in dataset["episodes"]] == [6, 6]
    finally:
        studio.process.stop()


def test_nodes_run_as_a_role_with_only_the_grants_the_docs_list(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    owner = node(tmp_path / "owner", bucket)  # creates the tables, as the docs say
    owner.process.stop()
    role = f"node_{uuid.uuid4().hex[:8]}"
    docs = (Path(__file__).parents[2] / "docs" / "fleet.md").read_text()
    grants = re.search(r"### Database roles.*?```sql\n(.*?)```", docs, re.S).group(1).replace("node_role", role)
    subprocess.run(["psql", database(), "-v", "ON_ERROR_STOP=1", "-q", "-c", f"CREATE ROLE {role} LOGIN", "-c", grants],
                   check=True, capture_output=True, timeout=60)
    as_role = re.sub(r"//[^@/]+@", f"//{role}@", database())

    # Tables an older studio made lack a column: a node of that role cannot
    # add it, and says what its owner must run; an owner's studio adds it.
    subprocess.run(["psql", database(), "-v", "ON_ERROR_STOP=1", "-q", "-c",
                    "ALTER TABLE tessaline_export_jobs DROP COLUMN finished"], check=True, capture_output=True, timeout=60)
    refused = Process([os.environ["TESSALINE_STUDIO"], "--data-dir", str(tmp_path / "b"), "--store", f"s3://{bucket}/datasets",
                       "--s3-endpoint", s3_env()["S3_ENDPOINT"], "--db", as_role, "--no-export", "--http-port", "0",
                       "--flight-port", "0"], credentials())
    assert refused.wait() != 0
    assert "must be owner" in refused.read(), refused.read()
    assert "ALTER TABLE tessaline_export_jobs ADD COLUMN IF NOT EXISTS finished timestamptz;" in refused.read()
    node(tmp_path / "owner", bucket).process.stop()

    robots = node(tmp_path / "a", bucket, "--no-export", db=as_role)
    exporter = node(tmp_path / "c", bucket, "--export-only", db=as_role)
    try:
        record(robots, "lab/role", episodes=2, frames=8)
        state = robots.wait_for_export("lab/role", "fleet")
        assert (state["episodesAdded"], state["framesAdded"]) == (2, 16)
        assert get_json(robots, "/healthz")["ok"]
        wait_until(lambda: len(get_json(robots, "/fleet/status")["nodes"]) == 2, "both nodes seen")
    finally:
        robots.process.stop()
        exporter.stop()


def test_the_fleet_page_shows_nodes_and_queue_and_drains_and_retries(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    robots = node(tmp_path / "a", bucket, "--no-export")
    first = node(tmp_path / "c1", bucket, "--export-only")
    second = None
    try:
        record(robots, "lab/owned", episodes=1, frames=4)
        robots.wait_for_export("lab/owned", "fleet")
        status = get_json(robots, "/fleet/status")
        nodes = {n["pid"]: n for n in status["nodes"]}
        host = socket.gethostname()
        assert nodes[first.child.pid]["role"] == "exports only" and nodes[first.child.pid]["host"] == host
        assert nodes[first.child.pid]["name"].startswith(host + "-")
        assert nodes[robots.process.child.pid]["role"] == "serves, hands exports over"
        assert status["jobs"]["done"] == 1 and status["jobs"]["doneToday"] == 1
        # A job done yesterday (by the database's clock) counts in all, not today.
        subprocess.run(["psql", database(), "-v", "ON_ERROR_STOP=1", "-q", "-c",
                        "UPDATE tessaline_export_jobs SET finished = finished - interval '1 day' "
                        f"WHERE store = '{status['store']}' AND state = 'done'"], check=True, capture_output=True, timeout=60)
        jobs = get_json(robots, "/fleet/status")["jobs"]
        assert (jobs["done"], jobs["doneToday"]) == (1, 0)

        # Drained, the exporter takes no more: the next job waits until another node comes.
        assert post_json(robots, "/fleet/nodes/drain", {"node": nodes[first.child.pid]["name"]})["draining"]
        first.wait_for("draining, as an admin asked", "the drain", 30)
        record(robots, "lab/later", episodes=1, frames=3)
        wait_until(lambda: len(get_json(robots, "/fleet/status")["jobs"]["queued"]) == 1, "the job queued")
        second = node(tmp_path / "c2", bucket, "--export-only")
        assert robots.wait_for_export("lab/later", "fleet")["episodesAdded"] == 1
        assert "exporting job" not in first.read().split("draining, as an admin asked")[1]

        # A failed job, retried by name: queued again for its own repository (and refused again there).
        record(robots, "lab/owned", episodes=1, frames=2, user="other")
        wait_until(lambda: get_json(robots, "/fleet/status")["jobs"]["failed"], "the refusal", 120)
        failed = get_json(robots, "/fleet/status")["jobs"]["failed"][0]
        assert (failed["repoId"], failed["userId"]) == ("lab/owned", "other") and "another user" in failed["error"]
        assert post_json(robots, "/fleet/jobs/retry", {"job": failed["job"]})["queued"] == 1
        wait_until(lambda: get_json(robots, "/fleet/status")["jobs"]["failed"], "the second refusal", 120)
        assert get_json(robots, "/fleet/status")["jobs"]["failed"][0]["repoId"] == "lab/owned"
        assert post_json(robots, "/fleet/jobs/retry", {"all": True})["queued"] == 1
        try:
            post_json(robots, "/fleet/jobs/retry", {"job": "no-such-job"})
            assert False, "an unknown job was retried"
        except urllib.error.HTTPError as refused:
            assert refused.code == 404
        with urllib.request.urlopen(robots.base + "/velquin/fleet", timeout=10) as page:
            assert b"/velquin/fleet.js" in page.read()
    finally:
        for process in (robots.process, first, second):
            if process:
                process.stop()


class StoreRelay:
    """The studio's way to the store, which the test can cut and restore, as a gateway that goes away."""

    def __init__(self, endpoint):
        target = urllib.parse.urlparse(endpoint)
        self.target = (target.hostname, target.port)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self.connections = []
        self.start()

    def start(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(64)
        threading.Thread(target=self._accept, args=(self.listener,), daemon=True).start()

    def _accept(self, listener):
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(self.target)
            self.connections += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def _pipe(a, b):
        try:
            while data := a.recv(65536):
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread; close alone does not
        except OSError:
            pass
        self.listener.close()
        for s in self.connections:
            try:
                s.shutdown(socket.SHUT_RDWR)
                s.close()
            except OSError:
                pass
        self.connections = []


def test_the_viewer_while_the_store_is_away(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    relay = StoreRelay(s3_env()["S3_ENDPOINT"])
    args = [os.environ["TESSALINE_STUDIO"], "--data-dir", str(tmp_path / "v"), "--store", f"s3://{bucket}/datasets",
            "--s3-endpoint", relay.url, "--db", database(), "--http-port", "0", "--flight-port", "0"]
    process = Process(args, credentials())
    viewer = Studio(process.wait_for(r"HTTP API:\s+(http://\S+)", "the studio").group(1),
                    process.wait_for(r"Arrow Flight:\s+(grpc://\S+)", "the studio").group(1), tmp_path / "v", process)
    try:
        record(viewer, "lab/away", episodes=1, frames=6)
        viewer.wait_for_export("lab/away", "fleet")
        video = get_json(viewer, "/datasets/episodes?repoId=lab/away")["episodes"][0]["videos"][KEYS[0]]["path"]
        query = urllib.parse.urlencode({"repoId": "lab/away", "path": video})
        relay.cut()
        try:
            urllib.request.urlopen(urllib.request.Request(f"{viewer.base}/datasets/video?{query}",
                                                          headers={"Range": "bytes=0-99"}), timeout=60)
            assert False, "a video was answered from a store that is away"
        except urllib.error.HTTPError as away:
            # The whole error, not the piece of it the Range asked for.
            assert away.code == 503 and "Content-Range" not in away.headers
            assert "does not answer" in json.load(away)["error"]
        listing = get_json(viewer, "/datasets")
        assert [d["repoId"] for d in listing["datasets"]] == ["lab/away"] and listing["storeError"]
        try:
            get_json(viewer, "/healthz")
            assert False, "healthy while the store is away"
        except urllib.error.HTTPError as unhealthy:
            assert unhealthy.code == 503 and not json.load(unhealthy)["store"]["reachable"]
        relay.start()
        ranged = urllib.request.Request(f"{viewer.base}/datasets/video?{query}", headers={"Range": "bytes=0-99"})
        with urllib.request.urlopen(ranged, timeout=60) as answer:
            assert answer.status == 206 and len(answer.read()) == 100
        assert "storeError" not in get_json(viewer, "/datasets")
    finally:
        relay.cut()
        process.stop()
