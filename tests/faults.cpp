// Fault injection for the test build of the platform layer, steered by the
// environment of the test that runs it:
//   ORVEL_FAIL_ALLOC=N       the Nth fixed-block allocation (from 1) fails;
//   ORVEL_FAIL_WORK_ALLOC=N  the Nth request for the layer's own working
//                            memory (path texts, search state) fails;
//   ORVEL_SHRINK_AT=N        right after the Nth size query the file is cut
//                            to half its size, as if another process shrank it;
//   ORVEL_GROW_AT=N          right after the Nth size query one byte is
//                            appended to the file;
//   ORVEL_DELETE_AT=N        the Nth entry other than "." and ".." that a
//                            directory search lists is removed just before
//                            the layer looks at it;
//   ORVEL_CUT_AT=N           right after the Nth read (from 1) the file read
//                            is cut to half its size;
//   ORVEL_REWRITE_AT=N       right after the Nth read the first byte of the
//                            file read is changed in place: same size, a new
//                            change time;
//   ORVEL_CUT_FIRST_AT=N:B   right after the Nth read the file read before
//                            the one just read (the first file of the pair,
//                            when the second is being read) loses its last
//                            B bytes;
//   ORVEL_REWRITE_BACK_AT=N  right after the Nth read the first and the last
//                            byte of the file read are changed in place and
//                            its access and modification times put back, as
//                            a writer that hides its work would;
//   ORVEL_REWRITE_FIRST_BACK_AT=N  the same, to the file read before the
//                            one just read;
//   ORVEL_RENAME_AT=N:F->T   right after the Nth open of a file, F is renamed
//                            to T;
//   ORVEL_SIGNAL_AT=N:S      right after the Nth open of a file the process
//                            sends itself signal S, as another process would;
//   ORVEL_BUS_AT=N           right after the Nth open the process gets a
//                            SIGBUS as the kernel gives one for a fault at
//                            an address outside any mapped file: the byte
//                            before the last file the layer mapped;
//   ORVEL_NO_POPULATE=1      mapped images act as on a system that cannot
//                            bring a mapping's pages in ahead;
//   ORVEL_COARSE_TIMES=1     every file's times are taken as exFAT keeps
//                            them: to the second, no change time of their own;
//   ORVEL_FIFO_AT=N          the Nth entry other than "." and ".." that a
//                            search delivers is replaced by a FIFO as it is
//                            delivered, long after its directory was listed;
//   ORVEL_PAGE_BYTES=N       the layer's pages are N bytes (a power of two, a
//                            multiple of this machine's), and its mapping
//                            calls act as a kernel with such pages would:
//                            every mapping starts at a whole page and takes
//                            whole pages, addresses and file offsets that
//                            are not whole pages are refused.
//   ORVEL_SWAP_AT=N:D->T     as the Nth such entry is delivered, the
//                            directory D is renamed to D.orig and a link to T
//                            put in its place;
//   ORVEL_AHEAD=1            the read-ahead agent starts with the walk and
//                            works throughout, as on a tree read from disk;
//   ORVEL_AHEAD=2            so does it, and the listings of its walk lack
//                            their first entry and every second one after
//                            it, as if each directory changed between its
//                            listing and the core's: the core's searches
//                            list those directories themselves, and the
//                            agent's walk parts from the core's (the walk
//                            the core hands it then lacks none);
//   ORVEL_AHEAD_STEP=1       with the agent at work (forced, or started by
//                            a miss or a share), the core's first search
//                            and each of its opens wait until every thread
//                            of the agent waits for the core, so that what
//                            the agent does before each step of the core
//                            is the same from run to run, whatever the
//                            machine's load; a wait past AHEAD_STEP_SECONDS
//                            is reported.
//   ORVEL_AHEAD_STEP=2       so do they, and each file the agent opens is
//                            left for the core only when the core's open
//                            asks for it: the agent's open is in flight as
//                            the core comes to the file.
// At exit, blocks still held are reported on standard error, and so is, at
// once, every open of anything but a regular file for reading: every test of
// the test build is also a leak test and a test that nothing else is opened.
#include "platform/posix/faults.h"
// mmap, munmap and madvise are the system's here: the header renames them
// for the layer alone.
#undef mmap
#undef munmap
#undef madvise

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>

static long nAllocs = 0;
static long nWorkAllocs = 0;
static long nSizes = 0;
static long nEntries = 0;
static long nDelivered = 0;
static long nReads = 0;
static long nOpens = 0;
static char szReadLast[4096], szReadBefore[4096];  // files read, by path
static long nLiveBlocks = 0;
static bool bReportArmed = false;
static char *pcLastFileMap = NULL;  // where the layer last mapped a file

