#include "fits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <malloc.h>

namespace {

// A view over a caller's array is released by freeing its row-pointer array alone.
void free_view(void **view, int ystar)
{
    std::free(reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(view) + uintptr_t(ystar) * sizeof(void *)));
}

} // namespace

TEST(nd, zero_origin_view_indexes_rows)
{
    int16_t flat[12];
    for (int k = 0; k < 12; k++) flat[k] = int16_t(k * 10);
    void **view = ft_make2d(flat, 2, 0, 0, 4, 3);
    EXPECT_EQ(view[0], static_cast<void *>(flat));
    EXPECT_EQ(static_cast<int16_t *>(view[2])[3], 110);
    EXPECT_EQ(static_cast<int16_t *>(view[1])[0], 40);
    free_view(view, 0);
}

TEST(nd, one_based_view_reaches_first_and_last)
{
    float flat[6] = {1, 2, 3, 4, 5, 6};
    void **view = ft_make2d(flat, 4, 1, 1, 3, 2);
    auto at = [&](int y, int x) { return static_cast<float *>(view[y])[x]; };
    EXPECT_EQ(at(1, 1), 1.0f);
    EXPECT_EQ(at(2, 3), 6.0f);
    EXPECT_EQ(at(2, 1), 4.0f);
    free_view(view, 1);
}

TEST(nd, negative_origin)
{
    double flat[6] = {1, 2, 3, 4, 5, 6};
    void **view = ft_make2d(flat, 8, -2, -5, 2, 3);
    EXPECT_EQ(static_cast<double *>(view[-5])[-2], 1.0);
    EXPECT_EQ(static_cast<double *>(view[-3])[-1], 6.0);
    free_view(view, -5);
}

TEST(nd, refuses_null_and_negative_sizes)
{
    char flat[4];
    EXPECT_EQ(ft_make2d(nullptr, 1, 0, 0, 2, 2), nullptr);
    EXPECT_EQ(ft_make2d(flat, 1, 0, 0, -2, 2), nullptr);
    EXPECT_EQ(ft_make2d(flat, -1, 0, 0, 2, 2), nullptr);
    EXPECT_EQ(ft_alloc2d(1, 0, 0, 2, -2), nullptr);
    EXPECT_EQ(ft_alloc2d(8, 0, 0, 1 << 30, 1 << 30), nullptr); // 2^63 bytes
}

TEST(nd, alloc2d_is_zero_filled_and_writable)
{
    void **view = ft_alloc2d(4, 1, 1, 5, 7);
    for (int y = 1; y <= 7; y++)
        for (int x = 1; x <= 5; x++) EXPECT_EQ(static_cast<int32_t *>(view[y])[x], 0);
    static_cast<int32_t *>(view[7])[5] = 42;
    EXPECT_EQ(static_cast<int32_t *>(view[1])[1 + 5 * 7 - 1], 42);
    ft_free2d(view, 4, 1, 1);
}

// The two blocks are the starts of heap allocations of the full sizes (AddressSanitizer
// rejects any other pointer here), and after ft_free2d its leak check sees neither.
TEST(nd, free2d_releases_both_blocks)
{
    void **view = ft_alloc2d(2, 3, -4, 100, 50);
    void *flat = static_cast<char *>(view[-4]) + 2 * 3;
    void *rows = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(view) - 4 * sizeof(void *));
    EXPECT_EQ(malloc_usable_size(flat) >= 10000, true);
    EXPECT_EQ(malloc_usable_size(rows) >= 50 * sizeof(void *), true);
    ft_free2d(view, 2, 3, -4);
    ft_free2d(nullptr, 2, 0, 0);
}

TEST(nd, view_without_rows)
{
    char flat[8];
    void **view = ft_make2d(flat, 1, 0, 0, 8, 0);
    EXPECT_EQ(view != nullptr, true);
    free_view(view, 0);
    void **owned = ft_alloc2d(4, 2, 3, 10, 0);
    EXPECT_EQ(owned != nullptr, true);
    ft_free2d(owned, 4, 2, 3);
}
