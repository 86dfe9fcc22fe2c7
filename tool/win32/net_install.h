// Installation and removal of the driver as a network service component through the
// network configuration engine.
#pragma once

#include <cstdint>

// 1 on success, 0 on failure.
int32_t SetupFilterDriver(bool install);
