#!/bin/sh
# A one-off correction for one board: sets the recorder's clock offset to
# the value in offset.txt and notes it in the board's service history. It
# must run on this one unit and only once: a second run would add the
# correction again.
#
# Sign it for the board and with a sequence number higher than any this key
# signed before, so that boards refuse it everywhere else and from its second
# time on (see "For one board, once" in the README):
#   build/ut_pack create --sign release.key --board RX-00042 --sequence 7 \
#       --scramble examples/set_board_clock command.f
here=$(dirname "$0")
settings=/home/velmarok/var

offset=$(cat "$here/offset.txt") || exit 1
case "$offset" in
    ''|*[!0-9-]*) echo "set_clock: offset.txt holds no number"; exit 1 ;;
esac
mkdir -p "$settings" || exit 1
# Written beside its place and renamed into it: a power cut leaves the old
# offset or the new one.
printf '%s\n' "$offset" > "$settings/clock_offset.tmp" &&
    mv "$settings/clock_offset.tmp" "$settings/clock_offset" || exit 1
echo "$(date -u +%Y-%m-%dT%H:%M:%SZ) clock offset set to $offset s" >> "$settings/service_history"
echo "set_clock: clock offset $offset s"
