"""Whole sessions from Python while the studio fails at random moments:
restarted (SIGTERM), killed (SIGKILL) or paused (SIGSTOP) for up to three
seconds, twice a session at times drawn from the seed, and once more as
an episode the seed picks is ended (its frames all taken, its end not yet). Every frame carries
its episode and place in its action; the exported dataset, read by the
suite's independent reader, must hold every frame of every episode the
session saw end, exactly once and in its own episode, and nothing else; an
episode may be missing only when the session said so (end_episode()
returned False). TESSALINE_FAULT_SEEDS names other seeds (scripts/soak);
each session's faults and outcome are printed, and appended as a JSON line
to TESSALINE_SOAK_LOG when it is set."""
import json
import os
import random
import signal
import socket
import threading
import time
import uuid

import numpy
import pytest

import tessaline
from conftest import Process, Studio, read_dataset

KEYS = ["observation.images.cam_front"]
EPISODES, FRAMES = 4, 45


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class FailingStudio:
    """A studio on fixed ports, so the session finds it again after each fault."""

    def __init__(self, data_dir):
        self.data_dir, self.http_port, self.flight_port = data_dir, free_port(), free_port()
        self.process = None
        self.start()
        self.studio = Studio(f"http://127.0.0.1:{self.http_port}", f"grpc://127.0.0.1:{self.flight_port}", data_dir, self.process)

    def start(self):
        for _ in range(20):  # the ports of the process just ended may take a moment to be free
            self.process = Process([os.environ["TESSALINE_STUDIO"], "--http-port", str(self.http_port),
                                    "--flight-port", str(self.flight_port), "--data-dir", str(self.data_dir)])
            try:
                self.process.wait_for(r"HTTP API:", "the studio", 30)
                if hasattr(self, "studio"):
                    self.studio.process = self.process  # what a failure shows is the running studio's log
                return
            except AssertionError:
                time.sleep(0.5)
        raise AssertionError("the studio did not start again: " + self.process.read())

    def fail(self, kind, downtime, down=None):
        """`down` is set once the studio no longer answers."""
        if kind == "pause":
            self.process.child.send_signal(signal.SIGSTOP)
        else:
            self.process.stop(signal.SIGTERM if kind == "restart" else signal.SIGKILL)
        if down:
            down.set()
        time.sleep(downtime)
        if kind == "pause":
            self.process.child.send_signal(signal.SIGCONT)
        else:
            self.start()


def faults(seed):
    """Two faults at times in the session, and one as episode `at_end` is ended."""
    rng = random.Random(seed)
    kinds = ["restart", "kill", "pause"]
    timed = sorted((rng.uniform(0.2, 6.0), rng.choice(kinds), rng.uniform(0.3, 3.0)) for _ in range(2))
    return timed, (rng.randrange(EPISODES), rng.choice(kinds), rng.uniform(0.3, 2.0))


SEEDS = [int(s) for s in os.environ.get("TESSALINE_FAULT_SEEDS", "3,17,29,41").split(",")]


def report(seed, plan, end_fault, ended, frames, passed):
    faults = [{"kind": kind, "at_s": round(at, 2), "down_s": round(down, 2)} for at, kind, down in plan]
    faults.append({"kind": end_fault[1], "at_end_of_episode": end_fault[0], "down_s": round(end_fault[2], 2)})
    line = {"seed": seed, "faults": faults, "episodes_ended": sum(ended), "episodes_not_ended": len(ended) - sum(ended),
            "frames_exported": frames, "invariant_held": passed}
    print(json.dumps(line))
    if os.environ.get("TESSALINE_SOAK_LOG"):
        with open(os.environ["TESSALINE_SOAK_LOG"], "a") as log:
            log.write(json.dumps(line) + "\n")


@pytest.mark.parametrize("seed", SEEDS)
def test_every_frame_of_an_ended_episode_is_exported_once_whatever_the_studio_does(tmp_path, seed):
    studio = FailingStudio(tmp_path / "studio")
    plan, (at_end, end_kind, end_downtime) = faults(seed)
    done = threading.Event()
    lock = threading.Lock()  # one fault at a time

    def strike():
        started = time.monotonic()
        for at, kind, downtime in plan:
            time.sleep(max(0.0, at - (time.monotonic() - started)))
            with lock:
                studio.fail(kind, downtime)
        done.set()

    down_at_end = threading.Event()

    def strike_at_end():
        with lock:
            studio.fail(end_kind, end_downtime, down_at_end)

    repo = f"lab/faults-{uuid.uuid4().hex[:6]}"
    tessaline.config.VELQUIN_GRPC_SERVER = studio.studio.flight
    ended = []
    image = numpy.zeros((48, 64, 3), numpy.uint8)
    striker = threading.Thread(target=strike, daemon=True)
    with tessaline.VelquinSession(KEYS, repo_id=repo, robot_type="so101_follower", fps=30,
                                  server_url=studio.studio.base, user_id="faults") as session:
        striker.start()
        for episode in range(EPISODES):
            for i in range(FRAMES):
                image[:] = (episode * 50 + i) % 256
                session.log_frame({KEYS[0]: image.copy(), "state": numpy.full(6, i, numpy.float32), "timestamp": i / 30},
                                  [float(episode * 1000 + i)] * 6, episode_end=i == FRAMES - 1)
                time.sleep(1 / 30)
            at_this_end = threading.Thread(target=strike_at_end, daemon=True) if episode == at_end else None
            if at_this_end:
                at_this_end.start()
                down_at_end.wait(60)
            ended.append(session.end_episode())
            if at_this_end:
                at_this_end.join(60)
        striker.join(60)  # the studio is up when the session ends
        assert done.is_set()

    state = studio.studio.wait_for_export(repo, "faults", timeout=180)
    dataset = read_dataset(studio.data_dir / state["datasetDir"])
    by_episode = {}
    for frame in dataset["frames"]:
        by_episode.setdefault(frame["episode_index"], []).append(int(frame["action"][0]))
    exported = sorted(by_episode.values())
    expected = [[episode * 1000 + i for i in range(FRAMES)] for episode in range(EPISODES) if ended[episode]]
    # Episodes the session did not see end may be there, but only whole.
    optional = [[episode * 1000 + i for i in range(FRAMES)] for episode in range(EPISODES) if not ended[episode]]
    held = dataset["problems"] == [] and [e for e in exported if e not in optional] == expected
    report(seed, plan, (at_end, end_kind, end_downtime), ended, len(dataset["frames"]), held)
    assert dataset["problems"] == [], (plan, at_end, end_kind)
    assert [e for e in exported if e not in optional] == expected, (plan, at_end, end_kind, ended)
    studio.process.stop()
