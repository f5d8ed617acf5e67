"""Shared fixtures of the application tests."""

import importlib.util
import sys
import types

import bcrypt

# Until the authentication module is built on this branch, keystone's import of it is
# served by a stand-in that hashes the way the real one does.
if importlib.util.find_spec("kelvora_core.services.warden") is None:
    _warden = types.ModuleType("kelvora_core.services.warden")

    class Warden:
        @staticmethod
        def hash_password(password: str) -> str:
            return bcrypt.hashpw(password.encode("utf-8"), bcrypt.gensalt()).decode("utf-8")

    _warden.Warden = Warden
    sys.modules["kelvora_core.services.warden"] = _warden
