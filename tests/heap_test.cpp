#include "heap.h"

#include <gtest/gtest.h>
