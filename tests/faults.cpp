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
//   ORVEL_FIFO_AT=N          the Nth entry other than "." and ".." that a
//                            search delivers is replaced by a FIFO as it is
//                            delivered, long after its directory was listed;
//   ORVEL_AHEAD=1            the read-ahead agent starts with the walk and
//                            works throughout, as on a tree read from disk;
//   ORVEL_AHEAD=2            so does it, and every second entry its listings
//                            give is hidden from it, as if each directory
//                            changed between its listing and the core's.
// At exit, blocks still held are reported on standard error, and so is, at
// once, every open of anything but a regular file for reading: every test of
// the test build is also a leak test and a test that nothing else is opened.
#include "platform/posix/faults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static long nAllocs = 0;
static long nWorkAllocs = 0;
static long nSizes = 0;
static long nEntries = 0;
static long nDelivered = 0;
static long nReads = 0;
static long nLiveBlocks = 0;
static bool bReportArmed = false;

static long EnvNumber(const char *pszName)
{
    const char *pszValue = getenv(pszName);
    return pszValue != NULL ? atol(pszValue) : 0;
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
    if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0 ||
        ++nDelivered != EnvNumber("ORVEL_FIFO_AT"))
        return;
    snprintf(szPath, sizeof(szPath), "%s/%s", pszDir, pszName);
    if (unlink(szPath) != 0 || mkfifo(szPath, 0644) != 0)
        perror("orvel-faults: replace by a FIFO");
}

void FaultAfterOpen(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        fprintf(stderr, "orvel-faults: opened what is not a regular file\n");
}

bool FaultAheadForced(void)
{
    return EnvNumber("ORVEL_AHEAD") != 0;
}

// Called by the agent's walking thread alone.
bool FaultAheadHides(void)
{
    static long nListed = 0;
    return EnvNumber("ORVEL_AHEAD") == 2 && ++nListed % 2 == 0;
}

void FaultAfterRead(int fd)
{
    char szLink[64];
    struct stat st;
    if (++nReads != EnvNumber("ORVEL_CUT_AT"))
        return;
    snprintf(szLink, sizeof(szLink), "/proc/self/fd/%d", fd);
    if (fstat(fd, &st) != 0 || truncate(szLink, st.st_size / 2) != 0)
        perror("orvel-faults: cut short");
}
