#include "scramble.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "../log/log_c.h"
#include "scoped_handle.h"
#include "test_utility.h"

namespace {

// The generator's multiplier; there is no increment.
constexpr uint64_t MULTIPLIER = 65539;

// The generator state, the only state of the module.
int64_t next = 1;

// MULTIPLIER to the power n, modulo 2^64.
constexpr uint64_t multiplier_power(uint32_t n) {
    uint64_t result = 1;
    uint64_t base = MULTIPLIER;
    for (; n != 0; n >>= 1) {
        if ((n & 1) != 0) {
            result *= base;
        }
        base *= base;
    }
    return result;
}

// The draw itself, q = state / 65536 and r = q % 2768 with truncating
// division, is computed without any division: on the 32-bit board a 64-bit
// division is a call into the runtime's division routine for every byte.
// Both forms below give r exactly for every state, negative ones included.

#if UINTPTR_MAX > 0xFFFFFFFFu

// 64-bit targets. q fits in 48 bits, so q converts to a double exactly, and
// with the factor a few units in the last place above 1/2768 the product,
// truncated, is exactly q / 2768 truncated: the excess stays far below the
// smallest distance 1/2768 between q / 2768 and the next integer, in every
// rounding mode.
constexpr double INVERSE_2768 = 0x1.7ad2208e0ecccp-12;

inline int32_t draw_of_state(uint64_t state) {
    int64_t s = static_cast<int64_t>(state);
    // Truncating division by 65536: a shift after adding 65535 to negatives.
    int64_t q = (s + static_cast<int64_t>(static_cast<uint64_t>(s >> 63) >> 48)) >> 16;
    int64_t k = static_cast<int64_t>(static_cast<double>(q) * INVERSE_2768);
    return static_cast<int32_t>(q - 2768 * k);
}

// Lanes: each of LANES independent states serves every LANES-th byte and
// advances by MULTIPLIER^LANES, so the draws do not wait for each other and
// the loop runs on vector registers where the processor has them.
enum { LANES = 32 };

#if defined(__x86_64__) && !defined(__clang__)
// A clone for processors with 64-bit vector multiplies and conversions,
// chosen at load time; the default clone runs everywhere else.
#define UT_KEYSTREAM_CLONES __attribute__((target_clones("arch=x86-64-v4", "default")))
#else
#define UT_KEYSTREAM_CLONES
#endif

// XORs blocks * LANES keystream bytes that follow state into buf.
UT_KEYSTREAM_CLONES void xor_lanes(unsigned char* buf, int32_t blocks, uint64_t state) {
    constexpr uint64_t step = multiplier_power(LANES);
    uint64_t lane[LANES];
    for (int j = 0; j < LANES; ++j) {
        state *= MULTIPLIER;
        lane[j] = state;
    }
    for (int32_t b = 0; b < blocks; ++b, buf += LANES) {
        for (int j = 0; j < LANES; ++j) {
            buf[j] ^= static_cast<unsigned char>(draw_of_state(lane[j]));
            lane[j] *= step;
        }
    }
}

#else

// 32-bit targets: 32-bit multiplications only. With a = |state|, |q| is
// a >> 16 = hi * 65536 + (lo >> 16) for the halves hi and lo of a, and
// 65536 % 2768 = 1872, so |q| % 2768 = (1872 * (hi % 2768) + (lo >> 16)) % 2768,
// where every term fits in 32 bits. The compiler turns the 32-bit remainders
// by a constant into multiplications.
inline int32_t draw_of_state(uint64_t state) {
    uint32_t sign = 0u - static_cast<uint32_t>(state >> 63); // all ones when negative
    uint64_t sign64 = (static_cast<uint64_t>(sign) << 32) | sign;
    uint64_t a = (state ^ sign64) - sign64;
    uint32_t hi = static_cast<uint32_t>(a >> 32);
    uint32_t lo = static_cast<uint32_t>(a);
    uint32_t r = (1872u * (hi % 2768u) + (lo >> 16)) % 2768u;
    // r takes the sign of q.
    return static_cast<int32_t>((r ^ sign) - sign);
}

// One lane: on the board the loop is bound by its instructions, not by the
// wait for the previous state.
enum { LANES = 1 };

void xor_lanes(unsigned char* buf, int32_t blocks, uint64_t state) {
    for (int32_t i = 0; i < blocks; ++i) {
        state *= MULTIPLIER;
        buf[i] ^= static_cast<unsigned char>(draw_of_state(state));
    }
}

#endif

// Length plus offset in 32-bit signed arithmetic (wrapping).
int32_t seed_of(off_t length, int32_t offset) {
    return static_cast<int32_t>(static_cast<uint32_t>(length) + static_cast<uint32_t>(offset));
}

} // namespace

