#include "vespadora.h"

#include <gtest/gtest.h>
