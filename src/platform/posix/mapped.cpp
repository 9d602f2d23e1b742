// Mapped images: the whole first file of a pair mapped, not copied; or, for
// a first file of 4 GiB or more, which the core holds a window at a time,
// each window of it in turn.
//
// Copying a large file from the page cache into private memory and reading
// it back for the comparison is twice the memory traffic of streaming it,
// and the copy is memory the kernel cannot reclaim. From a large page
// (LargePageBytes) up, the image is the file's own pages instead:
// - GlobalAlloc comes right after the file it is for was opened and sized
//   (OpenFileSized): it maps that file, read-only, into room aligned for
//   large pages, and the ReadFile of the whole file from its start into the
//   image brings its pages in (MADV_POPULATE_READ), so that an I/O error is
//   a failed read of the first file, as it would be when reading. A block
//   smaller than the file is room for its windows: the first is mapped
//   there at once, and each later ReadFile into it maps the file's next
//   bytes in place of the window before and brings them in.
//   GlobalFree unmaps it. Where the file cannot be mapped or the kernel
//   cannot bring the pages in ahead (before Linux 5.14), GlobalAlloc gives
//   private memory, whose room it checks, as below the size: whether the
//   process has room for the image is settled where the core can still
//   call it a memory failure.
// - The image is read-only: the core never writes into it, and no change
//   may make it do so (the pages are the page cache's).
// - Its pages are the page cache's, which the kernel can reclaim under a
//   memory limit, so no room is checked for them.
// - The image is the file for as long as it is compared, changes included.
//   A descriptor of the file is kept with it, and the read that finds the
//   end of either file of the pair (the first file's right after its whole
//   read; the second file's after the last comparison, made only when all
//   compared equal) fails if the file no longer
//   has the size and times it had when its pages were brought in
//   (MappedStillAsRead), nor, where its times cannot show every change, a
//   write to it seen while it was compared (watch.cpp): a file trimmed inside
//   its last page reads as zeros past its new end, with no fault to tell.
//   (A file held in windows is also read more than once, and its own last
//   read checks it against its open.)
// - A file cut short while its image is compared takes the pages past its
//   new end with it, and touching them raises SIGBUS. For a fault inside the
//   image, zero pages are put in place of the rest of it and the image is
//   marked as no longer the file: every read after that fails, so that the
//   pair is reported as unreadable or as different, never as equal. Any
//   other SIGBUS, a fault elsewhere or one sent by a process, does what it
//   would without the handler: it ends the process (one sent while SIGBUS
//   was ignored before stays ignored). The handler is never taken down
//   while the process goes on, so no later image goes unprotected.
// One image is mapped at a time, as the core holds one at a time.
#include "internal.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "faults.h"

#if ORVEL_LINUX

static char *volatile pcImage = NULL;   // the file mapped
static volatile size_t nImageRoom = 0;  // its length, whole pages
static int fdImage = -1;                // a descriptor of the file, kept
static struct stat stImage;   // its status when mapped, then when read
static bool bRead = false;    // its pages were brought in
static int nImageWatch = -1;  // its watch for writes while compared, if any
static volatile sig_atomic_t bBroken = 0;
static bool bHandlerSet = false;
static struct sigaction saBefore;  // what SIGBUS did before the handler
// Whether MADV_POPULATE_READ works, once asked.
static enum {
    POPULATE_UNASKED,
    POPULATE_WORKS,
    POPULATE_REFUSED
} ePopulate = POPULATE_UNASKED;

// In whole pages of the system's size (4, 16 or 64 KiB): mappings are made,
// replaced and given back in whole pages.
static size_t WholePages(size_t nBytes)
{
    return (nBytes + PageBytes() - 1) & ~(PageBytes() - 1);
}

