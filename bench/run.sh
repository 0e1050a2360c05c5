#!/usr/bin/env bash
# Measures three goals and the peers, in one run, and gives a verdict on each
# goal:
#   1. render_ridge against a plain copy of an image (Google Benchmark),
#      goal: median at most 2.0 x the copy;
#   2. the whole tool as a process against bench/baseline.c, which only fills
#      its buffer with memset and writes the same number of bytes, the header
#      with one fprintf and the raster with one fwrite, then flushes and
#      closes with the same checks (hyperfine), goal: median at most 1.05 x
#      the baseline;
#   3. the tool's peak resident memory, goal: at most 1.05 x the baseline's,
#      measured with address-space randomisation off (setarch -R), which
#      otherwise moves the figure by several per cent from run to run;
# and times ImageMagick -fx and NumPy making the same picture, after checking
# that all three write the same raster bytes (it stops if they don't).
#   usage: bench/run.sh [BUILD_DIR]     (default out/build/release)
# Needs: a build with the benchmarks (the release preset; libbenchmark-dev),
# hyperfine, time (/usr/bin/time), setarch (util-linux), imagemagick,
# python3-numpy and binutils.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../out/build/release}" && pwd)
python=/usr/bin/python3
status=0

for need in hyperfine /usr/bin/time setarch convert nm "$build/RidgeTexture" "$build/bench/ridge_baseline" \
  "$build/bench/ridge_bench"; do
  command -v "$need" >/dev/null || { echo "missing: $need" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Same-length names, so both write headers of the same length.
mkdir "$work/tool" "$work/base" "$work/run"
cp "$build/RidgeTexture" "$work/tool/RidgeTexture"
cp "$build/bench/ridge_baseline" "$work/base/RidgeTexture"
cd "$work/run"

median() { # JSON file, then the number of the result in it
  "$python" -c 'import json, sys, statistics
r = json.load(open(sys.argv[1]))["results"][int(sys.argv[2])]
print(statistics.median(r["times"]))' "$@"
}
verdict() { # what, ratio, limit
  if "$python" -c 'import sys; sys.exit(not float(sys.argv[1]) <= float(sys.argv[2]))' "$2" "$3"; then
    printf '%-44s %6.3f x  (goal <= %s): met\n' "$1" "$2" "$3"
  else
    printf '%-44s %6.3f x  (goal <= %s): MISSED\n' "$1" "$2" "$3"
    status=1
  fi
}

echo "== Same picture from the tool, ImageMagick -fx and NumPy"
../tool/RidgeTexture && tail -c 196608 RidgeTexture.ppm > tool.rgb
convert -size 256x256 xc:black -fx 'd=abs(i-j); max(0, 255-d-d*d)/255' -depth 8 ppm:- |
  tail -c 196608 > magick.rgb
"$python" "$here/ridge_numpy.py" && tail -c 196608 RidgeTexture.ppm > numpy.rgb
# Timing programs that make different pictures would compare nothing.
for peer in magick numpy; do
  cmp tool.rgb $peer.rgb || { echo "the $peer raster differs from the tool's: stopping" >&2; exit 1; }
done
echo "all three rasters are identical"
../base/RidgeTexture
[[ $(stat -c %s RidgeTexture.ppm) == $((31 + 20 + 196608)) ]] || { echo "baseline wrote the wrong size" >&2; exit 1; }

echo
echo "== No heap allocation in the tool"
if bash "$here/../tests/imports.sh" "$build/RidgeTexture"; then
  echo "imports no malloc, calloc, realloc, free, operator new or delete"
else
  status=1
fi

echo
echo "== render_ridge against a copy of the image (Google Benchmark)"
"$build/bench/ridge_bench" --benchmark_repetitions=20 --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/gbench.json" --benchmark_out_format=json | grep -E 'median|Benchmark'
render_over_copy=$("$python" -c 'import json, sys
b = {x["run_name"]: x["real_time"] for x in json.load(open(sys.argv[1]))["benchmarks"]
     if x.get("aggregate_name") == "median"}
print(b["BM_render_ridge"] / b["BM_copy_image"])' "$work/gbench.json")

echo
echo "== Whole runs (hyperfine)"
# Start-up dominates a run and drifts with the machine's state, so the two
# are measured in alternating rounds and each median is taken over all its
# rounds' runs.
rounds=40
for round in $(seq $rounds); do
  pair=(-n RidgeTexture ../tool/RidgeTexture -n baseline ../base/RidgeTexture)
  ((round % 2)) || pair=(-n baseline ../base/RidgeTexture -n RidgeTexture ../tool/RidgeTexture)
  hyperfine -N --style none --warmup 20 --runs 100 --export-json "$work/round$round.json" "${pair[@]}" 2>/dev/null
done
"$python" - "$work" $rounds > "$work/runs.json" <<'PY'
import json, sys
pooled = {"RidgeTexture": [], "baseline": []}
for n in range(1, int(sys.argv[2]) + 1):
    for result in json.load(open(f"{sys.argv[1]}/round{n}.json"))["results"]:
        pooled[result["command"]] += result["times"]
json.dump({"results": [{"times": pooled["RidgeTexture"]}, {"times": pooled["baseline"]}]}, sys.stdout)
PY
echo "$rounds rounds of 100 runs of each"
hyperfine -N --warmup 3 --runs 20 --export-json "$work/peers.json" \
  -n "ImageMagick -fx" "convert -size 256x256 xc:black -fx 'd=abs(i-j); max(0, 255-d-d*d)/255' -depth 8 ppm:RidgeTexture.ppm" \
  -n "NumPy" "$python $here/ridge_numpy.py"

echo
echo "== Peak resident memory, median of 21 runs (/usr/bin/time, setarch -R)"
peak() {
  for _ in $(seq 21); do setarch -R /usr/bin/time -f %M "$1" 2>&1 >/dev/null; done |
    sort -n | sed -n 11p
}
tool_kb=$(peak ../tool/RidgeTexture)
base_kb=$(peak ../base/RidgeTexture)
echo "RidgeTexture ${tool_kb} KiB, baseline ${base_kb} KiB"

echo
echo "== Medians"
t_tool=$(median "$work/runs.json" 0)
t_base=$(median "$work/runs.json" 1)
t_magick=$(median "$work/peers.json" 0)
t_numpy=$(median "$work/peers.json" 1)
"$python" -c 'import sys
names = ["RidgeTexture", "baseline (memset + write)", "ImageMagick -fx", "NumPy"]
times = [float(t) for t in sys.argv[1:]]
print("| Program | Median time | vs RidgeTexture |")
print("|---|---|---|")
for name, t in zip(names, times):
    print(f"| {name} | {t * 1000:.3f} ms | {t / times[0]:.2f} x |")' "$t_tool" "$t_base" "$t_magick" "$t_numpy"

echo
echo "== Goals"
verdict "render_ridge / copy of the image" "$render_over_copy" 2.0
verdict "whole run / baseline" "$("$python" -c 'import sys; print(float(sys.argv[1]) / float(sys.argv[2]))' "$t_tool" "$t_base")" 1.05
verdict "peak resident memory / baseline" "$("$python" -c 'import sys; print(int(sys.argv[1]) / int(sys.argv[2]))' "$tool_kb" "$base_kb")" 1.05
exit $status
