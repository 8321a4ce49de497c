"""A recording run written in Python against the operator's page in
headless Chromium: the session connects, asks for the cameras, and
records what the page's Start / End episode / End session ask for with
the rig's arms; the page sees the statuses and the frames as the studio
receives them, and the export lands where the page said. The streamer's
asyncio form is driven the same way."""
import asyncio
import json
import os
import time
from pathlib import Path

import numpy

import tessaline
from tessaline.robots import (OpenCVCameraConfig, SO101Follower, SO101FollowerConfig, SO101Leader, SO101LeaderConfig,
                              action_values, frame_record)
from conftest import Process, Studio, read_dataset, wait_until

OPERATOR = str(Path(__file__).parent / "operator.mjs")
KEYS = ["observation.images.cam_front", "observation.images.cam_wrist"]


def operator(studio, user, repo, *export_text):
    return Process([os.environ.get("NODE", "node"), OPERATOR, studio.base, user, repo, *export_text])


def next_command(session, page, timeout=90):
    """The page's next command; fails with what the page printed if it ends first."""
    deadline = time.monotonic() + timeout
    while (command := session.wait_for_command(timeout=1.0)) is None:
        assert page.child.poll() is None, f"the page ended: {page.read()}"
        assert time.monotonic() < deadline, f"no command from the page: {page.read()}"
    return command


def record_from_the_page(studio, page, user, capture):
    """A session as the page's operator drives it: cameras chosen, then
    episodes of frames from `capture(selected, seconds)` -> (record, action)
    between Start and End episode, until End session. Gives the commands
    heard, the cameras selected, the frames logged and the page's report."""
    commands = []
    with tessaline.VelquinSession(KEYS, repo_id="", robot_type="so101_follower", fps=30, server_url=studio.base,
                                  user_id=user) as session:
        assert session.connect(timeout=60), f"page: {page.read()}\nstudio: {studio.process.read()}"
        session.send_status("camera_selection", {"cameras": KEYS, "selected": KEYS})
        commands.append(next_command(session, page))
        selected = session.get_camera_selection()
        episodes = 0
        while True:
            session.send_status("waiting", {"episode": episodes})
            command = next_command(session, page)
            commands.append(command)
            if command == "end":
                break
            episodes += 1
            session.send_status("recording", {"episode": episodes})
            began = time.monotonic()
            while (command := session.wait_for_command(timeout=0.0)) is None:
                tick = time.monotonic()
                record, action = capture(selected, tick - began)
                for key in selected:
                    session.update_frame(key, record[key])
                session.log_frame(record, action)
                time.sleep(max(0.0, 1 / 30 - (time.monotonic() - tick)))
            commands.append(command)
            record, action = capture(selected, time.monotonic() - began)
            session.log_frame(record, action, episode_end=True)
            assert session.end_episode()
            session.send_status("idle", {"episode": episodes, "completed": True})
        assert session.repo_id == session.dataset_name
        frames = session.total_frame_count
    assert page.wait(timeout=120) == 0, page.read()
    report = json.loads(page.read().strip().splitlines()[-1])
    assert report["errors"] == []
    return commands, selected, frames, report


