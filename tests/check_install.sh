#!/bin/sh
# Installs the build folder BUILD into temporary DESTDIRs the way a board
# image is made (cmake --install BUILD --prefix /usr), whole and by
# component, and fails unless that gives exactly: with `daemon` the daemon
# and its start files, and the examples of the board's own files under
# share/doc; with `tool` ut_pack; whole, both. The programs must be the
# build's, the start script executable.
# Usage: check_install.sh CMAKE BUILD
cmake=$1 build=$2
dest=$(mktemp -d "${TMPDIR:-/tmp}/ut-install.XXXXXX") || exit 1
trap 'rm -rf "$dest"' EXIT

daemon="usr/lib/systemd/system/usb_tools.service usr/sbin/usb_tools usr/sbin/usb_tools-start
usr/share/doc/usb-tools/examples/board usr/share/doc/usb-tools/examples/c_log.ini
usr/share/doc/usb-tools/examples/default/usb_tools usr/share/doc/usb-tools/examples/inittab"
tool="usr/bin/ut_pack"
status=0

# check NAME EXPECTED [cmake --install options]
check() {
  name=$1 expected=$(printf '%s\n' $2 | LC_ALL=C sort | tr '\n' ' ')
  shift 2
  root=$dest/$name
  if ! DESTDIR="$root" "$cmake" --install "$build" --prefix /usr "$@" >"$dest/log" 2>&1; then
    cat "$dest/log" >&2
    echo "cmake --install $* failed" >&2
    status=1
    return
  fi
  installed=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
  if [ "$installed" != "$expected" ]; then
    echo "$name: installed: $installed" >&2
    echo "$name: expected:  $expected" >&2
    status=1
    return
  fi
  for pair in usr/sbin/usb_tools=usb_tools usr/bin/ut_pack=ut_pack; do
    file=$root/${pair%%=*} built=$build/${pair#*=}
    [ -e "$file" ] || continue
    if [ ! -x "$file" ]; then
      echo "$name: /${pair%%=*} is not executable" >&2
      status=1
    elif ! cmp -s "$file" "$built"; then
      echo "$name: /${pair%%=*} differs from $built" >&2
      status=1
    fi
  done
  if [ -e "$root/usr/sbin/usb_tools-start" ] && [ ! -x "$root/usr/sbin/usb_tools-start" ]; then
    echo "$name: /usr/sbin/usb_tools-start is not executable" >&2
    status=1
  fi
  echo "$name: $installed"
}

check whole "$daemon $tool"
check daemon "$daemon" --component daemon
check tool "$tool" --component tool
exit $status
