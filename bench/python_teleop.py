#!/usr/bin/env python3
"""A teleoperation loop written in Python at 60 Hz on the virtual rig's
SO-101 arms, against the loop `tessaline teleoperate` runs (C++), in one
run: how late the ticks start (p99, ms). Rounds alternate so a busy moment
of the machine hits both sides.
  python_teleop.py BENCH_DIR BIN_DIR [SECONDS]    (build/bench build/bin)"""
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

bench_dir, bin_dir = Path(sys.argv[1]), Path(sys.argv[2])
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
FPS = 60


def python_loop(leader, follower):
    """The framework's teleoperation loop: observe, read the leader, send, wait for the next tick."""
    period, ticks = 1 / FPS, []
    next_tick = time.perf_counter()
    end = next_tick + seconds
    while next_tick < end:
        time.sleep(max(0.0, next_tick - time.perf_counter()))
        ticks.append(time.perf_counter())
        follower.get_observation()
        follower.send_action(leader.get_action())
        next_tick += period
    return [max(0.0, (b - a - period) * 1000) for a, b in zip(ticks, ticks[1:])]


def p99(values):
    return sorted(values)[len(values) * 99 // 100]


with tempfile.TemporaryDirectory() as scratch:
    home = Path(scratch) / "home"
    os.environ["HF_LEROBOT_HOME"] = str(home)
    manifest = Path(scratch) / "rig.json"
    rig = subprocess.Popen([str(bin_dir / "tessaline-rig"), "--calibrated", "--cameras", "0", "--leader-motion", "scripted",
                            "--manifest", str(manifest)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        for line in rig.stdout:
            if line.startswith("export TESSALINE_VIRTUAL_HARDWARE="):
                break
        ports = {p["role"]: p["device"] for p in json.loads(manifest.read_text())["ports"]}
        from tessaline.robots import SO101Follower, SO101FollowerConfig, SO101Leader, SO101LeaderConfig
        cxx_late, py_late = [], []
        for _ in range(3):
            out = subprocess.run([str(bench_dir / "python_reference"), "teleop", ports["leader"], ports["follower"], str(FPS),
                                  str(seconds)], capture_output=True, text=True, check=True, timeout=120)
            cxx_late += [float(v) for v in out.stdout.split()]
            with SO101Leader(SO101LeaderConfig(port=ports["leader"], id="rig_leader")) as leader, \
                    SO101Follower(SO101FollowerConfig(port=ports["follower"], id="rig_follower")) as follower:
                py_late += python_loop(leader, follower)
    finally:
        rig.terminate()
        rig.wait(timeout=30)

ratio = p99(py_late) / max(p99(cxx_late), 0.05)
print(f"teleoperation at {FPS} Hz on the rig, 3 rounds of {seconds:.0f} s each: "
      f"Python {len(py_late)} ticks, p99 late {p99(py_late):.2f} ms; C++ {len(cxx_late)} ticks, p99 late {p99(cxx_late):.2f} ms; "
      f"ratio {ratio:.2f} (goal <= 1.5, floor 0.05 ms)")
print(f"BENCH|Python teleop at 60 Hz: tick p99 late (ms)|{p99(py_late):.2f}|< 1.67|{'pass' if p99(py_late) < 1000 / FPS / 10 else 'FAIL'}")
print(f"BENCH|Python teleop tick p99 late vs C++ teleoperate|{ratio:.2f}|<= 1.50|{'pass' if ratio <= 1.5 else 'FAIL'}")
