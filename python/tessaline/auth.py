"""Browser sign-in through a loopback callback."""
from . import _core


def authenticate_with_browser(frontend_url: str = "http://localhost:8787", callback_port: int = 8765) -> str:
    """Opens the studio's sign-in page in the browser and waits (up to 5
    minutes; Ctrl+C stops it) for the browser to call back on
    http://127.0.0.1:<callback_port>/callback with the user name. Returns
    the name, or "default" when none came."""
    return _core.authenticate_with_browser(frontend_url, callback_port)
