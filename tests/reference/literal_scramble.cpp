#include "literal_scramble.h"

#include <string.h>

#include "common/test_utility/scramble.h"

namespace literal {

namespace {

int64_t next = 1;

int32_t wrapping_sum(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

} // namespace

int cust_rand() {
    next = static_cast<int64_t>(static_cast<uint64_t>(next) * 65539u);
    int64_t q = next / 65536;
    return static_cast<int>(q % 2768);
}

int xor_buffer(unsigned char* buf, int32_t len, int32_t seed) {
    if (len == 0) {
        return 0;
    }
    next = seed;
    for (int32_t i = 0; i < len; ++i) {
        buf[i] ^= static_cast<unsigned char>(cust_rand());
    }
    return 1;
}

int64_t state() {
    return next;
}
void set_state(int64_t state) {
    next = state;
}

void crypt_bytes(unsigned char* data, int32_t len) {
    next = wrapping_sum(len, CRYPT_FILE_SEED_OFFSET);
    for (int32_t at = 0; at < len; at += CRYPT_CHUNK_SIZE) {
        unsigned char chunk[CRYPT_CHUNK_SIZE] = {};
        int32_t n = len - at < CRYPT_CHUNK_SIZE ? len - at : CRYPT_CHUNK_SIZE;
        memcpy(chunk, data + at, static_cast<size_t>(n));
        literal::xor_buffer(chunk, CRYPT_CHUNK_SIZE,
                            static_cast<int32_t>(static_cast<uint32_t>(next)));
        memcpy(data + at, chunk, static_cast<size_t>(n));
    }
}

void encrypt_db_bytes(unsigned char* data, int32_t len) {
    literal::xor_buffer(data, ENCRYPT_SECTOR_SIZE, wrapping_sum(len, ENCRYPT_FIRST_SEED_OFFSET));
    literal::xor_buffer(data + len - ENCRYPT_SECTOR_SIZE, ENCRYPT_SECTOR_SIZE,
                        wrapping_sum(len, ENCRYPT_LAST_SEED_OFFSET));
}

} // namespace literal
