"""Wrong values and wrong use give a Python exception that says what is
wrong, never a crash; images handed over are the library's to read until
it is done with them: dropping them early loses nothing, writing into them
meanwhile is refused, and they are the caller's again afterwards."""
import gc
import inspect

import numpy
import pytest

import tessaline
from conftest import first_video_frames, read_dataset, wait_until

KEY = "observation.images.cam_front"


def record(image, t=0.0):
    return {KEY: image, "state": numpy.zeros(6, numpy.float32), "timestamp": t}


@pytest.fixture
def session(studio):
    tessaline.config.VELQUIN_GRPC_SERVER = studio.flight
    s = tessaline.VelquinSession([KEY], repo_id="lab/misuse", fps=10, server_url=studio.base, user_id="misuse")
    yield s
    s.close(export=False)


def test_wrong_values_are_refused_where_they_are_passed(session):
    image = numpy.zeros((48, 64, 3), numpy.uint8)
    cases = [
        (lambda: session.update_frame(KEY, image.astype(numpy.float32)), TypeError, "must be uint8"),
        (lambda: session.update_frame(KEY, image[:, :, 0]), ValueError, r"shape \(height, width, 3\), not \(48, 64\)"),
        (lambda: session.update_frame(KEY, image[:, ::2]), ValueError, "not C-contiguous"),
        (lambda: session.update_frame(KEY, image.tolist()), TypeError, "must be a numpy array, not list"),
        (lambda: session.log_frame(record(image.transpose(1, 0, 2)), [0.0]), ValueError, r"\['observation.images.cam_front'\] is not C-contiguous"),
        (lambda: session.log_frame(record(image), {"shoulder_pan.pos": 1.0}), TypeError, r"list\(action.values\(\)\)"),
        (lambda: session.log_frame(record(image), ["left"]), TypeError, r"action\[0\] is not a number"),
        (lambda: session.log_frame({**record(image), 3: 1.0}, [0.0]), TypeError, "keys must be str"),
        (lambda: session.log_frame({**record(image), "note": object()}, [0.0]), TypeError, r"\['note'\] has a value of type object"),
        (lambda: session.log_frame({**record(image), "state": numpy.zeros(6, numpy.complex64)}, [0.0]), TypeError, "dtype complex64"),
        (lambda: session.update_frame("observation.images.cam_nope", image), KeyError, "not one of this session's cameras"),
        (lambda: session.log_frame({**record(image), "state": "abc"}, [0.0]), TypeError, r'\["state"\] must be a numpy array'),
        (lambda: session.log_frame({KEY: image, "state": numpy.zeros(6, numpy.float32)}, [0.0]), ValueError, 'no "timestamp"'),
        (lambda: session.log_frame({KEY: image, "timestamp": 0.0}, [0.0]), ValueError, 'no "state"'),
        (lambda: session.log_frame({**record(image), "timestamp": "now"}, [0.0]), TypeError, "a number of seconds, not str"),
        (lambda: session.send_status("recording", ["not", "a", "dict"]), TypeError, "must be a dict"),
        (lambda: session.send_status("recording", {"at": float("nan")}), ValueError, "JSON cannot hold"),
        # The frame call's own arguments, matched without pybind11.
        (lambda: session.log_frame(record(image)), TypeError, r"log_frame\(\) missing required argument 'action'"),
        (lambda: session.log_frame(record(image), [0.0], False, 1), TypeError, r"takes at most 3 arguments \(4 given\)"),
        (lambda: session.log_frame(record(image), [0.0], epsiode_end=True), TypeError, "unexpected keyword argument 'epsiode_end'"),
        (lambda: session.log_frame(record(image), [0.0], action=[1.0]), TypeError, "multiple values for argument 'action'"),
        (lambda: session.log_frame([record(image)], [0.0]), TypeError, "observation must be a dict \\(a frame record\\), not list"),
        (lambda: session.log_frame(record(image), [0.0], episode_end="yes"), TypeError, "episode_end must be a bool, not str"),
        (lambda: session.update_frame(frame=image), TypeError, "missing required argument 'camera_key'"),
        (lambda: session.update_frame(3, image), TypeError, "camera_key must be a str, not int"),
    ]
    for call, error, text in cases:
        with pytest.raises(error, match=text):
            call()
    assert session.total_frame_count == 0  # nothing refused was counted
    assert image.flags.writeable  # nor kept
    session.log_frame(observation=record(image), action=[0.0], episode_end=numpy.bool_(False))
    assert session.total_frame_count == 1
    assert list(inspect.signature(session.log_frame).parameters) == ["observation", "action", "episode_end"]


def test_the_clients_frame_call_takes_its_arguments_by_name_or_place(studio):
    client = tessaline.VelquinGrpcClient(studio.flight, "misuse")
    image = numpy.zeros((48, 64, 3), numpy.uint8)
    with pytest.raises(TypeError, match="unexpected keyword argument 'robot'"):
        client.log_robot_data(record(image), [0.0], robot="so101_follower")
    with pytest.raises(TypeError, match="missing required argument .observation."):
        client.log_robot_data(action=[0.0])
    for wrong, text in [({"fps": "x"}, "fps must be a number, not str"),
                        ({"robot_type": 3}, "robot_type must be a str, not int"),
                        ({"episode_end": "yes"}, "episode_end must be a bool, not str")]:
        with pytest.raises(TypeError, match=text):
            client.log_robot_data(**{"observation": record(image), "action": [0.0], **wrong})
    client.log_robot_data(record(image), [0.0])
    client.log_robot_data(action=[1.0], observation=record(image, 0.1), episode_end=True, fps=10, robot_type="so101_follower")
    client.wait_pending(30)
    assert (client.frames_sent, client.frames_failed) == (2, 0)
    client.shutdown()


