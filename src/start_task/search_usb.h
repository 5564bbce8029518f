// State 20: finds a USB storage device and the folder of its files.
#pragma once

// Sets dev_path and sdx and moves to state 22 (device found) or 26 (none).
// 0 when the device list is unreadable or the device cannot be mounted.
int F_search_for_usb();
