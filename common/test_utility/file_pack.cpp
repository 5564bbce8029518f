#include "file_pack.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../log/log_c.h"
#include "scoped_handle.h"
#include "scramble.h"
#include "test_utility.h"
#include "text_escape.h"
#include "work_with_files.h"

namespace {

// 8096 bytes, not 8192: the buffer through which entries are copied in and out.
enum { PACK_COPY_BUFFER_SIZE = 8096 };

void put_i32(unsigned char* p, int32_t value) {
    uint32_t u = static_cast<uint32_t>(value);
    p[0] = static_cast<unsigned char>(u);
    p[1] = static_cast<unsigned char>(u >> 8);
    p[2] = static_cast<unsigned char>(u >> 16);
    p[3] = static_cast<unsigned char>(u >> 24);
}

int32_t get_i32(const unsigned char* p) {
    uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return static_cast<int32_t>(u);
}

// A name an entry may carry: not empty, no folder in it, not "." or "..",
// no control byte (it would reach log lines and terminals). The name must be
// NUL-terminated.
int is_bare_file_name(const char* name) {
    return name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0 && !has_control_bytes(name);
}

} // namespace

void encode_packed_info(const packed_info* info, unsigned char* out) {
    put_i32(out, info->pack_struct_size);
    put_i32(out + 4, info->files_count);
    for (int i = 0; i < PACK_MAX_FILES; ++i) {
        unsigned char* e = out + 8 + PACK_ENTRY_SIZE * i;
        memcpy(e, info->entries[i].name, PACK_NAME_SIZE);
        put_i32(e + 32, info->entries[i].start_pointer);
        put_i32(e + 36, info->entries[i].size);
    }
}

void decode_packed_info(const unsigned char* in, packed_info* info) {
    info->pack_struct_size = get_i32(in);
    info->files_count = get_i32(in + 4);
    for (int i = 0; i < PACK_MAX_FILES; ++i) {
        const unsigned char* e = in + 8 + PACK_ENTRY_SIZE * i;
        memcpy(info->entries[i].name, e, PACK_NAME_SIZE);
        info->entries[i].start_pointer = get_i32(e + 32);
        info->entries[i].size = get_i32(e + 36);
    }
}

int check_packed_info(const packed_info* info) {
    if (info->files_count < 0 || info->files_count > PACK_MAX_FILES) {
        LOG_MSG(LVL_ERROR, "files_count out of range: %d", info->files_count);
        return 0;
    }
    for (int i = 0; i < info->files_count; ++i) {
        const char* name = info->entries[i].name;
        if (memchr(name, '\0', PACK_NAME_SIZE) == nullptr) {
            LOG_MSG(LVL_ERROR, "name of entry %d is not terminated", i);
            return 0;
        }
        if (name[0] == '\0') {
            LOG_MSG(LVL_ERROR, "name of entry %d is empty", i);
            return 0;
        }
        // A name with a folder in it would be written outside the
        // destination folder.
        if (!is_bare_file_name(name)) {
            LOG_MSG(LVL_ERROR, "name of entry %d is not a bare file name: %s", i, name);
            return 0;
        }
    }
    return 1;
}

int is_plain_packed_info(const packed_info* info) {
    return info->pack_struct_size == PACK_INFO_SIZE &&
                   info->entries[0].start_pointer == info->pack_struct_size
               ? 1
               : 0;
}

int64_t unpacked_size_bound(const packed_info* info, int64_t package_size) {
    if (!is_plain_packed_info(info)) {
        return package_size;
    }
    if (info->files_count < 0 || info->files_count > PACK_MAX_FILES) {
        return 0;
    }
    int64_t total = 0;
    for (int i = 0; i < info->files_count; ++i) {
        const int64_t start = info->entries[i].start_pointer;
        const int64_t size = info->entries[i].size;
        const int64_t held = package_size - start;
        if (start < 0 || size <= 0 || held <= 0) {
            continue;
        }
        total += size < held ? size : held;
    }
    return total;
}

