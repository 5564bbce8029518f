#!/bin/sh
# Service report: copies the recorder's files and settings and usb_tools' own
# log to the USB stick this package came on, with the board's disk usage,
# memory and processes at that moment. usb_tools runs it from its work list
# (row <0001>{service_report.sh}) in its working folder, as root.
#
# On the stick, in service_report/HOST-YYYYMMDD-HHMMSS/:
#   summary.txt        date, uptime, disk usage, memory, processes
#   usb_tools/         the daemon's c_log.ini and logs/
#   velmarok/var/      the recorder's files under /home/velmarok/var/
#   settings_main_ut   the memory watch's settings, when there are any

# The stick: the mount point of the first USB disk in the mount table, the
# daemon's own /media/usb_tools_folder or where the system mounted it.
stick=$(awk '$1 ~ /^\/dev\/sd/ { print $2; exit }' /proc/mounts)
if [ -z "$stick" ]; then
    echo "service_report: no USB stick is mounted" >&2
    exit 1
fi
report=$stick/service_report/$(hostname)-$(date +%Y%m%d-%H%M%S)
mkdir -p "$report" || exit 1

{
    echo "== service report of $(hostname), $(date)"
    echo "== uptime"
    uptime
    echo "== disk usage (kB)"
    df -k
    echo "== memory (kB)"
    free -k
    echo "== processes (kernel threads left out)"
    ps -o pid,rss,args | awk 'NR == 1 || $2 != 0'
} >"$report/summary.txt" 2>&1

status=0
# A FAT stick holds no links: copy what they point at.
mkdir -p "$report/usb_tools" &&
    cp c_log.ini "$report/usb_tools/" &&
    cp -rL logs "$report/usb_tools/" || status=1
if [ -d /home/velmarok/var ]; then
    mkdir -p "$report/velmarok" && cp -rL /home/velmarok/var "$report/velmarok/" || status=1
fi
if [ -f /home/settings_main_ut ]; then
    cp /home/settings_main_ut "$report/" || status=1
fi
sync
echo "service_report: $(du -sk "$report" | cut -f1) kB written to $report"
exit $status
