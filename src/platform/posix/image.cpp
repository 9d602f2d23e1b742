// Blocks of the global allocator: each holds the whole image of a first
// file, one block per file pair, allocated and released for every pair in
// turn. Large files are mapped rather than copied (mapped.cpp); the blocks
// here are private memory, for the rest.
//
// The kept block, and the protocol it relies on:
// - Blocks are mapped directly, in whole units of 2 MiB (of a page, were
//   pages larger) and aligned to one, with room to spare. Every address and
//   length given to the system is in whole pages of the system's size (4,
//   16 or 64 KiB on arm64). A released block is kept, and the next request
//   that fits is served from it without any system call or page fault: only
//   the first image of a size costs the faults of its pages.
// - At most one block is kept, the larger; a kept block too small for a
//   request goes before the new one is mapped, so that it never adds to the
//   memory of the new one. A block's room beyond its largest image is
//   touched only by a larger image, so the memory held stays that of the
//   largest image.
// - The alignment lets a system that puts huge pages under anonymous memory
//   of its own accord do so. They are not asked for (MADV_HUGEPAGE): a huge
//   page needs 2 MiB of free memory in one piece, which a virtual machine's
//   host may have taken back and must then supply again, at a far higher
//   cost per byte than small pages taken from memory still at hand.
// - Where the padded mapping cannot be had (a limit on the address space),
//   a block of the exact size is mapped instead.
//
// Memory the kernel cannot reclaim is what a memory control group counts
// against its limit, and a process past the limit is killed, not refused:
// before a block takes memory it has not held yet, the room the group
// leaves is checked, and a request that cannot fit is refused as a memory
// failure. A mapped image that cannot be had (mapped.cpp) is such a block
// too, checked alike.
#include "internal.h"

#include <sys/mman.h>

#include "faults.h"

// Room beyond the request, in units, so that a run of slightly growing images
// does not map, fault in and drop a new block for each; with the rounding to
// whole units a block holds less than 8 MiB beyond its first image.
#define SPARE_UNITS 3

// A block is preceded by a page of its own that holds its head.
struct BlockHead {
    size_t nCapacity;  // usable bytes from the block's start
    size_t nTouched;   // the largest image it has held, in bytes
};

static void *pKeptBlock = NULL;

static BlockHead *HeadOf(void *pBlock)
{
    return (BlockHead *)((char *)pBlock - sizeof(BlockHead));
}

static void UnmapBlock(void *pBlock)
{
    munmap((char *)pBlock - PageBytes(),
           PageBytes() + HeadOf(pBlock)->nCapacity);
}

// Maps a block of at least nBytes, padded and aligned as above or of the
// exact size in whole pages; NULL when the system has no room.
static void *MapBlock(size_t nBytes, bool bPadded)
{
    const size_t nPage = PageBytes(), nUnit = LargePageBytes();
    size_t nCapacity, nAlign, nMapLen;
    char *pcMap, *pcBlock, *pcEnd;

    if (nBytes > SIZE_MAX - 8 * nUnit)
        return NULL;
    nAlign = bPadded ? nUnit : nPage;
    nCapacity = (nBytes + nAlign - 1) & ~(nAlign - 1);
    if (nCapacity == 0)
        nCapacity = nPage;
    if (bPadded)
        nCapacity += SPARE_UNITS * nUnit;
    // Map one unit more than needed, so that an aligned start with a head
    // page before it lies inside, then give back what lies around it.
    nMapLen = nPage + nCapacity + (bPadded ? nUnit : 0);
    pcMap = (char *)mmap(NULL, nMapLen, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pcMap == MAP_FAILED)
        return NULL;
    pcBlock = (char *)(((uintptr_t)pcMap + nPage + nAlign - 1) &
                       ~(uintptr_t)(nAlign - 1));
    pcEnd = pcBlock + nCapacity;
    if (pcBlock - nPage > pcMap)
        munmap(pcMap, (size_t)(pcBlock - nPage - pcMap));
    if (pcEnd < pcMap + nMapLen)
        munmap(pcEnd, (size_t)(pcMap + nMapLen - pcEnd));
    HeadOf(pcBlock)->nCapacity = nCapacity;
    HeadOf(pcBlock)->nTouched = 0;
    return pcBlock;
}

HGLOBAL GlobalAlloc(UINT, SIZE_T dwBytes)
{
    void *pBlock = NULL;

    if (FAULT_FAIL_ALLOC())
        return NULL;
    pBlock = MappedReserve(dwBytes);
    if (pBlock != NULL)
        return FAULT_COUNT_BLOCK(pBlock, +1);
    if (pKeptBlock != NULL && HeadOf(pKeptBlock)->nCapacity >= dwBytes) {
        pBlock = pKeptBlock;
        pKeptBlock = NULL;
    } else if (pKeptBlock != NULL) {
        UnmapBlock(pKeptBlock);
        pKeptBlock = NULL;
    }
    if (pBlock == NULL || HeadOf(pBlock)->nTouched < dwBytes) {
        if (!RoomForPrivateMemory(
                dwBytes - (pBlock != NULL ? HeadOf(pBlock)->nTouched : 0))) {
            if (pBlock != NULL)
                pKeptBlock = pBlock;
            return NULL;
        }
    }
    if (pBlock == NULL) {
        pBlock = MapBlock(dwBytes, true);
        if (pBlock == NULL)
            pBlock = MapBlock(dwBytes, false);
        if (pBlock == NULL)
            return NULL;
    }
    if (HeadOf(pBlock)->nTouched < dwBytes)
        HeadOf(pBlock)->nTouched = dwBytes;
    return FAULT_COUNT_BLOCK(pBlock, +1);
}

HGLOBAL GlobalFree(HGLOBAL hMem)
{
    void *pBlock = FAULT_COUNT_BLOCK(hMem, -1);

    if (pBlock == NULL || MappedRelease(pBlock))
        return NULL;
    if (pKeptBlock == NULL) {
        pKeptBlock = pBlock;
    } else if (HeadOf(pKeptBlock)->nCapacity < HeadOf(pBlock)->nCapacity) {
        UnmapBlock(pKeptBlock);
        pKeptBlock = pBlock;
    } else {
        UnmapBlock(pBlock);
    }
    return NULL;
}