int check_room_for_package(const char* package, const char* folder) {
    scoped_fd fd(open(package, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return 1;
    }
    const int64_t size = static_cast<int64_t>(st.st_size);
    unsigned char record[PACK_INFO_SIZE];
    int64_t unpacked = 0;
    if (pread(fd.get(), record, sizeof(record), 0) == static_cast<ssize_t>(sizeof(record))) {
        packed_info info;
        decode_packed_info(record, &info);
        unpacked = unpacked_size_bound(&info, size);
    }
    char what[300];
    snprintf(what, sizeof(what), "package of %lld bytes and %lld to unpack",
             static_cast<long long>(size), static_cast<long long>(unpacked));
    return check_room(folder, what, size + unpacked);
}

int get_info_of_packed(const char* packed_name, packed_info* info) {
    if (packed_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "packed_name is empty");
        return 0;
    }
    scoped_file f(fopen_path(packed_name, "rb"));
    if (!f) {
        LOG_MSG(LVL_ERROR, "failed to open packed file: %s", packed_name);
        return 0;
    }
    unsigned char record[PACK_INFO_SIZE];
    if (fread(record, 1, sizeof(record), f.get()) != sizeof(record)) {
        LOG_MSG(LVL_ERROR, "failed to read packed info");
        return 0;
    }
    decode_packed_info(record, info);
    return 1;
}

int extract_file(const char* packed_name, const char* file_name, int32_t start_pointer,
                 int32_t size, int64_t package_end) {
    LOG_MSG(LVL_INFO,
            "EXTRACT_FILE: packed_name = %s; file_name = %s; start_pointer = %d; size = %d",
            packed_name, file_name, start_pointer, size);
    if (packed_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "packed_name is empty");
        return 0;
    }
    if (file_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "file_name is empty");
        return 0;
    }
    // Appending: an existing file is extended, not emptied.
    scoped_file out(fopen_path_unbuffered(file_name, "ab+"));
    if (!out) {
        LOG_MSG(LVL_ERROR, "failed to create file: %s", file_name);
        return 0;
    }
    scoped_file in(fopen_path_unbuffered(packed_name, "rb"));
    if (!in) {
        LOG_MSG(LVL_ERROR, "failed to open source file: %s", packed_name);
        return 0;
    }
    if (fseeko(in.get(), start_pointer, SEEK_SET) != 0) {
        LOG_MSG(LVL_ERROR, "failed to seek to %d of packed file", start_pointer);
        return 0;
    }
    if (package_end < 0) {
        struct stat st;
        if (fstat(fileno(in.get()), &st) != 0) {
            LOG_MSG(LVL_ERROR, "failed to open source file: %s", packed_name);
            return 0;
        }
        package_end = static_cast<int64_t>(st.st_size);
    }
    // Nothing at or past the package's end is read: an entry written into
    // the package itself (its own name) cannot feed on its own output.
    int64_t available = package_end - static_cast<int64_t>(start_pointer);
    int32_t limit = size;
    if (available < static_cast<int64_t>(limit)) {
        limit = available < 0 ? 0 : static_cast<int32_t>(available);
    }
    unsigned char buffer[PACK_COPY_BUFFER_SIZE];
    int32_t total = 0;
    while (total < limit) {
        int32_t left = limit - total;
        size_t want = left < PACK_COPY_BUFFER_SIZE ? static_cast<size_t>(left) : sizeof(buffer);
        size_t got = fread(buffer, 1, want, in.get());
        if (got == 0) {
            break; // the package ended first: a shorter file
        }
        if (fwrite(buffer, 1, got, out.get()) != got) {
            LOG_MSG(LVL_ERROR, "error with write to file: %s", file_name);
            return 0;
        }
        total += static_cast<int32_t>(got);
    }
    if (ferror(in.get())) {
        // A read error is not the end of the package: the entry would be
        // taken as whole.
        LOG_MSG(LVL_ERROR, "failed to read packed file: %s", packed_name);
        return 0;
    }
    if (out.close() != 0) {
        LOG_MSG(LVL_ERROR, "error with write to file: %s", file_name);
        return 0;
    }
    return 1;
}

