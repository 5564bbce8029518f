#!/bin/sh
# Key rotation: puts the public keys this package carries (*.pub) into the
# board's folder of trusted keys and then removes the keys named in
# retire.txt. usb_tools runs it from its work list (row
# <0001>{rotate_keys.sh}) out of its temporary folder, as root, after it
# checked the package's signature with a key the board trusts today.
#
# Before packing, put the new public key(s) into this folder, list the keys
# to retire in retire.txt, and sign the package with a key the boards trust
# now (the old one):
#   cp release-2027.pub examples/key_rotation/
#   build/ut_pack create --sign release-2025.key --scramble examples/key_rotation command.f
#
# It never leaves a board without a key: nothing is removed unless a new key
# was installed, and a key is not removed when it is the last one. Each file
# is written beside its place and renamed into it, so a power cut leaves the
# old key or the new one, never half of one.
keys=/etc/usb_tools/keys
here=$(dirname "$0")

mkdir -p "$keys" || exit 1
installed=0
for new in "$here"/*.pub; do
    [ -f "$new" ] || continue
    name=$(basename "$new")
    # A public key file: a comment line and a key line.
    if [ "$(head -c 19 "$new")" != "untrusted comment: " ] || [ "$(wc -l <"$new")" -lt 2 ]; then
        echo "rotate_keys: $name is not a public key file: not installed"
        continue
    fi
    cp "$new" "$keys/.$name.new" && chmod 644 "$keys/.$name.new" &&
        mv "$keys/.$name.new" "$keys/$name" || exit 1
    echo "rotate_keys: key installed: $name"
    installed=$((installed + 1))
done
sync
if [ "$installed" -eq 0 ]; then
    echo "rotate_keys: no new key in the package: nothing retired"
    exit 1
fi

grep -v -e '^#' -e '^[[:space:]]*$' "$here/retire.txt" 2>/dev/null | while read -r old; do
    case $old in
        */* | .* | *[!A-Za-z0-9._-]*) echo "rotate_keys: $old is not a key file name"; continue ;;
    esac
    if [ -f "$here/$old" ]; then
        echo "rotate_keys: $old was just installed: kept"
    elif [ ! -e "$keys/$old" ]; then
        echo "rotate_keys: $old is not on this board"
    elif [ "$(ls "$keys" | grep -c '\.pub$')" -le 1 ]; then
        echo "rotate_keys: $old is the last key: kept"
    else
        rm -f "$keys/$old" && echo "rotate_keys: key retired: $old"
    fi
done
sync
echo "rotate_keys: keys now: $(ls "$keys" | grep '\.pub$' | tr '\n' ' ')"
