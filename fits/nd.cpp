// Two-dimensional views of flat row-major pixel arrays: row pointers biased by the
// first column and the handle biased by the first row, for view[y][x] indexing.
#include "fits.h"

#include <cstdint>
#include <cstdlib>

namespace {

// The biased addresses may lie outside the arrays they index, so they are formed
// as integers: pointer arithmetic outside an array is not defined.
void *moved(const void *base, int64_t bytes)
{
    return reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(base) + uintptr_t(bytes));
}

// Bytes of an xsize by ysize array of size-byte elements, or -1 when a size is
// negative or the product does not fit in memory.
int64_t array_bytes(int size, int xsize, int ysize)
{
    if (size < 0 || xsize < 0 || ysize < 0) return -1;
    const int64_t bytes = int64_t(size) * xsize; // both below 2^31: no overflow
    if (ysize > 0 && bytes > INT64_MAX / ysize) return -1;
    const int64_t total = bytes * ysize;
    if (uint64_t(total) > SIZE_MAX) return -1;
    return total;
}

} // namespace

extern "C" {

void **ft_make2d(void *ptr, int size, int xstar, int ystar, int xsize, int ysize)
{
    if (!ptr || array_bytes(size, xsize, ysize) < 0) return nullptr;
    // At least one entry: row 0 always holds the array's place, so that ft_free2d
    // finds it even for a view without rows.
    auto **rows = static_cast<void **>(std::calloc(size_t(ysize > 0 ? ysize : 1), sizeof(void *)));
    if (!rows) return nullptr;
    const int64_t row_bytes = int64_t(xsize) * size;
    const int64_t first_column = -int64_t(xstar) * size;
    for (int y = (ysize > 0 ? ysize : 1) - 1; y >= 0; y--) rows[y] = moved(ptr, row_bytes * y + first_column);
    return static_cast<void **>(moved(rows, -int64_t(ystar) * int64_t(sizeof(void *))));
}

void **ft_alloc2d(int size, int xstar, int ystar, int xsize, int ysize)
{
    const int64_t bytes = array_bytes(size, xsize, ysize);
    if (bytes < 0) return nullptr;
    void *flat = std::calloc(bytes > 0 ? size_t(bytes) : 1, 1);
    if (!flat) return nullptr;
    void **view = ft_make2d(flat, size, xstar, ystar, xsize, ysize);
    if (!view) std::free(flat);
    return view;
}

void ft_free2d(void **ptr2d, int size, int xstar, int ystar)
{
    if (!ptr2d) return;
    auto **rows = static_cast<void **>(moved(ptr2d, int64_t(ystar) * int64_t(sizeof(void *))));
    std::free(moved(rows[0], int64_t(xstar) * size));
    std::free(rows);
}

} // extern "C"
