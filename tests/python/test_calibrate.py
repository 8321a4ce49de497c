"""calibrate(), configure(), bus and cameras as a script written for the
framework's robots uses them, in a program of its own on the rig: answers
typed on its stdin, Ctrl+C as a signal."""
import json
import signal
import subprocess
import time

from conftest import python_script

SCRIPT = r"""
import json, os
from tessaline.robots import CalibrationError, SO101Leader, SO101LeaderConfig

port = os.environ["LEADER_PORT"]
fresh = SO101Leader(SO101LeaderConfig(port=port, id="fresh"))
try:
    fresh.connect()
except CalibrationError as e:
    print("REFUSED:", str(e).replace("\n", " | "), flush=True)
try:
    fresh.calibrate()
except KeyboardInterrupt:
    print("INTERRUPTED", flush=True)
original = SO101Leader(SO101LeaderConfig(port=port, id="rig_leader"))
original.connect(calibrate=False)
original.disconnect()
print("PUT BACK", fresh.is_calibrated, flush=True)

fresh.calibrate()
print("CALIBRATED", fresh.is_calibrated, flush=True)
with fresh:
    held = fresh.bus.sync_read("Homing_Offset", normalize=False)
    saved = {motor: c.homing_offset for motor, c in fresh.calibration.items()}
    print("OFFSETS", held == saved, flush=True)
    print("GRIPPER", fresh.bus.read("Present_Position", "gripper"), flush=True)
    fresh.calibrate()
    print("AGAIN", fresh.is_connected, sorted(fresh.get_action()) == sorted(fresh.action_features), flush=True)
"""


def test_calibrating_from_a_script_as_the_framework_does(rig, tmp_path):
    run = python_script(SCRIPT, {"LEADER_PORT": rig.port("leader")}, stdin=subprocess.PIPE)
    # Not a terminal: connect() does not wait on a prompt nobody sees.
    refused = run.wait_for(r"REFUSED: (.*)", "the refusal").group(1)
    assert "so101_leader 'fresh'" in refused and "calibrate()" in refused
    assert "`tessaline calibrate --teleop.type so101_leader --teleop.id fresh`" in refused

    # Ctrl+C while the ranges are recorded: the servos are as they were
    # (the old calibration still holds), and no file is written.
    run.wait_for(r"Move so101_leader 'fresh' to the middle of its range of motion and press ENTER", "the first step")
    run.type("\n")
    run.wait_for(r"Press ENTER to stop", "the recording")
    time.sleep(0.5)
    run.child.send_signal(signal.SIGINT)
    mark = run.wait_for(r"PUT BACK False", "the servos put back").end()
    assert "INTERRUPTED" in run.read() and "are as they were before" in run.read()

    run.wait_for(r"to the middle of its range of motion and press ENTER", "the first step again", after=mark)
    run.type("\n")
    run.wait_for(r"Press ENTER to stop", "the recording", after=mark)
    time.sleep(2.5)  # the rig's leader sways meanwhile
    run.type("\n")
    run.wait_for(r"CALIBRATED True", "the calibration")
    [file] = rig.home.rglob("fresh.json")
    saved = json.loads(file.read_text())
    assert sorted(saved) == ["elbow_flex", "gripper", "shoulder_lift", "shoulder_pan", "wrist_flex", "wrist_roll"]
    assert all(c["range_min"] < c["range_max"] for c in saved.values())
    run.wait_for(r"OFFSETS True", "the offsets in the servos")
    gripper = float(run.wait_for(r"GRIPPER (\S+)", "the gripper").group(1))
    assert 0 <= gripper <= 100

    # With the file there, ENTER writes it back; the arm stays connected.
    run.wait_for(r"Press ENTER to use provided calibration file associated with the id fresh", "the question")
    run.type("\n")
    run.wait_for(r"AGAIN True True", "still connected")
    assert run.wait(timeout=30) == 0, run.read()
