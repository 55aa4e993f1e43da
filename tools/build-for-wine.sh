# Sourced by the scripts that run our programs by hand (bench.sh,
# run-service.sh): sets the machine up, picks the build this kernel can run,
# and builds the given targets in it.
#   source tools/build-for-wine.sh TARGET...
# Sets root (and goes there), preset, arch (the Wine prefix's) and bin.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash tools/setup.sh
preset=mingw arch=win32
if [ "$(bash tools/runs-32bit.sh)" = no ]; then
    # This kernel runs no 32-bit code: the 64-bit build of the same sources.
    preset=mingw-x64 arch=win64
fi
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target "$@"
bin=$root/build/$preset/bin
