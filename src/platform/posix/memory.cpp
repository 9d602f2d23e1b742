// Fixed blocks of the local allocator, the layer's own working memory, and
// the system's page size, which the layer's mappings go by.
//
// Both are plain blocks of the system allocator. A local block of size 0 is
// one byte, so that success is never a null block.
#include "internal.h"

#include <stdlib.h>
#include <unistd.h>

#include "faults.h"

HLOCAL LocalAlloc(UINT, SIZE_T uBytes)
{
    if (FAULT_FAIL_ALLOC())
        return NULL;
    return FAULT_COUNT_BLOCK(malloc(uBytes != 0 ? uBytes : 1), +1);
}

HLOCAL LocalFree(HLOCAL hMem)
{
    free(FAULT_COUNT_BLOCK(hMem, -1));
    return NULL;
}

// The test build can fail these requests one by one, as it fails fixed
// blocks.
void *WorkAlloc(void *pOld, size_t nBytes)
{
    if (FAULT_FAIL_WORK_ALLOC())
        return NULL;
    return realloc(pOld, nBytes);
}

// Read once, before any mapping, so that a signal handler may ask too. The
// test build can make it larger than the system's.
size_t PageBytes(void)
{
    static size_t nPage = 0;
    if (nPage == 0) {
        long nSystem = sysconf(_SC_PAGESIZE);
        nPage = FAULT_PAGE_BYTES(nSystem > 0 ? (size_t)nSystem : (size_t)4096);
    }
    return nPage;
}

// 2 MiB: the page cache's large folios, which a mapping at an address
// aligned to them maps whole, and the unit of private blocks, which a
// system may then back with huge pages of its own accord.
#define LARGE_BYTES ((size_t)2 << 20)

size_t LargePageBytes(void)
{
    return PageBytes() > LARGE_BYTES ? PageBytes() : LARGE_BYTES;
}
