"""The store away for a minute and a half, once while a session is handed
over and once in the middle of an export: the studios wait (the page says
why), and the job goes in by itself, once, when the store is back. The
studios reach the store through a relay the test cuts. Needs
TESSALINE_S3_ENV and TESSALINE_TEST_DB_ENV (CTest's python.fleet_outage)."""
import time
import uuid

from conftest import read_dataset, wait_until
from test_fleet import StoreRelay, node, record
from test_store import bucket_copy, s3_env

OUTAGE = 90


def test_a_long_store_outage_is_waited_out_during_hand_over_and_export(tmp_path):
    bucket = f"outage-{uuid.uuid4().hex[:10]}"
    relay = StoreRelay(s3_env()["S3_ENDPOINT"])
    robots = node(tmp_path / "a", bucket, "--no-export", endpoint=relay.url)
    exporter = node(tmp_path / "c", bucket, "--export-only", "--export-lease", "5", endpoint=relay.url)
    try:
        # Handed over while the store is away: the episodes wait at the robots' studio.
        relay.cut()
        record(robots, "lab/outage", episodes=2, frames=10, size=(480, 640))  # the size the next session has
        wait_until(lambda: "tried again" in robots.export_state("lab/outage", "fleet").get("waiting", ""),
                   "the page saying the hand-over waits", 60)
        time.sleep(OUTAGE)
        relay.start()
        state = robots.wait_for_export("lab/outage", "fleet", timeout=180)
        assert (state["episodesAdded"], state["framesAdded"]) == (2, 20)

        # Away in the middle of an export of big frames: queued again, never failed.
        record(robots, "lab/outage", episodes=6, frames=45, size=(480, 640))
        wait_until(lambda: robots.export_state("lab/outage", "fleet").get("node"), "the export under way", 180)
        relay.cut()
        assert robots.export_state("lab/outage", "fleet")["state"] == "running"
        began = time.monotonic()
        while time.monotonic() - began < OUTAGE:
            assert robots.export_state("lab/outage", "fleet")["state"] != "failed"
            time.sleep(5)
        relay.start()
        state = robots.wait_for_export("lab/outage", "fleet", timeout=240)
        assert (state["episodesAdded"], state["framesAdded"]) == (6, 270)
        dataset = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/outage", tmp_path / "copy"))
        assert dataset["problems"] == []
        assert [e["length"] for e in dataset["episodes"]] == [10, 10] + [45] * 6
    finally:
        relay.cut()
        robots.process.stop()
        exporter.stop()
