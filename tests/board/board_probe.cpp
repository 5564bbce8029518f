// A probe for the emulated board (a test fixture, not part of the product):
// it looks at the kernel's interfaces the way the daemon does, so that the
// board tests show that the board offers what the daemon needs.
//
//   board_probe find-usb         first USB disk of /proc/diskstats (sda..sdg),
//                                its first partition when the node exists,
//                                and its mount point from /proc/mounts
//   board_probe mount DEV DIR    mount(2) DEV on DIR as vfat with nosuid,
//                                nodev, noexec, noatime
//   board_probe list DIR         the entries of DIR with their types
//   board_probe remove PATH      remove(3) PATH
//   board_probe sleep SECONDS    sleep(3), then how long it took by the clock
//
// Prints one "key: value" line per fact; exits 0 on success, 1 on failure,
// 2 on a wrong command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const char DISKSTATS[] = "/proc/diskstats";
const char MOUNTS[] = "/proc/mounts";

// The kernel names of the first disk " sdX" (X in a..g) of one line.
bool disk_of_line(const char* line, char* name, size_t size) {
    const char* at = strstr(line, " sd");
    if (at == nullptr || at[3] == '\0' || strchr("abcdefg", at[3]) == nullptr) {
        return false;
    }
    snprintf(name, size, "sd%c", at[3]);
    return true;
}

int find_usb() {
    FILE* list = fopen(DISKSTATS, "r");
    if (list == nullptr) {
        printf("error: cannot open %s: %s\n", DISKSTATS, strerror(errno));
        return 1;
    }
    char line[512];
    char disk[16] = "";
    while (fgets(line, sizeof line, list) != nullptr) {
        if (disk_of_line(line, disk, sizeof disk)) {
            break;
        }
    }
    fclose(list);
    if (disk[0] == '\0') {
        printf("device: none\n");
        return 0;
    }
    char device[32];
    char node[64];
    snprintf(node, sizeof node, "/dev/%s1", disk);
    struct stat st;
    if (stat(node, &st) == 0 && S_ISBLK(st.st_mode)) {
        snprintf(device, sizeof device, "%s1", disk);
    } else {
        snprintf(device, sizeof device, "%s", disk);
    }
    printf("device: %s\n", device);

    FILE* mounts = fopen(MOUNTS, "r");
    if (mounts == nullptr) {
        printf("error: cannot open %s: %s\n", MOUNTS, strerror(errno));
        return 1;
    }
    char mount_point[256] = "";
    while (fgets(line, sizeof line, mounts) != nullptr) {
        if (strstr(line, device) != nullptr) {
            char source[256];
            if (sscanf(line, "%255s %255s", source, mount_point) != 2) {
                mount_point[0] = '\0';
            }
            break;
        }
    }
    fclose(mounts);
    printf("mounted: %s\n", mount_point[0] != '\0' ? mount_point : "no");
    return 0;
}

int mount_vfat(const char* device, const char* folder) {
    const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME;
    printf("flags: %lu\n", flags);
    if (mount(device, folder, "vfat", flags, nullptr) != 0) {
        printf("mount: failed: %s\n", strerror(errno));
        return 1;
    }
    printf("mount: ok\n");
    return 0;
}

int list(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) {
        printf("error: cannot open %s: %s\n", folder, strerror(errno));
        return 1;
    }
    while (const struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        const char* type = entry->d_type == DT_DIR   ? "dir"
                           : entry->d_type == DT_REG ? "file"
                                                     : "other";
        printf("%s: %s\n", type, entry->d_name);
    }
    closedir(dir);
    return 0;
}

int remove_path(const char* path) {
    if (remove(path) != 0) {
        printf("remove: failed: %s\n", strerror(errno));
        return 1;
    }
    printf("remove: ok\n");
    return 0;
}

double now_seconds() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1e6;
}

// Reports how long sleep() took by the clock; under libfaketime with a speed
// the sleep is shorter than asked (the clock itself stays the real one).
int sleep_for(const char* text) {
    char* end = nullptr;
    long seconds = strtol(text, &end, 10);
    if (end == text || *end != '\0' || seconds < 0 || seconds > 100000) {
        printf("error: not a number of seconds: %s\n", text);
        return 2;
    }
    printf("time_t bits: %zu\n", sizeof(time_t) * 8);
    double start = now_seconds();
    unsigned left = sleep(static_cast<unsigned>(seconds));
    printf("asked: %ld\n", seconds);
    printf("left: %u\n", left);
    printf("slept: %.2f\n", now_seconds() - start);
    return left == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "find-usb") == 0) {
        return find_usb();
    }
    if (argc == 4 && strcmp(argv[1], "mount") == 0) {
        return mount_vfat(argv[2], argv[3]);
    }
    if (argc == 3 && strcmp(argv[1], "list") == 0) {
        return list(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "remove") == 0) {
        return remove_path(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "sleep") == 0) {
        return sleep_for(argv[2]);
    }
    fprintf(stderr, "usage: board_probe find-usb | mount DEV DIR | list DIR | remove PATH | "
                    "sleep SECONDS\n");
    return 2;
}
