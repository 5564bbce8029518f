// State 22: takes in the task package "command.f" from the USB device.
#pragma once

// Unpacks the package into the temporary folder, loads its work list and
// removes it from the device. Moves to state 24 or 26; always returns 1.
int F_search_for_task();
