"""Ctrl+C in Python ends whatever blocking wait the library is in with
KeyboardInterrupt, promptly, and the session then closes cleanly: each
wait (a command, the browser's connection, the sign-in) in a script of
its own, interrupted as a terminal would."""
import signal
import time

import pytest

from conftest import python_script

SESSION = """
import os, time, tessaline
session = tessaline.VelquinSession(["observation.images.cam_front"], server_url=os.environ["STUDIO"], user_id="ctrl-c")
"""

WAITS = {
    "a command": "session.wait_for_command(timeout=120)",
    "the browser's connection": "session.connect(timeout=120)",
    "the sign-in": "tessaline.authenticate_with_browser('http://127.0.0.1:9', 8765)",
}


@pytest.mark.parametrize("waiting_for", list(WAITS))
def test_ctrl_c_ends_a_blocking_wait_and_the_session_closes(studio, waiting_for):
    script = python_script(SESSION + f"""
try:
    print("waiting", flush=True)
    {WAITS[waiting_for]}
    print("the wait ended by itself", flush=True)
except KeyboardInterrupt:
    began = time.monotonic()
    session.close(export=False)
    print(f"closed cleanly in {{time.monotonic() - began:.2f}} s", flush=True)
""", {"STUDIO": studio.base, "BROWSER": "true"})
    script.wait_for("waiting", "the script waiting")
    time.sleep(0.5)  # well inside the wait
    interrupted = time.monotonic()
    script.child.send_signal(signal.SIGINT)
    assert script.wait(timeout=60) == 0, script.read()
    took = time.monotonic() - interrupted
    assert "closed cleanly" in script.read(), script.read()
    assert took < 20, f"{took:.1f} s from Ctrl+C to the end (the wait was for 120 s)"


def test_ctrl_c_in_a_with_block_closes_without_export_and_ends_the_program(studio):
    script = python_script(SESSION.replace("session = ", "made = ") + """
with made as session:
    print("waiting", flush=True)
    session.wait_for_command(timeout=120)
""", {"STUDIO": studio.base})
    script.wait_for("waiting", "the script waiting")
    time.sleep(0.5)
    script.child.send_signal(signal.SIGINT)
    assert script.wait(timeout=60) == -signal.SIGINT, script.read()  # as Python ends on an uncaught Ctrl+C
    assert "KeyboardInterrupt" in script.read()
    assert "Exporting dataset" not in script.read()