static void OnBusError(int nSignal, siginfo_t *pInfo, void *)
{
    char *pcAt = (char *)pInfo->si_addr;
    char *pcStart = pcImage;
    sigset_t setBus;

    // A fault of this process's own (a sent signal's si_addr means nothing).
    if (pInfo->si_code > 0 && pcStart != NULL && pcAt >= pcStart &&
        pcAt < pcStart + nImageRoom) {
        char *pcPage =
            (char *)((uintptr_t)pcAt & ~(uintptr_t)(PageBytes() - 1));
        size_t nRest = (size_t)(pcStart + nImageRoom - pcPage);
        void *pZeros = mmap(pcPage, nRest, PROT_READ,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (pZeros != MAP_FAILED) {
            bBroken = 1;
            return;
        }
    }
    // Sent by a process while ignored before: ignored still.
    if (pInfo->si_code <= 0 && !(saBefore.sa_flags & SA_SIGINFO) &&
        saBefore.sa_handler == SIG_IGN)
        return;
    // Anything else ends the process by this signal, as it would have.
    signal(nSignal, SIG_DFL);
    sigemptyset(&setBus);
    sigaddset(&setBus, nSignal);
    sigprocmask(SIG_UNBLOCK, &setBus, NULL);
    raise(nSignal);
}

// Whether the kernel can bring a mapping's pages in ahead: asked once, with
// a range of no length, which it answers after checking the advice alone.
static bool CanPopulate(void)
{
    if (ePopulate == POPULATE_UNASKED)
        ePopulate = madvise(NULL, 0, MADV_POPULATE_READ) == 0
                        ? POPULATE_WORKS
                        : POPULATE_REFUSED;
    return ePopulate == POPULATE_WORKS && !FAULT_NO_POPULATE();
}

void *MappedReserve(size_t nBytes)
{
    const size_t nAlign = LargePageBytes();
    size_t nRoom = WholePages(nBytes), nMapLen = nRoom + nAlign;
    struct stat st;
    char *pcMap, *pcRoom;
    int fd;

    // A file under a large page is copied into the kept private block:
    // that costs less than setting up and tearing down a mapping.
    if (nBytes < nAlign || pcImage != NULL || nRoom < nBytes ||
        nMapLen < nRoom || !CanPopulate())
        return NULL;
    fd = OpenFileSized(nBytes, &st);
    if (fd < 0)
        return NULL;
    // Room aligned to a large page, so that the page cache's large folios
    // can be mapped whole, each with one entry rather than one per page.
    pcMap = (char *)mmap(NULL, nMapLen, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (pcMap == MAP_FAILED)
        return NULL;
    pcRoom =
        (char *)(((uintptr_t)pcMap + nAlign - 1) & ~(uintptr_t)(nAlign - 1));
    if (pcRoom > pcMap)
        munmap(pcMap, (size_t)(pcRoom - pcMap));
    if (pcRoom + nRoom < pcMap + nMapLen)
        munmap(pcRoom + nRoom, (size_t)(pcMap + nMapLen - (pcRoom + nRoom)));
    if (mmap(pcRoom, nBytes, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) ==
            MAP_FAILED ||
        (fdImage = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0) {
        munmap(pcRoom, nRoom);
        return NULL;
    }
    nImageRoom = nRoom;
    stImage = st;
    bRead = false;
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
    close(fdImage);
    fdImage = -1;
    WatchEnd(nImageWatch);
    nImageWatch = -1;
    nImageRoom = 0;
    bRead = false;
    bBroken = 0;
    return true;
}

int MappedRead(void *pBuffer, size_t nBytes, int fd, uint64_t qwAt,
               size_t *pnMapped)
{
    struct sigaction sa;
    struct stat st;

    if (pBuffer != pcImage || pcImage == NULL)
        return 0;
    // The file mapped, as long as it is now: a file that shrank since it
    // was sized delivers its real length, which the caller then finds short.
    if (fstat(fd, &st) != 0)
        return -1;
    // The whole file or its first window comes first, from the start; the
    // next windows each from whole pages on.
    if (st.st_dev != stImage.st_dev || st.st_ino != stImage.st_ino ||
        nBytes > nImageRoom || (qwAt == 0 ? bRead : !bRead) ||
        qwAt % PageBytes() != 0) {
        errno = EINVAL;
        return -1;
    }
    *pnMapped = 0;
    if ((uint64_t)st.st_size > qwAt)
        *pnMapped = (uint64_t)st.st_size - qwAt < nBytes
                        ? (size_t)((uint64_t)st.st_size - qwAt)
                        : nBytes;
    if (nImageWatch < 0)
        nImageWatch = WatchStart(fd, &st);
    if (qwAt == 0)
        AheadMapping(fd, *pnMapped);
    // A window past the first takes the place of the one before it. Where
    // that fails, the room is held again, so that no other mapping can take
    // its place before GlobalFree gives it back.
    if (qwAt != 0 && *pnMapped > 0 &&
        mmap(pcImage, *pnMapped, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd,
             (off_t)qwAt) == MAP_FAILED) {
        int nError = errno;
        mmap(pcImage, nImageRoom, PROT_NONE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
        errno = nError;
        return -1;
    }
    if (*pnMapped > 0 && madvise(pcImage, *pnMapped, MADV_POPULATE_READ) != 0)
        return -1;  // an I/O error while reading the pages in
    if (!bHandlerSet) {
        memset(&sa, 0, sizeof(sa));
        sa.sa_sigaction = OnBusError;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        bHandlerSet = sigaction(SIGBUS, &sa, &saBefore) == 0;
    }
    stImage = st;
    bRead = true;
    return 1;
}

bool MappedBroken(void) { return bBroken != 0; }

bool MappedStillAsRead(void)
{
    return !bRead || (StillAsRead(fdImage, &stImage) && !WatchSaw(nImageWatch));
}

#else  // Elsewhere every image is read into private memory.

void *MappedReserve(size_t) { return NULL; }
bool MappedRelease(void *) { return false; }
int MappedRead(void *, size_t, int, uint64_t, size_t *) { return 0; }
bool MappedBroken(void) { return false; }
bool MappedStillAsRead(void) { return true; }

#endif
