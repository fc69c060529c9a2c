#pragma once

// bench/busd.cpp reaches the raw client by this path.
#include "tests/support/RawClient.h"
