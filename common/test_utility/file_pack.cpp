#include "file_pack.h"
