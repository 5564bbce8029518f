#!/bin/sh
# Fails unless every program given needs no shared library but the C library
# (the daemon must run on the board without the C++ runtime).
status=0
for program in "$@"; do
  needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  if [ "$needed" != "libc.so.6 " ]; then
    echo "$program needs: $needed" >&2
    status=1
  else
    echo "$program needs libc.so.6 alone"
  fi
done
exit $status
