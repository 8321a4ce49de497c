"""A recording made from Python with the package's own arms (the virtual
rig), logged through the session and through the client directly, exported
by a real studio and read back by the suite's independent readers: the
frames are the ones logged, in order, with their values."""
import numpy
import pytest

import tessaline
from tessaline.robots import (Motor, DeviceAlreadyConnectedError, DeviceNotConnectedError, OpenCVCameraConfig, SO101Follower,
                              SO101FollowerConfig, SO101Leader, SO101LeaderConfig, action_values, find_robot_ports,
                              frame_record, make_robot_from_config)
from conftest import read_dataset

FRAMES = 24


def arms(rig):
    cameras = {name: OpenCVCameraConfig(c["index_or_path"], width=c["width"], height=c["height"], fps=c["fps"])
               for name, c in rig.cameras().items()}
    return (SO101Leader(SO101LeaderConfig(port=rig.port("leader"), id="rig_leader")),
            SO101Follower(SO101FollowerConfig(port=rig.port("follower"), id="rig_follower", cameras=cameras)))


def test_arms_in_the_frameworks_shape(rig, capfd):
    found = {p.device: p for p in find_robot_ports()}
    assert "Found 2 port(s) with motors" in capfd.readouterr().out
    assert {found[rig.port(r)].motor_type for r in ("leader", "follower")} == {"feetech"}
    assert found[rig.port("follower")].motor_ids == [1, 2, 3, 4, 5, 6]

    leader, follower = arms(rig)
    with leader, follower:
        assert follower.is_connected and leader.is_connected
        observation = follower.get_observation()
        joints = [k for k in observation if k.endswith(".pos")]
        assert joints == list(follower.action_features) and len(joints) == 6
        assert all(isinstance(observation[k], float) for k in joints)
        front = observation["front"]
        assert front.shape == (480, 640, 3) and front.dtype == numpy.uint8 and not front.flags.writeable
        action = leader.get_action()
        assert list(action) == joints
        sent = follower.send_action(action)
        assert list(sent) == joints
        with pytest.raises(TypeError, match="not a number"):
            follower.send_action({"shoulder_pan.pos": "left"})
    assert not follower.is_connected


def test_a_script_written_for_the_frameworks_robots_runs_with_these(rig, tmp_path):
    leader, follower = arms(rig)
    assert str(follower) == "rig_follower SO101Follower" and follower.robot_type == "so101_follower"
    assert follower.config_class is SO101FollowerConfig and follower.id == "rig_follower"
    assert follower.calibration_fpath == follower.calibration_dir / "rig_follower.json"
    assert follower.is_calibrated and set(follower.calibration) == {k[:-4] for k in follower.action_features}
    with pytest.raises(DeviceNotConnectedError, match="rig_follower SO101Follower is not connected"):
        follower.get_observation()
    with pytest.raises(DeviceNotConnectedError):
        follower.disconnect()
    with pytest.raises(DeviceNotConnectedError):
        leader.get_action()
    follower.connect(calibrate=False)
    try:
        with pytest.raises(DeviceAlreadyConnectedError):
            follower.connect()
        observation = follower.get_observation()
        # Some motors only: those goals change, the others keep theirs.
        sent = follower.send_action({"gripper.pos": observation["gripper.pos"]})
        assert list(sent) == ["gripper.pos"]
        with pytest.raises(KeyError, match="'front' is no motor of rig_follower SO101Follower"):
            follower.send_action(dict(observation))
        # The bus and the cameras, as the framework's robots have them.
        positions = follower.bus.sync_read("Present_Position")
        assert list(positions) == [key[:-4] for key in follower.action_features]
        assert abs(positions["gripper"] - observation["gripper.pos"]) < 5
        assert all(isinstance(v, int) for v in follower.bus.sync_read("Present_Position", normalize=False).values())
        assert follower.bus.motors["gripper"] == Motor(6, "sts3215")
        follower.bus.disable_torque("gripper", num_retry=2)
        assert follower.bus.read("Torque_Enable", "gripper") == 0
        follower.bus.enable_torque(["gripper"])
        assert follower.bus.read("Torque_Enable", "gripper") == 1
        follower.bus.write("Goal_Position", "gripper", 40.0)
        assert abs(follower.bus.read("Goal_Position", "gripper") - 40.0) < 1
        with pytest.raises(KeyError, match="'front' is no motor of rig_follower SO101Follower"):
            follower.bus.read("Present_Position", "front")
        assert follower.cameras["front"].read().shape == (480, 640, 3)
        assert follower.cameras["wrist"].async_read().shape == (480, 640, 3)
        with pytest.raises(ValueError, match="RGB images only"):
            follower.cameras["front"].read(color_mode="bgr")
    finally:
        follower.disconnect()
    with pytest.raises(DeviceNotConnectedError):
        follower.bus.sync_read("Present_Position")
    with pytest.raises(DeviceNotConnectedError):
        follower.cameras["front"].read()
    assert leader.feedback_features == {}
    with pytest.raises(NotImplementedError):
        leader.send_feedback({})

    # A calibration folder named in the config is where the file is looked for.
    elsewhere = tmp_path / "calibrations"
    elsewhere.mkdir()
    (elsewhere / "rig_follower.json").write_bytes(follower.calibration_fpath.read_bytes())
    moved = make_robot_from_config(SO101FollowerConfig(port=rig.port("follower"), id="rig_follower", calibration_dir=elsewhere))
    assert isinstance(moved, SO101Follower) and moved.calibration_fpath == elsewhere / "rig_follower.json"
    with moved:
        assert moved.is_connected
    empty = SO101FollowerConfig(port=rig.port("follower"), id="rig_follower", calibration_dir=tmp_path / "none")
    assert not make_robot_from_config(empty).is_calibrated


