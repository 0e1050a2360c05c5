#!/usr/bin/env python3
"""Measures four goals, and the peers, in one run, with a verdict on each goal.

1. render_ridge against a plain copy of an image (Google Benchmark): median
   of 20 repetitions at most 2.0 x the copy.
2. The whole tool as a process against bench/baseline.c, and 3. the tool
   under 'flock RidgeTexture.ppm' against it under a flock on another file
   (hyperfine): medians at most 1.05 x. Start-up dominates a run and the
   machine's speed drifts more than they differ, so all four are timed in 40
   rounds of 100 runs, in alternating order.
4. Peak resident memory against the baseline (/usr/bin/time; setarch -R, as
   address-space randomisation moves it by several per cent): median of 21
   runs at most 1.05 x.

First the tool and the peers it times, ImageMagick's -fx and NumPy, must
write the same raster: else there is nothing to compare.

usage: bench/run.py [BUILD_DIR]     (default out/build/release)
Needs the benchmarks built (the release preset, with libbenchmark-dev) and
Debian's hyperfine, time, util-linux, imagemagick and python3-numpy. Exits 1
when a goal is missed or the rasters differ, 2 when something is missing.
"""

import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
RASTER_BYTES = 256 * 256 * 3
# The peers, each making the same picture into RidgeTexture.ppm. NumPy is
# Debian's, under Debian's Python.
MAGICK = ["convert", "-size", "256x256", "xc:black",
          "-fx", "d=abs(i-j); max(0, 255-d-d*d)/255", "-depth", "8", "ppm:RidgeTexture.ppm"]
NUMPY = ["/usr/bin/python3", str(HERE / "ridge_numpy.py")]
ROUNDS = 40


def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def raster(command):
    """What COMMAND writes to RidgeTexture.ppm, less the header."""
    run(command)
    return Path("RidgeTexture.ppm").read_bytes()[-RASTER_BYTES:]


def hyperfine(*named_commands, runs, warmup):
    """Times each (name, command) with hyperfine; the times of each, by name."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        args = ["hyperfine", "-N", "--style", "none", "--warmup", str(warmup),
                "--runs", str(runs), "--export-json", out.name]
        for name, command in named_commands:
            args += ["-n", name, shlex.join(command)]
        run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return {r["command"]: r["times"] for r in json.load(open(out.name))["results"]}


def peak_kib(program):
    """Median peak resident memory of 21 runs, in KiB."""
    peaks = []
    for _ in range(21):
        done = run(["setarch", "-R", "/usr/bin/time", "-f", "%M", program],
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        peaks.append(int(done.stderr.split()[-1]))
    return statistics.median(peaks)


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else HERE / "../out/build/release").resolve()
    tool, baseline, bench = build / "RidgeTexture", build / "bench/ridge_baseline", build / "bench/ridge_bench"
    for need in ["hyperfine", "/usr/bin/time", "setarch", "flock", "convert", NUMPY[0], tool, baseline, bench]:
        if shutil.which(str(need)) is None:
            print(f"missing: {need}", file=sys.stderr)
            return 2

    work = Path(tempfile.mkdtemp())
    try:
        # Same-length names, so both write headers of the same length.
        for name, program in [("tool", tool), ("base", baseline)]:
            (work / name).mkdir()
            shutil.copy(program, work / name / "RidgeTexture")
        (work / "run").mkdir()
        return measure(work, bench)
    finally:
        shutil.rmtree(work)


def measure(work, bench):
    os.chdir(work / "run")
    tool, base = "../tool/RidgeTexture", "../base/RidgeTexture"
    status = 0

    print("== Same picture from the tool, ImageMagick -fx and NumPy")
    expected = raster([tool])
    size = Path("RidgeTexture.ppm").stat().st_size  # under a name as long as the baseline's
    for name, command in [("ImageMagick", MAGICK), ("NumPy", NUMPY)]:
        if raster(command) != expected:
            print(f"the {name} raster differs from the tool's: stopping", file=sys.stderr)
            return 1
    print("all three rasters are identical")
    run([base])
    if Path("RidgeTexture.ppm").stat().st_size != size:
        print("the baseline wrote a file of another size than the tool's", file=sys.stderr)
        return 1

    print("\n== render_ridge against a copy of the image (Google Benchmark)")
    gbench = work / "gbench.json"
    run([bench, "--benchmark_repetitions=20", "--benchmark_report_aggregates_only=true",
         f"--benchmark_out={gbench}", "--benchmark_out_format=json"], stdout=subprocess.DEVNULL)
    medians = {b["run_name"]: b["real_time"] for b in json.load(open(gbench))["benchmarks"]
               if b.get("aggregate_name") == "median"}
    for name, time in medians.items():
        print(f"{name:<20} median {time:8.3f} ns")
    render_over_copy = medians["BM_render_ridge"] / medians["BM_copy_image"]

    print("\n== Whole runs (hyperfine)")
    commands = [("RidgeTexture", [tool]), ("baseline", [base]),
                ("flock on the picture", ["flock", "RidgeTexture.ppm", tool]),
                ("flock elsewhere", ["flock", "../elsewhere.lock", tool])]
    pooled = {name: [] for name, _ in commands}
    for n in range(ROUNDS):
        times = hyperfine(*(commands if n % 2 == 0 else commands[::-1]), runs=100, warmup=20)
        for name in pooled:
            pooled[name] += times[name]
    print(f"{ROUNDS} rounds of 100 runs of each")
    peers = hyperfine(("ImageMagick -fx", MAGICK), ("NumPy", NUMPY), runs=20, warmup=3)

    print("\n== Peak resident memory, median of 21 runs (/usr/bin/time, setarch -R)")
    tool_kib, base_kib = peak_kib(tool), peak_kib(base)
    print(f"RidgeTexture {tool_kib} KiB, baseline {base_kib} KiB")

    print("\n== Medians")
    medians = {name: statistics.median(times) for name, times in (pooled | peers).items()}
    ours = medians["RidgeTexture"]
    print("| Program | Median time | vs RidgeTexture |\n|---|---|---|")
    for name, time in medians.items():
        print(f"| {name} | {time * 1000:.3f} ms | {time / ours:.2f} x |")

    print("\n== Goals")
    for what, ratio, goal in [
        ("render_ridge / copy of the image", render_over_copy, 2.0),
        ("whole run / baseline", ours / medians["baseline"], 1.05),
        ("under flock: on the picture / elsewhere",
         medians["flock on the picture"] / medians["flock elsewhere"], 1.05),
        ("peak resident memory / baseline", tool_kib / base_kib, 1.05),
    ]:
        met = ratio <= goal
        print(f"{what:<44} {ratio:6.3f} x  (goal <= {goal}): {'met' if met else 'MISSED'}")
        status = status if met else 1
    return status


if __name__ == "__main__":
    sys.exit(main())
