// Device list, mount table and mount; the work list reader and the shell
// steps; the CRC-16; the readers of settings, /proc and pid files; the file copy.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// File copy

// Copies source to destination byte for byte (the destination is created with
// mode 0644 or emptied first). 1 when the whole source was copied. The source
// must be a regular file by its own name (a symbolic link, a device node or a
// FIFO is not copied), and the destination is never reached through a link.
// A copy that fails after the destination was made removes the destination.
// Every piece of the source is handed to sink (with context; none when
// nullptr) as it is written, so that a pass over the bytes (a hash) needs no
// second read.
typedef void (*copy_sink)(void* context, const unsigned char* bytes, size_t size);
int copy_one_file(const char* source, const char* destination, copy_sink sink = nullptr,
                  void* context = nullptr);

// ---------------------------------------------------------------------------
// Room on the disk
//
// What is written into a folder (a package's copy, its unpacked files) must
// leave room on its partition for the programs that are not root: sizes are
// weighed against the space they may use (f_bavail), in 64-bit arithmetic.

// The space kept free: 5 % of the partition or 16 MB, whichever is less.
enum : int64_t { SPACE_RESERVE_MAX = 16LL * 1024 * 1024 };
int64_t space_reserve(int64_t partition_bytes);

// 1 when need bytes and the reserve fit into available bytes.
int space_fits(int64_t need, int64_t available, int64_t partition_bytes);

// The bytes of the folder's partition that a program that is not root may
// still use, and the partition's size. 1 on success.
int folder_space(const char* folder, int64_t* available, int64_t* partition);

// 1 when need bytes and the reserve fit into the folder's partition; else 0
// after a level-1 line "not enough space ..." naming what: the sizes, the
// reserve, the space available and the folder.
int check_room(const char* folder, const char* what, int64_t need);

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

// Reads the block device list (/proc/diskstats) and sets *found_flag to 1 when
// it lists a USB storage device; its name goes to name_out, followed by "1"
// when the node of its first partition exists in node_folder. 0 when the list
// cannot be opened or read.
int search_storage(const char* list_path, const char* node_folder, int* found_flag, char* name_out,
                   int name_size);

// 1 when one line of the device list names a USB storage device: " sd" and a
// drive letter a to g. The name ("sdb") goes to name_out.
int is_dev_find(const char* line, char* name_out, int name_size);

// 1 when the device field of a mount table line (its first field) names the
// device: "/dev/<dev_name>", or for a name that does not end in a digit (a
// whole disk, "sdb") also one of its partitions ("/dev/sdb1"). Mount points,
// types and options never match.
int is_device_field_of(const char* line, const char* dev_name);

// 1 when the mount table lists dev_name with a mount point; the first line
// whose device field names it (is_device_field_of) decides. The mount point
// followed by "/" goes to folder_out whenever the table was read (just "/"
// when nothing matched).
int is_dev_mounted(const char* dev_name, const char* mount_list_path, char* folder_out,
                   int folder_size);

// Mounts "/dev/<dev_name>" on folder as vfat, without set-user-id, device
// files, program execution or access-time updates.
int mount_device(const char* dev_name, const char* folder);

// Copies the text between the first open_mark and the first close_mark after
// it into out (the marks are their strings' first characters). 0 when a mark
// is missing, the text is shorter than 3 characters or does not fit out_size.
int get_text_from_br(const char* text, const char* open_mark, const char* close_mark, char* out,
                     int out_size);

// ---------------------------------------------------------------------------
// Work list file

enum {
    WORK_LIST_ROWS = 100,
    TASK_ROW_STATE_SIZE = 5, // a row code of up to 4 characters
    TASK_ROW_NAME_SIZE = 64, // a script or function name of up to 63 characters
};

// Row codes, and the names of the built-in functions a function row can call.
#define TASK_ROW_SCRIPT "0001"
#define TASK_ROW_FUNCTION "0002"
#define BUILTIN_REMOVE_TEMP_FOLDER "remove_temp_folder"
#define BUILTIN_REMOVE_UPDATE_FILE "remove_ut_update_file"

// One line of a work list: '<0001>{update.sh}' runs a script from the
// package, '<0002>{remove_temp_folder}' a built-in function.
struct task_row {
    char state[TASK_ROW_STATE_SIZE];
    char name[TASK_ROW_NAME_SIZE];
};

struct work_list_table {
    int32_t count; // rows below this index are valid
    task_row rows[WORK_LIST_ROWS];
};

// Reads the work list file into table. 1 when every line was read as a row;
// count is then the number of lines. A file of more than 100 rows is refused.
int get_work_list_from_file(const char* path, work_list_table* table);

// ---------------------------------------------------------------------------
// Shell steps

