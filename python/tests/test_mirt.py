"""The mirt package: one-shot calls, file objects, the index, errors, fsspec."""
import io
import os
import random
import threading
import time

import pytest

import mirt
from conftest import log_text

TEXT = log_text(400_000)
RANDOM = random.Random(7).randbytes(200_000)


@pytest.mark.parametrize("data", [b"", b"x", TEXT, RANDOM, b"\0" * 100_000],
                         ids=["empty", "one", "text", "random", "zeros"])
def test_round_trip_same_bytes_for_every_thread_count(data, opts):
    one = mirt.compress(data, threads=1, block_size=65536, **opts)
    assert mirt.compress(data, threads=2, block_size=65536, **opts) == one
    assert mirt.decompress(one, **opts) == data
    if len(data) > 1000 and data is not RANDOM:
        assert len(one) < len(data) // 2


def test_concatenated_containers_decode_as_one(opts):
    a, b = TEXT[:1000], TEXT[1000:5000]
    both = mirt.compress(a, **opts) + mirt.compress(b, **opts)
    assert mirt.decompress(both, **opts) == a + b


def _damaged(data: bytes, at: int) -> bytes:
    return data[:at] + bytes([data[at] ^ 0x5A]) + data[at + 1:]


@pytest.mark.parametrize("make, error", [
    (lambda z: z[: len(z) // 2], mirt.CorruptError),
    (lambda z: _damaged(z, len(z) - 10), mirt.CorruptError),
    (lambda z: b"plain text, not a container", mirt.FormatError),
    (lambda z: z + b"garbage", mirt.CorruptError),
], ids=["truncated", "damaged block", "not a container", "trailing garbage"])
def test_damaged_input_raises_with_the_library_message(make, error, opts):
    container = mirt.compress(TEXT[:100_000], block_size=65536, **opts)
    with pytest.raises(error) as caught:
        mirt.decompress(make(container), **opts)
    assert isinstance(caught.value, mirt.Error) and str(caught.value)
    assert caught.value.status < 0


def test_missing_configuration_is_a_config_error():
    with pytest.raises(mirt.ConfigError, match="no/such/file"):
        mirt.compress(b"x", config="/no/such/file.conf")


def test_codec_runs_without_the_gil(opts):
    data = log_text(1_000_000, seed=3)
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    thread = threading.Thread(target=tick)
    thread.start()
    start = time.monotonic()
    mirt.compress(data, threads=1, **opts)
    end = time.monotonic()
    stop.set()
    thread.join()
    assert sum(start < t < end for t in ticks) >= 5


@pytest.fixture(scope="module")
def container(tmp_path_factory, opts):
    path = tmp_path_factory.mktemp("container") / "log.mrt"
    with mirt.open(path, "wb", block_size=65536, **opts) as f:
        for at in range(0, len(TEXT), 100_000):
            f.write(TEXT[at:at + 100_000])
    return path


def test_file_object_reads_seeks_and_reads_as_text(container, opts):
    with mirt.open(container, **opts) as f:
        assert f.readable() and f.seekable()
        assert f.read() == TEXT
        rng = random.Random(5)
        for _ in range(20):
            at, n = rng.randrange(len(TEXT)), rng.randrange(300_000)
            assert f.seek(at) == at
            assert f.read(n) == TEXT[at:at + n]
            assert f.tell() == min(at + n, len(TEXT))
        assert f.seek(-100, io.SEEK_END) == len(TEXT) - 100
        assert f.read() == TEXT[-100:]
    with mirt.open(container, "rt", encoding="utf-8", **opts) as f:
        assert list(f) == TEXT.decode().splitlines(keepends=True)
    with io.TextIOWrapper(mirt.open(container, **opts), encoding="utf-8") as f:
        f.seek(0)
        assert f.read() == TEXT.decode()


def test_positioned_read_decodes_only_the_blocks_it_covers(container, opts):
    with mirt.open(container, **opts) as f:
        f.raw.seek(65536 * 3 + 100)
        assert f.raw.read(1000) == TEXT[65536 * 3 + 100:65536 * 3 + 1100]
        assert f.raw.blocks_decoded == 1


@pytest.mark.parametrize("kind", ["pipe", "bytesio", "descriptor"])
def test_readers_of_other_sources(kind, container, opts):
    data = container.read_bytes()
    if kind == "pipe":
        read_end, write_end = os.pipe()
        writer = threading.Thread(target=lambda: (os.write(write_end, data), os.close(write_end)))
        writer.start()
        with mirt.open(read_end, **opts) as f:
            assert not f.seekable()
            assert f.read() == TEXT
            with pytest.raises(io.UnsupportedOperation):
                f.seek(10)
        writer.join()
        os.close(read_end)
    elif kind == "bytesio":
        with mirt.open(io.BytesIO(data), **opts) as f:
            assert f.read(10) == TEXT[:10]
            f.seek(300_000)
            assert f.read(10) == TEXT[300_000:300_010]
    else:
        fd = os.open(container, os.O_RDONLY)
        with mirt.open(fd, **opts) as f:
            assert f.read() == TEXT
        os.fstat(fd)  # still open: the caller's
        os.close(fd)


def test_writing_to_a_file_object_and_abandoning_a_path(tmp_path, opts):
    out = io.BytesIO()
    with mirt.open(out, "wb", **opts) as f:
        f.write(TEXT[:50_000])
    assert mirt.decompress(out.getvalue(), **opts) == TEXT[:50_000]
    target = tmp_path / "half.mrt"
    with pytest.raises(RuntimeError):
        with mirt.open(target, "wb", **opts) as f:
            f.write(TEXT[:50_000])
            raise RuntimeError("stop")
    assert os.listdir(tmp_path) == []


def test_index_lists_every_block(container):
    idx = mirt.index(container)
    assert (idx.size, idx.block_size, idx.container_count) == (len(TEXT), 65536, 1)
    assert len(idx) == -(-len(TEXT) // 65536)
    blocks = idx.blocks
    assert [b.plain_offset for b in blocks] == list(range(0, len(TEXT), 65536))
    assert sum(b.plain_length for b in blocks) == len(TEXT)
    assert all(a.offset + a.stored_length < b.offset for a, b in zip(blocks, blocks[1:]))
    assert idx.find(65536 * 2 + 5) == 2 and idx.find(len(TEXT)) == len(idx)


def test_fsspec_infers_the_compression_from_the_extension(container, tmp_path, opts):
    import fsspec
    with fsspec.open(str(container), "rb", compression="infer") as f:
        assert f.read() == TEXT
    with fsspec.open(str(tmp_path / "w.mrt"), "wb", compression="mirt") as f:
        f.write(b"written through fsspec")
    assert mirt.decompress((tmp_path / "w.mrt").read_bytes()) == b"written through fsspec"
