#!/bin/sh
# Copies the recorder's logs and its settings to the service stick.
out=/media/usb_tools_folder/service
mkdir -p "$out" && cp -r /home/velmarok/var/. "$out/" 2>/dev/null
date > "$out/collected_at"
