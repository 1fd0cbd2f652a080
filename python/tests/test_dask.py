"""mirt.dask on a real cluster: two worker processes of one thread each,
on 127.0.0.1, over one container in 64 KiB blocks."""
import pytest

distributed = pytest.importorskip("distributed")

import mirt
import mirt.dask
from conftest import log_text


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                  worker_dashboard_address="127.0.0.1:0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def log(tmp_path_factory, fast_opts):
    """About 3 MB of lines; every 40th line is 150,000 bytes (more than two
    blocks), and the last line has no newline."""
    plain = log_text(3_000_000, seed=11, long_every=40, long_length=150_000).rstrip(b"\n")
    path = tmp_path_factory.mktemp("dask") / "log.mrt"
    with mirt.open(path, "wb", block_size=65536, **fast_opts) as f:
        f.write(plain)
    assert mirt.index(path).block_size == 65536
    return path, plain


@pytest.mark.parametrize("blocks_per_partition", [1, 3, 16, 1000])
def test_read_text_gives_every_line_once_in_order(client, log, fast_opts, blocks_per_partition):
    path, plain = log
    bag = mirt.dask.read_text(str(path), blocks_per_partition=blocks_per_partition,
                              config=fast_opts["config"])
    blocks = len(mirt.index(path))
    assert bag.npartitions == -(-blocks // blocks_per_partition)
    lines = bag.compute()
    assert lines == plain.decode().splitlines(keepends=True)
    assert bag.count().compute() == plain.count(b"\n") + 1


def test_read_bytes_ranges_join_to_the_file(client, log, fast_opts):
    path, plain = log
    for delimiter in (None, b"\n"):
        [parts] = mirt.dask.read_bytes(str(path), blocks_per_partition=2, delimiter=delimiter,
                                       config=fast_opts["config"])
        pieces = distributed.get_client().compute(parts, sync=True)
        assert b"".join(pieces) == plain
        if delimiter:
            assert all(p.endswith(b"\n") for p in pieces[:-1] if p)
