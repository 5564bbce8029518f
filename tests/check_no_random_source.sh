#!/bin/sh
# Usage: check_no_random_source.sh NM PROGRAM [--expect-source]
# Fails when PROGRAM can read the kernel's random source: it calls getrandom
# or getentropy, carries libsodium's random source or its initialisation
# (which seeds that source), or names /dev/random or /dev/urandom. Its
# signature check must never wait for the entropy pool of a board early in
# its boot. PROGRAM must verify signatures (carry Ed25519 verification), so
# that a wrong program cannot pass; with --expect-source, fails when it has
# no random source (ut_pack, which makes keys, shows that the check finds one).
nm=$1
program=$2
expect=${3:-}
symbols=$("$nm" "$program")
if ! printf '%s\n' "$symbols" | grep -q " crypto_sign_ed25519_verify_detached\$"; then
  echo "$program does not verify signatures" >&2
  exit 2
fi
found=$(printf '%s\n' "$symbols" |
  grep -E ' (getrandom|getentropy|randombytes_[a-z_]+|sodium_init)(@.*)?$')
names=$(grep -a -o -E '/dev/u?random' "$program" | sort -u)
if [ -n "$found$names" ]; then
  echo "$program can read the kernel's random source:"
  printf '%s\n' "$found" $names
  [ "$expect" = "--expect-source" ] && exit 0
  exit 1
fi
echo "$program has no random source"
[ "$expect" = "--expect-source" ] && exit 1
exit 0
