# The emulated board: a 32-bit ARM Linux kernel (Debian's armmp) under
# qemu-system-arm, a BusyBox initramfs, and a USB stick made from an image
# file. Sourced by scripts/board/board, scripts/test and the system tests;
# needs scripts/lib.sh sourced first (UT_ROOT, ut_log, ut_install_packages).
#
# What a boot looks like:
#   the kernel starts /init from the initramfs; init mounts /proc, /sys and
#   /dev, loads the USB and FAT modules in a fixed order, waits for the stick
#   the host attached, prints "@@ut-board ready", runs the scenario script
#   /board/scenario.sh, prints "@@ut-board exit N", unmounts the stick and
#   powers the board off. A watchdog powers it off after a time limit.
# Everything the board prints arrives on its serial console (ttyAMA0),
# which the host keeps as the transcript.

# Debian packages the board needs on the host, beside UT_PACKAGES.
UT_BOARD_PACKAGES=(qemu-system-arm dosfstools mtools fdisk e2fsprogs cpio gzip)

# Where downloads and unpacked parts are kept (ignored by git).
UT_BOARD_CACHE=${UT_BOARD_CACHE:-$UT_ROOT/.cache/board}
# The board's C library and the libraries a program may need.
UT_BOARD_SYSROOT=${UT_BOARD_SYSROOT:-/usr/arm-linux-gnueabihf}

# Kernel modules for the USB stick and vfat, in the order they are loaded.
# The kernel package has no modules.dep, so the order is the dependency
# order: host controller, SCSI disk, USB mass storage, FAT, code pages.
UT_BOARD_MODULES=(usbcore xhci-hcd xhci-pci scsi_common scsi_mod crc64 crc64-rocksoft
  crct10dif_common crc-t10dif t10-pi sd_mod usb-storage fat vfat nls_cp437 nls_ascii)

# Kernel modules for the board's own disk (boot --disk): the virtio disk
# /dev/vda, which the stick search never takes for a stick.
UT_BOARD_DISK_MODULES=(virtio_mmio virtio_blk)

# Default size of a stick image (MiB) and of the board's memory (MiB).
UT_BOARD_STICK_MB=${UT_BOARD_STICK_MB:-32}
UT_BOARD_MEMORY_MB=${UT_BOARD_MEMORY_MB:-256}

ut_board_die() {
  echo "board: $*" >&2
  return 1
}

# mkfs.vfat, sfdisk and mke2fs live in /usr/sbin, not always on PATH.
case ":$PATH:" in *:/usr/sbin:*) ;; *) PATH="$PATH:/usr/sbin:/sbin" ;; esac

# --- set-up of the host ---------------------------------------------------

# Adds armhf as a foreign architecture, refreshes the package lists when they
# do not know armhf packages yet, and installs the board's host packages.
# As root.
ut_board_setup_host() {
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    [ "$(id -u)" -eq 0 ] ||
      { ut_board_die "armhf is not a foreign architecture here; as root: dpkg --add-architecture armhf && apt-get update"; return 1; }
    ut_log "adding the armhf architecture to dpkg"
    dpkg --add-architecture armhf || return 1
    apt-get update -q || return 1
  elif [ -z "$(ut_board_kernel_package)" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -q || return 1
  fi
  ut_install_packages "${UT_BOARD_PACKAGES[@]}"
}

# ut_board_prepare: the set-up of the host and the fetch, then the check
# that a board can boot here; says so clearly and fails when it cannot.
ut_board_prepare() {
  if ! ut_board_setup_host; then
    ut_board_die "set-up of the host failed (armhf package lists, ${UT_BOARD_PACKAGES[*]}); as root: scripts/board/board setup"
    return 1
  fi
  if ! ut_board_fetch; then
    ut_board_die "fetching the kernel, BusyBox and libfaketime for armhf into $UT_BOARD_CACHE failed (network? apt-get update?)"
    return 1
  fi
  if ! ut_board_check || [ ! -f "$UT_BOARD_CACHE/faketime/libfaketime.so.1" ]; then
    ut_board_die "the emulated board cannot boot here (see above; libfaketime for armhf is needed too)"
    return 1
  fi
}

# ut_board_kernel_package: prints the name of the kernel package that
# linux-image-armmp:armhf depends on today (it changes with security updates).
# Prints nothing when apt does not know the package.
ut_board_kernel_package() {
  local depends
  depends=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null) || return 0
  echo "$depends" | sed -n 's/^ *Depends: *\(linux-image-[^ ]*\)$/\1/p' | head -n 1
}

