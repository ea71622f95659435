// Releasing the memory regions that hold a header's cards: a file mapping is removed,
// a System V shared-memory segment detached.
#include "fits.h"

#include <cstdint>
#include <sys/mman.h>
#include <sys/shm.h>

extern "C" {

int ft_munmap(FITSHead head)
{
    if (!head || !head->mmap_here || head->mmap_size <= 0) return -1;
    if (uint64_t(head->mmap_size) > SIZE_MAX) return -1;
    const int result = munmap(head->mmap_here, std::size_t(head->mmap_size));
    if (result == 0) {
        head->mmap_here = nullptr;
        head->mmap_size = 0;
    }
    return result;
}

int ft_shmdt(FITSHead head)
{
    if (!head || !head->mmap_here) return -1;
    const int result = shmdt(head->mmap_here);
    if (result == 0) {
        head->mmap_here = nullptr;
        head->mmap_size = 0;
    }
    return result;
}

} // extern "C"
