# Helpers for the scripts that run on the board (BusyBox sh). init sources
# this file, and a scenario script starts with:   . /board/board.sh
#
# The host reads these lines of the console:
#   @@ut-board begin NAME          a section's text follows
#   @@ut-board file PATH           inside a section: the next lines are PATH
#   @@ut-board end NAME STATUS     the section ends; STATUS of its command
#   @@ut-board note TEXT           a remark of the script
#   @@ut-board ready UPTIME        init starts the scenario script
#   @@ut-board exit STATUS         the scenario script ended with STATUS
#   @@ut-board timeout SECONDS     the board's watchdog stopped the script
# A section's text is printed only after its command has finished, so the
# output of programs still running cannot mix into it.

BOARD_PID=""
BOARD_STATUS=""

# board_note TEXT...
board_note() {
    echo "@@ut-board note $*"
}

# board_section NAME COMMAND [ARG...]: runs COMMAND, then prints its
# standard output and standard error as the section NAME. Returns the
# command's status.
board_section() {
    local _name=$1 _out _status
    shift
    _out=$(mktemp /tmp/board-section.XXXXXX)
    "$@" >"$_out" 2>&1
    _status=$?
    echo "@@ut-board begin $_name"
    board_print_file "$_out"
    echo "@@ut-board end $_name $_status"
    rm -f "$_out"
    return "$_status"
}

# board_print_file FILE: prints FILE; a text without a final newline still
# ends its last line, so that the next marker stands on its own line.
board_print_file() {
    cat "$1"
    [ -n "$(tail -c 1 "$1")" ] && echo
    return 0
}

# board_files FILE...: prints each file that exists, after a line
# "@@ut-board file PATH" (for use inside board_section).
board_files() {
    local _f
    for _f in "$@"; do
        [ -f "$_f" ] || continue
        echo "@@ut-board file $_f"
        board_print_file "$_f"
    done
    return 0
}

# board_wait_for TENTHS COMMAND [ARG...]: runs COMMAND every tenth of a
# second until it succeeds (0) or TENTHS tries have failed (1).
board_wait_for() {
    local _tries=$1
    shift
    while [ "$_tries" -gt 0 ]; do
        "$@" >/dev/null 2>&1 && return 0
        _tries=$((_tries - 1))
        sleep 0.1
    done
    return 1
}

# board_has_text TEXT FILES: 0 when one of FILES holds TEXT. FILES is one
# word of paths or patterns, expanded here, for example '/var/app/logs/*.log'.
board_has_text() {
    # shellcheck disable=SC2086 # FILES is split and expanded on purpose.
    grep -qF -- "$1" $2 2>/dev/null
}

# board_wait_text SECONDS TEXT FILES: waits until one of FILES (as for
# board_has_text, expanded anew on every try, so that files made meanwhile
# count) holds TEXT (0) or SECONDS have passed (1).
board_wait_text() {
    board_wait_for $(($1 * 10)) board_has_text "$2" "$3"
}

# board_log_settings DIR LEVEL: writes DIR/c_log.ini for the daemon's log
# module: LEVEL, 5 files of at most 1 MiB.
board_log_settings() {
    mkdir -p "$1"
    printf 'level = %d\nrotate = 5\nmax_size = 1mb\n' "$2" >"$1/c_log.ini"
}

# board_start [--speed N] DIR COMMAND [ARG...]: starts COMMAND in the
# background with DIR as its working folder, its standard output and error
# in DIR/board_start.out. With --speed N its sleep() and usleep() calls last
# N times shorter (libfaketime; the board must be booted with --faketime).
# Sets BOARD_PID.
board_start() {
    local _speed="" _dir
    if [ "$1" = "--speed" ]; then
        _speed=$2
        shift 2
    fi
    _dir=$1
    shift
    mkdir -p "$_dir"
    if [ -n "$_speed" ]; then
        if [ ! -f /lib/faketime/libfaketime.so.1 ]; then
            board_note "no libfaketime on the board: --speed $_speed ignored"
            _speed=""
        fi
    fi
    if [ -n "$_speed" ]; then
        (cd "$_dir" && LD_PRELOAD=/lib/faketime/libfaketime.so.1 FAKETIME="+0 x$_speed" \
            NO_FAKE_STAT=1 exec "$@") >"$_dir/board_start.out" 2>&1 &
    else
        (cd "$_dir" && exec "$@") >"$_dir/board_start.out" 2>&1 &
    fi
    BOARD_PID=$!
}

# board_clock_forward SECONDS: sets the board's clock SECONDS ahead, so that
# files made before look that much older (sleeps are not affected).
board_clock_forward() {
    date -s "@$(($(date +%s) + $1))" >/dev/null
}

board_running() {
    kill -0 "$1" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null
}

board_ended() {
    ! board_running "$1"
}

# board_wait_exit PID SECONDS: waits for the process PID, a child of this
# shell, to end. 0 and its exit status in BOARD_STATUS when it ended; 1 when
# it still runs after SECONDS.
board_wait_exit() {
    BOARD_STATUS=""
    board_wait_for $(($2 * 10)) board_ended "$1" || return 1
    wait "$1"
    BOARD_STATUS=$?
    return 0
}

# board_stop PID: ends the process PID (TERM, then KILL after 2 seconds)
# and collects it. Its status in BOARD_STATUS.
board_stop() {
    kill "$1" 2>/dev/null
    board_wait_for 20 board_ended "$1" || kill -9 "$1" 2>/dev/null
    wait "$1"
    BOARD_STATUS=$?
}

