#!/usr/bin/env python3
"""libmirt and its Python module against the command line and other tools,
in one run on this machine.

  bench/library.py [--build BUILD] [--size-mb 210] [--work DIR]

1. Dask: the line count of a log-like text of SIZE MB, compressed into one
   container in 1 MiB blocks, through mirt.dask.read_text on a local
   cluster of 1 and then 2 workers (one thread each), against
   dask.bag.read_text over one .gz and one .xz of the same text (which
   cannot be split) and over the plain text; every count equals wc -l.
2. One-shot decompression of the corpus (../shared/bench/corpus):
   mirt.decompress against `mirt -d`, CPU (user + system) and wall time.
3. Positioned reads: 1 MiB at random offsets of the container, each from a
   freshly opened file (index included), the blocks each decoded, and the
   time against a whole decode.

BUILD (default build/release) holds the mirt program, the plugins and the
Python module (BUILD/python); the installed configuration's directives
are used with this build's plugins.
"""
import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent.parent


def log_text(path: Path, size: int) -> None:
    """Web-server-like log lines, reproducible."""
    rng = random.Random(2024)
    paths = [f"/api/v{v}/{r}/{i}" for v in (1, 2) for r in ("items", "users", "orders", "search")
             for i in range(40)] + ["/", "/index.html", "/static/app.js", "/favicon.ico"]
    agents = ["Mozilla/5.0 (X11; Linux x86_64)", "curl/7.88.1", "Go-http-client/1.1",
              "Mozilla/5.0 (Windows NT 10.0; Win64; x64)", "python-requests/2.28"]
    statuses = [200] * 20 + [201, 204, 301, 304, 400, 401, 403, 404, 404, 500, 503]
    written, second = 0, 1_700_000_000
    with open(path, "w") as out:
        while written < size:
            lines = []
            for _ in range(10_000):
                second += rng.random() < 0.3
                ip = f"10.{rng.randrange(4)}.{rng.randrange(256)}.{rng.randrange(256)}"
                line = (f"{ip} - - [{time.strftime('%d/%b/%Y:%H:%M:%S', time.gmtime(second))} +0000] "
                        f"\"{rng.choice(('GET', 'GET', 'GET', 'POST', 'PUT'))} {rng.choice(paths)}"
                        f"?id={rng.randrange(100000)} HTTP/1.1\" {rng.choice(statuses)} "
                        f"{rng.randrange(200, 60000)} \"-\" \"{rng.choice(agents)}\" "
                        f"rt={rng.random() * 2:.3f}\n")
                lines.append(line)
            chunk = "".join(lines)
            out.write(chunk)
            written += len(chunk)


