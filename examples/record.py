#!/usr/bin/env python3
"""Records two episodes with an SO-101 arm pair and two cameras, then has the
studio export them as a dataset. The follower copies the leader at 30 Hz.

  tessaline-studio &                      # a local studio (HTTP 8080, frames 50051)
  tessaline-rig --calibrated &            # virtual arms and cameras (writes rig-manifest.json)
  python3 examples/record.py --repo-id me/first-steps

--studio URL names the studio (default: $VELQUIN_HTTP_SERVER, else this
computer's, as started above) and --flight URL where its frames go
(default: $VELQUIN_GRPC_SERVER, else port 50051 of the studio's host); they
become VELQUIN_HTTP_SERVER, STUDIO_URL and VELQUIN_GRPC_SERVER, which
tessaline reads when it is imported.

Real arms: --leader-port /dev/ttyACM0 --follower-port /dev/ttyACM1 --camera front=0 --camera wrist=2
  --leader-id my_leader --follower-id my_follower
"""
import argparse, json, os, sys, time
from urllib.parse import urlsplit

cli = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
cli.add_argument("--studio", help="the studio's HTTP address")
cli.add_argument("--flight", help="the studio's Arrow Flight address for frames")
cli.add_argument("--repo-id", default="me/first-steps")
cli.add_argument("--seconds", type=float, default=5.0, help="length of each episode")
cli.add_argument("--leader-port"), cli.add_argument("--follower-port")
cli.add_argument("--leader-id", default="rig_leader"), cli.add_argument("--follower-id", default="rig_follower")
cli.add_argument("--camera", action="append", default=[], metavar="NAME=INDEX_OR_PATH")
cli.add_argument("--rig", default=os.environ.get("TESSALINE_VIRTUAL_HARDWARE", "rig-manifest.json"),
                 help="the virtual rig's manifest, for what is not given above")
args = cli.parse_args()
studio = args.studio or os.environ.get("VELQUIN_HTTP_SERVER", "http://127.0.0.1:8080")
flight = args.flight or (not args.studio and os.environ.get("VELQUIN_GRPC_SERVER")) or f"grpc://{urlsplit(studio).hostname}:50051"
os.environ["VELQUIN_HTTP_SERVER"] = os.environ["STUDIO_URL"] = studio
os.environ["VELQUIN_GRPC_SERVER"] = flight

import tessaline  # reads the studio's addresses now
from tessaline.robots import (OpenCVCameraConfig, SO101Follower, SO101FollowerConfig, SO101Leader, SO101LeaderConfig,
                              action_values, camera_key, frame_record)

rig = json.load(open(args.rig)) if not (args.leader_port and args.follower_port and args.camera) else {}
ports = {p["role"]: p["device"] for p in rig.get("ports", [])}
cameras = {c["name"]: OpenCVCameraConfig(c["index_or_path"]) for c in rig.get("cameras", [])}
cameras.update({n: OpenCVCameraConfig(int(v) if v.isdigit() else v) for n, v in (c.split("=", 1) for c in args.camera)})
FPS, frames = 30, int(args.seconds * 30)

with SO101Leader(SO101LeaderConfig(port=args.leader_port or ports["leader"], id=args.leader_id)) as leader, \
     SO101Follower(SO101FollowerConfig(port=args.follower_port or ports["follower"], id=args.follower_id,
                                       cameras=cameras)) as follower, \
     tessaline.VelquinSession([camera_key(n) for n in cameras], repo_id=args.repo_id, robot_type="so101_follower",
                              fps=FPS, user_id=os.environ.get("USER", "me")) as session:
    for episode in range(2):
        # The follower first goes to where the leader is (each command moves it
        # a little), so the episode does not begin with the jump there.
        for _ in range(FPS):
            follower.send_action(leader.get_action())
            time.sleep(1 / FPS)
        start = time.monotonic()
        for i in range(frames):
            record = frame_record(follower.get_observation(), timestamp=i / FPS)
            action = follower.send_action(leader.get_action())  # what the follower was sent, after its limits
            session.log_frame(record, action_values(action), episode_end=i == frames - 1)
            time.sleep(max(0.0, start + (i + 1) / FPS - time.monotonic()))
        if not session.end_episode():
            sys.exit(f"episode {episode + 1} could not be ended at the studio ({studio}); nothing more is recorded")
        print(f"episode {episode + 1}: {frames} frames")
print(f"{session.total_frame_count} frames sent; the studio exports them to {args.repo_id}")