# ut_board_download_unpack PACKAGE DIR: apt-get download of one package into
# the cache's debs/ folder, unpacked into DIR with dpkg -x.
ut_board_download_unpack() {
  local package=$1 dir=$2 debs="$UT_BOARD_CACHE/debs" log deb
  mkdir -p "$debs" "$dir" || return 1
  log="$debs/download.log"
  rm -f "$debs/${package%%:*}"_*.deb
  # Downloaded as the caller: apt's _apt sandbox user cannot write there.
  if ! (cd "$debs" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "$package") >"$log" 2>&1; then
    cat "$log" >&2
    ut_board_die "apt-get download $package failed"
    return 1
  fi
  deb=$(ls "$debs/${package%%:*}"_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || { ut_board_die "downloaded $package but found no .deb in $debs"; return 1; }
  dpkg -x "$deb" "$dir"
}

# Fetches the kernel, BusyBox and libfaketime for armhf into the cache,
# unless the cache already holds them. When the download is not possible (no
# network, no armhf package lists) a kernel already in the cache is kept.
ut_board_fetch() {
  mkdir -p "$UT_BOARD_CACHE/kernel" || return 1
  local package name tmp="$UT_BOARD_CACHE/unpack.$$"
  package=$(ut_board_kernel_package)
  name=${package%%:*}
  if [ -z "$package" ]; then
    ut_board_kernel_dir >/dev/null 2>&1 ||
      { ut_board_die "apt knows no linux-image-armmp:armhf (as root: scripts/board/board setup)"; return 1; }
    echo "board: apt knows no linux-image-armmp:armhf; the cached kernel $(cat "$UT_BOARD_CACHE/kernel/current") stays" >&2
  elif ! ut_board_kernel_complete "$UT_BOARD_CACHE/kernel/$name"; then
    ut_log "board: fetching $package"
    rm -rf "$tmp"
    if ut_board_download_unpack "$package" "$tmp" && ut_board_keep_kernel "$tmp" "$name"; then
      echo "$name" >"$UT_BOARD_CACHE/kernel/current"
      # Only the newest kernel is kept.
      find "$UT_BOARD_CACHE/kernel" -mindepth 1 -maxdepth 1 -type d ! -name "$name" -exec rm -rf {} +
    elif ut_board_kernel_dir >/dev/null 2>&1; then
      echo "board: $package could not be fetched; the cached kernel $(cat "$UT_BOARD_CACHE/kernel/current") stays" >&2
    else
      rm -rf "$tmp"
      return 1
    fi
    rm -rf "$tmp" "$UT_BOARD_CACHE"/debs/linux-image-*.deb
  else
    echo "$name" >"$UT_BOARD_CACHE/kernel/current"
  fi

  if [ ! -x "$UT_BOARD_CACHE/busybox/busybox" ]; then
    ut_log "board: fetching busybox-static:armhf"
    rm -rf "$tmp"
    ut_board_download_unpack busybox-static:armhf "$tmp" &&
      mkdir -p "$UT_BOARD_CACHE/busybox" &&
      cp "$tmp/bin/busybox" "$UT_BOARD_CACHE/busybox/busybox.part" &&
      mv "$UT_BOARD_CACHE/busybox/busybox.part" "$UT_BOARD_CACHE/busybox/busybox" ||
      { rm -rf "$tmp"; return 1; }
    rm -rf "$tmp"
  fi

  # libfaketime: boot --faketime, which the system tests use.
  if [ ! -f "$UT_BOARD_CACHE/faketime/libfaketime.so.1" ]; then
    ut_log "board: fetching libfaketime:armhf"
    rm -rf "$tmp"
    ut_board_download_unpack libfaketime:armhf "$tmp" &&
      mkdir -p "$UT_BOARD_CACHE/faketime" &&
      cp "$tmp/usr/lib/arm-linux-gnueabihf/faketime/libfaketime.so.1" "$UT_BOARD_CACHE/faketime/" ||
      echo "board: no libfaketime for armhf: boot --faketime and the system tests need it" >&2
    rm -rf "$tmp"
  fi
  return 0
}

# ut_board_keep_kernel UNPACKED NAME: keeps the kernel image and the modules
# of UT_BOARD_MODULES from an unpacked kernel package.
ut_board_keep_kernel() {
  local unpacked=$1 name=$2 dest="$UT_BOARD_CACHE/kernel/$2" module file image
  image=$(ls "$unpacked"/boot/vmlinuz-* 2>/dev/null | head -n 1)
  [ -n "$image" ] || { ut_board_die "no kernel image in $name"; return 1; }
  rm -rf "$dest"
  mkdir -p "$dest/modules" || return 1
  for module in "${UT_BOARD_MODULES[@]}" "${UT_BOARD_DISK_MODULES[@]}"; do
    file=$(find "$unpacked/lib/modules" -name "$module.ko" -o -name "${module//-/_}.ko" | head -n 1)
    [ -n "$file" ] || { ut_board_die "module $module not found in $name"; rm -rf "$dest"; return 1; }
    cp "$file" "$dest/modules/$module.ko" || return 1
  done
  # The image comes last: a folder with vmlinuz in it is complete.
  cp "$image" "$dest/vmlinuz.part" && mv "$dest/vmlinuz.part" "$dest/vmlinuz"
}

# ut_board_kernel_complete DIR: a cached kernel with every module the board
# loads (a cache from before a module was added is fetched again).
ut_board_kernel_complete() {
  local module
  [ -f "$1/vmlinuz" ] || return 1
  for module in "${UT_BOARD_MODULES[@]}" "${UT_BOARD_DISK_MODULES[@]}"; do
    [ -f "$1/modules/$module.ko" ] || return 1
  done
}

# ut_board_kernel_dir: prints the cached kernel's folder, or fails.
ut_board_kernel_dir() {
  local name
  name=$(cat "$UT_BOARD_CACHE/kernel/current" 2>/dev/null) || true
  [ -n "$name" ] && [ -f "$UT_BOARD_CACHE/kernel/$name/vmlinuz" ] ||
    { ut_board_die "no kernel in $UT_BOARD_CACHE (run scripts/board/board fetch)"; return 1; }
  echo "$UT_BOARD_CACHE/kernel/$name"
}

# ut_board_check: succeeds when a board can be booted here; otherwise says
# why on standard error.
ut_board_check() {
  command -v qemu-system-arm >/dev/null || { ut_board_die "qemu-system-arm is not installed"; return 1; }
  local tool
  for tool in mkfs.vfat fsck.fat mcopy mdir sfdisk mke2fs cpio gzip; do
    command -v "$tool" >/dev/null || { ut_board_die "$tool is not installed"; return 1; }
  done
  ut_board_kernel_dir >/dev/null || return 1
  [ -x "$UT_BOARD_CACHE/busybox/busybox" ] || { ut_board_die "no BusyBox in $UT_BOARD_CACHE (run scripts/board/board fetch)"; return 1; }
}

# --- stick images ------------------------------------------------------

# Start of the partition of a partitioned stick, in 512-byte sectors (1 MiB).
UT_BOARD_PART_START=2048

# ut_board_make_stick IMAGE LAYOUT [DIR] [SIZE_MB]: makes a stick image and
# copies the files and folders of DIR (if given) to the top of its file
# system. LAYOUT:
#   partitioned  an MBR partition table with one FAT partition (sda, sda1)
#   whole        FAT on the whole device, no partition table (sda alone)
#   ext2         an MBR partition table with one ext2 partition (sda, sda1):
#                a stick that vfat refuses
ut_board_make_stick() {
  local image=$1 layout=$2 dir=${3:-} size=${4:-$UT_BOARD_STICK_MB}
  [ -z "$dir" ] || [ -d "$dir" ] || { ut_board_die "no folder $dir"; return 1; }
  case $size in '' | *[!0-9]*) ut_board_die "stick size must be a number of MiB: $size"; return 1 ;; esac
  rm -f "$image"
  truncate -s "${size}M" "$image" || return 1
  local sectors=$((size * 2048))
  case $layout in
    partitioned)
      printf 'label: dos\nstart=%d, type=c\n' "$UT_BOARD_PART_START" |
        sfdisk --quiet "$image" >/dev/null || return 1
      mkfs.vfat --offset "$UT_BOARD_PART_START" -n USB_STICK "$image" \
        $(((sectors - UT_BOARD_PART_START) / 2)) >/dev/null || return 1
      ;;
    whole)
      mkfs.vfat -n USB_STICK "$image" >/dev/null || return 1
      ;;
    ext2)
      printf 'label: dos\nstart=%d, type=83\n' "$UT_BOARD_PART_START" |
        sfdisk --quiet "$image" >/dev/null || return 1
      local ext2=(mke2fs -q -F -t ext2 -E offset=$((UT_BOARD_PART_START * 512)))
      [ -z "$dir" ] || ext2+=(-d "$dir")
      "${ext2[@]}" "$image" $(((sectors - UT_BOARD_PART_START) / 2))k >/dev/null || return 1
      return 0
      ;;
    *)
      ut_board_die "unknown stick layout: $layout (partitioned, whole, ext2)"
      return 1
      ;;
  esac
  [ -z "$dir" ] || ut_board_stick_put "$image" "$dir"
}

