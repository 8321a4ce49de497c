"""VelquinGrpcClient: frame logging over Arrow Flight, and episode
boundaries over the studio's HTTP API."""
from . import _core


class VelquinGrpcClient(_core.VelquinGrpcClient):
    """Sends every logged frame to the studio as one Arrow record batch.

    VelquinGrpcClient(server_url="", user_id="default")

    An empty server_url means config.VELQUIN_GRPC_SERVER; "grpc://" is put in
    front of a location without it. log_robot_data() never waits: four
    workers encode the images (JPEG) and send; failures are printed, not
    raised. Then wait_pending(), end_episode() or reset_episode(), and at
    the end shutdown(). Attributes: user_id, repo_id (sent with
    end_episode), location, pending_count, frames_sent, frames_failed.

    log_robot_data(observation, action, episode_end=False, fps=None, robot_type=None):
    the observation is a frame record (tessaline.robots.frame_record());
    images are lent as VelquinSession's are. The action is a list of numbers
    (a tuple leaves the frame without one); fps and robot_type travel only
    with the episode-end frame.

    Used as a context manager, close() runs on the way out (the workers go on).
    """

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, traceback):
        self.close()
        return False
