# Sourced by the scripts that run our programs by hand (bench.sh,
# run-service.sh): sets the machine up, picks the build this kernel can run
# (or the 64-bit one where preset=mingw-x64 is set before), and builds the
# given targets in it.
#   source tools/build-for-wine.sh TARGET...
# Sets root (and goes there), preset, arch (the Wine prefix's) and bin.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
if [ "${preset-}" = mingw-x64 ]; then
    bash tools/setup.sh --x64
else
    bash tools/setup.sh
    preset=mingw
    runs32=$(bash tools/runs-32bit.sh)
    # A kernel that runs no 32-bit code gets the 64-bit build of the same sources.
    [ "$runs32" = yes ] || preset=mingw-x64
fi
arch=win32
[ $preset = mingw ] || arch=win64
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target "$@"
bin=$root/build/$preset/bin
