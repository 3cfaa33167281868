// SECS-II item codec and message access block.
#include "secs/XKSMssg.h"
