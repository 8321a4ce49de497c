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
an arm whose servos do not hold its calibration is calibrated or refused at connect()
(CalibrationError says how to fix it). Images are read-only numpy arrays
(height x width x 3, RGB); copy one to draw on it.

The framework's robot API holds: connect(calibrate=True) (an arm whose
servos do not hold its calibration is calibrated on the terminal, or
refused with CalibrationError naming how to calibrate it when stdin is no
terminal or calibrate=False), is_calibrated, calibration,
calibrate() and configure() (the same procedure as `tessaline calibrate`),
setup_motors() (ids and rates of a new arm's servos, one at a time),
bus (the servos by register name), cameras (by name),
calibration_dir and calibration_fpath, id, robot_type, str(robot)
("left_arm SO101Follower"), send_action() with some of the motors (only
those goals change), DeviceAlreadyConnectedError / DeviceNotConnectedError
where the framework raises them, and the leader's feedback_features and
send_feedback() (these leaders have no force feedback: NotImplementedError,
as the framework's).

For recording, frame_record() turns an observation into the record a
VelquinSession logs, and action_values() an action into its logged list —
for these arms and for the framework's own robots alike.
"""
import json
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Union

from . import _core
from ._core import BusError, CalibrationError, CameraError, PortInfo

CAMERA_KEY_PREFIX = "observation.images.cam_"


class DeviceAlreadyConnectedError(ConnectionError):
    """connect() on an arm that is connected already."""

    def __init__(self, message="This device is already connected. Try not calling `robot_device.connect()` twice."):
        super().__init__(message)


class DeviceNotConnectedError(ConnectionError):
    """A read, a write or disconnect() on an arm that is not connected."""

    def __init__(self, message="This device is not connected. Try calling `robot_device.connect()` first."):
        super().__init__(message)


@dataclass
class MotorCalibration:
    """One motor's entry of a calibration file, as the framework writes it."""
    id: int
    drive_mode: int
    homing_offset: int
    range_min: int
    range_max: int


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
    calibration_dir: Optional[Union[str, Path]] = None  # where <id>.json is; None: the framework's folders
    type = ""


@dataclass
class _LeaderConfig:
    port: str
    id: Optional[str] = None
    use_degrees: Optional[bool] = None  # SO leaders; the Koch leader reads -100..100
    gripper_open_pos: float = 50.0      # Koch leader: where the gripper trigger springs back to
    calibration_dir: Optional[Union[str, Path]] = None  # where <id>.json is; None: the framework's folders
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
        if self.is_connected:
            self.disconnect()
        return False

    def __str__(self):
        return f"{self.id} {self.__class__.__name__}"

    @property
    def id(self) -> Optional[str]:
        return self.config.id

    @property
    def is_connected(self) -> bool:
        return self._arm.is_connected

    @property
    def calibration_fpath(self) -> Path:
        """The arm's calibration file (it may not exist yet)."""
        return Path(self._arm.calibration_file)

    @property
    def calibration_dir(self) -> Path:
        return self.calibration_fpath.parent

    @property
    def calibration(self) -> Dict[str, MotorCalibration]:
        """The calibration file's entries by motor name; empty when there is no file."""
        if not self.calibration_fpath.is_file():
            return {}
        entries = json.loads(self.calibration_fpath.read_text())
        return {motor: MotorCalibration(**{k: int(v) for k, v in values.items() if k in MotorCalibration.__annotations__})
                for motor, values in entries.items()}

    @property
    def is_calibrated(self) -> bool:
        """Connected: True (connect() refuses servos that do not hold the
        calibration); not connected: whether the calibration file exists."""
        return self.is_connected or self.calibration_fpath.is_file()

    def _check_connected(self):
        if not self.is_connected:
            raise DeviceNotConnectedError(f"{self} is not connected.")

    def connect(self, calibrate: bool = True) -> None:
        """Opens the port, checks the motors and the calibration, configures
        the arm as the framework does (and the cameras). When the servos do
        not hold the arm's calibration: with `calibrate` and a terminal on
        stdin, calibrate() runs (asking whether to write the file back or
        calibrate anew); otherwise CalibrationError says how to calibrate it
        (an arm is never driven on a guessed calibration)."""
        if self.is_connected:
            raise DeviceAlreadyConnectedError(f"{self} is already connected.")
        self._arm.connect(bool(calibrate))

    def calibrate(self) -> None:
        """The framework's calibration, on the terminal: with a calibration
        file, ENTER writes it into the servos and 'c' + ENTER calibrates
        anew; calibrating asks for the arm in the middle of its range, then
        records every joint's range until ENTER, and saves the file
        (calibration_fpath). Ctrl+C or a failure puts the servos back as
        they were. A connected arm stays connected (configured again); an
        unconnected one has its port opened for this and closed again."""
        self._arm.calibrate()

    def setup_motors(self) -> None:
        """The framework's motor setup, for an arm being built: one motor at
        a time, from the last joint to the first, with the controller board
        wired to that motor only (ENTER when it is), each gets its id and
        the bus's rate. Run it on an arm that is not connected."""
        if self.is_connected:
            raise DeviceAlreadyConnectedError(f"{self} is connected: setup_motors() needs the board wired to one motor at a time")
        for motor, (motor_id, _) in reversed(list(self._arm.servo_arm.motors.items())):
            input(f"Connect the controller board to the '{motor}' motor only and press enter.")
            self._arm.setup_motor(motor)
            print(f"'{motor}' motor id set to {motor_id}")

    def configure(self) -> None:
        """The framework's configure(): return delay, accelerations, gains,
        operating modes (connect() runs it)."""
        self._check_connected()
        self._arm.configure()

    @property
    def bus(self) -> "MotorsBus":
        """The arm's servos by register name, as the framework's bus."""
        return MotorsBus(self)

    def disconnect(self) -> None:
        """Releases the torque (as configured) and closes the port and cameras."""
        self._check_connected()
        self._arm.disconnect()


@dataclass
class Motor:
    """One servo of an arm's bus: its id and model (e.g. "sts3215")."""
    id: int
    model: str


_POSITION_REGISTERS = ("Present_Position", "Goal_Position")


class MotorsBus:
    """An arm's servos on its port, as the framework's bus: registers by
    name; positions (Present_Position, Goal_Position) in the arm's units
    unless normalize=False, other registers as the servos hold them. Goals
    written here are clamped to the calibrated range only, not to the
    bounded step send_action() applies."""

    def __init__(self, device: "_Device"):
        self._device = device

    @property
    def port(self) -> str:
        return self._device._arm.servo_arm.port

    @property
    def motors(self) -> Dict[str, Motor]:
        return {name: Motor(*motor) for name, motor in self._device._arm.servo_arm.motors.items()}

    @property
    def is_connected(self) -> bool:
        return self._device.is_connected

    @property
    def calibration(self) -> Dict[str, MotorCalibration]:
        return self._device.calibration

    def _servos(self):
        self._device._check_connected()
        return self._device._arm.servo_arm

    def _names(self, motors) -> List[str]:
        known = list(self.motors)
        names = known if motors is None else [motors] if isinstance(motors, str) else list(motors)
        for name in names:
            if name not in known:
                raise KeyError(f"{name!r} is no motor of {self._device}; its motors are {known}")
        return names

    @staticmethod
    def _retried(call, num_retry):
        for attempt in range(num_retry + 1):
            try:
                return call()
            except BusError:
                if attempt == num_retry:
                    raise

    def sync_read(self, data_name: str, motors=None, *, normalize: bool = True, num_retry: int = 0) -> dict:
        servos, names = self._servos(), self._names(motors)
        raw = self._retried(lambda: servos.sync_read(data_name, names), num_retry)
        if normalize and data_name in _POSITION_REGISTERS:
            return {name: servos.to_value(name, raw[name]) for name in names}
        return {name: raw[name] for name in names}

    def read(self, data_name: str, motor: str, *, normalize: bool = True, num_retry: int = 0):
        servos, [name] = self._servos(), self._names([motor])
        raw = self._retried(lambda: servos.read(data_name, name), num_retry)
        return servos.to_value(name, raw) if normalize and data_name in _POSITION_REGISTERS else raw

    def _raw(self, servos, data_name, name, value, normalize):
        if normalize and data_name in _POSITION_REGISTERS:
            return servos.to_raw(name, float(value))
        if isinstance(value, bool) or not float(value).is_integer():
            raise ValueError(f"{data_name} of {name}: {value!r} is not a whole number")
        return int(value)

    def sync_write(self, data_name: str, values, *, normalize: bool = True, num_retry: int = 0) -> None:
        """`values`: {motor: value}, or one value for every motor."""
        servos = self._servos()
        values = values if isinstance(values, dict) else {name: values for name in self.motors}
        raw = {name: self._raw(servos, data_name, name, value, normalize) for name, value in
               zip(self._names(list(values)), values.values())}
        self._retried(lambda: servos.sync_write(data_name, raw), num_retry)

    def write(self, data_name: str, motor: str, value, *, normalize: bool = True, num_retry: int = 0) -> None:
        servos, [name] = self._servos(), self._names([motor])
        raw = self._raw(servos, data_name, name, value, normalize)
        self._retried(lambda: servos.write(data_name, name, raw), num_retry)

    def enable_torque(self, motors=None, num_retry: int = 0) -> None:
        servos, names = self._servos(), self._names(motors)
        self._retried(lambda: servos.set_torque(names, True), num_retry)

    def disable_torque(self, motors=None, num_retry: int = 0) -> None:
        servos, names = self._servos(), self._names(motors)
        self._retried(lambda: servos.set_torque(names, False), num_retry)


class OpenCVCamera:
    """One of a robot's cameras, as the framework's: read() waits for the
    next frame, async_read() gives the newest. The robot connects and
    disconnects its cameras; images are read-only RGB arrays."""

    def __init__(self, robot: "Robot", name: str, config: OpenCVCameraConfig):
        self._robot, self.name, self.config = robot, name, config
        self.index_or_path, self.fps, self.width, self.height = config.index_or_path, config.fps, config.width, config.height
        self._seen = 0

    def __str__(self):
        return f"OpenCVCamera({self.index_or_path})"

    @property
    def is_connected(self) -> bool:
        return self._robot.is_connected and self._core().is_connected

    def _core(self):
        return self._robot._arm.camera(self.name)

    def connect(self, warmup: bool = True) -> None:
        if self.is_connected:
            raise DeviceAlreadyConnectedError(f"{self} is already connected.")
        raise DeviceNotConnectedError(f"{self} is connected with its robot: call {self._robot}.connect()")

    def disconnect(self) -> None:
        if not self.is_connected:
            raise DeviceNotConnectedError(f"{self} is not connected.")
        raise ValueError(f"{self} is disconnected with its robot: call {self._robot}.disconnect()")

    def _check(self, color_mode):
        if not self.is_connected:
            raise DeviceNotConnectedError(f"{self} is not connected.")
        if color_mode is not None and str(getattr(color_mode, "value", color_mode)).lower() != "rgb":
            raise ValueError(f"color_mode={color_mode!r}: this camera gives RGB images only")

    def read(self, color_mode=None):
        """The next frame the camera delivers (TimeoutError after 2 s without one)."""
        self._check(color_mode)
        core, deadline = self._core(), time.monotonic() + 2.0
        while core.frames_read <= self._seen:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{self} delivered no frame for 2 s")
            time.sleep(0.002)
        self._seen = core.frames_read
        return core.read_latest(2.0)

    def async_read(self, timeout_ms: float = 200):
        """The newest frame (CameraError when none came for longer than timeout_ms)."""
        self._check(None)
        self._seen = self._core().frames_read
        return self._core().read_latest(max(float(timeout_ms), 1.0) / 1000)


class Robot(_Device):
    """A follower arm with its cameras. Use make_robot_from_config() or a typed class."""

    def __init__(self, config: _FollowerConfig):
        self.config = config
        self.name = self.robot_type = config.type
        calibration_dir = None if config.calibration_dir is None else str(Path(config.calibration_dir).expanduser())
        self._arm = _core.Robot(config.type, str(config.port), config.id,
                                {name: camera for name, camera in config.cameras.items()},
                                config.use_degrees, config.max_relative_target, config.disable_torque_on_disconnect,
                                calibration_dir)
        self._last_sent = None
        self.cameras = {name: OpenCVCamera(self, name, camera) for name, camera in config.cameras.items()}

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
        self._check_connected()
        return self._arm.get_observation()

    def send_action(self, action: dict) -> dict:
        """Sends the goal positions ({"<joint>.pos": value}), clamped to the
        calibrated range and to the bounded step; returns what was sent.
        Motors the action leaves out keep their goal."""
        self._check_connected()
        features = self.action_features
        unknown = [key for key in action if key not in features]
        if unknown:
            raise KeyError(f"{unknown[0]!r} is no motor of {self}; its actions are {list(features)}")
        goals = dict(action)
        if len(goals) < len(features):
            held = self._last_sent or {key: value for key, value in self._arm.get_observation().items() if key in features}
            goals = {key: goals.get(key, held[key]) for key in features}
        self._last_sent = self._arm.send_action(goals)
        return {key: self._last_sent[key] for key in action}


class Teleoperator(_Device):
    """A leader arm, moved by hand. Use make_teleoperator_from_config() or a typed class."""

    def __init__(self, config: _LeaderConfig):
        self.config = config
        self.name = config.type
        calibration_dir = None if config.calibration_dir is None else str(Path(config.calibration_dir).expanduser())
        self._arm = _core.Teleoperator(config.type, str(config.port), config.id, config.use_degrees,
                                       config.gripper_open_pos, calibration_dir)

    @property
    def action_features(self) -> dict:
        return {f"{joint}.pos": float for joint in self._arm.joint_names}

    @property
    def feedback_features(self) -> dict:
        """None: these leaders have no force feedback."""
        return {}

    def get_action(self) -> dict:
        """{"<joint>.pos": float, ...}: where the leader is now."""
        self._check_connected()
        return self._arm.get_action()

    def send_feedback(self, feedback: dict) -> None:
        """These leaders have no force feedback: NotImplementedError, as the framework's."""
        raise NotImplementedError(f"{self} has no force feedback")


class SO100Follower(Robot):
    config_class = SO100FollowerConfig


class SO101Follower(Robot):
    config_class = SO101FollowerConfig


class KochFollower(Robot):
    config_class = KochFollowerConfig


class SO100Leader(Teleoperator):
    config_class = SO100LeaderConfig


class SO101Leader(Teleoperator):
    config_class = SO101LeaderConfig


class KochLeader(Teleoperator):
    config_class = KochLeaderConfig


def make_robot_from_config(config: _FollowerConfig) -> Robot:
    """The follower the config's type names, of its class (SO101Follower, ...)."""
    kinds = {"so100_follower": SO100Follower, "so101_follower": SO101Follower, "koch_follower": KochFollower}
    return kinds.get(config.type, Robot)(config)


def make_teleoperator_from_config(config: _LeaderConfig) -> Teleoperator:
    """The leader the config's type names, of its class (SO101Leader, ...)."""
    kinds = {"so100_leader": SO100Leader, "so101_leader": SO101Leader, "koch_leader": KochLeader}
    return kinds.get(config.type, Teleoperator)(config)


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
    "CalibrationError", "BusError", "CameraError", "CAMERA_KEY_PREFIX", "DeviceAlreadyConnectedError",
    "DeviceNotConnectedError", "MotorCalibration", "MotorsBus", "Motor", "OpenCVCamera",
]
