"""What `import tessaline` gives: exactly the five names, settings read once
from the environment at import, assignable afterwards for every later
reader, and documentation an editor or help() can show."""
from pathlib import Path

from conftest import python_script

SETTINGS_SCRIPT = r'''
import os
import tessaline
from tessaline import config

assert tessaline.__all__ == ["config", "VelquinSession", "VelquinGrpcClient", "WebRTCStreamer",
                             "authenticate_with_browser"], tessaline.__all__
assert not hasattr(tessaline, "find_robot_ports") and not hasattr(tessaline, "teleoperate")
assert config.VELQUIN_GRPC_SERVER == "grpc://flight.test:50051", config.VELQUIN_GRPC_SERVER
assert config.HF_HOME == "/data/hf" and config.HF_LEROBOT_HOME == "/data/hf/lerobot"
assert config.TURN_USERNAME is None and config.TURN_CREDENTIAL == ""

# Read once: the environment changed after import is not seen ...
os.environ["VELQUIN_GRPC_SERVER"] = "grpc://elsewhere:1"
assert config.VELQUIN_GRPC_SERVER == "grpc://flight.test:50051"
assert tessaline.VelquinGrpcClient().location == "grpc://flight.test:50051"
# ... an assignment is, by every later reader.
config.VELQUIN_GRPC_SERVER = "flight.lab:7000"
assert tessaline.VelquinGrpcClient().location == "grpc://flight.lab:7000"
config.TURN_USERNAME = "relay"
assert config.TURN_USERNAME == "relay"
for wrong in (lambda: setattr(config, "STUDIO_URL", None), lambda: setattr(config, "HF_HOME", 3)):
    try:
        wrong()
    except TypeError:
        pass
    else:
        raise AssertionError("a setting took a value that is not text")
assert "VELQUIN_HTTP_SERVER" in dir(config)
print("settings ok")
'''


def test_names_and_settings_as_the_package_defines_them():
    script = python_script(SETTINGS_SCRIPT, {"VELQUIN_GRPC_SERVER": "grpc://flight.test:50051", "HF_HOME": "/data/hf",
                                             "TURN_CREDENTIAL": "", "TURN_USERNAME": None})
    assert script.wait() == 0, script.read()
    assert script.read().endswith("settings ok\n"), script.read()


def test_documented_and_typed_for_editors():
    import tessaline
    import tessaline.robots

    for name in ("connect", "wait_for_command", "close", "log_frame", "update_frame", "end_episode", "send_status"):
        assert getattr(tessaline.VelquinSession, name).__doc__, name
    assert "frame record" in tessaline.VelquinSession.__doc__
    package = Path(tessaline.__file__).parent
    stubs = {p.name for p in package.glob("*.pyi")}
    assert {"__init__.pyi", "config.pyi", "robots.pyi"} <= stubs, stubs
    assert (package / "py.typed").exists()
    # Every public name has its stub.
    stub_text = (package / "__init__.pyi").read_text()
    for name in tessaline.__all__[1:]:
        assert f"{name}" in stub_text, name
