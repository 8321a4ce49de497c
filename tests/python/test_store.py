"""Datasets published to S3 object storage (a real Ceph gateway the suite
started): what lands in the bucket, read back with awscli, is the dataset
the studio keeps locally, file for file, after an export and after a
deletion; a store that cannot be reached costs nothing and is caught up
with once it can. Needs TESSALINE_S3_ENV (CTest's python.store sets it)."""
import filecmp
import json
import os
import subprocess
import urllib.request
import uuid
from pathlib import Path

import numpy

import tessaline
from conftest import Process, Studio, read_dataset, wait_until

KEYS = ["observation.images.cam_front"]


def s3_env():
    lines = Path(os.environ["TESSALINE_S3_ENV"]).read_text().splitlines()
    return dict(line.split("=", 1) for line in lines if "=" in line)


def start_studio(data_dir, store, endpoint):
    env = s3_env()
    process = Process([os.environ["TESSALINE_STUDIO"], "--http-port", "0", "--flight-port", "0", "--data-dir", str(data_dir),
                       "--store", store, "--s3-endpoint", endpoint],
                      {k: env[k] for k in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_REGION")})
    http = process.wait_for(r"HTTP API:\s+(http://\S+)", "the studio's HTTP address").group(1)
    flight = process.wait_for(r"Arrow Flight:\s+(grpc://\S+)", "the studio's Flight address").group(1)
    return Studio(http, flight, data_dir, process)


def record(studio, repo, episodes, frames=12):
    tessaline.config.VELQUIN_GRPC_SERVER = studio.flight
    with tessaline.VelquinSession(KEYS, repo_id=repo, robot_type="so101_follower", fps=30, server_url=studio.base,
                                  user_id="fleet") as session:
        for episode in range(episodes):
            for i in range(frames):
                image = numpy.full((96, 128, 3), (episode * 40 + i * 3) % 256, numpy.uint8)
                session.log_frame({KEYS[0]: image, "state": numpy.full(6, i, numpy.float32), "timestamp": i / 30},
                                  [float(i)] * 6, episode_end=i == frames - 1)
            assert session.end_episode()
    return studio.wait_for_export(repo, "fleet")


def publication(studio, repo):
    return studio.export_state(repo, "fleet")["publish"]


def wait_published(studio, repo):
    wait_until(lambda: publication(studio, repo)["state"] == "published", f"{repo} published", 120)


def bucket_copy(bucket_path, into):
    """What another tool reads from the bucket: awscli's copy of the prefix."""
    env = s3_env()
    result = subprocess.run(["/usr/bin/aws", "--endpoint-url", env["S3_ENDPOINT"], "s3", "sync", "--delete", bucket_path,
                             str(into)], env={**os.environ, **env}, capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stderr
    return into


def assert_same_files(local, copy):
    ours = sorted(p.relative_to(local).as_posix() for p in local.rglob("*") if p.is_file() and ".tessaline" not in p.as_posix())
    theirs = sorted(p.relative_to(copy).as_posix() for p in copy.rglob("*") if p.is_file())
    assert ours == theirs
    _, mismatch, errors = filecmp.cmpfiles(local, copy, ours, shallow=False)
    assert (mismatch, errors) == ([], [])


def test_exports_and_deletions_reach_the_bucket(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    studio = start_studio(tmp_path / "studio", f"s3://{bucket}/datasets", s3_env()["S3_ENDPOINT"])
    state = record(studio, "lab/fleet", episodes=3)
    wait_published(studio, "lab/fleet")
    local = studio.data_dir / state["datasetDir"]
    copy = bucket_copy(f"s3://{bucket}/datasets/lab/fleet", tmp_path / "copy")
    assert_same_files(local, copy)
    dataset = read_dataset(copy)
    assert dataset["problems"] == []
    assert [e["length"] for e in dataset["episodes"]] == [12, 12, 12]

    # Deleting an episode rewrites files and drops others: the bucket follows.
    request = urllib.request.Request(f"{studio.base}/datasets/episodes/delete", method="POST",
                                     data=json.dumps({"repoId": "lab/fleet", "episode": 1}).encode(),
                                     headers={"Content-Type": "application/json"})
    urllib.request.urlopen(request, timeout=60).read()
    wait_published(studio, "lab/fleet")
    # A new copy: awscli's sync goes by size and second-resolution times.
    copy = bucket_copy(f"s3://{bucket}/datasets/lab/fleet", tmp_path / "copy-after")
    assert_same_files(local, copy)
    assert [e["length"] for e in read_dataset(copy)["episodes"]] == [12, 12]


def test_two_studios_never_mix_their_files_in_one_dataset(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    first = start_studio(tmp_path / "first", f"s3://{bucket}", s3_env()["S3_ENDPOINT"])
    second = start_studio(tmp_path / "second", f"s3://{bucket}", s3_env()["S3_ENDPOINT"])
    state = record(first, "lab/shared", episodes=2)
    wait_published(first, "lab/shared")
    record(second, "lab/shared", episodes=1)
    wait_until(lambda: publication(second, "lab/shared")["state"] == "waiting", "the refused publication", 60)
    assert "did not publish" in publication(second, "lab/shared")["error"]
    assert_same_files(first.data_dir / state["datasetDir"], bucket_copy(f"s3://{bucket}/lab/shared", tmp_path / "copy"))

    # The first studio goes on appending to what it published.
    record(first, "lab/shared", episodes=1)
    wait_published(first, "lab/shared")
    copy = bucket_copy(f"s3://{bucket}/lab/shared", tmp_path / "copy-after")
    assert_same_files(first.data_dir / state["datasetDir"], copy)
    assert [e["length"] for e in read_dataset(copy)["episodes"]] == [12, 12, 12]


def test_a_store_out_of_reach_is_caught_up_with(tmp_path):
    bucket = f"fleet-{uuid.uuid4().hex[:10]}"
    away = start_studio(tmp_path / "studio", f"s3://{bucket}", "http://127.0.0.1:1")
    state = record(away, "lab/later", episodes=1)  # exported locally all the same
    wait_until(lambda: publication(away, "lab/later")["state"] == "waiting", "the failed publication", 60)
    assert "127.0.0.1:1" in publication(away, "lab/later")["error"]
    local = away.data_dir / state["datasetDir"]
    assert read_dataset(local)["problems"] == []
    away.process.stop()
    away.process.wait(30)

    # Started again with the store within reach: published at start-up.
    back = start_studio(tmp_path / "studio", f"s3://{bucket}", s3_env()["S3_ENDPOINT"])
    wait_published(back, "lab/later")
    assert_same_files(local, bucket_copy(f"s3://{bucket}/lab/later", tmp_path / "copy"))
