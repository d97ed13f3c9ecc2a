# Shared by the demo and the test command: Debian packages and the build.
ZELVANT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# What building and running need: all that the quick start installs.
ZELVANT_PACKAGES=(cmake g++ make pkg-config libplist-dev libunistring-dev gettext python3 libx11-dev xvfb
  libgtk2.0-dev python3-fonttools fonts-dejavu-core x11-apps netpbm)
# What the tests, the checks and the package stage add.
# libgtk-3-0 for the alert's GTK 3 dialog (GTK 2 comes with the client's libgtk2.0-dev).
ZELVANT_TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev xdotool x11-utils util-linux libgtk-3-0
  valgrind clang-tidy clang-format clang libclang-rt-14-dev
  dpkg-dev file lintian desktop-file-utils appstream man-db groff-base)

# Installs what is missing of ZELVANT_PACKAGES and the packages named, when
# root; otherwise says the one line to run.
ensure_packages() {
  local missing=()
  for package in "${ZELVANT_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing Debian packages. Run:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}

# Configures and builds one tree; extra arguments go to the configure step.
build_tree() {
  local dir=$1; shift
  cmake -S "$ZELVANT_ROOT" -B "$dir" "$@" >/dev/null && cmake --build "$dir" -j"$(nproc)"
}
