"""Tessaline SDK for robot teleoperation and data collection.

Stream an arm's cameras to the operator's browser, take the browser's
commands and record every frame to the studio::

    import tessaline

    with tessaline.VelquinSession(["observation.images.cam_front"], repo_id="lab/towels",
                                  robot_type="so101_follower", fps=30) as session:
        if session.connect(timeout=60):
            while (command := session.wait_for_command(timeout=1.0)) != "end":
                ...  # "start": log_frame() per frame; "end_episode": end_episode()

The settings come from the environment (tessaline.config); the arms, port
discovery and frame records are in tessaline.robots.
"""
try:
    import numpy as _numpy  # images and states are numpy arrays
except ImportError:
    import sys as _sys
    raise ImportError(f"tessaline needs numpy, which {_sys.executable} does not have: run `{_sys.executable} -m pip install "
                      "numpy` (or, with Debian's python3, `apt-get install python3-numpy`)") from None
from . import config
from .session import VelquinSession
from .grpc_client import VelquinGrpcClient
from .webrtc_streamer import WebRTCStreamer
from .auth import authenticate_with_browser

__all__ = ["config", "VelquinSession", "VelquinGrpcClient", "WebRTCStreamer", "authenticate_with_browser"]
