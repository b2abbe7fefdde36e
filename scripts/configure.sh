# Sourced by the scripts: configures and builds the project into $BUILD_DIR.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

# configure_and_build [TARGET...]: the targets named, or everything.
configure_and_build() {
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build "$BUILD_DIR" -j2 --target "$@"
  else
    cmake --build "$BUILD_DIR" -j2
  fi
}
