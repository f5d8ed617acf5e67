"""Every name a native module reaches Python by resolves in the host package as it is now.

The modules read module globals, and attributes of them, by literal names; each module's copy of
the runtime notes those names as it is loaded (its function type's `_name_uses()`), so a rename in
the host package fails here, not when a test first reaches the call. The function-level imports
(`import_local`) are read from the source: every call must be written with literal texts.
"""

import builtins
import importlib
import importlib.util
import re
import types

import pytest

IMPORT_LOCAL = re.compile(r'import_local\(\s*\w+\s*,\s*"([^"]+)"\s*,\s*"([^"]+)"\s*\)')


def name_uses(module):
    """What the module's own copy of the runtime noted (a module holds other modules' functions too)."""
    functions = list(vars(module).values())
    functions += [value.__func__ if isinstance(value, (classmethod, staticmethod)) else value
                  for cls in vars(module).values() if isinstance(cls, type) and cls.__module__ == module.__name__
                  for value in vars(cls).values()]
    native = next(f for f in functions
                  if type(f).__name__ == "native_function" and f.__module__ == module.__name__)
    return type(native)._name_uses()


def unresolved_names(module, source):
    missing = []
    for name, attribute, line in name_uses(module):
        where = f"{source}:{line}" if line else source
        if name not in vars(module) and not hasattr(builtins, name):
            missing.append(f"{where}: global {name!r}")
        elif attribute is not None and not hasattr(vars(module).get(name, getattr(builtins, name, None)), attribute):
            missing.append(f"{where}: {name}.{attribute}")
    return missing


def unresolved_local_imports(module, source):
    with open(source, encoding="utf-8") as f:
        text = f.read()
    calls = IMPORT_LOCAL.findall(text)
    assert len(calls) == text.count("import_local("), f"{source}: an import_local call without literal texts"
    missing = []
    for origin, name in calls:
        try:
            imported = importlib.import_module(origin, module.__package__)
        except ImportError as error:
            missing.append(f"{source}: import_local {origin!r}: {error}")
            continue
        submodule = hasattr(imported, "__path__") and importlib.util.find_spec(f"{imported.__name__}.{name}")
        if not hasattr(imported, name) and not submodule:
            missing.append(f"{source}: import_local {origin!r} {name!r}")
    return missing


def test_every_name_the_modules_use_resolves(native_modules):
    missing = []
    for dotted, source in sorted(native_modules.items()):
        module = importlib.import_module(dotted)  # its import tables: a missing name fails here
        assert isinstance(module, types.ModuleType)
        missing += unresolved_names(module, source) + unresolved_local_imports(module, source)
    assert not missing, "names the native modules use but the host package lacks:\n" + "\n".join(missing)


@pytest.mark.parametrize("rename", ["query_columns_first", "QueryService"])
def test_a_renamed_host_name_is_caught(rename, native_modules, monkeypatch):
    from kelvora_core.services import query_service, warden

    if rename == "QueryService":
        monkeypatch.delattr(warden, "QueryService")
    else:
        monkeypatch.delattr(query_service.QueryService, rename)
    source = native_modules["kelvora_core.services.warden"]
    assert any(rename in entry for entry in unresolved_names(warden, source))
