// The keystream generator written out literally, with its 64-bit division
// and remainder in every draw: the reference against which the module's
// division-free generator is checked (unit tests) and measured (benchmarks).
// Also the whole-file and database transformations applied to bytes in
// memory, built on it.
#pragma once

#include <stdint.h>

namespace literal {

// One draw: next = next * 65539 (wrapping), q = next / 65536, r = q % 2768.
int cust_rand();
// Seeds with seed (sign-extended) and XORs len keystream bytes into buf.
int xor_buffer(unsigned char* buf, int32_t len, int32_t seed);

int64_t state();
void set_state(int64_t state);

// What crypt_file makes of a file holding these len bytes.
void crypt_bytes(unsigned char* data, int32_t len);
// What encrypt_db makes of a file holding these len bytes (len >= 8000).
void encrypt_db_bytes(unsigned char* data, int32_t len);

} // namespace literal
