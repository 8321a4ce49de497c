from typing import Optional

VELQUIN_HTTP_SERVER: str
VELQUIN_GRPC_SERVER: str
STUDIO_URL: str
TURN_USERNAME: Optional[str]
TURN_CREDENTIAL: Optional[str]
HF_HOME: str
HF_LEROBOT_HOME: str