int unpack_files(const char* packed_name, const char* unpack_folder, int weigh_room) {
    if (packed_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "packed_name is empty");
        return 0;
    }
    if (unpack_folder[0] == '\0') {
        LOG_MSG(LVL_ERROR, "unpack_folder is empty");
        return 0;
    }
    packed_info info;
    if (!get_info_of_packed(packed_name, &info)) {
        LOG_MSG(LVL_ERROR, "failed to get info of packed: %s", packed_name);
        return 0;
    }
    if (!is_plain_packed_info(&info)) {
        // Scrambled: unscramble in place; from here on the package stays
        // plain on disk, whatever the checks below say.
        LOG_MSG(LVL_INFO, "file is crypted, need to repare");
        if (!crypt_file(packed_name)) {
            LOG_MSG(LVL_ERROR, "failed to encrypt packed: %s", packed_name);
            return 0;
        }
        uint16_t stored = 0;
        if (!read_crc16_of_file(packed_name, 0, &stored)) {
            LOG_MSG(LVL_ERROR, "failed to read crc of file: %s", packed_name);
            return 0;
        }
        uint16_t computed = 0;
        if (!calc_crc16_of_file(packed_name, 2, &computed)) {
            LOG_MSG(LVL_ERROR, "failed to calc crc of file: %s", packed_name);
            return 0;
        }
        if (stored != computed) {
            LOG_MSG(LVL_ERROR, "CRC error: read crc = %hd, calc_crc = %hd", stored, computed);
            return 0;
        }
        LOG_MSG(LVL_INFO, "CRC of packed is OK");
        if (!get_info_of_packed(packed_name, &info)) {
            LOG_MSG(LVL_ERROR, "failed to get info of packed: %s", packed_name);
            return 0;
        }
        if (info.pack_struct_size != info.entries[0].start_pointer) {
            LOG_MSG(LVL_ERROR,
                    "Error in pack info after encrypt: pack_struct_size [%d] != start_pointer [%d]",
                    info.pack_struct_size, info.entries[0].start_pointer);
            return 0;
        }
    }

    // Refused as a whole before anything is written.
    if (!check_packed_info(&info)) {
        return 0;
    }
    char destination[256];
    for (int i = 0; i < info.files_count; ++i) {
        int length = get_full_file_name(unpack_folder, info.entries[i].name, destination,
                                        sizeof(destination));
        if (length >= static_cast<int>(sizeof(destination))) {
            // A cut path would name another file, perhaps in another folder.
            LOG_MSG(LVL_ERROR, "destination path too long: %s%s", unpack_folder,
                    info.entries[i].name);
            return 0;
        }
    }

    // The package's length as the unpacking begins: an entry of the
    // package's own name appends to it, and must not be read back.
    struct stat st;
    scoped_fd package(open_path(packed_name, O_RDONLY));
    if (!package || fstat(package.get(), &st) != 0) {
        LOG_MSG(LVL_ERROR, "failed to open packed file: %s", packed_name);
        return 0;
    }
    const int64_t package_end = static_cast<int64_t>(st.st_size);
    // The real record of a package that came scrambled is known only now.
    if (weigh_room) {
        char what[100];
        const int64_t unpacked = unpacked_size_bound(&info, package_end);
        snprintf(what, sizeof(what), "%lld bytes to unpack", static_cast<long long>(unpacked));
        if (!check_room(unpack_folder, what, unpacked)) {
            return 0;
        }
    }
    for (int i = 0; i < info.files_count; ++i) {
        const packed_entry& e = info.entries[i];
        get_full_file_name(unpack_folder, e.name, destination, sizeof(destination));
        if (!extract_file(packed_name, destination, e.start_pointer, e.size, package_end)) {
            LOG_MSG(LVL_ERROR, "failed to extract file: %s", destination);
            return 0;
        }
    }
    return 1;
}

int copy_file_to_packed(const char* packed_name, const char* source_name, int32_t* copied_size) {
    *copied_size = 0;
    if (packed_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "packed_name is empty");
        return 0;
    }
    if (source_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "source_name is empty");
        return 0;
    }
    scoped_file out(open_unbuffered(packed_name, "ab+"));
    if (!out) {
        LOG_MSG(LVL_ERROR, "failed to open packed file: %s", packed_name);
        return 0;
    }
    scoped_file in(open_unbuffered(source_name, "rb"));
    if (!in) {
        LOG_MSG(LVL_ERROR, "failed to open source file: %s", source_name);
        return 0;
    }
    unsigned char buffer[PACK_COPY_BUFFER_SIZE];
    for (;;) {
        size_t got = fread(buffer, 1, sizeof(buffer), in.get());
        if (got == 0) {
            // A folder handed in as a file (a hidden one in the source
            // folder) has no bytes; any other read error is a failure.
            if (ferror(in.get()) && errno != EISDIR) {
                LOG_MSG(LVL_ERROR, "failed to read source file: %s", source_name);
                return 0;
            }
            break;
        }
        // Offsets and sizes of a package are signed 32-bit.
        if (static_cast<int32_t>(got) > INT32_MAX - *copied_size) {
            LOG_MSG(LVL_ERROR, "source file too large for packed: %s", source_name);
            return 0;
        }
        if (fwrite(buffer, 1, got, out.get()) != got) {
            LOG_MSG(LVL_ERROR, "error with write to file: %s", packed_name);
            return 0;
        }
        *copied_size += static_cast<int32_t>(got);
    }
    if (out.close() != 0) {
        LOG_MSG(LVL_ERROR, "error with write to file: %s", packed_name);
        return 0;
    }
    return 1;
}