def test_a_recording_loop_in_python_driven_from_the_page(studio, rig):
    tessaline.config.VELQUIN_GRPC_SERVER = studio.flight
    cameras = {name: OpenCVCameraConfig(c["index_or_path"]) for name, c in rig.cameras().items()}
    leader = SO101Leader(SO101LeaderConfig(port=rig.port("leader"), id="rig_leader"))
    follower = SO101Follower(SO101FollowerConfig(port=rig.port("follower"), id="rig_follower", cameras=cameras))
    page = operator(studio, "py-page", "lab/from-python")

    def capture(selected, seconds):
        observation = follower.get_observation()
        action = leader.get_action()
        follower.send_action(action)
        return frame_record(observation, seconds, cameras=selected), action_values(action)

    with leader, follower:
        commands, selected, frames, report = record_from_the_page(studio, page, "py-page", capture)
    assert commands == ["select_cameras", "start", "end_episode", "end"]
    assert selected == ["observation.images.cam_front"]
    assert [s["status"] for s in report["statuses"]] == ["waiting", "camera_selection", "waiting", "recording", "idle",
                                                         "waiting"]
    assert report["shown"]["saved"].startswith(f"Episode 1 · {frames} frames")
    assert report["shown"]["exported"].startswith(f"Exported 1 episode, {frames} frames to lab/from-python.")
    state = studio.wait_for_export("lab/from-python", "py-page")
    dataset = read_dataset(studio.data_dir / state["datasetDir"])
    assert dataset["problems"] == []
    assert [e["length"] for e in dataset["episodes"]] == [frames]
    assert [Path(p).relative_to(studio.data_dir / state["datasetDir"]).as_posix() for p in dataset["videoFrames"]] == [
        f"videos/{KEYS[0]}/chunk-000/file-000.mp4"]


def test_the_page_says_where_the_dataset_is_published(tmp_path):
    """With object storage out of reach, the export is done and the page
    says the publication waits, with the store's reason."""
    process = Process([os.environ["TESSALINE_STUDIO"], "--http-port", "0", "--flight-port", "0", "--data-dir",
                       str(tmp_path / "studio"), "--store", "s3://lab-bucket/datasets", "--s3-endpoint", "http://127.0.0.1:1"],
                      {"AWS_ACCESS_KEY_ID": "lab", "AWS_SECRET_ACCESS_KEY": "secret"})
    base = process.wait_for(r"HTTP API:\s+(http://\S+)", "the studio's HTTP address").group(1)
    flight = process.wait_for(r"Arrow Flight:\s+(grpc://\S+)", "the studio's Flight address").group(1)
    studio = Studio(base, flight, tmp_path / "studio", process)
    tessaline.config.VELQUIN_GRPC_SERVER = flight
    page = operator(studio, "py-store", "lab/stored", r"waits, and is tried again: .*127\.0\.0\.1:1")
    # One buffer, filled again every tick as a camera driver does: lent to the
    # video track and the recording, it is writable again once both have
    # encoded it (the track keeps its own copy to repeat) — it comes back
    # while no newer frame is given, which the track once waited for.
    image = numpy.zeros((240, 320, 3), numpy.uint8)

    def capture(selected, seconds):
        wait_until(lambda: image.flags.writeable, "the buffer given back", timeout=10)
        image[:] = int(seconds * 90) % 256
        return {**{key: image for key in selected}, "state": numpy.zeros(6, numpy.float32), "timestamp": seconds}, [0.0] * 6

    _, _, frames, report = record_from_the_page(studio, page, "py-store", capture)
    assert report["shown"]["exported"].startswith(
        f"Exported 1 episode, {frames} frames to lab/stored. Publishing to s3://lab-bucket/datasets/lab/stored waits")


def test_the_streamer_from_asyncio(studio):
    image = numpy.full((240, 320, 3), 128, "uint8")
    heard = []
    page = operator(studio, "py-async", "lab/async")

    async def run():
        streamer = tessaline.WebRTCStreamer(studio.base, on_command=heard.append, user_id="py-async")
        for key in KEYS:
            streamer.update_camera_frame(key, image)
        await streamer.connect(KEYS)
        while not streamer.is_connected:
            await asyncio.sleep(0.1)
        streamer.send_status("camera_selection", {"cameras": KEYS, "selected": KEYS})
        assert await streamer.wait_for_command(timeout=60) == "select_cameras"
        streamer.send_status("waiting", {"episode": 0})
        assert await streamer.wait_for_command(timeout=60) == "start"
        streamer.send_status("recording", {"episode": 1})
        assert await streamer.wait_for_command(timeout=0.2) is None
        await streamer.close()
        return streamer

    streamer = asyncio.run(run())
    assert heard[:2] == ["select_cameras", "start"]
    assert streamer.repo_id == "lab/async" and streamer.selected_cameras == [KEYS[0]]
    page.stop()
