"""Fixtures of the Python tests: a configuration that loads this build's
plugins (never the installed ones), and reproducible data."""
import os
import random
from pathlib import Path

import pytest

import mirt


def _plugin_dir() -> Path:
    given = os.environ.get("MIRT_TEST_PLUGIN_DIR")
    # BUILD/python/mirt/__init__.py -> BUILD/plugins
    return Path(given) if given else Path(os.path.abspath(mirt.__file__)).parents[2] / "plugins"


@pytest.fixture(scope="session")
def config(tmp_path_factory) -> str:
    plugins = _plugin_dir()
    if not (plugins / "lzma2.so").exists():
        pytest.skip(f"plugins not built in {plugins}")
    path = tmp_path_factory.mktemp("config") / "test.conf"
    # Context mixing (slot 23) would make every compression slow.
    path.write_text(f"module_dir {plugins}\nall_modules on\nexclude_algorithm 23\n")
    return str(path)


@pytest.fixture(scope="session")
def opts(config):
    """Keyword arguments that keep a call to this build's configuration."""
    return {"config": config, "installed_config": False}


def log_text(size: int, seed: int = 1, long_every: int = 0, long_length: int = 0) -> bytes:
    """Log-like lines; with `long_every`, every so many lines one of
    `long_length` bytes."""
    rng = random.Random(seed)
    words = [b"GET", b"POST", b"/index.html", b"/api/v1/items", b"200", b"404", b"user",
             b"session", b"timeout", b"\xc3\xa9t\xc3\xa9", b"retry", b"cache"]
    lines, total, n = [], 0, 0
    while total < size:
        n += 1
        if long_every and n % long_every == 0:
            line = bytes(rng.choice(b"abcdefgh ") for _ in range(long_length)) + b"\n"
        else:
            line = b"2024-05-%02d %05d " % (n % 28 + 1, n) + b" ".join(
                rng.choice(words) for _ in range(rng.randint(1, 12))) + b"\n"
        lines.append(line)
        total += len(line)
    return b"".join(lines)[:size]


@pytest.fixture(scope="session")
def fast_opts(config, tmp_path_factory):
    """Zstandard alone: for tests about reading, where the codec does not matter."""
    path = tmp_path_factory.mktemp("config") / "fast.conf"
    path.write_text(f"module_dir {_plugin_dir()}\nmodule zstd\n")
    return {"config": str(path), "installed_config": False}
