// ut_pack's common names: exit statuses and the names the daemon looks for.
#pragma once

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

#define UT_PACK_VERSION "8"
#define WORK_LIST_NAME "work_list.f"
// The one name under which the daemon looks for a package on the stick, and
// under which it copies the package into its temporary folder before it
// unpacks it there; checks do the same in a private folder.
#define PACKAGE_NAME "command.f"
#define PACKAGE_COPY_NAME "command.f"

// The library joins paths into buffers of 256 bytes: longer paths would be
// cut and name another file.
enum { LIBRARY_PATH_MAX = 255 };
