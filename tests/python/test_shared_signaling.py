"""Two studios sharing one PostgreSQL database relay for each other: the
robot's side talks to one, the browser's to the other, and the offer,
answer and candidates cross over exactly as through one studio; a restart
of the database costs the studios nothing but the moment it takes. Needs
TESSALINE_TEST_DB (CTest's python.shared_state sets it)."""
import json
import os
import subprocess
import urllib.request
from pathlib import Path

from conftest import Process


def database():
    lines = Path(os.environ["TESSALINE_TEST_DB_ENV"]).read_text().splitlines()
    return dict(line.split("=", 1) for line in lines if "=" in line)["TESSALINE_TEST_DB"]


def studio(tmp_path, name):
    process = Process([os.environ["TESSALINE_STUDIO"], "--http-port", "0", "--flight-port", "0",
                       "--data-dir", str(tmp_path / name), "--db", database()])
    return process.wait_for(r"HTTP API:\s+(http://\S+)", f"studio {name}").group(1)


def call(base, path, body=None):
    request = urllib.request.Request(base + path, method="POST" if body is not None else "GET",
                                     data=json.dumps(body).encode() if body is not None else None,
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as refused:
        return refused.code, json.load(refused)


def test_robot_and_browser_on_different_studios(tmp_path):
    robot, browser = studio(tmp_path, "a"), studio(tmp_path, "b")
    user = "?userId=shared"
    assert call(browser, "/webrtc/offer" + user) == (200, {"offerId": None})
    assert call(robot, "/webrtc/offer" + user, {"sdp": "v=0 offer", "type": "offer", "userId": "shared"})[0] == 200
    status, offer = call(browser, "/webrtc/offer" + user)
    assert offer["sdp"] == "v=0 offer" and offer["answered"] is False
    assert call(robot, "/webrtc/ice", {"sender": "robot", "candidate": "candidate:1", "sdpMid": "0", "userId": "shared"})[0] == 200
    assert call(browser, "/webrtc/answer", {"offerId": offer["offerId"], "sdp": "v=0 answer", "userId": "shared"})[0] == 200
    assert call(robot, "/webrtc/answer" + user)[1] == {"sdp": "v=0 answer", "type": "answer"}
    assert call(browser, "/webrtc/ice?receiver=browser&since=0&userId=shared")[1] == {
        "candidates": [{"candidate": "candidate:1", "sdpMid": "0", "sdpMLineIndex": None}], "nextSince": 1}
    # An answer to an offer that was replaced meanwhile (on the other studio) is refused.
    assert call(robot, "/webrtc/offer" + user, {"sdp": "v=0 second", "type": "offer", "userId": "shared"})[0] == 200
    assert call(browser, "/webrtc/answer", {"offerId": offer["offerId"], "sdp": "late", "userId": "shared"})[0] == 409
    assert call(browser, "/webrtc/ice?receiver=browser&since=0&userId=shared")[1]["candidates"] == []

    # The database restarts: both studios carry on with new connections.
    subprocess.run([str(Path(__file__).parents[1] / "storage" / "postgres_cluster.sh"), "restart",
                    str(Path(os.environ["TESSALINE_TEST_DB_ENV"]).parent)], check=True, timeout=120)
    status, offer = call(browser, "/webrtc/offer" + user)
    assert (status, offer["sdp"]) == (200, "v=0 second")
    assert call(browser, "/webrtc/answer", {"offerId": offer["offerId"], "sdp": "v=0 again", "userId": "shared"})[0] == 200
    assert call(robot, "/webrtc/answer" + user)[1]["sdp"] == "v=0 again"
