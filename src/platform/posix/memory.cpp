// Fixed blocks of the local allocator, and the layer's own working memory.
//
// Both are plain blocks of the system allocator. A local block of size 0 is
// one byte, so that success is never a null block.
#include "internal.h"

#include <stdlib.h>

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