def cpu_of(command, **kwargs):
    """Runs a command; (cpu seconds of the child, wall seconds)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(command, check=True, **kwargs)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, wall)


def dask_counts(args, conf, container, gz, xz, plain):
    import dask.bag as db
    import distributed
    import mirt.dask

    jobs = {
        "mirt container": lambda: mirt.dask.read_text(str(container), blocks_per_partition=4,
                                                      config=conf).count(),
        "gzip (.gz)": lambda: db.read_text(str(gz)).count(),
        "xz (.xz)": lambda: db.read_text(str(xz)).count(),
        "plain text": lambda: db.read_text(str(plain), blocksize="4MiB").count(),
    }
    times = {}
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                      worker_dashboard_address="127.0.0.1:0") as cluster, \
                distributed.Client(cluster):
            jobs["mirt container"]().compute()  # workers import and load plugins
            for name, job in jobs.items():
                runs = []
                for _ in range(args.repeat):
                    start = time.monotonic()
                    count = job().compute()
                    runs.append(time.monotonic() - start)
                times[name, workers] = (min(runs), count)
    return times


def corpus_decompression(args, conf, mirt_bin, work):
    import mirt
    rows, totals = [], {"cli": [0.0, 0.0], "python": [0.0, 0.0]}
    for source in sorted(Path(args.corpus).iterdir()):
        packed = work / (source.name + ".mrt")
        subprocess.run([mirt_bin, "-m", conf, "-f", "-o", str(packed), str(source)], check=True,
                       stderr=subprocess.DEVNULL)
        data = packed.read_bytes()
        mirt.decompress(data, config=conf, installed_config=False)  # context and plugins
        best = {"cli": None, "python": None}
        for _ in range(args.repeat):
            cli = cpu_of([mirt_bin, "-m", conf, "-d", "-c", str(packed)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            start_cpu, start = time.process_time(), time.monotonic()
            plain = mirt.decompress(data, config=conf, installed_config=False)
            py = (time.process_time() - start_cpu, time.monotonic() - start)
            assert len(plain) == source.stat().st_size
            for name, value in (("cli", cli), ("python", py)):
                if best[name] is None or value[0] < best[name][0]:
                    best[name] = value
        for name in totals:
            totals[name][0] += best[name][0]
            totals[name][1] += best[name][1]
        rows.append((source.name, source.stat().st_size, len(data), best["cli"], best["python"]))
    return rows, totals


def positioned_reads(args, conf, container, whole_cpu, whole_wall):
    import mirt
    rng = random.Random(7)
    size = mirt.index(container).size
    rows = []
    for _ in range(args.reads):
        offset = rng.randrange(size - (1 << 20))
        start_cpu, start = time.process_time(), time.monotonic()
        with mirt.open(container, "rb", config=conf, installed_config=False) as f:
            f.raw.seek(offset)
            got = f.raw.read(1 << 20)
            decoded = f.raw.blocks_decoded
        rows.append((offset, len(got), decoded, time.process_time() - start_cpu,
                     time.monotonic() - start))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=str(HERE / "build" / "release"))
    parser.add_argument("--size-mb", type=int, default=210)
    parser.add_argument("--work", default=os.environ.get("BENCH_DIR", tempfile.gettempdir()))
    # ../shared beside the main checkout, also from a worktree one level deeper.
    corpora = [HERE.parent / "shared" / "bench" / "corpus",
               HERE.parent.parent / "shared" / "bench" / "corpus"]
    parser.add_argument("--corpus", default=os.environ.get(
        "CORPUS", str(next((c for c in corpora if c.is_dir()), corpora[0]))))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--reads", type=int, default=20)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    mirt_bin = str(build / "mirt")
    sys.path.insert(0, str(build / "python"))
    os.environ["PYTHONPATH"] = str(build / "python") + os.pathsep + os.environ.get("PYTHONPATH", "")
    work = Path(tempfile.mkdtemp(prefix="mirt-library.", dir=args.work))
    try:
        os.environ["HOME"] = str(work)  # no user configuration
        conf = str(work / "mirt.conf")
        Path(conf).write_text((HERE / "plugins" / "mirt.conf.in").read_text().replace(
            "@MIRT_INSTALLED_PLUGIN_DIR@", str(build / "plugins")))
        run(args, conf, mirt_bin, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(args, conf, mirt_bin, work):
    plain, container = work / "log.txt", work / "log.mrt"
    gz, xz = work / "log.txt.gz", work / "log.txt.xz"
    log_text(plain, args.size_mb * 1_000_000)
    size = plain.stat().st_size
    lines = int(subprocess.run(["wc", "-l", str(plain)], capture_output=True, text=True,
                               check=True).stdout.split()[0])
    made = {}
    made["mirt"] = cpu_of([mirt_bin, "-m", conf, "-b", "1048576", "-f", "-o", str(container),
                           str(plain)], stderr=subprocess.DEVNULL)
    with open(gz, "wb") as out:
        made["gzip -6"] = cpu_of(["gzip", "-6", "-c", str(plain)], stdout=out)
    with open(xz, "wb") as out:
        made["xz -6 -T2"] = cpu_of(["xz", "-6", "-T2", "-c", str(plain)], stdout=out)
    whole_cpu, whole_wall = cpu_of([mirt_bin, "-m", conf, "-d", "-c", str(container)],
                                   stdout=subprocess.DEVNULL)
    print(f"Load average before the runs: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores "
          "(wall-time speed-ups need an otherwise idle machine)")
    print(f"Text: {size / 1e6:.1f} MB, {lines} lines (wc -l)")
    for name, path in (("mirt", container), ("gzip -6", gz), ("xz -6 -T2", xz)):
        print(f"  {name:10} {path.stat().st_size / 1e6:8.1f} MB  ratio {size / path.stat().st_size:5.2f}"
              f"  compressed in {made[name][0]:6.1f} s cpu, {made[name][1]:6.1f} s wall")

    times = dask_counts(args, conf, container, gz, xz, plain)
    print("\nDask line count (wall seconds, best of", args.repeat, "runs):")
    print(f"  {'input':16} {'1 worker':>9} {'2 workers':>10} {'speed-up':>9}  count")
    for name in ("mirt container", "gzip (.gz)", "xz (.xz)", "plain text"):
        (one, count), (two, count2) = times[name, 1], times[name, 2]
        check = "= wc -l" if count == count2 == lines else f"WRONG ({count}, {count2})"
        print(f"  {name:16} {one:9.2f} {two:10.2f} {one / two:8.2f}x  {check}")

    rows, totals = corpus_decompression(args, conf, mirt_bin, work)
    print("\nOne-shot decompression of the corpus (best of", args.repeat, "runs, seconds):")
    print(f"  {'file':18} {'size':>9} {'packed':>9} {'cli cpu':>8} {'py cpu':>8} {'cli wall':>9} {'py wall':>8}")
    for name, size_, packed, cli, py in rows:
        print(f"  {name:18} {size_:9} {packed:9} {cli[0]:8.3f} {py[0]:8.3f} {cli[1]:9.3f} {py[1]:8.3f}")
    (cc, cw), (pc, pw) = totals["cli"], totals["python"]
    print(f"  {'total':18} {'':9} {'':9} {cc:8.3f} {pc:8.3f} {cw:9.3f} {pw:8.3f}")
    print(f"  Python / command line: cpu {pc / cc:.3f}, wall {pw / cw:.3f}")

    reads = positioned_reads(args, conf, container, whole_cpu, whole_wall)
    cpu = statistics.median(r[3] for r in reads)
    wall = statistics.median(r[4] for r in reads)
    print(f"\nPositioned reads of 1 MiB at {len(reads)} random offsets (a fresh open and index each):")
    print(f"  blocks decoded: at most {max(r[2] for r in reads)} "
          f"(counts {sorted(set(r[2] for r in reads))}); every read 1 MiB: "
          f"{all(r[1] == 1 << 20 for r in reads)}")
    print(f"  median {cpu * 1000:.1f} ms cpu, {wall * 1000:.1f} ms wall; whole decode (mirt -d) "
          f"{whole_cpu:.2f} s cpu, {whole_wall:.2f} s wall")
    print(f"  a read takes {100 * cpu / whole_cpu:.2f}% of a whole decode's cpu, "
          f"{100 * wall / whole_wall:.2f}% of its wall time")


if __name__ == "__main__":
    main()