def test_a_session_is_refused_at_once_for_what_it_could_never_record(studio):
    def make(**changes):
        arguments = {"camera_names": [KEY], "repo_id": "lab/misuse", "fps": 10, "server_url": studio.base, "user_id": "misuse"}
        return tessaline.VelquinSession(**{**arguments, **changes})

    cases = [
        ({"fps": 0}, ValueError, "fps must be a positive number"),
        ({"fps": "x"}, TypeError, "fps must be a whole number of frames per second, not str"),
        ({"fps": True}, TypeError, "not bool"),
        ({"camera_names": KEY}, TypeError, "camera_names must be a list of camera keys"),
        ({"camera_names": [KEY, 3]}, TypeError, "camera keys \\(str\\)"),
        ({"repo_id": None}, TypeError, "repo_id must be a str, not NoneType"),
        # Names a dataset hub would refuse, each with its reason.
        ({"repo_id": "My Lab/Pick Cube"}, ValueError, 'repo_id "My Lab/Pick Cube" has a space'),
        ({"repo_id": "lab/pick/cube"}, ValueError, "more than one '/'"),
        ({"repo_id": "lab/-cube"}, ValueError, "beginning or ending with '-' or '.'"),
        ({"repo_id": "lab/cu--be"}, ValueError, '"--" or ".."'),
        ({"repo_id": "lab/cube.git"}, ValueError, '".git"'),
        ({"repo_id": "lab/" + "c" * 93}, ValueError, "longer than 96 characters"),
        ({"repo_id": "lab/cubé"}, ValueError, "outside ASCII"),
    ]
    for changes, error, text in cases:
        with pytest.raises(error, match=text):
            make(**changes)
    for good in ("lab/pick_cube-2.v1", "towels", "A1/b"):
        make(repo_id=good).close(export=False)


def test_a_closed_session_says_so(session):
    session.close(export=False)
    assert session.closed
    for call in (lambda: session.connect(timeout=1), lambda: session.wait_for_command(0.1), session.end_episode,
                 lambda: session.log_frame(record(numpy.zeros((4, 4, 3), numpy.uint8)), [0.0])):
        with pytest.raises(RuntimeError, match="the session is closed"):
            call()
    session.close()  # again: nothing happens


def test_lent_images_are_read_only_until_sent_then_writable_again(session):
    image = numpy.zeros((48, 64, 3), numpy.uint8)
    session.log_frame(record(image), [0.0], episode_end=True)
    with pytest.raises(ValueError, match="read-only"):
        image[0, 0, 0] = 255  # the encoder may be reading it right now
    assert session.end_episode()  # every frame sent
    wait_until(lambda: image.flags.writeable, "the image given back")
    image[0, 0, 0] = 255
    # An array lent for several frames comes back once all are sent; one
    # that was read-only to begin with stays so.
    frozen = numpy.zeros((48, 64, 3), numpy.uint8)
    frozen.flags.writeable = False
    twice = numpy.zeros((48, 64, 3), numpy.uint8)
    session.log_frame({**record(frozen), "observation.images.cam_wrist": twice}, [0.0])
    session.log_frame(record(twice), [0.0], episode_end=True)
    assert not twice.flags.writeable
    assert session.end_episode()
    wait_until(lambda: twice.flags.writeable, "the image lent twice given back")
    assert not frozen.flags.writeable


def test_images_dropped_by_the_caller_at_once_are_sent_whole(session, studio):
    colours = [(20 * i, 255 - 20 * i, 60) for i in range(10)]
    for i, colour in enumerate(colours):
        image = numpy.empty((96, 128, 3), numpy.uint8)
        image[:] = colour
        session.log_frame(record(image, i / 10), [float(i)], episode_end=i == len(colours) - 1)
        del image  # the caller keeps nothing; the library still holds the pixels
        gc.collect()
    assert session.end_episode()
    session.close()
    state = studio.wait_for_export("lab/misuse", "misuse")
    dataset = read_dataset(studio.data_dir / state["datasetDir"])
    assert dataset["problems"] == []
    video = next(studio.data_dir.glob(f"{state['datasetDir']}/videos/{KEY}/chunk-000/*.mp4"))
    frames = first_video_frames(video, len(colours), 128, 96)
    assert len(frames) == len(colours)
    for colour, frame in zip(colours, frames):
        mean = numpy.frombuffer(frame, numpy.uint8).reshape(-1, 3).mean(axis=0)
        assert numpy.abs(mean - colour).max() < 12, (colour, mean)


def test_camera_configs_take_the_frameworks_fields_and_never_misread_them():
    from tessaline.robots import OpenCVCameraConfig
    config = OpenCVCameraConfig(0, fps=30, width=1280, height=720)
    assert (config.fps, config.width, config.height, config.fourcc, config.color_mode) == (30, 1280, 720, "MJPG", "rgb")
    assert OpenCVCameraConfig("/dev/video2", "rgb", 0, 1, None).fourcc is None
    # The framework's old docstring example: positional fps, width, height would land in other fields.
    with pytest.raises(ValueError, match="color_mode=30"):
        OpenCVCameraConfig(0, 30, 1280, 720)
    with pytest.raises(ValueError, match="rotation"):
        OpenCVCameraConfig(0, rotation=90)
    with pytest.raises(ValueError, match="fourcc"):
        OpenCVCameraConfig(0, fourcc="MJPEG")
    with pytest.raises(ValueError, match="fps"):
        OpenCVCameraConfig(0, fps=0)
    with pytest.raises(TypeError):
        OpenCVCameraConfig(0, "rgb", 0, 1, "MJPG", None, 30)  # fps is keyword-only
