#!/usr/bin/env bash
# Compares the Windows build under Wine with the Linux build on this machine:
# bench/platform_speed.cpp built against each (build-test/ and
# build-windows/ static libraries, same flags), run in alternation ROUNDS
# times; prints per operation the median over the rounds of each build's
# median time and the ratio Windows / Linux, raw and against the anchor.
# Usage: scripts/bench_windows.sh [rounds]   (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-5}"
out=build-windows/speed
mkdir -p "$out"
g++ -O3 -ffp-contract=off -fopenmp -Iinclude -Ibuild-test/include bench/platform_speed.cpp \
  build-test/liblinalg_static.a -o "$out/speed_linux"
x86_64-w64-mingw32-g++-posix -O3 -ffp-contract=off -fopenmp -static -DLINALG_STATIC -Iinclude \
  -Ibuild-windows/include bench/platform_speed.cpp build-windows/liblinalg_static.a -o "$out/speed.exe"
export WINEPREFIX="$PWD/build-windows/wineprefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true' EXIT
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
for r in $(seq "$rounds"); do
  "$out/speed_linux" 5 > "$out/linux.$r"
  wine "$out/speed.exe" 5 | tr -d '\r' > "$out/windows.$r"
done
python3 - "$out" "$rounds" <<'PY'
import statistics, sys
out, rounds = sys.argv[1], int(sys.argv[2])
def load(kind):
    t = {}
    for r in range(1, rounds + 1):
        for line in open(f"{out}/{kind}.{r}"):
            f = line.split()
            t.setdefault(f[0], []).append((float(f[1]), float(f[3])))
    return t
lin, win = load("linux"), load("windows")
print(f"{'operation':26} {'Linux s':>10} {'Wine s':>10} {'raw':>7} {'anchored':>9}")
for op in lin:
    ls, ws = statistics.median(x[0] for x in lin[op]), statistics.median(x[0] for x in win[op])
    la, wa = statistics.median(x[1] for x in lin[op]), statistics.median(x[1] for x in win[op])
    print(f"{op:26} {ls:10.4f} {ws:10.4f} {ws / ls:7.3f} {wa / la:9.3f}")
PY