namespace {

// The writer's steps log nothing: each gives back PACK_STEP_OK or what failed,
// and the operation that the step serves logs it (pack_files, or the
// writer's entry points for callers that choose the files themselves).
enum pack_step {
    PACK_STEP_OK = 0,
    PACK_STEP_CREATE_FAILED,
    PACK_STEP_INFO_WRITE_FAILED,
    PACK_STEP_SEEK_FAILED,
    PACK_STEP_FULL,
    PACK_STEP_BAD_NAME,
    PACK_STEP_COPY_FAILED, // copy_file_to_packed has logged why
    PACK_STEP_TOO_LARGE,
    PACK_STEP_OPEN_FAILED,
    PACK_STEP_CRC_WRITE_FAILED,
};

// The line of a failed step ("" when the step's own callee logged it);
// returns its length before any cut.
int pack_step_text(int step, const pack_writer* w, const char* source, const char* entry_name,
                   char* out, int size) {
    size_t n = static_cast<size_t>(size);
    int length = 0;
    switch (step) {
    case PACK_STEP_CREATE_FAILED:
        length = snprintf(out, n, "failed to create packed file");
        break;
    case PACK_STEP_INFO_WRITE_FAILED:
        length = snprintf(out, n, "failed to write info struct");
        break;
    case PACK_STEP_SEEK_FAILED:
        length = snprintf(out, n, "failed to seek to begin of packed file");
        break;
    case PACK_STEP_FULL:
        length = snprintf(out, n, "packed file holds %d files already, no room for %s",
                          PACK_MAX_FILES, source);
        break;
    case PACK_STEP_BAD_NAME:
        length = snprintf(out, n, "not a bare file name: %s", entry_name);
        break;
    case PACK_STEP_TOO_LARGE:
        length = snprintf(out, n, "packed file too large: %s", w->path);
        break;
    case PACK_STEP_OPEN_FAILED:
        length = snprintf(out, n, "failed to open packed file");
        break;
    case PACK_STEP_CRC_WRITE_FAILED:
        length = snprintf(out, n, "failed to write crc to file: %s", w->path);
        break;
    default:
        length = snprintf(out, n, "%s", "");
        break;
    }
    return length;
}

// Writes the record at the start of an open package.
int write_record(const pack_writer* w, FILE* f) {
    unsigned char record[PACK_INFO_SIZE];
    encode_packed_info(&w->info, record);
    return fwrite(record, 1, sizeof(record), f) == sizeof(record) ? PACK_STEP_OK
                                                                  : PACK_STEP_INFO_WRITE_FAILED;
}

// Creates the package with its provisional record.
int begin_package(pack_writer* w, const char* package_path) {
    memset(w, 0, sizeof(*w));
    if (snprintf(w->path, sizeof(w->path), "%s", package_path) >=
        static_cast<int>(sizeof(w->path))) {
        return PACK_STEP_CREATE_FAILED;
    }
    w->info.pack_struct_size = PACK_INFO_SIZE;
    w->offset = PACK_INFO_SIZE;
    scoped_file f(open_unbuffered(w->path, "wb"));
    if (!f) {
        return PACK_STEP_CREATE_FAILED;
    }
    int step = write_record(w, f.get());
    if (f.close() != 0 && step == PACK_STEP_OK) {
        step = PACK_STEP_INFO_WRITE_FAILED;
    }
    return step;
}

// Appends one file and records its entry.
int add_to_package(pack_writer* w, const char* source_path, const char* entry_name) {
    if (w->info.files_count >= PACK_MAX_FILES) {
        return PACK_STEP_FULL;
    }
    if (!is_bare_file_name(entry_name)) {
        return PACK_STEP_BAD_NAME;
    }
    int32_t copied = 0;
    if (!copy_file_to_packed(w->path, source_path, &copied)) {
        return PACK_STEP_COPY_FAILED;
    }
    if (copied > INT32_MAX - w->offset) {
        return PACK_STEP_TOO_LARGE;
    }
    packed_entry* e = &w->info.entries[w->info.files_count];
    // Cut to 31 characters: the name field's size.
    snprintf(e->name, sizeof(e->name), "%.*s", PACK_NAME_SIZE - 1, entry_name);
    e->start_pointer = w->offset;
    e->size = copied;
    w->info.files_count += 1;
    w->offset += copied;
    return PACK_STEP_OK;
}

// Writes the final record over the provisional one.
int write_final_record(pack_writer* w) {
    if (w->info.files_count == 0) {
        // Read as plain only when entry 0 starts at 808, even with no files.
        w->info.entries[0].start_pointer = w->offset;
    }
    scoped_file f(open_unbuffered(w->path, "rb+"));
    if (!f) {
        return PACK_STEP_CREATE_FAILED;
    }
    if (fseeko(f.get(), 0, SEEK_SET) != 0) {
        return PACK_STEP_SEEK_FAILED;
    }
    int step = write_record(w, f.get());
    if (f.close() != 0 && step == PACK_STEP_OK) {
        step = PACK_STEP_INFO_WRITE_FAILED;
    }
    return step;
}

// Appends the checksum, low byte first.
int append_crc(const pack_writer* w, uint16_t crc) {
    scoped_file a(open_unbuffered(w->path, "ab"));
    if (!a) {
        return PACK_STEP_OPEN_FAILED;
    }
    const unsigned char bytes[2] = {static_cast<unsigned char>(crc & 0xFF),
                                    static_cast<unsigned char>(crc >> 8)};
    if (fwrite(bytes, 1, sizeof(bytes), a.get()) != sizeof(bytes) || a.close() != 0) {
        return PACK_STEP_CRC_WRITE_FAILED;
    }
    return PACK_STEP_OK;
}

enum { PACK_LINE_SIZE = 512 };

} // namespace

