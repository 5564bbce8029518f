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

// CRC-16/MODBUS: polynomial 0x8005 bit-reflected (0xA001), initial value
// 0xFFFF, input and output reflected, no final XOR. Check value: the nine
// ASCII digits "123456789" give 0x4B37.

// The byte-wise table of the reflected polynomial: entry i is i shifted right
// eight times, XOR-ing 0xA001 after each shift that dropped a 1.
extern const uint16_t Crc16Table[256];

// CRC of one buffer, starting from 0xFFFF.
uint16_t Crc16(const uint8_t* buf, uint16_t len);

// Feeds len bytes into the running value crc (start with 0xFFFF) and returns
// the new running value; a length of 0 or less returns crc unchanged.
uint16_t Crc16_for_buffers(const uint8_t* buf, int32_t len, uint16_t crc);

// CRC of the first L - tail_size - 1 bytes of a file of length L (0xFFFF when
// that is 0 or less), read in 4096-byte chunks. The file must be writable: it
// is opened for update. 1 and *crc_out set on success.
int calc_crc16_of_file(const char* file_name, int32_t tail_size, uint16_t* crc_out);

// The 16-bit value stored low byte first in the two bytes that end end_offset
// bytes before the end of the file. 1 and *crc_out set on success.
int read_crc16_of_file(const char* file_name, int32_t end_offset, uint16_t* crc_out);

// ---------------------------------------------------------------------------
// USB storage: device list, mount table, mount


// ---------------------------------------------------------------------------
// Work list file


// ---------------------------------------------------------------------------
// Shell steps


// ---------------------------------------------------------------------------
// Service settings, process and file information readers

