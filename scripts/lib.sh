# Shared pieces of the project's scripts. Sourced, not run.

# Debian packages the build and the tests need.
# PACKAGE:armhf is Debian's package of the board's architecture (multiarch).
UT_PACKAGES=(
  cmake ninja-build g++ binutils
  libgtest-dev googletest libbenchmark-dev libboost-dev
  crossbuild-essential-armhf qemu-user libbenchmark-dev:armhf
  python3 python3-pytest faketime util-linux sqlite3
  earlyoom valgrind clang libclang-rt-14-dev
  libsodium-dev libsodium-dev:armhf minisign cmark-gfm
  systemd
)
# Debian packages of the web step (scripts/web): emscripten, the source
# package tools and autotools for libsodium's source (it comes without its
# configure script), headless Chromium for the tests and ip for their network
# namespace without a network.
UT_WEB_PACKAGES=(emscripten dpkg-dev autoconf automake libtool iproute2
  chromium chromium-driver python3-selenium)

ut_log() { printf '\n==> %s  [%s]\n' "$*" "$(date +%T)"; }

# Installs the packages that are missing (as root, with apt-get).
ut_install_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "run as root, or install them with: apt-get install ${missing[*]}" >&2
    return 1
  fi
  ut_log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Packages of another architecture need it added to dpkg first.
  local arch
  for p in "${missing[@]}"; do
    arch=${p#*:}
    if [ "$arch" != "$p" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      dpkg --add-architecture "$arch"
    fi
  done
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Lanes: steps that run side by side. ut_lane NAME COMMAND... starts the
# command in the background, its lines (standard output and error) led by
# "[NAME] "; ut_wait_lanes waits for every lane started and fails when any
# of them failed, naming it.
UT_LANE_PIDS=()
UT_LANE_NAMES=()
ut_lane() {
  local name=$1
  shift
  (
    set -o pipefail
    ("$@") 2>&1 | sed -u "s/^/[$name] /"
  ) &
  UT_LANE_PIDS+=($!)
  UT_LANE_NAMES+=("$name")
}
ut_wait_lanes() {
  local status=0 i
  for i in "${!UT_LANE_PIDS[@]}"; do
    if ! wait "${UT_LANE_PIDS[$i]}"; then
      echo "lane ${UT_LANE_NAMES[$i]} failed" >&2
      status=1
    fi
  done
  UT_LANE_PIDS=()
  UT_LANE_NAMES=()
  return $status
}

# ut_configure DIR [cmake options...]: configures one build folder (at the
# top of the repository) the way CI builds it.
ut_configure() {
  local dir=$1
  shift
  cmake -S "$UT_ROOT" -B "$UT_ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUT_WERROR=ON "$@" >/dev/null
}

# ut_build DIR [cmake options...]: configures and builds one build folder.
ut_build() {
  ut_configure "$@"
  cmake --build "$UT_ROOT/$1"
}

UT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
UT_ARMHF_TOOLCHAIN="$UT_ROOT/cmake/arm-linux-gnueabihf.cmake"
