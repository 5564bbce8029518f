# The demo on the board (scripts/demo): the recorder's world, usb_tools
# started the way the board's init starts it, and its log on the console as
# it is written. Real time: no clock tricks.
. /board/board.sh

# The recorder: its folder with a few of its files, the memory watch's
# settings (0: watch), and the application suite. main has leaked memory:
# it holds 640 MB, above the 600 MB the watch tolerates.
mkdir -p /home/velmarok/var/journal
for day in 08 09 10; do
    printf 'channel 1: 4096 records\nchannel 2: 4096 records\n' \
        >"/home/velmarok/var/journal/2026-12-$day.txt"
done
echo 0 >/home/settings_main_ut
mkdir -p /var/suite
board_note "the recorder's suite starts: main (holding 640 MB), journaler, archiver"
main --rss-kb 655360 >/var/suite/main.out 2>&1 &
MAIN=$!
journaler >/var/suite/journaler.out 2>&1 &
archiver >/var/suite/archiver.out 2>&1 &
board_wait_text 120 ready /var/suite/main.out || board_note "main did not start"

board_note "usb_tools starts: $BOARD_USB_TOOLS_START, working folder $BOARD_USB_TOOLS_DIR"
# Its standard output (and that of the scripts it runs) goes to the console.
(cd / && exec "$BOARD_USB_TOOLS_START") </dev/null &
DAEMON=$!
FOLLOW=""
if board_wait_for 100 board_has_text "" "$BOARD_USB_TOOLS_LOGS"; then
    for log in $BOARD_USB_TOOLS_LOGS; do
        board_follow "$log" &
        FOLLOW=$!
        break
    done
else
    board_note "usb_tools wrote no log"
fi

if board_wait_text 60 "TASK_EXECUTE_PART" "$BOARD_USB_TOOLS_LOGS"; then
    board_wait_text 60 "execute function: remove_temp_folder" "$BOARD_USB_TOOLS_LOGS" &&
        sleep 0.5 &&
        board_note "work list done; state 26: the memory watch starts in 60 seconds"
else
    board_note "no task package was taken in"
fi
board_wait_text 150 "application [archiver] was killed" "$BOARD_USB_TOOLS_LOGS" ||
    board_note "the memory watch killed nothing in time"
sleep 1
[ -z "$FOLLOW" ] || kill "$FOLLOW"
if board_ended "$MAIN"; then
    board_note "main, journaler and archiver are gone; starting them again is the system's job"
fi
# The whole log once more, for the host to keep.
board_stop "$DAEMON"
board_section log board_log_files "$BOARD_USB_TOOLS_DIR"
