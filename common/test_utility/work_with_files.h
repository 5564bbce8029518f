// Device list, mount table and mount; the work list reader and the shell
// steps; the CRC-16; the readers of settings, /proc and pid files; the file copy.
#pragma once

#include <stdint.h>

// ---------------------------------------------------------------------------
// File copy

// Copies source to destination byte for byte (the destination is created with
// mode 0644 or emptied first). 1 when the whole source was copied.
int copy_one_file(const char* source, const char* destination);

// ---------------------------------------------------------------------------
// CRC-16


// ---------------------------------------------------------------------------
// USB storage: device list, mount table, mount


// ---------------------------------------------------------------------------
// Work list file


// ---------------------------------------------------------------------------
// Shell steps


// ---------------------------------------------------------------------------
// Service settings, process and file information readers