// The bound on one wait for the read-ahead agent (ORVEL_AHEAD_STEP): far
// longer than it takes on any machine, short of the runs' own time limit.
#define AHEAD_STEP_SECONDS 20

static long EnvNumber(const char *pszName)
{
    const char *pszValue = getenv(pszName);
    return pszValue != NULL ? atol(pszValue) : 0;
}

// The number after the colon of "N:M".
static long EnvAfterColon(const char *pszName)
{
    const char *pszColon = strchr(getenv(pszName), ':');
    return pszColon != NULL ? atol(pszColon + 1) : 0;
}

static void ReportLiveBlocks(void)
{
    if (nLiveBlocks != 0)
        fprintf(stderr, "orvel-faults: %ld blocks not released\n", nLiveBlocks);
}

bool FaultFailAlloc(void)
{
    if (!bReportArmed) {
        bReportArmed = true;
        atexit(ReportLiveBlocks);
    }
    return ++nAllocs == EnvNumber("ORVEL_FAIL_ALLOC");
}

bool FaultFailWorkAlloc(void)
{
    return ++nWorkAllocs == EnvNumber("ORVEL_FAIL_WORK_ALLOC");
}

void *FaultCountBlock(void *pBlock, int nDelta)
{
    if (pBlock != NULL)
        nLiveBlocks += nDelta;
    return pBlock;
}

void FaultAfterSize(int fd, uint64_t qwSize)
{
    char szLink[64];
    ++nSizes;
    snprintf(szLink, sizeof(szLink), "/proc/self/fd/%d", fd);
    if (nSizes == EnvNumber("ORVEL_SHRINK_AT") &&
        truncate(szLink, (off_t)(qwSize / 2)) != 0)
        perror("orvel-faults: truncate");
    if (nSizes == EnvNumber("ORVEL_GROW_AT")) {
        int fdAppend = open(szLink, O_WRONLY | O_APPEND);
        if (fdAppend < 0 || write(fdAppend, "+", 1) != 1)
            perror("orvel-faults: append");
        if (fdAppend >= 0)
            close(fdAppend);
    }
}

// "." and ".." are not counted: they cannot be removed.
void FaultBeforeEntry(int fdDir, const char *pszName)
{
    if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
        return;
    if (++nEntries == EnvNumber("ORVEL_DELETE_AT") &&
        unlinkat(fdDir, pszName, 0) != 0 &&
        unlinkat(fdDir, pszName, AT_REMOVEDIR) != 0)
        perror("orvel-faults: remove");
}

void FaultOnDeliver(const char *pszDir, const char *pszName)
{
    char szPath[8192];
    const char *pszSwap = getenv("ORVEL_SWAP_AT");
    if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
        return;
    ++nDelivered;
    if (pszSwap != NULL && atol(pszSwap) == nDelivered &&
        strchr(pszSwap, ':') && strstr(pszSwap, "->")) {
        std::string sDir(strchr(pszSwap, ':') + 1);
        std::string sTarget = sDir.substr(sDir.find("->") + 2);
        sDir.resize(sDir.find("->"));
        if (rename(sDir.c_str(), (sDir + ".orig").c_str()) != 0 ||
            symlink(sTarget.c_str(), sDir.c_str()) != 0)
            perror("orvel-faults: swap a directory for a link");
    }
    if (nDelivered != EnvNumber("ORVEL_FIFO_AT"))
        return;
    snprintf(szPath, sizeof(szPath), "%s/%s", pszDir, pszName);
    if (unlink(szPath) != 0 || mkfifo(szPath, 0644) != 0)
        perror("orvel-faults: replace by a FIFO");
}

void FaultAheadOpened(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        fprintf(stderr, "orvel-faults: opened what is not a regular file\n");
}

// A SIGBUS for this thread with what the kernel gives for a fault at an
// address: its code and that address, one outside any mapped file.
static void RaiseBusElsewhere(void)
{
    siginfo_t si;
    memset(&si, 0, sizeof(si));
    si.si_signo = SIGBUS;
    si.si_code = BUS_ADRERR;
    si.si_addr = pcLastFileMap != NULL ? pcLastFileMap - 1 : (char *)4096;
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), (pid_t)syscall(SYS_gettid),
                SIGBUS, &si) != 0)
        perror("orvel-faults: raise a bus error");
}

