// Mapped images: the whole first file of a pair mapped, not copied.
//
// Copying a large file from the page cache into private memory and reading
// it back for the comparison is twice the memory traffic of streaming it,
// and the copy is memory the kernel cannot reclaim. From MAP_FROM_BYTES up,
// the image is the file's own pages instead:
// - GlobalAlloc reserves address room for the image (no memory yet), and
//   the ReadFile of the whole file from its start into that room maps the
//   file there, read-only, and brings its pages in (MADV_POPULATE_READ), so
//   that an I/O error is a failed read of the first file, as it would be
//   when reading. GlobalFree unmaps it. Where the file cannot be mapped or
//   the kernel cannot bring the pages in (before Linux 5.14), the room
//   becomes private memory and the file is read into it, as below the size.
// - The image is read-only: the core never writes into it, and no change
//   may make it do so (the pages are the page cache's).
// - Its pages are the page cache's, which the kernel can reclaim under a
//   memory limit, so no room is checked for them.
// - A file cut short while its image is compared takes the pages past its
//   new end with it, and touching them raises SIGBUS. For an address inside
//   the image, zero pages are put in place of the rest of it and the image
//   is marked as no longer the file: every read after that fails, so that
//   the pair is reported as unreadable or as different, never as equal. Any
//   other SIGBUS keeps its default action.
// One image is mapped at a time, as the core holds one at a time.
#include "internal.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if ORVEL_LINUX

// Below this size a copy into the kept private block costs less than
// setting up and tearing down a mapping: measured on files of 1 and 2 MiB,
// the copy took half the time of the mapping at 1 MiB, the mapping three
// quarters of the copy's at 2 MiB.
#define MAP_FROM_BYTES ((size_t)2 << 20)
#define PAGE_BYTES ((size_t)4096)
#define ALIGN_BYTES ((size_t)2 << 20)

static char *volatile pcImage = NULL;  // the reserved or mapped room
static volatile size_t nImageRoom = 0;  // its length, whole pages
static bool bMapped = false;            // the file is mapped there
static volatile sig_atomic_t bBroken = 0;
static bool bHandlerSet = false;

static size_t WholePages(size_t nBytes)
{
    return (nBytes + PAGE_BYTES - 1) & ~(PAGE_BYTES - 1);
}

static void OnBusError(int, siginfo_t *pInfo, void *)
{
    char *pcAt = (char *)pInfo->si_addr;
    char *pcStart = pcImage;
    if (pcStart != NULL && pcAt >= pcStart && pcAt < pcStart + nImageRoom) {
        char *pcPage = (char *)((uintptr_t)pcAt & ~(uintptr_t)(PAGE_BYTES - 1));
        size_t nRest = (size_t)(pcStart + nImageRoom - pcPage);
        void *pZeros = mmap(pcPage, nRest, PROT_READ,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (pZeros != MAP_FAILED) {
            bBroken = 1;
            return;
        }
    }
    // Not ours, or the zero pages could not be had: when the fault recurs
    // on return, the default action ends the process.
    signal(SIGBUS, SIG_DFL);
}

void *MappedReserve(size_t nBytes)
{
    size_t nRoom = WholePages(nBytes), nMapLen = nRoom + ALIGN_BYTES;
    char *pcMap, *pcRoom;

    if (nBytes < MAP_FROM_BYTES || pcImage != NULL || nRoom < nBytes ||
        nMapLen < nRoom)
        return NULL;
    // Room aligned to 2 MiB, so that the page cache's large folios can be
    // mapped whole: here that made bringing the pages in four times faster,
    // and the comparison twice as fast, as at an address a page off.
    pcMap = (char *)mmap(NULL, nMapLen, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (pcMap == MAP_FAILED)
        return NULL;
    pcRoom = (char *)(((uintptr_t)pcMap + ALIGN_BYTES - 1) &
                      ~(uintptr_t)(ALIGN_BYTES - 1));
    if (pcRoom > pcMap)
        munmap(pcMap, (size_t)(pcRoom - pcMap));
    if (pcRoom + nRoom < pcMap + nMapLen)
        munmap(pcRoom + nRoom, (size_t)(pcMap + nMapLen - (pcRoom + nRoom)));
    nImageRoom = nRoom;
    bMapped = false;
    bBroken = 0;
    pcImage = pcRoom;
    return pcRoom;
}

bool MappedRelease(void *pBlock)
{
    if (pBlock == NULL || pBlock != pcImage)
        return false;
    pcImage = NULL;
    munmap(pBlock, nImageRoom);
    nImageRoom = 0;
    bMapped = false;
    bBroken = 0;
    return true;
}

// Makes the reserved room private memory to read into.
static bool MakePrivate(void)
{
    if (!RoomForPrivateMemory(nImageRoom)) {
        errno = ENOMEM;
        return false;
    }
    return mmap(pcImage, nImageRoom, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
}

int MappedRead(void *pBuffer, size_t nBytes, int fd, size_t *pnMapped)
{
    struct sigaction sa;
    struct stat st;

    if (pBuffer != pcImage || pcImage == NULL || bMapped)
        return 0;
    // As long as the file is now: a file that shrank since it was sized
    // delivers its real length, which the caller then finds short.
    if (fstat(fd, &st) != 0)
        return -1;
    *pnMapped = (uint64_t)st.st_size < nBytes ? (size_t)st.st_size : nBytes;
    AheadMapping(fd, *pnMapped);
    if (*pnMapped == 0 || *pnMapped > nImageRoom ||
        mmap(pcImage, *pnMapped, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) ==
            MAP_FAILED)
        return MakePrivate() ? 0 : -1;
    if (madvise(pcImage, *pnMapped, MADV_POPULATE_READ) != 0) {
        if (errno != EINVAL)
            return -1;  // an I/O error while reading the pages in
        return MakePrivate() ? 0 : -1;
    }
    if (!bHandlerSet) {
        memset(&sa, 0, sizeof(sa));
        sa.sa_sigaction = OnBusError;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        bHandlerSet = sigaction(SIGBUS, &sa, NULL) == 0;
    }
    bMapped = true;
    return 1;
}

bool MappedBroken(void)
{
    return bBroken != 0;
}

#else  // Elsewhere every image is read into private memory.

void *MappedReserve(size_t) { return NULL; }
bool MappedRelease(void *) { return false; }
int MappedRead(void *, size_t, int, size_t *) { return 0; }
bool MappedBroken(void) { return false; }

#endif
