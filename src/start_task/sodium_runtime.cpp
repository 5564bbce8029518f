// The four helpers of libsodium's run-time that its verification code calls
// (Ed25519, SHA-512, BLAKE2b), for the daemon alone. libsodium's own live in
// objects that also hold sodium_init() and the allocator, which pull in every
// primitive it can pick at start-up and its random source: about 24 KB of the
// board's program that the daemon never runs, and code that may wait for the
// kernel's entropy pool. Defined here, those objects are not linked at all;
// should a later libsodium need more of them, the link fails with a duplicate
// symbol instead of linking them twice.
#include <sodium.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

// A call that breaks libsodium's contract: nothing sensible can follow.
void sodium_misuse() {
    abort();
}

// Clears memory in a way the compiler cannot drop.
void sodium_memzero(void* const pnt, const size_t len) {
    explicit_bzero(pnt, len);
}

// 0 when the buffers are equal, -1 otherwise; the time taken does not depend
// on where they differ.
int sodium_memcmp(const void* const b1_, const void* const b2_, size_t len) {
    const volatile unsigned char* b1 = static_cast<const volatile unsigned char*>(b1_);
    const volatile unsigned char* b2 = static_cast<const volatile unsigned char*>(b2_);
    volatile unsigned char d = 0U;
    for (size_t i = 0U; i < len; i++) {
        d |= b1[i] ^ b2[i];
    }
    return (1 & ((d - 1) >> 8)) - 1;
}

// 1 when all nlen bytes are zero, in a time that does not depend on them.
int sodium_is_zero(const unsigned char* n, const size_t nlen) {
    volatile unsigned char d = 0U;
    for (size_t i = 0U; i < nlen; i++) {
        d |= n[i];
    }
    return 1 & ((d - 1) >> 8);
}
}
