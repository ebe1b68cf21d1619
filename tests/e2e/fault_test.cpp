// Faults and source variants end to end (filled in below).
#include <gtest/gtest.h>