void FaultAfterOpen(int fd)
{
    const char *pszRename = getenv("ORVEL_RENAME_AT");
    FaultAheadOpened(fd);
    ++nOpens;
    if (nOpens == EnvNumber("ORVEL_SIGNAL_AT"))
        kill(getpid(), (int)EnvAfterColon("ORVEL_SIGNAL_AT"));
    if (pszRename != NULL && atol(pszRename) == nOpens &&
        strchr(pszRename, ':') && strstr(pszRename, "->")) {
        std::string sFrom(strchr(pszRename, ':') + 1);
        std::string sTo = sFrom.substr(sFrom.find("->") + 2);
        sFrom.resize(sFrom.find("->"));
        if (rename(sFrom.c_str(), sTo.c_str()) != 0)
            perror("orvel-faults: rename");
    }
    if (nOpens == EnvNumber("ORVEL_BUS_AT"))
        RaiseBusElsewhere();
}

bool FaultAheadForced(void) { return EnvNumber("ORVEL_AHEAD") != 0; }

bool FaultAheadHides(size_t nIndex)
{
    return EnvNumber("ORVEL_AHEAD") == 2 && nIndex % 2 == 0;
}

int FaultAheadStep(void)
{
    static const int nSeconds =
        EnvNumber("ORVEL_AHEAD_STEP") != 0 ? AHEAD_STEP_SECONDS : 0;
    return nSeconds;
}

bool FaultAheadLate(void)
{
    static const bool bLate = EnvNumber("ORVEL_AHEAD_STEP") == 2;
    return bLate;
}

void FaultAheadUnsettled(void)
{
    fprintf(stderr,
            "orvel-faults: the read-ahead agent was still at work after %d "
            "s\n",
            AHEAD_STEP_SECONDS);
}

bool FaultNoPopulate(void) { return EnvNumber("ORVEL_NO_POPULATE") == 1; }

bool FaultCoarseTimes(void) { return EnvNumber("ORVEL_COARSE_TIMES") == 1; }

// Changes the first byte of the file open as fd in place, and writes it
// again until the file's change time has moved: a clock that ticks coarsely
// may take a while to.
static void Rewrite(int fd)
{
    const struct timespec tsTick = {0, 1000000};
    char szLink[64];
    struct stat stBefore, st;
    unsigned char b = 0;
    snprintf(szLink, sizeof(szLink), "/proc/self/fd/%d", fd);
    int fdWrite = open(szLink, O_RDWR);
    if (fdWrite < 0 || fstat(fdWrite, &stBefore) != 0 ||
        pread(fdWrite, &b, 1, 0) != 1)
        perror("orvel-faults: rewrite");
    b ^= 0x20;
    while (fdWrite >= 0) {
        if (pwrite(fdWrite, &b, 1, 0) != 1 || fstat(fdWrite, &st) != 0) {
            perror("orvel-faults: rewrite");
            break;
        }
        if (st.st_ctim.tv_sec != stBefore.st_ctim.tv_sec ||
            st.st_ctim.tv_nsec != stBefore.st_ctim.tv_nsec)
            break;
        nanosleep(&tsTick, nullptr);
    }
    if (fdWrite >= 0)
        close(fdWrite);
}

// Changes the first and the last byte of the file at pszPath in place, then
// puts its access and modification times back as they were: where the file
// system keeps no change time of its own, its times then show nothing.
static void RewriteBack(const char *pszPath)
{
    struct stat st = {};
    int fdWrite = open(pszPath, O_RDWR);
    bool bDone = fdWrite >= 0 && fstat(fdWrite, &st) == 0 && st.st_size > 0;
    for (off_t nAt : {(off_t)0, st.st_size - 1}) {
        unsigned char b = 0;
        bDone = bDone && pread(fdWrite, &b, 1, nAt) == 1;
        b ^= 0x20;
        bDone = bDone && pwrite(fdWrite, &b, 1, nAt) == 1;
    }
    const struct timespec atsBack[2] = {st.st_atim, st.st_mtim};
    if (!bDone || futimens(fdWrite, atsBack) != 0)
        perror("orvel-faults: rewrite with the times put back");
    if (fdWrite >= 0)
        close(fdWrite);
}

