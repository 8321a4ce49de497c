"""The arms, without the robot framework: SO-100 / SO-101 (Feetech) and
Koch v1.1 (Dynamixel) followers and leaders, calibrated and configured as
the framework does it, with its shape of API and its dictionaries::

    from tessaline.robots import SO101Follower, SO101FollowerConfig, SO101Leader, SO101LeaderConfig

    with SO101Leader(SO101LeaderConfig(port="/dev/ttyACM0", id="left_leader")) as leader, \\
         SO101Follower(SO101FollowerConfig(port="/dev/ttyACM1", id="left_arm")) as follower:
        observation = follower.get_observation()   # {"shoulder_pan.pos": 1.5, ..., "front": image}
        follower.send_action(leader.get_action())  # {"shoulder_pan.pos": ..., ...}

Values are in the framework's units (degrees, or -100..100 and 0..100 for
the gripper). Calibration files are the framework's (under HF_LEROBOT_HOME);
an arm whose servos do not hold its calibration is refused at connect()
(CalibrationError says how to fix it). Images are read-only numpy arrays
(height x width x 3, RGB); copy one to draw on it.

For recording, frame_record() turns an observation into the record a
VelquinSession logs, and action_values() an action into its logged list —
for these arms and for the framework's own robots alike.
"""
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Union

from . import _core
from ._core import BusError, CalibrationError, CameraError, PortInfo

CAMERA_KEY_PREFIX = "observation.images.cam_"


@dataclass
class OpenCVCameraConfig:
    """A camera by index (0), device path ("/dev/video2") or the virtual rig's "virtual:<file>".

    The framework's fields, in its order: index_or_path, color_mode,
    rotation, warmup_s, fourcc, backend; fps, width and height by keyword
    only (OpenCVCameraConfig(0, fps=30, width=640, height=480)). fourcc asks
    a USB camera for that pixel format ("MJPG" by default: raw YUYV from two
    cameras fills a USB 2 bus; None leaves the driver's choice). Images are
    RGB and unrotated: another color_mode or rotation is refused, as is a
    backend other than the default, rather than ignored.
    """
    index_or_path: Union[int, str, Path]
    color_mode: Any = "rgb"
    rotation: Any = 0
    warmup_s: float = 1
    fourcc: Optional[str] = "MJPG"
    backend: Any = None
    fps: Optional[int] = field(default=None, kw_only=True)
    width: Optional[int] = field(default=None, kw_only=True)
    height: Optional[int] = field(default=None, kw_only=True)

    def __post_init__(self):
        def value(v):
            return getattr(v, "value", v)
        if str(value(self.color_mode)).lower() != "rgb":
            raise ValueError(f"color_mode={self.color_mode!r}: this camera gives RGB images only")
        if value(self.rotation) not in (0, None):
            raise ValueError(f"rotation={self.rotation!r}: images are not rotated here; rotate them in your code")
        if value(self.backend) not in (None, 0, "any", "ANY"):
            raise ValueError(f"backend={self.backend!r}: cameras are opened with V4L2 (leave backend unset)")
        if self.fourcc is not None and (not isinstance(self.fourcc, str) or len(self.fourcc) != 4):
            raise ValueError(f"fourcc={self.fourcc!r}: a four-character code such as \"MJPG\", or None")
        for name in ("fps", "width", "height"):
            v = getattr(self, name)
            if v is not None and (isinstance(v, bool) or not isinstance(v, int) or v <= 0):
                raise ValueError(f"{name}={v!r}: a positive whole number, or None for the default")


@dataclass
class _FollowerConfig:
    port: str
    id: Optional[str] = None
    cameras: Dict[str, OpenCVCameraConfig] = field(default_factory=dict)
    use_degrees: Optional[bool] = None  # None: the framework's default (SO: True, Koch: False)
    max_relative_target: Optional[Union[float, Dict[str, float]]] = None
    disable_torque_on_disconnect: bool = True
    type = ""


@dataclass
class _LeaderConfig:
    port: str
    id: Optional[str] = None
    use_degrees: Optional[bool] = None  # SO leaders; the Koch leader reads -100..100
    gripper_open_pos: float = 50.0      # Koch leader: where the gripper trigger springs back to
    type = ""


class SO100FollowerConfig(_FollowerConfig):
    type = "so100_follower"


class SO101FollowerConfig(_FollowerConfig):
    type = "so101_follower"


class KochFollowerConfig(_FollowerConfig):
    type = "koch_follower"


class SO100LeaderConfig(_LeaderConfig):
    type = "so100_leader"


class SO101LeaderConfig(_LeaderConfig):
    type = "so101_leader"


class KochLeaderConfig(_LeaderConfig):
    type = "koch_leader"


