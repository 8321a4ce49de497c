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
from . import config
from .session import VelquinSession
from .grpc_client import VelquinGrpcClient
from .webrtc_streamer import WebRTCStreamer
from .auth import authenticate_with_browser

__all__ = ["config", "VelquinSession", "VelquinGrpcClient", "WebRTCStreamer", "authenticate_with_browser"]
