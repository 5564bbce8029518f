#!/bin/sh
# Usage: check_no_division.sh NM ARCHIVE MEMBER SYMBOL [--expect-calls]
# Fails when the object MEMBER of the static library ARCHIVE calls one of the
# runtime's division routines (64-bit or 32-bit) or of its 64-bit integer to
# floating-point conversions; with --expect-calls, fails when it calls none.
# SYMBOL must be defined in MEMBER, so that a wrong or empty object cannot
# pass either way.
nm=$1
archive=$2
member=$3
symbol=$4
expect_calls=${5:-}
symbols=$("$nm" -A "$archive" | grep ":$member:")
if ! printf '%s\n' "$symbols" | grep -q " T $symbol\$"; then
  echo "$member of $archive does not define $symbol" >&2
  exit 2
fi
calls=$(printf '%s\n' "$symbols" | grep -E ' U (__aeabi_u?[il]div(mod)?|__aeabi_uidiv|__u?(div|mod)di3|__udivmoddi4|__aeabi_u?l2[fd]|__aeabi_[fd]2u?lz)$')
if [ -n "$calls" ]; then
  echo "$member calls runtime division or conversion routines:"
  printf '%s\n' "$calls"
  [ "$expect_calls" = "--expect-calls" ] && exit 0
  exit 1
fi
echo "$member calls no runtime division or conversion routine"
[ "$expect_calls" = "--expect-calls" ] && exit 1
exit 0
