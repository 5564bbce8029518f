#include "scramble.h"
