// Shared pieces of the fuzz targets: each target runs the real library code
// on the fuzzer's bytes written to a file in a private temporary folder, with
// the log call sending nothing anywhere.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The private temporary folder (ends in "/"), made on first use; it is also
// the working directory.
const char* fuzz_dir();

// Writes the bytes to a file of the given name in the temporary folder and
// returns its path.
const char* fuzz_write_file(const char* name, const uint8_t* data, size_t size);

// Stops the run as a finding when the condition does not hold.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)
