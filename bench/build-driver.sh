# Sourced by the benchmark scripts: installs what the project needs, builds
# one benchmark driver in Release (build/bench-release) and sets $root and
# $driver.
#
#   . "$(dirname "${BASH_SOURCE[0]}")/../build-driver.sh" <target> <bench subfolder>
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps"
build="$root/build/bench-release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target "$1" -j4 >/dev/null
driver="$build/bench/$2/$1"