int pack_begin(pack_writer* w, const char* package_path) {
    if (package_path[0] == '\0') {
        memset(w, 0, sizeof(*w));
        LOG_MSG(LVL_ERROR, "packed_name is empty");
        return 0;
    }
    int step = begin_package(w, package_path);
    char reason[PACK_LINE_SIZE];
    pack_step_text(step, w, "", "", reason, sizeof(reason));
    if (step == PACK_STEP_CREATE_FAILED) {
        LOG_MSG(LVL_ERROR, "%s", reason);
        return 0;
    }
    LOG_MSG(LVL_INFO, "Create packed file start: %s", w->path);
    if (step != PACK_STEP_OK) {
        LOG_MSG(LVL_ERROR, "%s", reason);
        return 0;
    }
    LOG_MSG(LVL_INFO, "write packed info DONE");
    return 1;
}

int pack_add_file(pack_writer* w, const char* source_path, const char* entry_name) {
    int step = add_to_package(w, source_path, entry_name);
    if (step != PACK_STEP_OK) {
        char reason[PACK_LINE_SIZE];
        pack_step_text(step, w, source_path, entry_name, reason, sizeof(reason));
        if (reason[0] != '\0') {
            LOG_MSG(LVL_ERROR, "%s", reason);
        }
        return 0;
    }
    LOG_MSG(LVL_INFO, "COPY file to packed: [%s] -> [%s]", source_path, w->path);
    return 1;
}

