"""The README's example, run as a user runs it: against a studio and the
virtual rig, two episodes land in the dataset it names."""
from pathlib import Path

from conftest import python, read_dataset

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "record.py"


def test_the_recording_example(studio, rig):
    run = python([str(EXAMPLE), "--repo-id", "me/example", "--seconds", "1"],
                 {"VELQUIN_HTTP_SERVER": studio.base, "VELQUIN_GRPC_SERVER": studio.flight, "USER": "example"})
    assert run.wait(timeout=120) == 0, run.read()
    assert "episode 2: 30 frames" in run.read()
    assert "60 frames sent; the studio exports them to me/example" in run.read()
    state = studio.wait_for_export("me/example", "example")
    dataset = read_dataset(studio.data_dir / state["datasetDir"])
    assert dataset["problems"] == []
    assert [e["length"] for e in dataset["episodes"]] == [30, 30]
    assert sorted(dataset["info"]["features"]) == sorted(
        ["observation.images.cam_front", "observation.images.cam_wrist", "observation.state", "action", "timestamp",
         "frame_index", "episode_index", "index", "task_index"])