class _Device:
    def __enter__(self):
        self.connect()
        return self

    def __exit__(self, exc_type, exc, traceback):
        self.disconnect()
        return False

    @property
    def is_connected(self) -> bool:
        return self._arm.is_connected

    def connect(self) -> None:
        """Opens the port, checks the motors and the calibration, configures
        the arm as the framework does (and the cameras)."""
        self._arm.connect()

    def disconnect(self) -> None:
        """Releases the torque (as configured) and closes the port and cameras."""
        self._arm.disconnect()


class Robot(_Device):
    """A follower arm with its cameras. Use make_robot_from_config() or a typed class."""

    def __init__(self, config: _FollowerConfig):
        self.config = config
        self.name = config.type
        self._arm = _core.Robot(config.type, str(config.port), config.id,
                                {name: camera for name, camera in config.cameras.items()},
                                config.use_degrees, config.max_relative_target, config.disable_torque_on_disconnect)

    @property
    def observation_features(self) -> dict:
        joints = {f"{joint}.pos": float for joint in self._arm.joint_names}
        cameras = {name: (c.height, c.width, 3) for name, c in self.config.cameras.items()}
        return {**joints, **cameras}

    @property
    def action_features(self) -> dict:
        return {f"{joint}.pos": float for joint in self._arm.joint_names}

    def get_observation(self) -> dict:
        """{"<joint>.pos": float, ..., "<camera>": image}: the joints read now, each camera's latest frame."""
        return self._arm.get_observation()

    def send_action(self, action: dict) -> dict:
        """Sends the goal positions ({"<joint>.pos": value}), clamped to the
        calibrated range and to the bounded step; returns what was sent."""
        return self._arm.send_action(action)


class Teleoperator(_Device):
    """A leader arm, moved by hand. Use make_teleoperator_from_config() or a typed class."""

    def __init__(self, config: _LeaderConfig):
        self.config = config
        self.name = config.type
        self._arm = _core.Teleoperator(config.type, str(config.port), config.id, config.use_degrees,
                                       config.gripper_open_pos)

    @property
    def action_features(self) -> dict:
        return {f"{joint}.pos": float for joint in self._arm.joint_names}

    def get_action(self) -> dict:
        """{"<joint>.pos": float, ...}: where the leader is now."""
        return self._arm.get_action()


class SO100Follower(Robot):
    pass


class SO101Follower(Robot):
    pass


class KochFollower(Robot):
    pass


class SO100Leader(Teleoperator):
    pass


class SO101Leader(Teleoperator):
    pass


class KochLeader(Teleoperator):
    pass


def make_robot_from_config(config: _FollowerConfig) -> Robot:
    """The follower the config's type names."""
    return Robot(config)


def make_teleoperator_from_config(config: _LeaderConfig) -> Teleoperator:
    """The leader the config's type names."""
    return Teleoperator(config)


def find_robot_ports(motor_type: Optional[str] = None, verbose: bool = True) -> List[PortInfo]:
    """The USB serial ports with servo controllers, each scanned for its
    motors ("feetech" or "dynamixel"; both tried unless motor_type says).
    With verbose, prints what it finds as the tessaline command does."""
    return _core.find_robot_ports(motor_type, verbose)


def camera_key(camera_name: str) -> str:
    """"front" -> "observation.images.cam_front": the name a camera's video track and column have."""
    return CAMERA_KEY_PREFIX + camera_name


def frame_record(observation: dict, timestamp: float, cameras: Optional[List[str]] = None) -> dict:
    """The record a session logs for one frame, from an observation as
    get_observation() returns it (these arms' or the framework's robots'):
    each image under its camera key (the array itself, not a copy), then
    "state" (every joint value in order, float32), then "timestamp" (seconds
    since the episode began). `cameras` (camera keys) keeps only those images."""
    import numpy

    record = {}
    state = []
    for key, value in observation.items():
        if key == "timestamp":
            continue
        if isinstance(value, numpy.ndarray) and value.ndim >= 2:
            name = camera_key(key)
            if cameras is None or name in cameras:
                record[name] = value
        elif isinstance(value, numpy.ndarray):
            state.extend(float(v) for v in value.reshape(-1))
        elif isinstance(value, (bool, int, float)) or hasattr(value, "__float__"):
            state.append(float(value))
    record["state"] = numpy.asarray(state, dtype=numpy.float32)
    record["timestamp"] = float(timestamp)
    return record


def action_values(action: dict) -> List[float]:
    """The logged form of an action: its values, in order."""
    return [float(v) for v in action.values()]


__all__ = [
    "OpenCVCameraConfig", "SO100FollowerConfig", "SO101FollowerConfig", "KochFollowerConfig", "SO100LeaderConfig",
    "SO101LeaderConfig", "KochLeaderConfig", "Robot", "Teleoperator", "SO100Follower", "SO101Follower",
    "KochFollower", "SO100Leader", "SO101Leader", "KochLeader", "make_robot_from_config",
    "make_teleoperator_from_config", "find_robot_ports", "PortInfo", "camera_key", "frame_record", "action_values",
    "CalibrationError", "BusError", "CameraError", "CAMERA_KEY_PREFIX",
]
