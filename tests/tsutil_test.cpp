#include "tsutil.h"

#include <gtest/gtest.h>

TEST(tsutil, vector_addresses_its_bounds)
{
    double *v = vector(1, 4);
    for (int i = 1; i <= 4; i++) v[i] = i * 1.5;
    EXPECT_EQ(v[4], 6.0);
    free_vector(v, 1, 4);
}