void FaultAfterRead(int fd)
{
    char szLink[64], szPath[sizeof(szReadLast)];
    struct stat st;
    ++nReads;
    snprintf(szLink, sizeof(szLink), "/proc/self/fd/%d", fd);
    if (EnvNumber("ORVEL_CUT_FIRST_AT") != 0 ||
        EnvNumber("ORVEL_REWRITE_FIRST_BACK_AT") != 0) {
        ssize_t nLen = readlink(szLink, szPath, sizeof(szPath) - 1);
        szPath[nLen > 0 ? nLen : 0] = '\0';
        if (strcmp(szPath, szReadLast) != 0) {
            memcpy(szReadBefore, szReadLast, sizeof(szReadBefore));
            memcpy(szReadLast, szPath, sizeof(szReadLast));
        }
    }
    if (nReads == EnvNumber("ORVEL_CUT_AT") &&
        (fstat(fd, &st) != 0 || truncate(szLink, st.st_size / 2) != 0))
        perror("orvel-faults: cut short");
    if (nReads == EnvNumber("ORVEL_REWRITE_AT"))
        Rewrite(fd);
    if (nReads == EnvNumber("ORVEL_REWRITE_BACK_AT"))
        RewriteBack(szLink);
    if (nReads == EnvNumber("ORVEL_REWRITE_FIRST_BACK_AT"))
        RewriteBack(szReadBefore);
    if (nReads == EnvNumber("ORVEL_CUT_FIRST_AT") &&
        (stat(szReadBefore, &st) != 0 ||
         truncate(szReadBefore,
                  st.st_size - EnvAfterColon("ORVEL_CUT_FIRST_AT")) != 0))
        perror("orvel-faults: cut the first file short");
}

// The page size asked for, 0 for the system's; read before any call that a
// signal handler may make needs it.
static size_t ForcedPage(void)
{
    static const size_t nPage = (size_t)EnvNumber("ORVEL_PAGE_BYTES");
    return nPage;
}

size_t FaultPageBytes(size_t nSystem)
{
    return ForcedPage() != 0 ? ForcedPage() : nSystem;
}

static bool WholePage(uintptr_t n) { return n % ForcedPage() == 0; }

void *FaultMmap(void *pAddr, size_t nLen, int nProt, int nFlags, int fd,
                off_t nOffset)
{
    const size_t nPage = ForcedPage();
    char *pcRoom, *pcAt;

    if (nPage == 0) {
        pcAt = (char *)mmap(pAddr, nLen, nProt, nFlags, fd, nOffset);
        if (fd >= 0 && pcAt != MAP_FAILED)
            pcLastFileMap = pcAt;
        return pcAt;
    }
    if (((nFlags & MAP_FIXED) && !WholePage((uintptr_t)pAddr)) ||
        !WholePage((uintptr_t)nOffset) || nLen == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    if (nLen > SIZE_MAX - 2 * nPage) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    nLen = (nLen + nPage - 1) & ~(nPage - 1);
    if (nFlags & MAP_FIXED) {
        void *pAt = mmap(pAddr, nLen, nProt, nFlags, fd, nOffset);
        if (fd >= 0 && pAt != MAP_FAILED)
            pcLastFileMap = (char *)pAt;
        return pAt;
    }
    // Room for one page more, the mapping put at its first whole page, and
    // the rest of the room given back.
    pcRoom = (char *)mmap(NULL, nLen + nPage, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (pcRoom == MAP_FAILED)
        return MAP_FAILED;
    pcAt = (char *)(((uintptr_t)pcRoom + nPage - 1) & ~(uintptr_t)(nPage - 1));
    if (mmap(pcAt, nLen, nProt, nFlags | MAP_FIXED, fd, nOffset) ==
        MAP_FAILED) {
        int nError = errno;
        munmap(pcRoom, nLen + nPage);
        errno = nError;
        return MAP_FAILED;
    }
    if (pcAt > pcRoom)
        munmap(pcRoom, (size_t)(pcAt - pcRoom));
    if (pcAt + nLen < pcRoom + nLen + nPage)
        munmap(pcAt + nLen, (size_t)(pcRoom + nPage - pcAt));
    if (fd >= 0)
        pcLastFileMap = pcAt;
    return pcAt;
}

int FaultMunmap(void *pAddr, size_t nLen)
{
    const size_t nPage = ForcedPage();

    if (nPage != 0 && !WholePage((uintptr_t)pAddr)) {
        errno = EINVAL;
        return -1;
    }
    if (nPage != 0 && nLen <= SIZE_MAX - nPage)
        nLen = (nLen + nPage - 1) & ~(nPage - 1);
    return munmap(pAddr, nLen);
}

int FaultMadvise(void *pAddr, size_t nLen, int nAdvice)
{
    if (ForcedPage() != 0 && !WholePage((uintptr_t)pAddr)) {
        errno = EINVAL;
        return -1;
    }
    return madvise(pAddr, nLen, nAdvice);
}
