"""setup_motors() as a user building an arm runs it: the controller board
wired to one new servo at a time (the rig's 'only ARM JOINT new'), each
given its id and the bus's rate; the assembled arm then answers as a whole."""
import json
import os
import subprocess

import pytest

from conftest import Process, python_script

SCRIPT = r"""
import os
from tessaline.robots import BusError, CalibrationError, find_robot_ports, make_robot_from_config
from tessaline.robots import KochFollowerConfig, SO101FollowerConfig

port = os.environ["FOLLOWER_PORT"]
config = (SO101FollowerConfig if os.environ["ROBOT"] == "so101" else KochFollowerConfig)(port=port, id="rig_follower")
follower = make_robot_from_config(config)
try:
    follower.setup_motors()
except BusError as e:
    print("REFUSED:", e, flush=True)
follower.setup_motors()
input("wired to every motor? ")
print("IDS", [p.motor_ids for p in find_robot_ports(verbose=False) if p.device == port], flush=True)
try:
    follower.connect(calibrate=False)
except CalibrationError:
    print("ANSWERS AS A WHOLE; NOT CALIBRATED", flush=True)
"""


@pytest.mark.parametrize("robot", ["so101", "koch"])
def test_motors_set_up_one_at_a_time(tmp_path, robot):
    faults, manifest = tmp_path / "faults", tmp_path / "rig.json"
    rig = Process([os.environ["TESSALINE_RIG"], "--robot", robot, "--calibrated", "--cameras", "0", "--manifest", str(manifest),
                   "--faults", str(faults)], {"HF_LEROBOT_HOME": str(tmp_path / "home")})
    rig.wait_for(r"export TESSALINE_VIRTUAL_HARDWARE=", "the rig")
    port = next(p["device"] for p in json.loads(manifest.read_text())["ports"] if p["role"] == "follower")

    def fault(line):
        mark = len(rig.read())
        faults.write_text(line + "\n")
        rig.wait_for(r"tessaline-rig: fault: ", f"the rig taking '{line}'", after=mark)

    run = python_script(SCRIPT, {"FOLLOWER_PORT": port, "ROBOT": robot, "HF_LEROBOT_HOME": str(tmp_path / "home"),
                                 "TESSALINE_VIRTUAL_HARDWARE": str(manifest)},
                        stdin=subprocess.PIPE)
    # Still wired to the whole arm: refused, naming what answered.
    run.wait_for(r"Connect the controller board to the 'gripper' motor only and press enter", "the first question")
    run.type("\n")
    refused = run.wait_for(r"REFUSED: (.*)", "the refusal").group(1)
    assert "more than one servo answers" in refused and "wire the controller board to the 'gripper' motor only" in refused

    motors = ["gripper", "wrist_roll", "wrist_flex", "elbow_flex", "shoulder_lift", "shoulder_pan"]
    mark = run.wait_for(r"REFUSED", "the refusal").end()
    for number, motor in zip(range(6, 0, -1), motors):
        mark = run.wait_for(f"Connect the controller board to the '{motor}' motor only and press enter", motor,
                            after=mark).end() + mark
        fault(f"only follower {motor} new")
        run.type("\n")
        mark = run.wait_for(f"'{motor}' motor id set to {number}", f"{motor} set up", after=mark).end() + mark
    fault("all follower")
    run.type("\n")
    run.wait_for(r"IDS \[\[1, 2, 3, 4, 5, 6\]\]", "the assembled arm")
    run.wait_for(r"ANSWERS AS A WHOLE; NOT CALIBRATED", "the handshake")
    assert run.wait(timeout=30) == 0, run.read()
