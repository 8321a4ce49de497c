"""WebRTCStreamer: live camera video to the browser and its control channel."""
import asyncio
import concurrent.futures

from . import _core


async def _settled(start, *args):
    future = concurrent.futures.Future()
    start(*args, future)
    return await asyncio.wrap_future(future)


class WebRTCStreamer(_core.WebRTCStreamer):
    """One browser session's video tracks and "control" data channel.

    WebRTCStreamer(signaling_url, on_command=None, user_id=None)

    Signaling goes through the studio at signaling_url. Without a user_id
    the browser sign-in runs first. on_command(command) is called (on the
    streamer's own thread) for every command the browser sends; commands are
    also queued for wait_for_command(). connect(), wait_for_command() and
    close() are coroutines for any asyncio loop; update_camera_frame() and
    send_status() may be called from any thread. Read-only properties:
    user_id, signaling_url, is_connected, dataset_name, repo_id,
    selected_cameras.
    """

    async def connect(self, camera_names):
        """Offers one video track per camera and the control channel, and
        returns once the browser's answer has arrived."""
        await _settled(self._connect, list(camera_names))

    async def wait_for_command(self, timeout=None):
        """The next command, or None when `timeout` seconds pass first
        (None: wait for one)."""
        return await _settled(self._wait_for_command, timeout)

    async def close(self):
        """Closes the connection; the browser's values and queued commands stay."""
        await _settled(self._close)
