// SECS-II item codec and message access block.
#pragma once