// Makes the file executable for all (on != 0) or for none, as "chmod +x" /
// "chmod -x" would, but without a shell, on the regular file itself (never
// through a link; a file in the held folder through its handle). 0 only for
// an empty path; whether the bits changed is not looked at.
int script_on(const char* path, int on);

// Runs one command line through the shell and waits for its end; 1 whatever
// its exit status.
int execute_script(const char* command);

// The wait status, as the shell call gives it, of the command execute_script
// or execute_script_captured ran last (-1: no shell could be started).
// Recorded for the receipt on the stick; nothing in the daemon acts on it.
int last_execute_status();

enum {
    SCRIPT_OUTPUT_SIZE = 2048, // the last bytes of a script's output kept
};

// Runs one command line through "/bin/sh -c" as execute_script does (126 and
// 127 keep the shell's meanings), with its standard output and standard
// error on one pipe. While the command runs, the caller forwards everything
// to its own standard output, as the command's output went before, and keeps
// the last SCRIPT_OUTPUT_SIZE bytes. When the command has ended and a child
// it left in the background still holds the pipe, a "/bin/cat" started for it
// (through a shell that backgrounds it, so that it belongs to init) takes the
// pipe over and forwards it for as long as the child writes: such a child is
// never waited for, never blocked for longer than that start, never killed by
// a closed pipe, and nothing it writes is kept in a file. 1 whatever the
// command's exit status.
int execute_script_captured(const char* command);

// The output kept of the command execute_script_captured ran last (at most
// SCRIPT_OUTPUT_SIZE bytes, not NUL-terminated; any bytes at all); returns
// its length.
int last_execute_output(const char** bytes);

// 1 when a work list's script name may go into a shell command line and be
// joined to a folder: portable file-name characters only (letters, digits,
// ".", "_", "-"), not beginning with "-", not "." or "..".
int is_plain_script_name(const char* name);

// ---------------------------------------------------------------------------
// Service settings, process and file information readers

// The service settings file: its first item is the service mode, a signed
// decimal number after any amount of white space; -1 counts as no value.
// 1 with the value in out, else 0 (out unchanged).
int get_service_settings_from_file(const char* path, int* out);
// The same on the file's bytes (text ends at its first NUL).
int parse_service_settings_text(const char* text, int* out);

// Copies into out the last line of the text file that contains word (newline
// included, cut to out_size - 1 characters). Lines are read in pieces of at
// most 511 characters. A matching piece longer than out_size stops the search
// with a log line; the result is then 1 only when an earlier line was found.
// out is written only when the result is 1.
int get_line_from_file(const char* path, const char* word, char* out, int out_size);

// The first number of a line: a signed number at its start, else the first
// run of digits after the leading non-digits. A number 0 counts as none.
int get_number_from_line(const char* line, int* out);

// The resident memory in kB, from the "VmRSS:" line of a /proc/<pid>/status.
int get_memory_from_status_file(const char* path, int* out);

// The pid of a running process whose first command-line word is name, or -1.
// The calling process itself is never returned.
int proc_find_by_name(const char* name);
// 1 when the first word of the first argument of a /proc/<pid>/cmdline
// (size bytes, arguments ended by NUL) equals name.
int cmdline_first_word_is(const char* cmdline, int size, const char* name);

// 1 when the first word of the first argument of a /proc/<pid>/cmdline
// (size bytes) names the main application: "main" itself, or a path whose
// last component is "main" ("/home/velmarok/main", "./main"). The word must
// end within the bytes, at a blank or a NUL: a word that the read limit may
// have cut never counts.
int cmdline_is_main(const char* cmdline, int size);

// Reads the command line of process pid (/proc/<pid>/cmdline, arguments
// ended by NUL) into out: at most size - 1 bytes, then a NUL. Returns the
// number of bytes read (0 for a kernel thread or a zombie), or -1 when pid is
// not a positive pid or its file cannot be read (no such process). Nothing is
// logged: whether a missing process is a fault is the caller's to say.
int read_cmdline_of_pid(int pid, char* out, int size);

// Reads the decimal number at the start of a pid file into out, after any
// amount of white space. 0 when the file is missing, unreadable, or holds
// nothing but white space; 1 otherwise, leaving out unchanged when the file
// does not start with a number.
int get_main_pid_from_file(const char* path, int* out);
// The same on size bytes of a pid file.
int parse_pid_text(const char* text, int size, int* out);

// The file's status-change time in seconds since the epoch, kept in 32 bits
// (the low 32 bits of the time), or 0 when it cannot be had.
int32_t get_modify_time_of_file(const char* path);
// Seconds from a time given by get_modify_time_of_file to now, in 64 bits;
// right across the year 2038, when the 32-bit time wraps. An unknown time (0)
// counts as the epoch.
long long seconds_since_file_time(int32_t file_time, long long now);
