#include "work_with_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../log/log_c.h"
#include "scoped_handle.h"
#include "test_utility.h"
#include "text_escape.h"
#include "text_scan.h"

extern char** environ;

namespace {

// 8096 bytes, not 8192: the copy buffer of every file-to-file copy.
enum { COPY_BUFFER_SIZE = 8096 };

ssize_t read_retry(int fd, void* buf, size_t size) {
    ssize_t n;
    do {
        n = read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t write_retry(int fd, const void* buf, size_t size) {
    ssize_t n;
    do {
        n = write(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

// ---------------------------------------------------------------------------
// File copy

int copy_one_file(const char* source, const char* destination, copy_sink sink, void* context) {
    // The source is a regular file itself: not a link to a file of the board,
    // not a device node or a FIFO, whatever a stick's file system may hold.
    struct stat named;
    struct stat opened;
    scoped_fd in;
    if (lstat(source, &named) == 0 && S_ISREG(named.st_mode)) {
        in = scoped_fd(open(source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    }
    if (!in || fstat(in.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        LOG_MSG(LVL_ERROR, "error with read from file: %s", source);
        return 0;
    }
    scoped_fd out(open_path(destination, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644));
    if (!out) {
        LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
        return 0;
    }
    unsigned char buffer[COPY_BUFFER_SIZE];
    for (;;) {
        ssize_t got = read_retry(in.get(), buffer, sizeof(buffer));
        if (got == 0) {
            break;
        }
        if (got < 0) {
            // A copy cut short by a failing medium is not a copy: a plain
            // package carries no checked checksum to catch it later.
            LOG_MSG(LVL_ERROR, "error with read from file: %s", source);
            out.close();
            delete_test_file(destination);
            return 0;
        }
        if (sink != nullptr) {
            sink(context, buffer, static_cast<size_t>(got));
        }
        if (write_retry(out.get(), buffer, static_cast<size_t>(got)) != got) {
            LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
            out.close();
            delete_test_file(destination);
            return 0;
        }
    }
    if (out.close() != 0) {
        LOG_MSG(LVL_ERROR, "error with write to file: %s", destination);
        delete_test_file(destination);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Room on the disk

int64_t space_reserve(int64_t partition_bytes) {
    int64_t part = partition_bytes / 20;
    return part < SPACE_RESERVE_MAX ? part : SPACE_RESERVE_MAX;
}

int space_fits(int64_t need, int64_t available, int64_t partition_bytes) {
    if (need < 0 || available < 0) {
        return 0;
    }
    // Both below 2^62 on any disk: the sum cannot overflow.
    return need + space_reserve(partition_bytes) <= available ? 1 : 0;
}

namespace {

// A block count times the block size, saturated at the largest 64-bit value.
int64_t bytes_of(uint64_t blocks, uint64_t block_size) {
    if (block_size != 0 && blocks > static_cast<uint64_t>(INT64_MAX) / block_size) {
        return INT64_MAX;
    }
    return static_cast<int64_t>(blocks * block_size);
}

} // namespace

int folder_space(const char* folder, int64_t* available, int64_t* partition) {
    struct statvfs st;
    if (statvfs_folder(folder, &st) != 0) {
        return 0;
    }
    *available = bytes_of(static_cast<uint64_t>(st.f_bavail), static_cast<uint64_t>(st.f_frsize));
    *partition = bytes_of(static_cast<uint64_t>(st.f_blocks), static_cast<uint64_t>(st.f_frsize));
    return 1;
}

int check_room(const char* folder, const char* what, int64_t need) {
    int64_t available = 0;
    int64_t partition = 0;
    if (!folder_space(folder, &available, &partition)) {
        LOG_MSG(LVL_ERROR, "failed to get free space of folder: %s", folder);
        return 0;
    }
    if (!space_fits(need, available, partition)) {
        LOG_MSG(LVL_ERROR,
                "not enough space for %s: %lld bytes needed, %lld kept free, %lld available in %s",
                what, static_cast<long long>(need),
                static_cast<long long>(space_reserve(partition)), static_cast<long long>(available),
                folder);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// CRC-16

// Declared extern in the header, defined constexpr here, so that the slicing
// tables below are derived from it while the program is compiled.
constexpr uint16_t Crc16Table[256] = {
    0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241, 0xC601, 0x06C0, 0x0780, 0xC741,
    0x0500, 0xC5C1, 0xC481, 0x0440, 0xCC01, 0x0CC0, 0x0D80, 0xCD41, 0x0F00, 0xCFC1, 0xCE81, 0x0E40,
    0x0A00, 0xCAC1, 0xCB81, 0x0B40, 0xC901, 0x09C0, 0x0880, 0xC841, 0xD801, 0x18C0, 0x1980, 0xD941,
    0x1B00, 0xDBC1, 0xDA81, 0x1A40, 0x1E00, 0xDEC1, 0xDF81, 0x1F40, 0xDD01, 0x1DC0, 0x1C80, 0xDC41,
    0x1400, 0xD4C1, 0xD581, 0x1540, 0xD701, 0x17C0, 0x1680, 0xD641, 0xD201, 0x12C0, 0x1380, 0xD341,
    0x1100, 0xD1C1, 0xD081, 0x1040, 0xF001, 0x30C0, 0x3180, 0xF141, 0x3300, 0xF3C1, 0xF281, 0x3240,
    0x3600, 0xF6C1, 0xF781, 0x3740, 0xF501, 0x35C0, 0x3480, 0xF441, 0x3C00, 0xFCC1, 0xFD81, 0x3D40,
    0xFF01, 0x3FC0, 0x3E80, 0xFE41, 0xFA01, 0x3AC0, 0x3B80, 0xFB41, 0x3900, 0xF9C1, 0xF881, 0x3840,
    0x2800, 0xE8C1, 0xE981, 0x2940, 0xEB01, 0x2BC0, 0x2A80, 0xEA41, 0xEE01, 0x2EC0, 0x2F80, 0xEF41,
    0x2D00, 0xEDC1, 0xEC81, 0x2C40, 0xE401, 0x24C0, 0x2580, 0xE541, 0x2700, 0xE7C1, 0xE681, 0x2640,
    0x2200, 0xE2C1, 0xE381, 0x2340, 0xE101, 0x21C0, 0x2080, 0xE041, 0xA001, 0x60C0, 0x6180, 0xA141,
    0x6300, 0xA3C1, 0xA281, 0x6240, 0x6600, 0xA6C1, 0xA781, 0x6740, 0xA501, 0x65C0, 0x6480, 0xA441,
    0x6C00, 0xACC1, 0xAD81, 0x6D40, 0xAF01, 0x6FC0, 0x6E80, 0xAE41, 0xAA01, 0x6AC0, 0x6B80, 0xAB41,
    0x6900, 0xA9C1, 0xA881, 0x6840, 0x7800, 0xB8C1, 0xB981, 0x7940, 0xBB01, 0x7BC0, 0x7A80, 0xBA41,
    0xBE01, 0x7EC0, 0x7F80, 0xBF41, 0x7D00, 0xBDC1, 0xBC81, 0x7C40, 0xB401, 0x74C0, 0x7580, 0xB541,
    0x7700, 0xB7C1, 0xB681, 0x7640, 0x7200, 0xB2C1, 0xB381, 0x7340, 0xB101, 0x71C0, 0x7080, 0xB041,
    0x5000, 0x90C1, 0x9181, 0x5140, 0x9301, 0x53C0, 0x5280, 0x9241, 0x9601, 0x56C0, 0x5780, 0x9741,
    0x5500, 0x95C1, 0x9481, 0x5440, 0x9C01, 0x5CC0, 0x5D80, 0x9D41, 0x5F00, 0x9FC1, 0x9E81, 0x5E40,
    0x5A00, 0x9AC1, 0x9B81, 0x5B40, 0x9901, 0x59C0, 0x5880, 0x9841, 0x8801, 0x48C0, 0x4980, 0x8941,
    0x4B00, 0x8BC1, 0x8A81, 0x4A40, 0x4E00, 0x8EC1, 0x8F81, 0x4F40, 0x8D01, 0x4DC0, 0x4C80, 0x8C41,
    0x4400, 0x84C1, 0x8581, 0x4540, 0x8701, 0x47C0, 0x4680, 0x8641, 0x8201, 0x42C0, 0x4380, 0x8341,
    0x4100, 0x81C1, 0x8081, 0x4040,
};

namespace {

// Slicing: table k gives the running value after byte i followed by k zero
// bytes. One step consumes CRC_SLICES bytes with one look-up per byte in as
// many tables; the look-ups are independent of each other, so they overlap
// instead of waiting one for another as the byte-wise update does.
enum { CRC_SLICES = 8 };

struct crc_slice_tables {
    uint16_t t[CRC_SLICES][256];
};

constexpr crc_slice_tables make_crc_slice_tables() {
    crc_slice_tables s{};
    for (int i = 0; i < 256; ++i) {
        s.t[0][i] = Crc16Table[i];
    }
    for (int k = 1; k < CRC_SLICES; ++k) {
        for (int i = 0; i < 256; ++i) {
            uint16_t v = s.t[k - 1][i];
            s.t[k][i] = static_cast<uint16_t>((v >> 8) ^ Crc16Table[v & 0xFF]);
        }
    }
    return s;
}

constexpr crc_slice_tables kCrcSlices = make_crc_slice_tables();

// 4096 bytes: the chunk in which files are checksummed.
enum { CRC_CHUNK_SIZE = 4096 };

} // namespace

uint16_t Crc16(const uint8_t* buf, uint16_t len) {
    return Crc16_for_buffers(buf, len, 0xFFFF);
}

uint16_t Crc16_for_buffers(const uint8_t* buf, int32_t len, uint16_t crc) {
    const uint16_t(*t)[256] = kCrcSlices.t;
    uint32_t v = crc;
    while (len >= CRC_SLICES) {
        // The running value is XOR-ed into the first two bytes of the step.
        uint32_t x = v ^ (static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8);
        v = t[7][x & 0xFF] ^ t[6][x >> 8] ^ t[5][buf[2]] ^ t[4][buf[3]] ^ t[3][buf[4]] ^
            t[2][buf[5]] ^ t[1][buf[6]] ^ t[0][buf[7]];
        buf += CRC_SLICES;
        len -= CRC_SLICES;
    }
    for (; len > 0; --len, ++buf) {
        v = (v >> 8) ^ Crc16Table[(v ^ *buf) & 0xFF];
    }
    return static_cast<uint16_t>(v);
}

int calc_crc16_of_file(const char* file_name, int32_t tail_size, uint16_t* crc_out) {
    if (file_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "file_name is empty");
        return 0;
    }
    // Opened for update, although only read: a file that may not be written
    // is refused, as the packer and the unpacker expect.
    scoped_file f(fopen_path(file_name, "rb+"));
    if (!f) {
        LOG_MSG(LVL_ERROR, "failed to open source file: %s", file_name);
        return 0;
    }
    if (fseeko(f.get(), 0, SEEK_END) != 0) {
        LOG_MSG(LVL_ERROR, "failed to read %d from %s", CRC_CHUNK_SIZE, file_name);
        return 0;
    }
    off_t length = ftello(f.get());
    LOG_MSG(LVL_INFO, "Size of file = %d", static_cast<int>(length));
    rewind(f.get());

    // The covered range: all but the last tail_size + 1 bytes. The package
    // format is defined by it (the checksum leaves out the byte before it).
    off_t covered = length - static_cast<off_t>(tail_size) - 1;
    uint16_t crc = 0xFFFF;
    uint8_t chunk[CRC_CHUNK_SIZE];
    off_t done = 0;
    while (done < covered) {
        size_t got = fread(chunk, 1, sizeof(chunk), f.get());
        if (got == 0) {
            break;
        }
        off_t left = covered - done;
        int32_t use =
            left < static_cast<off_t>(got) ? static_cast<int32_t>(left) : static_cast<int32_t>(got);
        crc = Crc16_for_buffers(chunk, use, crc);
        done += static_cast<off_t>(got);
    }
    if (ferror(f.get())) {
        // A checksum over a part of the file is no checksum of it.
        LOG_MSG(LVL_ERROR, "failed to read %d from %s", CRC_CHUNK_SIZE, file_name);
        return 0;
    }
    LOG_MSG(LVL_INFO, "tmp_crc = %hd", crc);
    *crc_out = crc;
    return 1;
}

int read_crc16_of_file(const char* file_name, int32_t end_offset, uint16_t* crc_out) {
    if (file_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "file_name is empty");
        return 0;
    }
    scoped_file f(fopen_path(file_name, "rb"));
    if (!f) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", file_name);
        return 0;
    }
    uint8_t bytes[2];
    off_t back = static_cast<off_t>(end_offset) + 2;
    if (fseeko(f.get(), -back, SEEK_END) != 0 || fread(bytes, 1, 2, f.get()) != 2) {
        LOG_MSG(LVL_ERROR, "failed to read %d from %s", 2, file_name);
        return 0;
    }
    *crc_out = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return 1;
}

// ---------------------------------------------------------------------------
// USB storage: device list, mount table, mount

namespace {

// Lines of /proc/diskstats and /proc/mounts are read with this buffer; a
// longer line is read in pieces, each taken as a line.
enum { LIST_LINE_SIZE = 512 };

// Drive letters taken for USB storage: sda to sdg.
const char* const USB_DRIVE_LETTERS = "abcdefg";

// The pause after an attempt that found nothing, and before the test for the
// first partition's node, which may still be on its way.
const useconds_t DEVICE_SETTLE_USEC = 50 * 1000;

// The mount table writes blanks, tabs, newlines and backslashes inside a
// field as three octal digits after a backslash ("\040"): back to bytes.
void unescape_mount_field(char* field) {
    char* out = field;
    for (const char* in = field; *in != '\0'; ++in) {
        if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
            in[3] >= '0' && in[3] <= '7') {
            *out++ = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
            in += 3;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
}

} // namespace

int is_device_field_of(const char* line, const char* dev_name) {
    static const char NODE_FOLDER[] = "/dev/";
    const size_t folder_length = sizeof(NODE_FOLDER) - 1;
    size_t name_length = strlen(dev_name);
    if (name_length == 0 || strncmp(line, NODE_FOLDER, folder_length) != 0 ||
        strncmp(line + folder_length, dev_name, name_length) != 0) {
        return 0;
    }
    const char* rest = line + folder_length + name_length;
    const char* end = rest;
    // A disk's name also matches its partitions: "sdb" the field "/dev/sdb1".
    char last = dev_name[name_length - 1];
    if (last < '0' || last > '9') {
        while (*end >= '0' && *end <= '9') {
            ++end;
        }
    }
    // The field ends here, at the blank before the mount point.
    return *end == ' ' || *end == '\t' ? 1 : 0;
}

int is_dev_find(const char* line, char* name_out, int name_size) {
    if (name_size < 4) {
        return 0;
    }
    const char* at = strstr(line, " sd");
    if (at == nullptr) {
        return 0;
    }
    char letter = at[3];
    if (letter == '\0' || strchr(USB_DRIVE_LETTERS, letter) == nullptr) {
        return 0;
    }
    snprintf(name_out, 4, "%.3s", at + 1);
    return 1;
}

int search_storage(const char* list_path, const char* node_folder, int* found_flag, char* name_out,
                   int name_size) {
    scoped_file list(fopen(list_path, "r"));
    if (!list) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", list_path);
        return 0;
    }
    char line[LIST_LINE_SIZE] = "";
    char name[16] = "";
    while (fgets(line, sizeof(line), list.get()) != nullptr) {
        *found_flag = is_dev_find(line, name, sizeof(name));
        if (*found_flag == 0) {
            continue;
        }
        snprintf(line, sizeof(line), "%s%s1", node_folder, name);
        LOG_MSG(LVL_INFO, "path to dev file: %s\n", line);
        usleep(DEVICE_SETTLE_USEC);
        if (is_file_existed(line)) {
            snprintf(name_out, static_cast<size_t>(name_size), "%s1", name);
        } else {
            snprintf(name_out, static_cast<size_t>(name_size), "%s", name);
        }
        return 1;
    }
    if (ferror(list.get())) {
        list.close();
        LOG_MSG(LVL_ERROR, "failed to read file: %s", list_path);
        return 0;
    }
    return 1;
}

int is_dev_mounted(const char* dev_name, const char* mount_list_path, char* folder_out,
                   int folder_size) {
    if (dev_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "dev_name is empty");
        return 0;
    }
    if (mount_list_path[0] == '\0') {
        LOG_MSG(LVL_ERROR, "mount_list is empty");
        return 0;
    }
    char mount_point[256] = "";
    scoped_file table(fopen(mount_list_path, "r"));
    if (!table) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", mount_list_path);
        return 0;
    }
    int found = 0;
    char line[LIST_LINE_SIZE];
    while (fgets(line, sizeof(line), table.get()) != nullptr) {
        if (is_device_field_of(line, dev_name)) {
            found = get_text_from_br(line, " ", " ", mount_point, sizeof(mount_point));
            break;
        }
    }
    if (ferror(table.get())) {
        table.close();
        LOG_MSG(LVL_ERROR, "failed to read file: %s", mount_list_path);
        return 0;
    }
    table.close();
    unescape_mount_field(mount_point);
    // A mount point too long for the folder and its "/" is no folder to use:
    // cut, it would name another one. Nor is one with control bytes (a
    // stick's label): it would forge the log lines that name it.
    if (has_control_bytes(mount_point) ||
        snprintf(folder_out, static_cast<size_t>(folder_size), "%s/", mount_point) >= folder_size) {
        snprintf(folder_out, static_cast<size_t>(folder_size), "/");
        return 0;
    }
    return found;
}

int mount_device(const char* dev_name, const char* folder) {
    if (dev_name[0] == '\0') {
        LOG_MSG(LVL_ERROR, "device name is empty");
        return 0;
    }
    if (folder[0] == '\0') {
        LOG_MSG(LVL_ERROR, "device path is empty");
        return 0;
    }
    char node[256];
    snprintf(node, sizeof(node), "/dev/%s", dev_name);
    if (mount(node, folder, "vfat", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME, nullptr) != 0) {
        LOG_MSG(LVL_ERROR, "Mount error: %s", strerror(errno));
        LOG_MSG(LVL_ERROR, "full_dev_name = %s; dev_path = %s\n", node, folder);
        return 0;
    }
    return 1;
}

int get_text_from_br(const char* text, const char* open_mark, const char* close_mark, char* out,
                     int out_size) {
    char work[512] = "";
    if (strlen(text) < 3 || open_mark[0] == '\0' || close_mark[0] == '\0') {
        return 0;
    }
    const char* open = strchr(text, open_mark[0]);
    if (open == nullptr) {
        return 0;
    }
    const char* close = strchr(open + 1, close_mark[0]);
    if (close == nullptr) {
        return 0;
    }
    long distance = close - open;
    if (distance > out_size) {
        return 0;
    }
    snprintf(work, sizeof(work), "%.*s", static_cast<int>(distance - 1), open + 1);
    snprintf(out, static_cast<size_t>(out_size), "%s", work);
    return 1;
}

// ---------------------------------------------------------------------------
// Work list file

int get_work_list_from_file(const char* path, work_list_table* table) {
    if (path[0] == '\0') {
        LOG_MSG(LVL_ERROR, "file name is empty");
        return 0;
    }
    table->count = 0;
    scoped_file file(fopen_path(path, "r"));
    if (!file) {
        LOG_MSG(LVL_ERROR, "failed to read work list from file");
        return 0;
    }
    char line[LIST_LINE_SIZE] = "";
    int result = 1;
    int rows = 0;
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        if (rows == WORK_LIST_ROWS) {
            LOG_MSG(LVL_ERROR, "work list has more than %d rows: %s", WORK_LIST_ROWS, path);
            result = 0;
            break;
        }
        task_row* row = &table->rows[rows];
        if (!get_text_from_br(line, "<", ">", row->state, sizeof(row->state))) {
            LOG_MSG(LVL_ERROR, "failed to get state of task row");
            result = 0;
            break;
        }
        if (!get_text_from_br(line, "{", "}", row->name, sizeof(row->name))) {
            LOG_MSG(LVL_ERROR, "failed to get name of task row");
            result = 0;
            break;
        }
        ++rows;
    }
    if (result && ferror(file.get())) {
        file.close();
        LOG_MSG(LVL_ERROR, "failed to read file: %s", path);
        return 0;
    }
    table->count = rows;
    return result;
}

// ---------------------------------------------------------------------------
// Shell steps

int script_on(const char* path, int on) {
    if (path[0] == '\0') {
        LOG_MSG(LVL_ERROR, "script_path is empty");
        return 0;
    }
    // The execute bits of the regular file itself, without a shell and never
    // through a link; the outcome is not looked at, as the command's status
    // never was.
    scoped_fd fd(open_path(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (fd && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode_t bits = st.st_mode & 07777;
        fchmod(fd.get(), on ? (bits | 0111) : (bits & ~static_cast<mode_t>(0111)));
    }
    return 1;
}

namespace {

int g_last_execute_status;

} // namespace

int execute_script(const char* command) {
    // The exit status belongs to the script: it is kept for the receipt,
    // never looked at here.
    g_last_execute_status = system(command);
    return 1;
}

int last_execute_status() {
    return g_last_execute_status;
}

namespace {

char g_last_output[SCRIPT_OUTPUT_SIZE];
int g_last_output_length;

// How long the wait for a script's end sleeps between two looks while the
// script writes nothing.
enum { SCRIPT_POLL_MS = 50 };

// The last bytes seen, in a ring.
struct output_ring {
    char bytes[SCRIPT_OUTPUT_SIZE];
    unsigned long long seen;
};

void ring_add(output_ring* ring, const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        ring->bytes[ring->seen % SCRIPT_OUTPUT_SIZE] = data[i];
        ++ring->seen;
    }
}

// The kept bytes, oldest first, into the last output.
void ring_keep(const output_ring* ring) {
    size_t length = ring->seen < SCRIPT_OUTPUT_SIZE ? static_cast<size_t>(ring->seen)
                                                    : static_cast<size_t>(SCRIPT_OUTPUT_SIZE);
    unsigned long long start = ring->seen - length;
    for (size_t i = 0; i < length; ++i) {
        g_last_output[i] = ring->bytes[(start + i) % SCRIPT_OUTPUT_SIZE];
    }
    g_last_output_length = static_cast<int>(length);
}

// Reads one piece of the script's output, forwards it to the standard output
// and keeps it; 0 at the output's end (no writer left).
int forward_piece(int in, output_ring* ring) {
    char piece[4096];
    ssize_t got = read_retry(in, piece, sizeof(piece));
    if (got <= 0) {
        return 0;
    }
    ring_add(ring, piece, static_cast<size_t>(got));
    // A standard output that fails loses the bytes, never the script.
    for (ssize_t done = 0; done < got;) {
        ssize_t n = write_retry(STDOUT_FILENO, piece + done, static_cast<size_t>(got - done));
        if (n <= 0) {
            break;
        }
        done += n;
    }
    return 1;
}

// 1 when the output pipe holds bytes or has no writer left, without waiting.
int output_ready(int in) {
    struct pollfd now = {in, POLLIN, 0};
    return poll(&now, 1, 0) > 0 && (now.revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? 1 : 0;
}

// Starts argv[0] with the file actions; its pid, or -1.
pid_t spawn(const char* const* argv, const posix_spawn_file_actions_t* actions) {
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], actions, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
        return -1;
    }
    return pid;
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

// A child that the script left in the background still holds the pipe: a
// "/bin/cat" takes the pipe over and forwards it to the standard output for
// as long as that child writes. It is named by its path: it runs as root, and
// the daemon's PATH may name folders that others can write. It is started
// through a shell that puts it in the background and ends, so that it
// belongs to init, not to the daemon.
int hand_over(int in) {
    int moved = fcntl(in, F_DUPFD_CLOEXEC, 10);
    if (moved < 0) {
        return 0;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, moved, 3);
    const char* const argv[] = {"/bin/sh", "-c", "/bin/cat <&3 3<&- &", nullptr};
    pid_t pid = spawn(argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(moved);
    int status = pid < 0 ? -1 : wait_for(pid);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}

} // namespace

int execute_script_captured(const char* command) {
    g_last_output_length = 0;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return execute_script(command);
    }
    // The shell gets the pipe's end as its standard output and error. The
    // process is started the way the shell call starts it (posix_spawn, no
    // fork of the daemon's whole memory).
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    const char* const argv[] = {"/bin/sh", "-c", command, nullptr};
    pid_t pid = spawn(argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        g_last_execute_status = -1;
        return 1;
    }
    // Forwarded and kept while the script runs; its end is looked for
    // between the pieces.
    output_ring ring;
    ring.seen = 0;
    int open_output = 1;
    int status = 0;
    for (;;) {
        pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) {
            break;
        }
        struct pollfd wait_fd = {open_output ? ends[0] : -1, POLLIN, 0};
        if (poll(&wait_fd, 1, SCRIPT_POLL_MS) > 0 &&
            (wait_fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            open_output = forward_piece(ends[0], &ring);
        }
    }
    // The exit status belongs to the script: kept for the receipt.
    g_last_execute_status = status;
    // What the script wrote is in the pipe already; what is there now is
    // taken, within a bound, since a child may write on for ever.
    for (int pieces = 0; open_output && pieces < 256 && output_ready(ends[0]); ++pieces) {
        open_output = forward_piece(ends[0], &ring);
    }
    ring_keep(&ring);
    if (open_output && !hand_over(ends[0])) {
        LOG_MSG(LVL_ERROR, "failed to forward the output of a background child: %s", command);
    }
    close(ends[0]);
    return 1;
}

int last_execute_output(const char** bytes) {
    *bytes = g_last_output;
    return g_last_output_length;
}

int is_plain_script_name(const char* name) {
    if (name[0] == '\0' || name[0] == '-' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return 0;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        char c = *p;
        int portable = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
        if (!portable) {
            return 0;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Service settings, process and file information readers

namespace {

// A settings or pid file is read in pieces of this size until its first
// number has ended, however far into the file it starts.
enum { NUMBER_PIECE_SIZE = 512 };
// What is read of a settings or pid file that is not a regular file (a FIFO):
// a writer could feed it white space for ever. One pipe's default capacity.
enum { NON_REGULAR_READ_LIMIT = 64 * 1024 };
// The first argument of a command line is read with this many bytes.
enum { CMDLINE_BUFFER_SIZE = 512 };
// The longest piece of a line looked at by get_line_from_file, plus its NUL.
enum { LINE_BUFFER_SIZE = 512 };

enum read_result { READ_DONE = 0, READ_OPEN_FAILED = -1, READ_FAILED = -2 };

// Reads up to size - 1 bytes from the start of a file into buf and ends them
// with a NUL. Returns the number of bytes read, or a read_result. Opened
// without blocking, so that a FIFO under the name cannot stall the daemon.
int read_file_head(const char* path, char* buf, int size) {
    scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return READ_OPEN_FAILED;
    }
    int used = 0;
    while (used < size - 1) {
        ssize_t got = read_retry(fd.get(), buf + used, static_cast<size_t>(size - 1 - used));
        if (got < 0) {
            return READ_FAILED;
        }
        if (got == 0) {
            break;
        }
        used += static_cast<int>(got);
    }
    buf[used] = '\0';
    return used;
}

// Feeds the file's bytes from its start into scan until the number has
// ended or the file has (a file other than a regular one ends after
// NON_REGULAR_READ_LIMIT bytes). Opened without blocking: a FIFO without
// writer ends at once, and one whose writer holds it empty is a read error.
int scan_file_number(const char* path, int_scan* scan) {
    int_scan_start(scan);
    scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return READ_OPEN_FAILED;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        return READ_FAILED;
    }
    long long left = S_ISREG(st.st_mode) ? -1 : NON_REGULAR_READ_LIMIT;
    char piece[NUMBER_PIECE_SIZE];
    while (!int_scan_ended(scan) && left != 0) {
        size_t want = sizeof(piece);
        if (left > 0 && left < static_cast<long long>(want)) {
            want = static_cast<size_t>(left);
        }
        ssize_t got = read_retry(fd.get(), piece, want);
        if (got < 0) {
            return READ_FAILED;
        }
        if (got == 0) {
            break;
        }
        if (left > 0) {
            left -= got;
        }
        int_scan_feed(scan, piece, static_cast<int>(got));
    }
    return READ_DONE;
}

int is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A /proc entry name that is a whole decimal number, as a pid; 0 otherwise.
int pid_of_proc_entry(const char* name) {
    if (*name == '\0') {
        return 0;
    }
    long long value = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        value = value * 10 + (*p - '0');
        if (value > 0x7fffffff) {
            return 0;
        }
    }
    return static_cast<int>(value);
}

// The service mode from a scanned settings text: -1 is the value the file
// has when it says nothing.
int settings_value(const int_scan* scan, int* out) {
    int value = -1;
    if (!int_scan_result(scan, &value) || value == -1) {
        return 0;
    }
    *out = value;
    return 1;
}

// The pid from a scanned pid file: nothing but white space before the end
// is nothing read. Any other byte, a NUL included, counts as read, and when
// it does not begin a number out stays as it was.
int pid_value(const int_scan* scan, int* out) {
    if (int_scan_only_blanks(scan)) {
        return 0;
    }
    int_scan_result(scan, out);
    return 1;
}

// The first word of the first argument of a command line (size bytes,
// arguments ended by NUL): leading blanks skipped, ended by a blank, a NUL
// or the end of the bytes. *ended tells whether a blank or a NUL ended it.
void cmdline_first_word(const char* cmdline, int size, const char** word, size_t* length,
                        int* ended) {
    const char* end = static_cast<const char*>(memchr(cmdline, '\0', static_cast<size_t>(size)));
    if (end == nullptr) {
        end = cmdline + size;
    }
    const char* p = cmdline;
    while (p < end && is_blank(*p)) {
        ++p;
    }
    const char* word_end = p;
    while (word_end < end && !is_blank(*word_end)) {
        ++word_end;
    }
    *word = p;
    *length = static_cast<size_t>(word_end - p);
    *ended = word_end < cmdline + size ? 1 : 0;
}

} // namespace

int parse_service_settings_text(const char* text, int* out) {
    int_scan scan;
    int_scan_start(&scan);
    int_scan_feed(&scan, text, static_cast<int>(strlen(text)));
    return settings_value(&scan, out);
}

int get_service_settings_from_file(const char* path, int* out) {
    if (path == nullptr || *path == '\0') {
        LOG_MSG(LVL_ERROR, "file_path is empty");
        return 0;
    }
    int_scan scan;
    int got = scan_file_number(path, &scan);
    if (got == READ_OPEN_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", path);
        return 0;
    }
    if (got == READ_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to read file: %s", path);
        return 0;
    }
    return settings_value(&scan, out);
}

int get_line_from_file(const char* path, const char* word, char* out, int out_size) {
    if (path == nullptr || *path == '\0') {
        LOG_MSG(LVL_ERROR, "file_path is empty");
        return 0;
    }
    if (word == nullptr || *word == '\0') {
        LOG_MSG(LVL_ERROR, "search_word is empty");
        return 0;
    }
    scoped_file file(fopen(path, "re"));
    if (!file) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", path);
        return 0;
    }
    // The last match is kept here and copied out only when the search
    // succeeds, so that out is left alone on failure.
    char found[LINE_BUFFER_SIZE];
    int have_found = 0;
    char line[LINE_BUFFER_SIZE];
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        if (strstr(line, word) == nullptr) {
            continue;
        }
        int length = static_cast<int>(strlen(line));
        if (length > out_size) {
            LOG_MSG(LVL_ERROR, "res_buf would be overflow: buf size = %d, result size = %d",
                    out_size, length);
            break;
        }
        memcpy(found, line, static_cast<size_t>(length) + 1);
        have_found = 1;
    }
    if (ferror(file.get())) {
        LOG_MSG(LVL_ERROR, "failed to read file: %s", path);
        return 0;
    }
    if (!have_found) {
        return 0;
    }
    snprintf(out, static_cast<size_t>(out_size), "%s", found);
    return 1;
}

int get_number_from_line(const char* line, int* out) {
    if (line == nullptr || *line == '\0') {
        LOG_MSG(LVL_ERROR, "line is empty");
        return 0;
    }
    int value = 0;
    if (!scan_int(line, &value) || value == 0) {
        value = 0;
        scan_digits_after_text(line, &value);
    }
    if (value == 0) {
        return 0;
    }
    *out = value;
    return 1;
}

int get_memory_from_status_file(const char* path, int* out) {
    // 'VmRSS:\t   73420 kB'
    char line[LINE_BUFFER_SIZE];
    if (!get_line_from_file(path, "VmRSS:", line, sizeof(line))) {
        LOG_MSG(LVL_ERROR, "failed to get VmRSS: line from file: %s", path);
        return 0;
    }
    if (!get_number_from_line(line, out)) {
        LOG_MSG(LVL_ERROR, "failed to get number from line: [%s]", line);
        return 0;
    }
    return 1;
}

int cmdline_first_word_is(const char* cmdline, int size, const char* name) {
    const char* word = nullptr;
    size_t length = 0;
    int ended = 0;
    cmdline_first_word(cmdline, size, &word, &length, &ended);
    // An empty word matches nothing, and name must be the whole word.
    return length > 0 && strlen(name) == length && memcmp(word, name, length) == 0 ? 1 : 0;
}

int cmdline_is_main(const char* cmdline, int size) {
    const char* word = nullptr;
    size_t length = 0;
    int ended = 0;
    cmdline_first_word(cmdline, size, &word, &length, &ended);
    // A word that runs to the end of the bytes read may be cut there:
    // "/x/main" could be the start of "/x/main_backup".
    if (!ended) {
        return 0;
    }
    static const char MAIN_NAME[] = "main";
    const size_t name_length = sizeof(MAIN_NAME) - 1;
    if (length < name_length || memcmp(word + length - name_length, MAIN_NAME, name_length) != 0) {
        return 0;
    }
    return length == name_length || word[length - name_length - 1] == '/' ? 1 : 0;
}

int read_cmdline_of_pid(int pid, char* out, int size) {
    if (pid <= 0 || size < 1) {
        return -1;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/cmdline", pid);
    int got = read_file_head(path, out, size);
    return got < 0 ? -1 : got;
}

int proc_find_by_name(const char* name) {
    if (name == nullptr || *name == '\0') {
        LOG_MSG(LVL_ERROR, "proc_name is empty");
        return -1;
    }
    scoped_dir proc(opendir("/proc"));
    if (!proc) {
        LOG_MSG(LVL_ERROR, "can't open /proc");
        return -1;
    }
    const int self = static_cast<int>(getpid());
    while (struct dirent* entry = readdir(proc.get())) {
        int pid = pid_of_proc_entry(entry->d_name);
        if (pid == 0 || pid == self) {
            continue;
        }
        // A process that ended during the scan has no files left: skipped.
        char cmdline[CMDLINE_BUFFER_SIZE + 1];
        int got = read_cmdline_of_pid(pid, cmdline, sizeof(cmdline));
        if (got <= 0) {
            continue;
        }
        if (cmdline_first_word_is(cmdline, got, name)) {
            return pid;
        }
    }
    return -1;
}

int parse_pid_text(const char* text, int size, int* out) {
    int_scan scan;
    int_scan_start(&scan);
    int_scan_feed(&scan, text, size);
    return pid_value(&scan, out);
}

int get_main_pid_from_file(const char* path, int* out) {
    if (path == nullptr || *path == '\0') {
        LOG_MSG(LVL_ERROR, "file_path is empty");
        return 0;
    }
    if (!is_file_existed(path)) {
        LOG_MSG(LVL_WARNING, "failed to find file: %s", path);
        return 0;
    }
    int_scan scan;
    int got = scan_file_number(path, &scan);
    if (got == READ_OPEN_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", path);
        return 0;
    }
    if (got == READ_FAILED) {
        LOG_MSG(LVL_ERROR, "failed to read file: %s", path);
        return 0;
    }
    return pid_value(&scan, out);
}

int32_t get_modify_time_of_file(const char* path) {
    if (path == nullptr || *path == '\0') {
        LOG_MSG(LVL_ERROR, "file_name is empty");
        return 0;
    }
    if (!is_file_existed(path)) {
        LOG_MSG(LVL_WARNING, "failed to find file: %s", path);
        return 0;
    }
    scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        LOG_MSG(LVL_ERROR, "failed to open file: %s", path);
        return 0;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        LOG_MSG(LVL_ERROR, "failed to get file info: %s", path);
        return 0;
    }
    // The low 32 bits; seconds_since_file_time puts the time back together.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(st.st_ctime)));
}

long long seconds_since_file_time(int32_t file_time, long long now) {
    if (file_time == 0) {
        return now;
    }
    // The file time is taken as the one of its 2^32-second family nearest to
    // now: the plain difference for any time of the board's life, and still
    // right once the 32-bit time has wrapped after January 2038.
    uint32_t difference =
        static_cast<uint32_t>(static_cast<uint64_t>(now)) - static_cast<uint32_t>(file_time);
    return static_cast<long long>(static_cast<int32_t>(difference));
}