def test_a_session_logged_from_python_exports_as_logged(studio, rig):
    tessaline.config.VELQUIN_GRPC_SERVER = studio.flight
    leader, follower = arms(rig)
    keys = ["observation.images.cam_front", "observation.images.cam_wrist"]
    logged_states, logged_actions = [], []
    with leader, follower:
        with tessaline.VelquinSession(keys, repo_id="lab/python", robot_type="so101_follower", fps=30,
                                      server_url=studio.base, user_id="py") as session:
            for episode in range(2):
                for i in range(FRAMES):
                    observation = follower.get_observation()
                    action = leader.get_action()
                    follower.send_action(action)
                    record = frame_record(observation, timestamp=i / 30)
                    assert list(record) == keys + ["state", "timestamp"]
                    session.update_frame(keys[0], record[keys[0]])
                    session.log_frame(record, action_values(action), episode_end=i == FRAMES - 1)
                    logged_states.append(record["state"].tolist())
                    logged_actions.append(action_values(action))
                assert session.end_episode()
                assert (session.episode_index, session.episode_frame_count) == (episode + 1, 0)
            assert session.total_frame_count == 2 * FRAMES
    assert session.closed

    state = studio.wait_for_export("lab/python", "py")
    assert (state["episodesAdded"], state["framesAdded"]) == (2, 2 * FRAMES)
    dataset = read_dataset(studio.data_dir / state["datasetDir"])
    assert dataset["problems"] == []
    assert [e["length"] for e in dataset["episodes"]] == [FRAMES, FRAMES]
    frames = dataset["frames"]
    numpy.testing.assert_allclose([f["state"] for f in frames], logged_states, rtol=1e-6)
    numpy.testing.assert_allclose([f["action"] for f in frames], logged_actions, rtol=1e-6)
    assert dataset["info"]["robot_type"] == "so101_follower"


def test_the_client_on_its_own(studio, capfd):
    image = numpy.full((48, 64, 3), 90, numpy.uint8)
    with tessaline.VelquinGrpcClient(studio.flight, user_id="direct") as client:
        client.repo_id = "lab/direct"
        for i in range(5):
            client.log_robot_data({"observation.images.cam_top": image, "state": numpy.arange(3, dtype=numpy.float32),
                                   "timestamp": i / 10}, [0.5, 1.5, 2.5], episode_end=i == 4, fps=10,
                                  robot_type="so101_follower")
        client.wait_pending()
        assert client.end_episode(studio.base)
        client.shutdown()
        assert (client.frames_sent, client.frames_failed) == (5, 0)
        with pytest.raises(RuntimeError):
            client.log_robot_data({"state": numpy.zeros(3, numpy.float32)}, [0.0])
    out = capfd.readouterr().out
    assert out.count("[gRPC Client] Sending episode_end=True") == 1
    assert "[gRPC Client] Episode 0 ended, total episodes: 1" in out
