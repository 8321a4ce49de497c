"""VelquinSession: one recording run's link to the operator's browser (live
video, commands, statuses) and to the studio (frames, episodes, export)."""
from . import _core
from ._awaitable import later


class VelquinSession(_core.VelquinSession):
    """One session with the operator's browser and the studio.

    VelquinSession(camera_names, repo_id="dataset", robot_type="unknown", fps=30,
                   server_url=None, user_id=None)

    camera_names are the camera keys ("observation.images.cam_front", ...);
    server_url defaults to config.VELQUIN_HTTP_SERVER. Without a user_id the
    browser sign-in runs first (it waits up to 5 minutes; Ctrl+C stops it).
    Nothing is connected and no thread started until connect().

    Use it from one thread. Its waits release the GIL, so other Python
    threads run meanwhile, and end with KeyboardInterrupt on Ctrl+C. Used as
    a context manager, it is closed on the way out: with the export when the
    block ended normally, without it after an exception (Ctrl+C included).

    Frames: log_frame(record, action) with a frame record as
    tessaline.robots.frame_record() makes it; images are lent, not copied —
    an image stays read-only while the session still uses it (a video
    track until it has sent it; the logging until the frame is encoded),
    so writing into it then raises ValueError instead of changing a frame
    being sent. A reused buffer: check image.flags.writeable before filling
    it; or pass a new array for each frame.

    Read-only properties: user_id, is_connected, dataset_name, repo_id,
    episode_index, episode_frame_count, total_frame_count, closed.
    """

    def connect(self, timeout: float = 15.0, blocking: bool = True):
        """Connects to the browser: offer, answer, then up to `timeout` seconds
        for the connection. True when connected (the status "waiting" is sent);
        False when the browser did not connect in time. With blocking=False,
        returns an awaitable doing the same."""
        if blocking:
            return self._connect(timeout)
        return later(self._connect, timeout)

    def wait_for_command(self, timeout: float = 1.0, blocking: bool = True):
        """The browser's next command ("start", "end", "end_episode",
        "retry_episode", "select_cameras", ...), or None after `timeout`
        seconds. With blocking=False, returns an awaitable."""
        if blocking:
            return self._wait_for_command(timeout)
        return later(self._wait_for_command, timeout)

    def close(self, export: bool = True, blocking: bool = True):
        """Sends the frames still queued, asks the studio to export the
        session's episodes (when `export` and frames were logged), and closes
        the browser connection. Calling it again does nothing. With
        blocking=False, returns an awaitable."""
        if blocking:
            return self._close(export)
        return later(self._close, export)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, traceback):
        self.close(export=exc_type is None)
        return False
