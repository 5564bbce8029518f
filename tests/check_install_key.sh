#!/bin/sh
# The option that puts a trusted key on a board with the daemon:
# -DUT_INSTALL_KEY=NAME.pub installs exactly that key into
# /etc/usb_tools/keys/ with the component `daemon`, nothing of it goes with
# `tool`, and a file that is no .pub is refused when the build is configured.
# Configures a scratch build of the source with the option and installs the
# programs of the build folder BUILD through it (nothing is compiled).
# Usage: check_install_key.sh CMAKE SOURCE BUILD
cmake=$1 source=$2 build=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/ut-install-key.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
status=0

printf 'untrusted comment: minisign public key 0102030405060708\nRWQBAgMEBQYHCAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n' >"$work/release.pub"
cp "$work/release.pub" "$work/release.key"

configure() { # KEY
  "$cmake" -S "$source" -B "$work/build" -G Ninja -DUT_BUILD_TESTS=OFF -DUT_BUILD_BENCH=OFF \
    -DUT_INSTALL_KEY="$1" >"$work/log" 2>&1
}

if configure "$work/release.key"; then
  echo "a key file not named .pub was taken" >&2
  status=1
elif ! grep -q 'is no .pub file' "$work/log"; then
  cat "$work/log" >&2
  echo "a key file not named .pub was refused without saying why" >&2
  status=1
fi
rm -rf "$work/build"

if ! configure "$work/release.pub"; then
  cat "$work/log" >&2
  echo "configuring with -DUT_INSTALL_KEY failed" >&2
  exit 1
fi
cp "$build/usb_tools" "$build/ut_pack" "$work/build/"
for component in daemon tool; do
  if ! DESTDIR="$work/$component" "$cmake" --install "$work/build" --prefix /usr \
      --component "$component" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    echo "cmake --install --component $component failed" >&2
    exit 1
  fi
done
if ! cmp -s "$work/release.pub" "$work/daemon/etc/usb_tools/keys/release.pub"; then
  echo "daemon: /etc/usb_tools/keys/release.pub is not the key given" >&2
  status=1
fi
if [ "$(find "$work/daemon/etc" ! -type d | wc -l)" -ne 1 ]; then
  echo "daemon: /etc holds more than the key:" >&2
  find "$work/daemon/etc" >&2
  status=1
fi
if [ -e "$work/tool/etc" ]; then
  echo "tool: /etc was installed" >&2
  status=1
fi
exit $status