# ut_board_stick_mtools_image IMAGE: prints the mtools image argument: IMAGE, or
# IMAGE@@OFFSET when the image holds a partition table.
ut_board_stick_mtools_image() {
  local image=$1 start
  start=$(sfdisk --dump "$image" 2>/dev/null | sed -n 's/.*start= *\([0-9][0-9]*\).*/\1/p' | head -n 1)
  if [ -n "$start" ]; then
    echo "$image@@$((start * 512))"
  else
    echo "$image"
  fi
}

# ut_board_stick_put IMAGE DIR: copies what DIR holds to the top of the
# stick's FAT file system (long names kept as they are).
ut_board_stick_put() {
  local image=$1 dir=$2 target entry
  target=$(ut_board_stick_mtools_image "$image")
  for entry in "$dir"/* "$dir"/.[!.]*; do
    [ -e "$entry" ] || continue
    mcopy -s -p -m -o -i "$target" "$entry" ::/ || return 1
  done
}

# ut_board_stick_ls IMAGE [PATH]: lists names below PATH (default the top),
# one a line, folders with a trailing "/", sorted.
ut_board_stick_ls() {
  local image=$1 path=${2:-/} target
  target=$(ut_board_stick_mtools_image "$image")
  # mdir -b prints full paths ("::/name", "::/sub/" for folders).
  local listing
  listing=$(mdir -b -i "$target" "::$path") || return 1
  [ -z "$listing" ] || echo "$listing" | sed 's|^::/*||' | sed "s|^${path#/}/*||" | LC_ALL=C sort
}

# ut_board_stick_get IMAGE PATH DEST: copies a file (or folder) from the
# stick to DEST on the host.
ut_board_stick_get() {
  local image=$1 path=$2 dest=$3 target
  target=$(ut_board_stick_mtools_image "$image")
  mcopy -s -n -i "$target" "::$path" "$dest"
}

# ut_board_stick_fsck IMAGE: checks the FAT file system of a stick without
# changing it (fsck.fat -n); fails when it was not cleanly unmounted or is
# damaged, printing what fsck.fat found.
ut_board_stick_fsck() {
  local image=$1 target offset part status=0
  target=$(ut_board_stick_mtools_image "$image")
  if [ "$target" = "$image" ]; then
    fsck.fat -n "$image"
    return
  fi
  offset=${target##*@@}
  # The partition is copied out beside the image.
  part="$image.fsck.$$"
  dd if="$image" of="$part" bs=1M iflag=skip_bytes skip="$offset" status=none &&
    fsck.fat -n "$part" || status=$?
  rm -f "$part"
  return "$status"
}

# --- the initramfs -------------------------------------------------------

# ut_board_cpio_console: writes a newc cpio archive that holds the folder
# dev/ and the device node dev/console (5, 1), so that the kernel can open
# the console for init before /dev is mounted (no root rights needed).
ut_board_cpio_console() {
  ut_board_cpio_entry 1 040755 0 0 dev
  ut_board_cpio_entry 2 020600 5 1 dev/console
  ut_board_cpio_entry 0 0 0 0 'TRAILER!!!'
}

# ut_board_cpio_entry INO MODE(octal) RMAJOR RMINOR NAME: one newc header
# with no data, padded to 4 bytes.
ut_board_cpio_entry() {
  local ino=$1 mode=$((8#$2)) major=$3 minor=$4 name=$5
  local namesize=$((${#name} + 1)) nlink=1
  [ "$mode" -ne 0 ] && [ $((mode & 8#040000)) -ne 0 ] && nlink=2
  printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%s\0' \
    "$ino" "$mode" 0 0 "$nlink" 0 0 0 0 "$major" "$minor" "$namesize" 0 "$name"
  local pad=$(((4 - (110 + namesize) % 4) % 4))
  head -c "$pad" /dev/zero
}

# ut_board_add_program ROOT ELF DEST: copies an armhf program (or library)
# to ROOT/DEST with the shared libraries it needs, taken from the board's
# C library in UT_BOARD_SYSROOT, and its program interpreter.
ut_board_add_program() {
  local root=$1 elf=$2 dest=$3
  [ -f "$elf" ] || { ut_board_die "no program $elf"; return 1; }
  mkdir -p "$root/$(dirname "$dest")"
  cp "$elf" "$root/$dest"
  chmod a+rx "$root/$dest"
  ut_board_add_needed "$root" "$elf"
}

ut_board_add_needed() {
  local root=$1 elf=$2 interp lib found
  interp=$(readelf -l "$elf" 2>/dev/null | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
  if [ -n "$interp" ] && [ ! -e "$root$interp" ]; then
    found=$(ut_board_find_lib "$(basename "$interp")") || return 1
    mkdir -p "$root$(dirname "$interp")"
    cp -L "$found" "$root$interp"
  fi
  for lib in $(readelf -d "$elf" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$root/lib/$lib" ] && continue
    found=$(ut_board_find_lib "$lib") || return 1
    mkdir -p "$root/lib"
    cp -L "$found" "$root/lib/$lib"
    ut_board_add_needed "$root" "$found" || return 1
  done
}

ut_board_find_lib() {
  local dir
  for dir in "$UT_BOARD_SYSROOT/lib" "$UT_BOARD_SYSROOT/lib/arm-linux-gnueabihf" \
    /usr/lib/arm-linux-gnueabihf /lib/arm-linux-gnueabihf; do
    [ -e "$dir/$1" ] && { echo "$dir/$1"; return 0; }
  done
  ut_board_die "library $1 for the board not found (is crossbuild-essential-armhf installed?)"
}

# ut_board_base_root ROOT: the board's own files: BusyBox, init, the guest
# helpers and the kernel modules.
ut_board_base_root() {
  local root=$1 kernel module
  kernel=$(ut_board_kernel_dir) || return 1
  mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,lib/modules,etc/board,proc,sys,dev,tmp,run,media,mnt,var,root,board}
  cp "$UT_BOARD_CACHE/busybox/busybox" "$root/bin/busybox"
  cp "$UT_ROOT/scripts/board/guest/init" "$root/init"
  cp "$UT_ROOT/scripts/board/guest/board.sh" "$root/board/board.sh"
  chmod 755 "$root/bin/busybox" "$root/init"
  : >"$root/etc/board/modules"
  for module in "${UT_BOARD_MODULES[@]}"; do
    cp "$kernel/modules/$module.ko" "$root/lib/modules/"
    echo "$module" >>"$root/etc/board/modules"
  done
  # No shadow or login: root is the only user of the board.
  echo 'root:x:0:0:root:/root:/bin/sh' >"$root/etc/passwd"
  echo 'root:x:0:' >"$root/etc/group"
}

# ut_board_add_usb_tools ROOT BUILD: installs the armhf build folder BUILD
# into ROOT the documented way (cmake --install, prefix /usr, the daemon
# and the tool components), with the libraries the programs need: the
# daemon, its start file /usr/sbin/usb_tools-start (what the inittab line
# runs), and the working folder /var/lib/usb_tools with the example
# c_log.ini, as a BusyBox board uses them.
ut_board_add_usb_tools() {
  local root=$1 build=$2 component log
  [ -f "$build/cmake_install.cmake" ] || { ut_board_die "$build is no configured build folder"; return 1; }
  for component in daemon tool; do
    log=$(DESTDIR="$root" cmake --install "$build" --prefix /usr --component "$component" 2>&1) ||
      { echo "$log" >&2; ut_board_die "cmake --install $build --component $component failed"; return 1; }
  done
  ut_board_usb_tools_ready "$root" usr/bin/ut_pack
}

# ut_board_add_usb_tools_deb ROOT DEB: the daemon as its Debian package
# (usb-tools, armhf) puts it on a board, unpacked with dpkg-deb, and the
# working folder with the package's example c_log.ini.
ut_board_add_usb_tools_deb() {
  local root=$1 deb=$2
  [ -f "$deb" ] || { ut_board_die "no package $deb"; return 1; }
  dpkg-deb -x "$deb" "$root" || { ut_board_die "dpkg-deb -x $deb failed"; return 1; }
  ut_board_usb_tools_ready "$root"
}

# ut_board_usb_tools_ready ROOT [PROGRAM...]: checks that the daemon and its
# start file are installed in ROOT, adds the libraries the daemon and the
# PROGRAMs need, and makes the working folder with the example c_log.ini.
ut_board_usb_tools_ready() {
  local root=$1 program
  shift
  for program in usr/sbin/usb_tools usr/sbin/usb_tools-start "$@"; do
    [ -x "$root/$program" ] || { ut_board_die "no /$program was installed"; return 1; }
  done
  for program in usr/sbin/usb_tools "$@"; do
    ut_board_add_needed "$root" "$root/$program" || return 1
  done
  install -d "$root/var/lib/usb_tools" &&
    install -m 644 "$root/usr/share/doc/usb-tools/examples/c_log.ini" \
      "$root/var/lib/usb_tools/c_log.ini"
}

# ut_board_add_suite ROOT ELF: the application suite of the board, played by
# one armhf program: /usr/bin/main, journaler and archiver are links to it,
# so that each runs under its own name.
ut_board_add_suite() {
  local root=$1 elf=$2 name
  ut_board_add_program "$root" "$elf" usr/libexec/ut-board/fake_app || return 1
  for name in main journaler archiver; do
    ln -sf ../libexec/ut-board/fake_app "$root/usr/bin/$name" || return 1
  done
}

# ut_board_pack_root ROOT OUT: packs ROOT as the initramfs OUT (gzip).
ut_board_pack_root() {
  local root=$1 out=$2
  {
    ut_board_cpio_console
    (cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet)
  } | gzip -1 >"$out"
}

# --- booting -------------------------------------------------------------

# ut_board_boot [options]: boots the board once and keeps its serial console
# in a transcript. Options:
#   --guest SCRIPT      shell script the board runs (as /board/scenario.sh)
#   --stick IMAGE       USB stick image (raw); without it no stick is attached
#   --disk IMAGE        a disk image (raw) of the board's own, attached as the
#                       virtio disk /dev/vda (never taken for a stick); it
#                       keeps what the board wrote from one boot to the next
#   --add SRC=DEST      a file or folder of the host put at DEST on the board
#   --program ELF=DEST  an armhf program put at DEST with its libraries
#   --usb-tools BUILD   the daemon as a board has it: the armhf build folder
#                       BUILD installed with cmake --install (prefix /usr,
#                       components daemon and tool), and the working folder
#                       /var/lib/usb_tools with the example c_log.ini
#   --usb-tools-deb DEB the same from the daemon's Debian package (usb-tools)
#   --stick-delay SECONDS  init as on a field board: usb-storage's delay_use
#                       is SECONDS and init does not wait for the stick's nodes
#   --suite ELF         the application suite main, journaler and archiver
#                       in /usr/bin, played by the armhf program ELF
#                       (tests/fake_app of the armhf build)
#   --faketime          put libfaketime on the board (board_start --speed)
#   --no-seed           boot without the random seed that QEMU passes in the
#                       device tree: the kernel's random pool starts empty,
#                       as on a board without a hardware random source
#   --memory MB         memory of the board (default UT_BOARD_MEMORY_MB)
#   --timeout SECONDS   the board's own watchdog for the script (default 120)
#   --transcript FILE   where the console goes (default: standard output)
#   --echo              with --transcript, also copy the console to stdout
#   --work DIR          folder for the initramfs, kept (default: a temporary
#                       one, removed afterwards)
# Returns 0 when the board powered itself off, 124 when the host had to
# stop it, another status when qemu or the set-up failed.
ut_board_boot() {
  local -A opt=([guest]="" [stick]="" [disk]="" [memory]=$UT_BOARD_MEMORY_MB [timeout]=120
    [transcript]="" [echo]=0 [faketime]=0 [usb-tools]="" [suite]="" [no-seed]=0
    [usb-tools-deb]="" [stick-delay]="")
  local work="" adds=() programs=()
  while [ $# -gt 0 ]; do
    case $1 in
      --guest | --stick | --disk | --memory | --timeout | --transcript | --usb-tools | --suite | \
        --usb-tools-deb | --stick-delay)
        [ $# -ge 2 ] || { ut_board_die "$1 needs a value"; return 1; }
        opt[${1#--}]=$2
        shift 2
        ;;
      --add) adds+=("$2"); shift 2 ;;
      --program) programs+=("$2"); shift 2 ;;
      --work) work=$2; shift 2 ;;
      --faketime | --echo | --no-seed) opt[${1#--}]=1; shift ;;
      *) ut_board_die "unknown option of boot: $1"; return 1 ;;
    esac
  done
  [ -n "${opt[guest]}" ] && [ -f "${opt[guest]}" ] || { ut_board_die "boot needs --guest SCRIPT"; return 1; }
  [ -z "${opt[stick]}" ] || [ -f "${opt[stick]}" ] || { ut_board_die "no stick image ${opt[stick]}"; return 1; }
  [ -z "${opt[disk]}" ] || [ -f "${opt[disk]}" ] || { ut_board_die "no disk image ${opt[disk]}"; return 1; }
  case ${opt[timeout]}${opt[memory]}${opt[stick-delay]} in
    *[!0-9]*) ut_board_die "--timeout, --memory and --stick-delay take whole numbers"; return 1 ;;
  esac
  ut_board_check || return 1

  local status=0
  if [ -n "$work" ]; then
    mkdir -p "$work" && ut_board_boot_in "$work" || status=$?
  else
    work=$(mktemp -d "${TMPDIR:-/tmp}/ut-board.XXXXXX") || return 1
    ut_board_boot_in "$work" || status=$?
    rm -rf "$work"
  fi
  return "$status"
}

# ut_board_boot_in WORK: the boot of ut_board_boot, with its options in opt,
# adds and programs, building the initramfs in WORK.
ut_board_boot_in() {
  local work=$1 root="$1/root" item
  rm -rf "$root" "$work/status"
  ut_board_base_root "$root" || return 1
  cp "${opt[guest]}" "$root/board/scenario.sh" || return 1
  echo "${opt[timeout]}" >"$root/etc/board/timeout"
  # The nodes init waits for before the script starts: the stick's disk
  # and, on a partitioned stick, its first partition.
  : >"$root/etc/board/stick"
  if [ -n "${opt[stick]}" ]; then
    if sfdisk --dump "${opt[stick]}" 2>/dev/null | grep -q 'start='; then
      echo "sda sda1" >"$root/etc/board/stick"
    else
      echo "sda" >"$root/etc/board/stick"
    fi
  fi
  if [ -n "${opt[disk]}" ]; then
    for item in "${UT_BOARD_DISK_MODULES[@]}"; do
      cp "$(ut_board_kernel_dir)/modules/$item.ko" "$root/lib/modules/" || return 1
      echo "$item" >>"$root/etc/board/modules"
    done
  fi
  for item in "${adds[@]}"; do
    local src=${item%%=*} dest=${item#*=}
    [ -e "$src" ] || { ut_board_die "nothing to add at $src"; return 1; }
    mkdir -p "$root/$(dirname "$dest")" && cp -r "$src" "$root/$dest" || return 1
  done
  for item in "${programs[@]}"; do
    ut_board_add_program "$root" "${item%%=*}" "${item#*=}" || return 1
  done
  if [ -n "${opt[usb-tools]}" ]; then
    ut_board_add_usb_tools "$root" "${opt[usb-tools]}" || return 1
  fi
  if [ -n "${opt[usb-tools-deb]}" ]; then
    ut_board_add_usb_tools_deb "$root" "${opt[usb-tools-deb]}" || return 1
  fi
  if [ -n "${opt[stick-delay]}" ]; then
    echo "${opt[stick-delay]}" >"$root/etc/board/stick_delay"
  fi
  if [ -n "${opt[suite]}" ]; then
    ut_board_add_suite "$root" "${opt[suite]}" || return 1
  fi
  if [ "${opt[faketime]}" -eq 1 ]; then
    [ -f "$UT_BOARD_CACHE/faketime/libfaketime.so.1" ] ||
      { ut_board_die "no libfaketime for armhf in the cache"; return 1; }
    ut_board_add_program "$root" "$UT_BOARD_CACHE/faketime/libfaketime.so.1" \
      lib/faketime/libfaketime.so.1 || return 1
  fi
  ut_board_pack_root "$root" "$work/initramfs.gz" || return 1

  local kernel qemu=()
  kernel=$(ut_board_kernel_dir) || return 1
  local machine=virt,highmem=off
  [ "${opt[no-seed]}" -eq 0 ] || machine+=,dtb-randomness=off
  qemu=(qemu-system-arm -M "$machine" -cpu cortex-a15 -smp 1 -m "${opt[memory]}"
    -nographic -monitor none -serial stdio -no-reboot -nic none
    -kernel "$kernel/vmlinuz" -initrd "$work/initramfs.gz"
    -append "console=ttyAMA0 quiet panic=-1 rdinit=/init")
  if [ -n "${opt[stick]}" ]; then
    qemu+=(-device qemu-xhci -drive "if=none,id=stick,file=${opt[stick]},format=raw"
      -device usb-storage,drive=stick)
  fi
  if [ -n "${opt[disk]}" ]; then
    qemu+=(-drive "if=none,id=disk,file=${opt[disk]},format=raw" -device virtio-blk-device,drive=disk)
  fi
  # The host's limit: the board's watchdog plus time to boot and power off.
  local limit=$((opt[timeout] + 90)) status=0
  if [ -z "${opt[transcript]}" ]; then
    timeout --kill-after=10 "$limit" "${qemu[@]}" </dev/null || status=$?
  elif [ "${opt[echo]}" -eq 1 ]; then
    { timeout --kill-after=10 "$limit" "${qemu[@]}" </dev/null || echo $? >"$work/status"; } |
      tee "${opt[transcript]}"
    [ ! -f "$work/status" ] || status=$(cat "$work/status")
  else
    timeout --kill-after=10 "$limit" "${qemu[@]}" </dev/null >"${opt[transcript]}" || status=$?
  fi
  return "$status"
}