int pack_finish(pack_writer* w) {
    char reason[PACK_LINE_SIZE];
    int step = write_final_record(w);
    if (step != PACK_STEP_OK) {
        pack_step_text(step, w, "", "", reason, sizeof(reason));
        LOG_MSG(LVL_ERROR, "%s", reason);
        return 0;
    }
    LOG_MSG(LVL_INFO, "Write packed info DONE");
    LOG_MSG(LVL_INFO, "Create packed has DONE");
    // Over all bytes but the last: the checksum leaves out the byte before it.
    uint16_t crc = 0;
    if (!calc_crc16_of_file(w->path, 0, &crc)) {
        LOG_MSG(LVL_ERROR, "failed to calc crc of file: %s", w->path);
        return 0;
    }
    LOG_MSG(LVL_INFO, "crc of packet = %hd", crc);
    step = append_crc(w, crc);
    if (step != PACK_STEP_OK) {
        pack_step_text(step, w, "", "", reason, sizeof(reason));
        LOG_MSG(LVL_ERROR, "%s", reason);
        return 0;
    }
    LOG_MSG(LVL_INFO, "write crc to file: %s", w->path);
    return 1;
}

int pack_files(const char* source_folder, const char* packed_name) {
    if (source_folder[0] == '\0') {
        LOG_MSG(LVL_ERROR, "source_folder name is empty");
        return 0;
    }
    if (packed_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "packed_name is empty");
        return 0;
    }
    char package[256];
    if (get_full_file_name(source_folder, packed_name, package, sizeof(package)) >=
        static_cast<int>(sizeof(package))) {
        // A cut name would create the package under another name.
        LOG_MSG(LVL_ERROR, "failed to create packed file");
        return 0;
    }
    pack_writer w;
    char reason[PACK_LINE_SIZE];
    int step = begin_package(&w, package);
    if (step == PACK_STEP_CREATE_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to create packed file");
        return 0;
    }
    LOG_MSG(LVL_INFO, "Create packed file start: %s", package);
    if (step != PACK_STEP_OK) {
        LOG_MSG(LVL_ERROR, "failed to write info struct");
        return 0;
    }
    LOG_MSG(LVL_INFO, "write packed info DONE");

    scoped_dir d(opendir(source_folder));
    if (!d) {
        LOG_MSG(LVL_ERROR, "failed to open source folder: %s", source_folder);
        return 0;
    }
    int result = 1;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(d.get());
        if (entry == nullptr) {
            if (errno != 0) {
                LOG_MSG(LVL_ERROR, "failed to read source folder: %s", source_folder);
                return 0;
            }
            break;
        }
        const char* name = entry->d_name;
        if (entry->d_type == DT_DIR && name[0] != '.') {
            return 0;
        }
        if (strcmp(name, "..") == 0 || strcmp(name, ".") == 0 || strcmp(name, packed_name) == 0) {
            continue;
        }
        char source[256];
        int length = get_full_file_name(source_folder, name, source, sizeof(source));
        if (length >= static_cast<int>(sizeof(source))) {
            LOG_MSG(LVL_ERROR, "source path too long: %s%s", source_folder, name);
            step = PACK_STEP_COPY_FAILED;
        } else {
            step = add_to_package(&w, source, name);
        }
        if (step != PACK_STEP_OK) {
            pack_step_text(step, &w, source, name, reason, sizeof(reason));
            if (reason[0] != '\0') {
                LOG_MSG(LVL_ERROR, "%s", reason);
            }
            LOG_MSG(LVL_ERROR, "failed to add file %s to packed %s", source, package);
            result = 0;
            break;
        }
        LOG_MSG(LVL_INFO, "COPY file to packed: [%s] -> [%s]", source, package);
    }
    d.close();

    step = write_final_record(&w);
    if (step != PACK_STEP_OK) {
        pack_step_text(step, &w, "", "", reason, sizeof(reason));
        LOG_MSG(LVL_ERROR, "%s", reason);
        return 0;
    }
    LOG_MSG(LVL_INFO, "Write packed info DONE");
    LOG_MSG(LVL_INFO, "Create packed has DONE");
    // Over all bytes but the last: the checksum leaves out the byte before it.
    uint16_t crc = 0;
    if (!calc_crc16_of_file(package, 0, &crc)) {
        LOG_MSG(LVL_ERROR, "failed to calc crc of file: %s", package);
        return 0;
    }
    LOG_MSG(LVL_INFO, "crc of packet = %hd", crc);
    step = append_crc(&w, crc);
    if (step != PACK_STEP_OK) {
        pack_step_text(step, &w, "", "", reason, sizeof(reason));
        LOG_MSG(LVL_ERROR, "%s", reason);
        return 0;
    }
    LOG_MSG(LVL_INFO, "write crc to file: %s", package);
    return result;
}
