#include "search_usb.h"

#include <unistd.h>

#include "../../common/log/log_c.h"
#include "../../common/test_utility/test_utility.h"
#include "../../common/test_utility/work_with_files.h"
#include "../data_ut.h"

namespace {

const char* const DEVICE_LIST = "/proc/diskstats";
const char* const DEVICE_NODE_FOLDER = "/dev/";
const char* const MOUNT_TABLE = "/proc/mounts";
const char* const OWN_MOUNT_FOLDER = "/media/usb_tools_folder/";

// A stick that is still being announced gets about 2.5 seconds to appear.
enum { SEARCH_ATTEMPTS = 50 };
const useconds_t ATTEMPT_PAUSE_USEC = 50 * 1000;

} // namespace

int F_search_for_usb() {
    LOG_MSG(LVL_INFO, "search_usb");
    for (int attempt = 0; attempt < SEARCH_ATTEMPTS; ++attempt) {
        if (!search_storage(DEVICE_LIST, DEVICE_NODE_FOLDER, &usb_detected, sdx, sizeof(sdx))) {
            LOG_MSG(LVL_ERROR, "failed to search storage device");
            return 0;
        }
        if (usb_detected == 1) {
            break;
        }
        usleep(ATTEMPT_PAUSE_USEC);
    }

    if (usb_detected == 1) {
        LOG_MSG(LVL_INFO, "usb detected");
        if (is_dev_mounted(sdx, MOUNT_TABLE, dev_path, sizeof(dev_path))) {
            LOG_MSG(LVL_INFO, "get path to mounted sdx");
        } else {
            snprintf(dev_path, sizeof(dev_path), "%s", OWN_MOUNT_FOLDER);
            // Never emptied through a link or a mount point (a stick of an
            // earlier run, another device): that fails as a busy folder does.
            if (!delete_test_folder(dev_path)) {
                LOG_MSG(LVL_ERROR, "failed to delete %s", dev_path);
                return 0;
            }
            // Made anew by this process: anything there again by that name
            // is not used.
            if (!create_fresh_folder(dev_path)) {
                LOG_MSG(LVL_ERROR, "failed to create %s", dev_path);
                return 0;
            }
            if (!mount_device(sdx, dev_path)) {
                LOG_MSG(LVL_ERROR, "failed to mount %s to %s", sdx, dev_path);
                return 0;
            }
            LOG_MSG(LVL_INFO, "usb mounted");
        }
    }

    cur_state = usb_detected == 1 ? STATE_TASK_SEARCH : STATE_GET_SETTINGS;
    return 1;
}
