"""Centralized configuration of the SDK.

Every value is read once from the environment variable of the same name
when the package is first imported; the values can be overridden by setting
the corresponding environment variables before that. Later changes to the
environment are not seen; assigning to an attribute here is, by everything
that reads the setting afterwards::

    tessaline.config.VELQUIN_HTTP_SERVER = "http://127.0.0.1:8080"

VELQUIN_HTTP_SERVER   the studio's HTTP API (signaling, episodes, export)
VELQUIN_GRPC_SERVER   the Arrow Flight location frames go to ("grpc://host:port")
STUDIO_URL            the studio web application (browser sign-in)
TURN_USERNAME         TURN relay user, or None
TURN_CREDENTIAL       TURN relay credential, or None
HF_HOME               the robot framework's cache folder (only to derive the next)
HF_LEROBOT_HOME       the folder of the saved set-up files
"""
import sys as _sys
import types as _types

from . import _core

_SETTINGS = ("VELQUIN_HTTP_SERVER", "VELQUIN_GRPC_SERVER", "STUDIO_URL", "TURN_USERNAME", "TURN_CREDENTIAL",
             "HF_HOME", "HF_LEROBOT_HOME")


def _setting(name):
    return property(lambda _module: _core._config_get(name),
                    lambda _module, value: _core._config_set(name, value),
                    doc=f"The {name} setting.")


class _ConfigModule(_types.ModuleType):
    """The settings as attributes of this module, kept in the library itself."""

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(_SETTINGS))


for _name in _SETTINGS:
    setattr(_ConfigModule, _name, _setting(_name))

_sys.modules[__name__].__class__ = _ConfigModule