int cust_rand() {
    uint64_t state = static_cast<uint64_t>(next) * MULTIPLIER;
    next = static_cast<int64_t>(state);
    return draw_of_state(state);
}

int xor_keystream(unsigned char* buf, int32_t len, int64_t state) {
    if (len == 0) {
        return 0;
    }
    next = state;
    if (len < 0) {
        return 1;
    }
    int32_t blocks = len / LANES;
    int32_t done = blocks * LANES;
    uint64_t s = static_cast<uint64_t>(state);
    xor_lanes(buf, blocks, s);
    s *= multiplier_power(static_cast<uint32_t>(done));
    for (int32_t i = done; i < len; ++i) {
        s *= MULTIPLIER;
        buf[i] ^= static_cast<unsigned char>(draw_of_state(s));
    }
    next = static_cast<int64_t>(s);
    return 1;
}

int xor_buffer(unsigned char* buf, int32_t len, int32_t seed) {
    return xor_keystream(buf, len, seed);
}

namespace {

// pread and pwrite that go on after an interruption or a partial transfer;
// the count moved, or -1 when nothing could be.
ssize_t pread_full(int fd, unsigned char* buf, size_t size, off_t at) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, buf + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t pwrite_full(int fd, const unsigned char* buf, size_t size, off_t at) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, buf + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

int crypt_file(const char* path) {
    if (path[0] == '\0') {
        return 0;
    }
    scoped_fd fd(open_path(path, O_RDWR));
    if (!fd) {
        LOG_MSG(LVL_ERROR, "failed to open file to crypt: %s", path);
        return 0;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        LOG_MSG(LVL_ERROR, "failed to read file to crypt: %s", path);
        return 0;
    }
    const off_t length = st.st_size;
    unsigned char crypt_chunk[CRYPT_CHUNK_SIZE];
    memset(crypt_chunk, 0, sizeof(crypt_chunk));
    next = seed_of(length, CRYPT_FILE_SEED_OFFSET);
    // Each chunk is read and written back at its own offset, two calls a
    // chunk and no positioning between them.
    for (off_t at = 0; at < length;) {
        ssize_t got = pread_full(fd.get(), crypt_chunk, sizeof(crypt_chunk), at);
        if (got < 0) {
            // The chunks before stay converted; the caller must not take
            // the file as whole.
            LOG_MSG(LVL_ERROR, "failed to read file to crypt: %s", path);
            return 0;
        }
        if (got == 0) {
            break; // the file got shorter under us
        }
        // All 4096 draws for every chunk, the short last one included, so
        // that each seed depends only on the length and the chunk's index.
        int32_t seed = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(next)));
        if (xor_buffer(crypt_chunk, CRYPT_CHUNK_SIZE, seed) == 0) {
            return 0;
        }
        ssize_t written = pwrite_full(fd.get(), crypt_chunk, static_cast<size_t>(got), at);
        if (written != got) {
            LOG_MSG(LVL_ERROR, "READ size[%d] != WRITE size[%d]", static_cast<int>(got),
                    static_cast<int>(written < 0 ? 0 : written));
            return 0;
        }
        at += got;
    }
    if (fd.close() != 0) {
        LOG_MSG(LVL_ERROR, "failed to write file to crypt: %s", path);
        return 0;
    }
    return 1;
}

