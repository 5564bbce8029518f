#!/bin/sh
# Installs the build folder BUILD into a temporary DESTDIR the way a board
# image is made (cmake --install BUILD --prefix /usr) and fails unless that
# gives exactly the daemon in usr/sbin and ut_pack in usr/bin, executable and
# the same bytes as the build's programs.
# Usage: check_install.sh CMAKE BUILD
cmake=$1 build=$2
dest=$(mktemp -d "${TMPDIR:-/tmp}/ut-install.XXXXXX") || exit 1
trap 'rm -rf "$dest"' EXIT
if ! DESTDIR="$dest" "$cmake" --install "$build" --prefix /usr >"$dest.log" 2>&1; then
  cat "$dest.log" >&2
  rm -f "$dest.log"
  echo "cmake --install failed" >&2
  exit 1
fi
rm -f "$dest.log"

installed=$(cd "$dest" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
expected="usr/bin/ut_pack usr/sbin/usb_tools "
if [ "$installed" != "$expected" ]; then
  echo "installed: $installed" >&2
  echo "expected:  $expected" >&2
  exit 1
fi
status=0
for pair in usr/sbin/usb_tools=usb_tools usr/bin/ut_pack=ut_pack; do
  file=$dest/${pair%%=*} built=$build/${pair#*=}
  if [ ! -x "$file" ]; then
    echo "/${pair%%=*} is not executable" >&2
    status=1
  elif ! cmp -s "$file" "$built"; then
    echo "/${pair%%=*} differs from $built" >&2
    status=1
  else
    echo "/${pair%%=*}: $built"
  fi
done
exit $status