# board_log_files DIR: prints the log files DIR/logs/*.log in the order of
# their numbers (common-DD-MM-YYYY-N.log), each after its "file" line.
board_log_files() {
    local _f _n
    for _f in "$1"/logs/*.log; do
        [ -f "$_f" ] || continue
        _n=${_f##*-}
        echo "${_n%.log} $_f"
    done | sort -n | while read -r _n _f; do
        board_files "$_f"
    done
}

# board_text_or_end TEXT FILES PID: 0 when one of FILES holds TEXT or the
# process PID has ended.
board_text_or_end() {
    board_has_text "$1" "$2" || board_ended "$3"
}

# board_run_logged [--speed N] DIR SECONDS TEXT COMMAND [ARG...]: runs a
# program the way the board's init starts a service: DIR as its working
# folder, with DIR/c_log.ini at level 3 unless the script wrote one. Waits
# until its log DIR/logs/*.log holds TEXT, the program ends, or SECONDS pass;
# then collects it (board_collect). Returns 0 when TEXT was seen, else 1.
board_run_logged() {
    local _speed="" _dir _limit _text _seen=1
    if [ "$1" = "--speed" ]; then
        _speed=$2
        shift 2
    fi
    _dir=$1 _limit=$2 _text=$3
    shift 3
    [ -f "$_dir/c_log.ini" ] || board_log_settings "$_dir" 3
    if [ -n "$_speed" ]; then
        board_start --speed "$_speed" "$_dir" "$@"
    else
        board_start "$_dir" "$@"
    fi
    board_wait_for $((_limit * 10)) board_text_or_end "$_text" "$_dir/logs/*.log" "$BOARD_PID"
    board_has_text "$_text" "$_dir/logs/*.log" && _seen=0
    board_collect "$_dir" "$BOARD_PID"
    return "$_seen"
}

# board_collect DIR PID: stops the program PID started by board_start in DIR
# if it still runs, and prints the sections
#   exit    its exit status, or "running" when it had to be stopped
#   log     its log files DIR/logs/*.log, oldest first
#   output  its standard output and error
board_collect() {
    if board_ended "$2"; then
        wait "$2"
        BOARD_STATUS=$?
        board_section exit echo "$BOARD_STATUS"
    else
        board_stop "$2"
        board_section exit echo running
    fi
    board_section log board_log_files "$1"
    board_section output board_print_file "$1/board_start.out"
}

# board_follow FILE: prints the lines of FILE, and then each line written to
# it, about a tenth of a second after it was written, until it is killed.
# (BusyBox's tail -f looks only once a second.) Run it in the background.
board_follow() {
    local _line _rest=""
    exec 3<"$1" || return 1
    while :; do
        while IFS= read -r _line <&3; do
            echo "$_rest$_line"
            _rest=""
        done
        # A line read while it was being written waits for its end.
        _rest="$_rest$_line"
        sleep 0.1
    done
}

# The daemon's working folder on the board and the start script that the
# board's init runs (contrib/busybox/usb_tools-start; boot --usb-tools).
BOARD_USB_TOOLS_DIR=/var/lib/usb_tools
BOARD_USB_TOOLS_START=/usr/sbin/usb_tools-start

BOARD_USB_TOOLS_LOGS="$BOARD_USB_TOOLS_DIR/logs/*.log"

# board_usb_tools [--speed N] SECONDS TEXT: starts the daemon the way the
# board's init does and collects it as board_run_logged does: the sections
# exit, log and output. Returns 0 when its log showed TEXT.
board_usb_tools() {
    if [ "$1" = "--speed" ]; then
        board_run_logged --speed "$2" "$BOARD_USB_TOOLS_DIR" "$3" "$4" "$BOARD_USB_TOOLS_START"
    else
        board_run_logged "$BOARD_USB_TOOLS_DIR" "$1" "$2" "$BOARD_USB_TOOLS_START"
    fi
}

# board_usb_tools_start [--speed N]: starts the daemon as board_usb_tools
# does, in the background (BOARD_PID); board_collect "$BOARD_USB_TOOLS_DIR"
# "$BOARD_PID" ends it and prints its sections.
board_usb_tools_start() {
    [ -f "$BOARD_USB_TOOLS_DIR/c_log.ini" ] || board_log_settings "$BOARD_USB_TOOLS_DIR" 3
    board_start "$@" "$BOARD_USB_TOOLS_DIR" "$BOARD_USB_TOOLS_START"
}

# board_print_kernel_log: the kernel's messages since the scenario started,
# as the section "kernel".
board_print_kernel_log() {
    board_section kernel dmesg
}

# board_cut_power: ends the scenario at once as a pulled stick or a power
# cut would: no sync, no unmount, so that what the kernel still holds in its
# cache never reaches the stick.
board_cut_power() {
    echo "@@ut-board exit 0"
    poweroff -n -f
}

# board_poweroff: unmounts the USB stick wherever it is mounted, so that
# every write reaches the image, and powers the board off.
board_poweroff() {
    sync
    grep '^/dev/sd' /proc/mounts | while read -r _dev _dir _rest; do
        umount "$_dir" 2>/dev/null || umount -l "$_dir" 2>/dev/null
    done
    sync
    poweroff -f
}
