"""An exporting studio that freezes (a paused VM, a long pause of the whole
process) past its lease while another studio takes its job over and exports
more: when it wakes, the bucket's dataset still reads clean, with exactly
the episodes that went in. The studio freezes itself at a named point
(TESSALINE_STOP_AT) and is woken with SIGCONT. Needs TESSALINE_S3_ENV and
TESSALINE_TEST_DB_ENV (CTest's python.fleet_stalls sets both)."""
import json
import re
import signal
import uuid
from pathlib import Path

import pytest

from conftest import read_dataset, wait_until
from test_fleet import node, record
from test_store import bucket_copy

# The "publish:checked:" points are between the check that the studio still
# holds the job and a write: what it writes on waking only the store refuses.
PHASES = ["export:fetch", "export:encode", "publish:journal", "publish:first-object",
          "publish:checked:meta/stats.json", "publish:checked:meta/info.json", "publish:info"]


def frozen(process):
    stat = Path(f"/proc/{process.child.pid}/stat").read_text()
    return stat[stat.rindex(")") + 2] == "T"


@pytest.mark.parametrize("phase", PHASES)
def test_an_exporter_frozen_past_its_lease_changes_nothing_when_it_wakes(tmp_path, phase):
    bucket = f"stall-{uuid.uuid4().hex[:10]}"
    robots = node(tmp_path / "a", bucket, "--no-export")
    # A dataset there already, so the frozen export replaces objects as well as adding them.
    taker = node(tmp_path / "c2", bucket, "--export-only", "--export-lease", "3")
    record(robots, "lab/frozen", episodes=1, frames=5)
    robots.wait_for_export("lab/frozen", "fleet", timeout=120)
    taker.stop()
    sleeper = node(tmp_path / "c1", bucket, "--export-only", "--export-lease", "3", env={"TESSALINE_STOP_AT": phase})
    try:
        record(robots, "lab/frozen", episodes=2, frames=10)
        sleeper.wait_for("stopping at " + re.escape(phase), f"the exporter stopping at {phase}", 120)
        wait_until(lambda: frozen(sleeper), "the exporter frozen")

        taker = node(tmp_path / "c2", bucket, "--export-only", "--export-lease", "3")
        state = robots.wait_for_export("lab/frozen", "fleet", timeout=180)
        assert (state["episodesAdded"], state["framesAdded"]) == (2, 20)
        record(robots, "lab/frozen", episodes=1, frames=7)
        wait_until(lambda: robots.export_state("lab/frozen", "fleet").get("framesAdded") == 7, "the next export", 180)

        sleeper.child.send_signal(signal.SIGCONT)
        sleeper.wait_for(r"export job \S+ of lab/frozen (stopped|failed)", "the woken exporter giving the job up", 60)
        assert taker.read().count("exported ") == 2 - (phase == "publish:info")  # that one had gone in before the freeze

        dataset = read_dataset(bucket_copy(f"s3://{bucket}/datasets/lab/frozen", tmp_path / "copy"))
        assert dataset["problems"] == []
        assert [e["length"] for e in dataset["episodes"]] == [5, 10, 10, 7]
        sidecar = json.loads((tmp_path / "copy" / "meta" / "tessaline.json").read_text())
        assert len(sidecar["jobs"]) == 3
    finally:
        if frozen(sleeper):
            sleeper.child.send_signal(signal.SIGCONT)
        for process in (robots.process, sleeper, taker):
            process.stop()
