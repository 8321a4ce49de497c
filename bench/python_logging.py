#!/usr/bin/env python3
"""Frame logging from Python against the same from C++, in one run: the
caller's cost of log_robot_data at a capture's pace (p90, goal <= 1.5x the
C++ caller's) and frames/s through the logging path (goal >= 0.95x C++).
Both send two 640x480 cameras to the same loopback Flight server; rounds
alternate so a busy moment of the machine hits both sides.
  python_logging.py BENCH_DIR [FRAMES]    (BENCH_DIR: build/bench)"""
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy

import tessaline

bench_dir = Path(sys.argv[1])
frames = int(sys.argv[2]) if len(sys.argv) > 2 else 150
reference = str(bench_dir / "python_reference")
KEYS = ["observation.images.cam_front", "observation.images.cam_wrist"]
ACTION = [0.1, 0.2, 0.3, 0.4, 0.5, 0.6]


def camera_image(camera, frame):
    """As the C++ side draws it: (x + 3y + 7c + 5 frame + 11 camera) mod 256."""
    y, x, c = numpy.ogrid[:480, :640, :3]
    return ((x + y * 3 + c * 7 + frame * 5 + camera * 11) % 256).astype(numpy.uint8)


def records(count):
    images = [[camera_image(camera, i) for camera in range(2)] for i in range(30)]
    return [{KEYS[0]: images[i % 30][0], KEYS[1]: images[i % 30][1],
             "state": numpy.full(6, 0.5, numpy.float32), "timestamp": i / 30} for i in range(count)]


def cxx(mode, port, count):
    out = subprocess.run([reference, mode, str(port), str(count)], capture_output=True, text=True, check=True, timeout=600)
    return [float(v) for v in out.stdout.split()]


def python_rate(port, logged):
    client = tessaline.VelquinGrpcClient(f"127.0.0.1:{port}", "bench")
    client.log_robot_data(logged[0], ACTION)  # connected before the clock starts
    client.wait_pending()
    began = time.perf_counter()
    for record in logged:
        client.log_robot_data(record, ACTION)
    client.shutdown()
    return len(logged) / (time.perf_counter() - began)


def python_paced(port, logged):
    client = tessaline.VelquinGrpcClient(f"127.0.0.1:{port}", "bench")
    client.log_robot_data(logged[0], ACTION)
    client.wait_pending()
    costs, tick = [], time.perf_counter()
    for record in logged:
        time.sleep(max(0.0, tick - time.perf_counter()))
        tick += 1 / 30
        began = time.perf_counter()
        client.log_robot_data(record, ACTION)
        costs.append((time.perf_counter() - began) * 1e6)
    client.shutdown()
    return costs


def p90(values):
    return sorted(values)[len(values) * 9 // 10]


server = subprocess.Popen([reference, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
try:
    port = int(server.stdout.readline())
    logged = records(frames)
    rates = []
    for _ in range(5):
        cxx_fps = cxx("rate", port, frames)[0]
        py_fps = python_rate(port, logged)
        rates.append((py_fps, cxx_fps))
    paced = min(frames, 90)
    cxx_costs, py_costs = [], []
    for _ in range(3):
        cxx_costs += cxx("paced", port, paced)
        py_costs += python_paced(port, logged[:paced])
finally:
    server.stdin.close()
    server.wait(timeout=30)

rate_ratio = statistics.median(p / c for p, c in rates)
cost_ratio = p90(py_costs) / p90(cxx_costs)
print(f"frames: {frames} per round, 2 cameras 640x480, 5 rounds")
print(f"frames/s: Python {statistics.median(p for p, _ in rates):.1f}, C++ {statistics.median(c for _, c in rates):.1f}; "
      f"ratio (median of rounds) {rate_ratio:.2f} (goal >= 0.95)")
print(f"log_robot_data caller cost at 30 frames/s, {len(py_costs)} calls each: Python median {statistics.median(py_costs):.1f} us, "
      f"p90 {p90(py_costs):.1f} us; C++ median {statistics.median(cxx_costs):.1f} us, p90 {p90(cxx_costs):.1f} us; "
      f"ratio {cost_ratio:.2f} (goal <= 1.5)")
print(f"BENCH|Python frame logging vs C++ (frames/s)|{rate_ratio:.2f}|>= 0.95|{'pass' if rate_ratio >= 0.95 else 'FAIL'}")
print(f"BENCH|Python log_robot_data caller p90 vs C++|{cost_ratio:.2f}|<= 1.50|{'pass' if cost_ratio <= 1.5 else 'FAIL'}")