int encrypt_db(const char* path) {
    if (path[0] == '\0') {
        return 0;
    }
    scoped_file f(open_unbuffered(path, "rb+"));
    if (!f || fseeko(f.get(), 0, SEEK_END) != 0) {
        return 0;
    }
    off_t length = ftello(f.get());
    rewind(f.get());

    unsigned char sector[ENCRYPT_SECTOR_SIZE];
    size_t got = fread(sector, 1, sizeof(sector), f.get());
    if (got != sizeof(sector)) {
        printf("fread_returned = %d, ENCRYPT_SECTOR_SIZE = %d\n", static_cast<int>(got),
               ENCRYPT_SECTOR_SIZE);
        fflush(stdout);
        return 0;
    }
    xor_buffer(sector, ENCRYPT_SECTOR_SIZE, seed_of(length, ENCRYPT_FIRST_SEED_OFFSET));
    rewind(f.get());
    size_t written = fwrite(sector, 1, sizeof(sector), f.get());
    if (written != sizeof(sector)) {
        printf("fwrite_returned = %d, ENCRYPT_SECTOR_SIZE = %d\n", static_cast<int>(written),
               ENCRYPT_SECTOR_SIZE);
        fflush(stdout);
        return 0;
    }

    // Below 16000 bytes this read sees the overlap as just written.
    if (fseeko(f.get(), -ENCRYPT_SECTOR_SIZE, SEEK_END) != 0 ||
        fread(sector, 1, sizeof(sector), f.get()) != sizeof(sector)) {
        return 0;
    }
    xor_buffer(sector, ENCRYPT_SECTOR_SIZE, seed_of(length, ENCRYPT_LAST_SEED_OFFSET));
    if (fseeko(f.get(), -ENCRYPT_SECTOR_SIZE, SEEK_END) != 0 ||
        fwrite(sector, 1, sizeof(sector), f.get()) != sizeof(sector)) {
        return 0;
    }
    return f.close() == 0 ? 1 : 0;
}

int is_encrypted(const char* path) {
    if (path[0] == '\0') {
        return 0;
    }
    scoped_file f(fopen(path, "rb"));
    if (!f) {
        return 0;
    }
    // The SQLite header: the 15 characters "SQLite format 3" and a NUL.
    char header[16];
    memset(header, 0, sizeof(header));
    if (fread(header, 1, sizeof(header), f.get()) != sizeof(header)) {
        return 1;
    }
    return strncmp(header, "SQLite format 3", sizeof(header)) != 0 ? 1 : 0;
}

namespace {

// Reads the last 66 bytes of an open file into block; 1 when all were read.
// A file shorter than that cannot be positioned and gives 0.
int read_description_block(FILE* f, unsigned char* block) {
    if (fseeko(f, -DESCRIPTION_SIZE, SEEK_END) != 0) {
        return 0;
    }
    return fread(block, 1, DESCRIPTION_SIZE, f) == DESCRIPTION_SIZE ? 1 : 0;
}

} // namespace

int add_description(const char* path, const unsigned char* block, int size) {
    if (path[0] == '\0' || size < 1) {
        return 0;
    }
    // For update, not for appending: a missing file is not created.
    scoped_file f(open_unbuffered(path, "rb+"));
    if (!f || fseeko(f.get(), 0, SEEK_END) != 0) {
        return 0;
    }
    size_t n = static_cast<size_t>(size);
    if (fwrite(block, 1, n, f.get()) != n) {
        return 0;
    }
    return f.close() == 0 ? 1 : 0;
}

int get_description(const char* path, unsigned char* out, int size) {
    // The block is always delivered whole: a smaller buffer is refused.
    if (path[0] == '\0' || size < DESCRIPTION_SIZE) {
        return 0;
    }
    scoped_file f(fopen(path, "rb+"));
    if (!f) {
        return 0;
    }
    unsigned char block[DESCRIPTION_SIZE];
    if (!read_description_block(f.get(), block)) {
        return 0;
    }
    memcpy(out, block, sizeof(block));
    return 1;
}

int is_descriptioned(const char* path) {
    if (path[0] == '\0') {
        return 0;
    }
    scoped_file f(fopen(path, "rb"));
    if (!f) {
        return 0;
    }
    unsigned char block[DESCRIPTION_SIZE];
    if (!read_description_block(f.get(), block)) {
        return 0;
    }
    // The mark as a NUL-terminated string: its eight characters and a NUL.
    return memcmp(block, DESCRIPTION_MARK, sizeof(DESCRIPTION_MARK)) == 0 ? 1 : 0;
}
