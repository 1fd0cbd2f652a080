"""Registers mirt with fsspec as the compression "mirt" (extension ".mrt").

fsspec has no plugin mechanism for compressions, so this runs from a .pth
file at interpreter start-up: it imports neither fsspec nor mirt, and only
registers once fsspec's compression table is loaded. mirt is imported the
first time a file is opened through it.
"""
import sys


def _open(infile, mode="rb", **kwargs):
    import mirt
    return mirt.open(infile, mode, **kwargs)


def _register(compression) -> None:
    try:
        compression.register_compression("mirt", _open, "mrt", force=True)
    except Exception:  # a registration must never break fsspec itself
        pass


class _Loader:
    """fsspec.compression's own loader, followed by the registration."""

    def __init__(self, loader) -> None:
        self._loader = loader

    def create_module(self, found):
        return self._loader.create_module(found)

    def exec_module(self, module) -> None:
        self._loader.exec_module(module)
        _register(module)

    def __getattr__(self, name):
        return getattr(self._loader, name)


class _Finder:
    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name != "fsspec.compression":
            return None
        for finder in sys.meta_path:
            find = getattr(finder, "find_spec", None)
            if finder is cls or find is None:
                continue
            found = find(name, path, target)
            if found is not None and found.loader is not None:
                found.loader = _Loader(found.loader)
                return found
        return None


def install() -> None:
    module = sys.modules.get("fsspec.compression")
    if module is not None:
        _register(module)
    elif _Finder not in sys.meta_path:
        sys.meta_path.insert(0, _Finder)


install()
