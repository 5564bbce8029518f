#!/bin/sh
# Makes the Debian packages of the build folder BUILD with `cpack -G DEB`
# into a temporary folder and fails unless there are exactly usb-tools (the
# daemon component) and ut-pack (the tool), each for ARCH, depending on the
# C library alone (libc6 (>= 2.34), written by hand), with exactly their
# files and programs of ARCH, nothing in /etc or /var (a board's own files
# are never in a package); and unless the daemon package's systemd unit
# passes `systemd-analyze verify` in the package's root, beside the host's
# own units (the targets the unit names).
# Usage: check_debs.sh CPACK BUILD ARCH
cpack=$1 build=$2 arch=$3
out=$(mktemp -d "${TMPDIR:-/tmp}/ut-debs.XXXXXX") || exit 1
trap 'rm -rf "$out"' EXIT
status=0
fail() {
  echo "$*" >&2
  status=1
}

if ! (cd "$out" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out/debs") \
  >"$out/log" 2>&1; then
  cat "$out/log" >&2
  echo "cpack -G DEB failed" >&2
  exit 1
fi
made=$(cd "$out/debs" && ls -- *.deb | LC_ALL=C sort | tr '\n' ' ')
[ "$made" = "usb-tools_8_${arch}.deb ut-pack_8_${arch}.deb " ] ||
  fail "packages made: $made"

case $arch in
  armhf) machine=ARM ;;
  amd64) machine=".*X86-64" ;;
  arm64) machine=AArch64 ;;
  *) machine= ;;
esac

# package NAME FILES...: the control fields and the files of one package.
package() {
  name=$1
  shift
  deb=$out/debs/${name}_8_${arch}.deb
  [ -f "$deb" ] || return
  fields=$(dpkg-deb -f "$deb" Package Version Architecture Depends)
  expected=$(printf 'Package: %s\nVersion: 8\nArchitecture: %s\nDepends: libc6 (>= 2.34)' \
    "$name" "$arch")
  [ "$fields" = "$expected" ] || fail "$name: control fields:
$fields
expected:
$expected"
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | LC_ALL=C sort | tr '\n' ' ')
  expected=$(printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' ')
  [ "$files" = "$expected" ] || fail "$name: files: $files
expected: $expected"
  root=$out/$name
  dpkg-deb -x "$deb" "$root" || fail "$name: dpkg-deb -x failed"
  for program in usr/sbin/usb_tools usr/bin/ut_pack; do
    [ -f "$root/$program" ] || continue
    [ -x "$root/$program" ] || fail "$name: /$program is not executable"
    if [ -n "$machine" ]; then
      readelf -h "$root/$program" | grep -Eq "Machine: +$machine" ||
        fail "$name: /$program is not a program for $arch"
    fi
  done
  echo "$name: $files"
}

package usb-tools ./usr/lib/systemd/system/usb_tools.service ./usr/sbin/usb_tools \
  ./usr/sbin/usb_tools-start ./usr/share/doc/usb-tools/examples/board \
  ./usr/share/doc/usb-tools/examples/c_log.ini \
  ./usr/share/doc/usb-tools/examples/default/usb_tools \
  ./usr/share/doc/usb-tools/examples/inittab
package ut-pack ./usr/bin/ut_pack

root=$out/usb-tools
if [ -d "$root" ]; then
  units=$root/usr/lib/systemd/system
  [ -d /usr/lib/systemd/system ] || fail "no systemd units on this machine (Debian: systemd)"
  cp -rn /usr/lib/systemd/system/. "$units/" 2>/dev/null
  if ! report=$(systemd-analyze verify --man=no --root="$root" usb_tools.service 2>&1) ||
    [ -n "$report" ]; then
    fail "systemd-analyze verify: $report"
  else
    echo "usb_tools.service: systemd-analyze verify passed"
  fi
fi
exit $status
