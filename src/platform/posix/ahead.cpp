// The read-ahead agent: a tree that is not in memory read at the speed of
// the disk, the comparison itself unchanged.
//
// The core asks for one thing at a time (list, open, read, close, next), and
// on a tree that comes from the disk each request waits for the disk, which
// would serve dozens at once. The agent walks the first tree ahead of the
// core, in the core's order, and asks the kernel to read the files of both
// trees into the page cache (readahead(2)) before the core gets to them. It
// only ever brings pages in: the core still looks at and reads every file
// itself, so a file that changes is compared as it is when the core reads
// it, and every line comes out as without the agent. A file the agent
// opened is left open for the core, whose open takes it where its own look
// finds that very file under the name (AheadTake): on a share, where each
// open is a request that waits, every file is opened once: there the agent
// opens a file only before the core comes to it, and where its open of the
// file is still in flight when the core's open comes, the core waits for
// that open, which stands for its own, and for nothing else. (On a local
// disk an open costs no such request, and neither waits for the other.)
//
// There is one walk of the first tree: the agent's walker lists each
// directory ahead of the core and leaves the listing, with its descriptor,
// for the core's search of it (AheadListing), which takes it where the
// core's own look finds that directory as it was listed, so that the core
// and the agent walk the same entries; and where the core lists a directory
// itself (the directory changed since, or the agent started late), the
// walker is handed the core's searches (SearchesOpen) and walks on in them.
//
// Its protocol with the core, through the calls the layer makes for it:
// - AheadSearch: a directory search starts. The first one names the first
//   tree's root.
// - AheadListing: a search of the first tree takes the walker's listing.
// - AheadOpen: CreateFileA is asked for a path. The agent asks the layer
//   what it is: the second file the namesake check awaits (NamesakeAwaits)
//   is the pair's, and names the second tree's root the first time; any
//   other path under the first root is the core's next pair. The agent numbers
//   the files of its walk in order; the core's position is the number of the
//   file it opened last, which file of the pair and how far its reads have got.
//   A first file that is not one of the next few the agent walked means the
//   walks have parted (a directory changed under the run, or the agent fell
//   behind): the walker is handed the core's searches and walks on from the
//   core's file, listing nothing again; a quiet agent only when it works again.
// - AheadRead: the core's read of the open file, which answers exactly as
//   readv() does. It is asked first of the page cache alone
//   (preadv2 with RWF_NOWAIT): what the cache does not hold is a miss, and
//   the rest is read as usual. A tree whose file system refuses to be asked
//   so is read as usual from then on, the other tree still asked. On a
//   share (FUSE, network file systems: fstatfs), every file is a miss.
//   AheadMapping, before a large first file is mapped, asks cachestat(2)
//   whether the cache holds it (Linux 6.5 and later; without it, only the
//   reads tell).
// - AheadGiveBack, which the first search registers with the levels: the
//   process is out of descriptors. The agent stops for good and closes
//   every descriptor it holds before the call returns, so that the open the
//   core retries can have them.
// At exit the agent's threads are told to stop and left, never waited for:
// one in a system call that a file system is slow to answer does not hold
// the process, and nothing they may still touch is freed or closed. (The
// kernel itself waits out a request that a FUSE server has taken, whatever
// the process does: hence the rule below that the agent asks for nothing
// the core would not.)
//
// When it runs and how far ahead:
// - It starts at the first miss (the threads are made then; a run that never
//   misses has none) and works while the core has missed in the last
//   AHEAD_WINDOW files; past that the tree is cached and it goes quiet until
//   the next miss.
// - At most AHEAD_BYTES of file data and AHEAD_FILES - AHEAD_MATCH files
//   ahead of the core, large files in pieces of AHEAD_CHUNK in order, a
//   piece of the first file and then one of the second, so that a large
//   pair is read as two streams as the core compares it; what the core has
//   read leaves the budget. Past its first piece, only the lowest-numbered
//   file a reader holds goes on, so that large pairs never compete.
// - One thread walks (lists directories) and AHEAD_READERS threads open
//   files and ask for their pages: opening a file whose inode is not cached
//   waits for the disk, and several waits at once are what the disk serves
//   best. Where a tree is on a share they grow to AHEAD_SHARE_READERS, as
//   many requests in flight as a share serves at its latency (measured on
//   shares that wait 0.5 and 2 ms a request: 16 as fast as 32 at both, 8
//   as fast at 0.5 ms but nearly twice as slow at 2 ms), and claim no
//   further ahead than the descriptors they may hold for the core; a
//   share's files past its read-ahead window are read into a scratch
//   buffer, a piece at a time, since readahead(2) brings in no more than
//   that window there.
//
// What it asks of the trees is what the core will ask, a little earlier, so
// that nothing it does can make the core wait on a request the core would
// not make (the kernel holds a directory's lock for a lookup in it): it
// lists the first tree's directories and looks up their entries as the
// core's search does; it opens only regular files, by the same look before
// and after the open (OpenAfterLook), read-only, without blocking and
// without stamping access times; it goes to the second tree's file only
// after it opened the first tree's, and through the same names as the
// core: where the core's namesake check lists a directory, the agent looks
// up only a name the directory lists (the directory listed as the core
// lists it, once for all readers); and it asks for the second file's pages only
// when its size is the first's, as the core reads it only then. It reads bytes
// itself only on a share, into a reader's scratch buffer of AHEAD_PIECE, so its
// memory is the page cache's, which a memory control group reclaims, and its
// own is little more than the names of the files ahead. It keeps descriptors in
// the lower half of the process's limit and holds one per thread at most
// besides the two roots and AHEAD_HELD left for the core. It holds its lock
// only to hand items over, never while it waits for the disk, and never touches
// the layer's counted working memory.
//
// Until the second root is known (the core has not opened a second file
// yet) the readers wait, so that no file of the walk is read ahead in the
// first tree alone.
#include "internal.h"

#if ORVEL_LINUX

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "faults.h"

#define AHEAD_BYTES ((uint64_t)64 << 20)
#define AHEAD_FILES 4096  // a power of two: the ring of walked files
#define AHEAD_CHUNK ((uint64_t)4 << 20)
#define AHEAD_WINDOW 4096
#define AHEAD_READERS 2                // on local disks
#define AHEAD_SHARE_READERS 16         // where a tree is on a share
#define AHEAD_HELD 256                 // descriptors held for the core at most
#define AHEAD_PIECE ((size_t)1 << 20)  // a share's reads into scratch
#define AHEAD_WINDOW_BYTES ((uint64_t)128 << 10)  // a share's read-ahead
#define AHEAD_MATCH 8    // files the core may skip and still be in step
#define AHEAD_LISTED 64  // directories listed for the core's searches at most

#ifndef __NR_cachestat
#define __NR_cachestat 451  // on every architecture this is built for
#endif

// ---- What the core's thread alone keeps -------------------------------------
static char *pszRoot1 = NULL;  // the first tree's root, "" for "/"
static size_t nRoot1Len = 0;
static char *pszRoot2 = NULL;  // the second tree's, once learnt
static size_t nRoot2Len = 0;
static char *pszLastRel = NULL;  // relative path of the last first file
static size_t nLastRelCap = 0;
static int nOpenTree = -1;  // the tree of the core's last open: 0, 1, -1
static bool abNoWait[2] = {true, true};  // per tree: the page cache may be
                                         // asked alone
static int anShare[2] = {-1, -1};        // per tree: on a share (1), not (0),
                                         // not known yet (-1)
static bool bCacheStat = true;           // cachestat(2) answers
static bool bStarted = false;            // started once: never again
static bool bRunning = false;  // its threads are there to follow the core

// ---- Shared, under mtx ------------------------------------------------------
struct Item {
    char *pszRel;           // relative path, the walker's allocation; NULL
                            // for the core's file where the walks parted
    uint64_t aqwIssued[2];  // bytes asked for, of the first and second file
    int afd[2];             // the files opened for the core, or -1
    struct stat ast[2];     // their status when opened
    bool abOpening[2];      // a reader's open of the file is in flight
};

static pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
static pthread_cond_t condOpened = PTHREAD_COND_INITIALIZER;  // the core's
static bool bCoreAwaits = false;  // the core's open waits for a reader's
static Item aItems[AHEAD_FILES];
static uint64_t qwTail = 0;   // number of the next file walked
static uint64_t qwClaim = 0;  // number of the next file for a reader
static uint64_t qwAhead = 0;  // bytes asked for, files the core has not left
static uint64_t aqwWorking[AHEAD_SHARE_READERS];  // each reader's file, or
                                                  // ~0
static int nReaders = 0;                          // reader threads made
static bool bShare = false;  // a tree is on a share: readers claim no
                             // further ahead than the descriptors held
static int nHeld = 0;        // descriptors in aItems
static bool abOnShare[2] = {false, false};  // per tree: on a share
static bool bStop = false;
static bool bLost = false;  // the walks parted: walk on as handed
static int fdRoot1 = -1, fdRoot2 = -1;
static bool bRootAwaited = false;  // the core's pair awaits its second file,
                                   // in a second root not known yet
// The threads, [0] the walker: which are there, and which wait for the core
// to move (a wait on cond that nothing has woken since).
#define AHEAD_THREADS (1 + AHEAD_SHARE_READERS)
static bool abLive[AHEAD_THREADS];
static bool abIdle[AHEAD_THREADS];
static int nLive = 0;
static pthread_cond_t condIdle = PTHREAD_COND_INITIALIZER;  // the test
                                                            // build's steps
static clockid_t clkWait = CLOCK_REALTIME;  // the clock cond, condIdle and
                                            // condAdmit time their waits on

// The core's position, written under mtx by the core's thread; how far its
// reads have got is also written without it, and read atomically.
static uint64_t qwCoreSeq = 0;   // the file pair the core is at
static int nCoreFile = 0;        // its first (0) or second (1) file
static uint64_t qwCoreAt = 0;    // bytes the core has read of that file
static uint64_t qwLastMiss = 0;  // 1 + the pair of the last miss, 0 for none
static uint64_t qwCoreHas = 0;   // 1 + the pair whose first file the core
                                 // reads; written without mtx too
static bool bForced = false;
static uint64_t qwAsked = 0;  // 1 + twice the pair, + the file, whose
                              // descriptor the core's open asked for last

static int nFdCeiling = 0;  // the agent's descriptors stay below

static uint64_t Load(const uint64_t *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

static void Store(uint64_t *p, uint64_t qw)
{
    __atomic_store_n(p, qw, __ATOMIC_RELAXED);
}

// Whether the agent is to work: asked for, or a miss not long ago. Under mtx.
static bool Active(void)
{
    return bForced ||
           (qwLastMiss != 0 && qwCoreSeq < qwLastMiss + AHEAD_WINDOW);
}

// Who is to check again what it waits for (Wake): the walker; the readers
// waiting for a file to claim, all of them or one (a file was walked); the
// readers waiting for the budget.
#define WAKE_WALKER 1
#define WAKE_CLAIMS 2
#define WAKE_ONE_CLAIM 4
#define WAKE_ADMITS 8
#define WAKE_ALL 15

static pthread_cond_t condWalker = PTHREAD_COND_INITIALIZER;
static pthread_cond_t condClaim = PTHREAD_COND_INITIALIZER;
static pthread_cond_t condAdmit = PTHREAD_COND_INITIALIZER;

// Wakes the threads nWhom names that wait, under mtx: something they wait
// for changed. Only those that may have work: each wake of a thread with
// none is a switch to it and back, thousands a second on a share. The test
// build's steps (FAULT_AHEAD_STEP) wake every thread at every change, so
// that a thread the core waits for never sleeps through one.
static void Wake(int nWhom)
{
    bool bAny = false;

    if (FAULT_AHEAD_STEP() != 0 || nWhom == WAKE_ALL) {
        for (int i = 0; i < AHEAD_THREADS; i++) {
            bAny = bAny || abIdle[i];
            abIdle[i] = false;
        }
        if (bAny) {
            pthread_cond_broadcast(&condWalker);
            pthread_cond_broadcast(&condClaim);
            pthread_cond_broadcast(&condAdmit);
        }
        return;
    }
    if ((nWhom & WAKE_WALKER) != 0 && abIdle[0])
        pthread_cond_signal(&condWalker);
    if ((nWhom & WAKE_CLAIMS) != 0)
        pthread_cond_broadcast(&condClaim);
    else if ((nWhom & WAKE_ONE_CLAIM) != 0)
        pthread_cond_signal(&condClaim);
    if ((nWhom & WAKE_ADMITS) != 0)
        pthread_cond_broadcast(&condAdmit);
}

// Thread nThread waits on *pCond, under mtx. Everything waited for changes
// under mtx and wakes the waiters, except how far the core's reads have got
// (qwCoreAt), which the budget waits for a few milliseconds at a time.
static void Wait(int nThread, pthread_cond_t *pCond, bool bTimed)
{
    struct timespec ts;
    abIdle[nThread] = true;
    if (FAULT_AHEAD_STEP() != 0)
        pthread_cond_broadcast(&condIdle);
    if (!bTimed) {
        pthread_cond_wait(pCond, &mtx);
    } else {
        clock_gettime(clkWait, &ts);
        ts.tv_nsec += 5000000;
        if (ts.tv_nsec >= 1000000000) {
            ts.tv_sec++;
            ts.tv_nsec -= 1000000000;
        }
        pthread_cond_timedwait(pCond, &mtx, &ts);
    }
    abIdle[nThread] = false;
}

// Thread nThread is done, under mtx.
static void Ended(int nThread)
{
    abLive[nThread] = false;
    abIdle[nThread] = false;
    nLive--;
    pthread_cond_broadcast(&cond);
    pthread_cond_broadcast(&condIdle);
}

// The test build's steps (FAULT_AHEAD_STEP): the core waits until every
// thread of the agent waits for it to move, so that the agent has done all
// it can before the core goes on. The bound is counted in waits of a second
// each, so that a machine paused meanwhile (a virtual machine's snapshot)
// costs one of them, not the whole bound.
static void Settle(void)
{
    const int nSeconds = FAULT_AHEAD_STEP();
    struct timespec ts;
    bool bSettled = false;
    int nWaits = 0;

    if (nSeconds == 0 || !bRunning)
        return;
    pthread_mutex_lock(&mtx);
    for (;;) {
        bSettled = true;
        for (int i = 0; i < AHEAD_THREADS; i++)
            bSettled = bSettled && (!abLive[i] || abIdle[i]);
        if (bSettled || nWaits == nSeconds)
            break;
        clock_gettime(clkWait, &ts);
        ts.tv_sec++;
        if (pthread_cond_timedwait(&condIdle, &mtx, &ts) == ETIMEDOUT)
            nWaits++;
    }
    pthread_mutex_unlock(&mtx);
    if (!bSettled)
        FAULT_AHEAD_UNSETTLED();
}

// A descriptor the agent got: itself if it is in the lower part of the
// process's room, which the agent keeps to, else closed and -1.
static int LowOrClosed(int fd)
{
    if (fd >= nFdCeiling) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---- Files opened for the core ----------------------------------------------
// A reader that opened a file of a pair the core has not passed leaves a
// descriptor of it in the pair's item, AHEAD_HELD at most, and the core's
// open takes it (AheadTake) where its own look finds that very file under
// the name: on a share, where every open is a request that waits for an
// answer, each file is opened once. So there a reader opens a file only
// while the core has not come to it (MayOpen), and the core's open of a
// file whose open by a reader is still in flight waits for that open, which
// stands for its own, and takes what it gives. Descriptors of pairs the core
// has passed are let go, and closed by the core's thread outside the lock.
static int aiLetGo[AHEAD_HELD];
static int nLetGo = 0;

// Lets file nFile's descriptor of the item go, under mtx.
static void LetGo(Item *pItem, int nFile)
{
    if (pItem->afd[nFile] < 0)
        return;
    aiLetGo[nLetGo++] = pItem->afd[nFile];
    pItem->afd[nFile] = -1;
    nHeld--;
}

// Closes what was let go; the core's thread, without mtx.
static void CloseLetGo(void)
{
    while (nLetGo > 0)
        close(aiLetGo[--nLetGo]);
}

// Whether a reader may open file nFile of pair qwSeq: the core has not come
// to it, so that its open will find the reader's, done or in flight. Under
// mtx.
static bool MayOpen(uint64_t qwSeq, int nFile)
{
    return !bStop &&
           (qwSeq > qwCoreSeq || (qwSeq == qwCoreSeq && nFile > nCoreFile));
}

// Whether file nFile of pair qwSeq is still ahead of the core (or the one
// it is at) and another descriptor may be held. Under mtx.
static bool MayHold(uint64_t qwSeq, int nFile)
{
    return !bStop && nHeld < AHEAD_HELD &&
           (qwSeq > qwCoreSeq || (qwSeq == qwCoreSeq && nFile >= nCoreFile));
}

// Leaves for the core a descriptor of file nFile of pair qwSeq, open as fd
// (-1: the open failed) with the status *pst, where it may be held: the
// same open file, whose position the agent never moves (it asks for pages
// by offset). The reader's open of it is no longer in flight.
static void Hold(int nThread, uint64_t qwSeq, int nFile, int fd,
                 const struct stat *pst)
{
    int fdHeld = -1;

    pthread_mutex_lock(&mtx);
    const bool bMay = fd >= 0 && MayHold(qwSeq, nFile);
    pthread_mutex_unlock(&mtx);
    if (bMay)
        fdHeld = LowOrClosed(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    pthread_mutex_lock(&mtx);
    // (The test build's late opens: until the core asks for it, or passes it.)
    while (FAULT_AHEAD_LATE() && !bStop && qwAsked != 1 + 2 * qwSeq + nFile &&
           (qwSeq > qwCoreSeq || (qwSeq == qwCoreSeq && nFile >= nCoreFile)))
        Wait(nThread, &condClaim, false);
    Item *pItem = &aItems[qwSeq % AHEAD_FILES];
    if (fdHeld >= 0 && MayHold(qwSeq, nFile) && pItem->afd[nFile] < 0) {
        pItem->afd[nFile] = fdHeld;
        pItem->ast[nFile] = *pst;
        nHeld++;
        fdHeld = -1;
    }
    pItem->abOpening[nFile] = false;
    if (bCoreAwaits)
        pthread_cond_broadcast(&condOpened);
    pthread_mutex_unlock(&mtx);
    if (fdHeld >= 0)
        close(fdHeld);
}

// ---- Directories listed for the core ---------------------------------------
// The walker leaves each directory it lists, with the descriptor it listed it
// by and its status from before the listing, for the core's search of it
// (AheadListing), AHEAD_LISTED at most, and walks no further while that many
// wait: the core's search takes the listing where its own look finds that
// very directory, unchanged, so that each directory is listed once and the
// core and the agent walk the same entries. Listings the core has passed
// are let go.
struct Listed {
    char *pszRel;      // its path below the first root; NULL: a free slot
    uint64_t qwOrder;  // the walk's order of listings
    int fd;
    struct stat st;
    char *pcEntries;  // as the core's search keeps them, "." and ".." too
    size_t nLen;
};

static Listed aListed[AHEAD_LISTED];
static int nListed = 0;
static uint64_t qwListedOrder = 0;

// Takes the listings before qwBefore, all of them for ~0, out of the table
// into aOut; how many. Under mtx.
static int TakeListed(uint64_t qwBefore, Listed *aOut)
{
    int nOut = 0;
    for (int i = 0; i < AHEAD_LISTED; i++)
        if (aListed[i].pszRel != NULL && aListed[i].qwOrder < qwBefore) {
            aOut[nOut++] = aListed[i];
            aListed[i].pszRel = NULL;
            nListed--;
        }
    return nOut;
}

// Closes and frees the listings in aOut, without mtx.
static void FreeListed(Listed *aOut, int nOut)
{
    for (int i = 0; i < nOut; i++) {
        free(aOut[i].pszRel);
        free(aOut[i].pcEntries);
        if (aOut[i].fd >= 0)
            close(aOut[i].fd);
    }
}

// Leaves the directory pszRel, open as fd and as *pst before it was listed,
// and its entries (the walker's allocation) for the core; else closes and
// frees them.
static void Offer(const char *pszRel, int fd, const struct stat *pst,
                  char *pcEntries, size_t nLen)
{
    Listed listed = {strdup(pszRel), 0, fd, *pst, pcEntries, nLen};

    pthread_mutex_lock(&mtx);
    for (int i = 0; listed.pszRel != NULL && !bStop && i < AHEAD_LISTED; i++)
        if (aListed[i].pszRel == NULL) {
            listed.qwOrder = qwListedOrder++;
            aListed[i] = listed;
            nListed++;
            listed.pszRel = NULL;
            listed.fd = -1;
            break;
        }
    pthread_mutex_unlock(&mtx);
    if (listed.fd >= 0)
        FreeListed(&listed, 1);
}

// ---- The walker -------------------------------------------------------------
// A directory of the walk, listed whole as the core's search lists it: 'd'
// for a directory or 'f' for anything else, then the NUL-terminated name.
struct Frame {
    char *pcEntries;
    size_t nLen, nNext;
    size_t nRelLen;  // its relative path's length in szRel
    dev_t dev;
    ino_t ino;
};

static Frame *pFrames = NULL;
static size_t nFrames = 0, nFrameCap = 0;
static char szRel[PATH_MAX];
static char *pcListBuf = NULL;  // one run of directory records

static void PopFrame(void) { free(pFrames[--nFrames].pcEntries); }

static bool Append(Frame *pFrame, size_t *pnCap, char cKind,
                   const char *pszName)
{
    size_t nName = strlen(pszName) + 1;
    if (pFrame->nLen + 1 + nName > *pnCap) {
        size_t nCap = (pFrame->nLen + 1 + nName) * 2 + 1024;
        char *pcGrown = (char *)realloc(pFrame->pcEntries, nCap);
        if (pcGrown == NULL)
            return false;
        pFrame->pcEntries = pcGrown;
        *pnCap = nCap;
    }
    pFrame->pcEntries[pFrame->nLen++] = cKind;
    memcpy(pFrame->pcEntries + pFrame->nLen, pszName, nName);
    pFrame->nLen += nName;
    return true;
}

// Lists the directory szRel (nRelLen bytes) of the first tree onto the walk,
// unless it is being walked already (a cycle of links). False when it cannot
// be walked. The walk's own listings (bOwn) are left for the core's search
// (Offer), those that find the core's file again are not: the core has
// searched those directories. The test build may hide entries from the
// walk's own listings, which are then not left for the core: the core lists
// such a directory itself, and the walks part.
static bool PushFrame(size_t nRelLen, bool bOwn)
{
    Frame frame = {NULL, 0, 0, nRelLen, 0, 0};
    Frame all = {NULL, 0, 0, nRelLen, 0, 0};  // "." and ".." too: the core's
    size_t nCap = 0, nAllCap = 0, nIndex = 0, i;
    bool bHidden = false;
    struct stat st, stDir;
    ssize_t nGot = 0;
    int fd;

    szRel[nRelLen] = '\0';
    fd = LowOrClosed(OpenDirectory(fdRoot1, nRelLen != 0 ? szRel : "."));
    if (fd < 0)
        return false;
    if (fstat(fd, &stDir) != 0)
        goto Fail;
    frame.dev = stDir.st_dev;
    frame.ino = stDir.st_ino;
    for (i = 0; i < nFrames; i++)
        if (pFrames[i].dev == stDir.st_dev && pFrames[i].ino == stDir.st_ino)
            goto Fail;
    // Each entry as the core's search takes it: a directory as listed, a
    // link or an entry listed without a type as its lookup finds it. "."
    // and ".." are directories, and not the walk's.
    while ((nGot = getdents64(fd, pcListBuf, 32768)) > 0) {
        for (ssize_t nOff = 0; nOff < nGot;) {
            const struct dirent64 *pEnt =
                (const struct dirent64 *)(pcListBuf + nOff);
            const char *pszName = pEnt->d_name;
            bool bDir = pEnt->d_type == DT_DIR;
            nOff += pEnt->d_reclen;
            if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0) {
                if (bOwn && !Append(&all, &nAllCap, 'd', pszName))
                    goto Fail;
                continue;
            }
            if (bOwn && FAULT_AHEAD_HIDES(nIndex++)) {
                bHidden = true;
                continue;
            }
            if (pEnt->d_type == DT_LNK || pEnt->d_type == DT_UNKNOWN)
                bDir = fstatat(fd, pszName, &st, 0) == 0 && S_ISDIR(st.st_mode);
            if (!Append(&frame, &nCap, bDir ? 'd' : 'f', pszName) ||
                (bOwn && !Append(&all, &nAllCap, bDir ? 'd' : 'f', pszName)))
                goto Fail;
        }
    }
    if (nGot < 0)
        goto Fail;
    if (nFrames == nFrameCap) {
        size_t nNew = nFrameCap * 2 + 16;
        Frame *pGrown = (Frame *)realloc(pFrames, nNew * sizeof(Frame));
        if (pGrown == NULL)
            goto Fail;
        pFrames = pGrown;
        nFrameCap = nNew;
    }
    pFrames[nFrames++] = frame;
    if (bOwn && !bHidden && all.pcEntries != NULL) {
        Offer(szRel, fd, &stDir, all.pcEntries, all.nLen);
        return true;
    }
    free(all.pcEntries);
    close(fd);
    return true;

Fail:
    free(frame.pcEntries);
    free(all.pcEntries);
    close(fd);
    return false;
}

// Appends pszName to szRel after nRelLen bytes; the new length, or 0 when
// it does not fit.
static size_t JoinRel(size_t nRelLen, const char *pszName)
{
    size_t nName = strlen(pszName), nAt = nRelLen != 0 ? nRelLen + 1 : 0;
    if (nAt + nName >= sizeof(szRel))
        return 0;
    if (nRelLen != 0)
        szRel[nRelLen] = '/';
    memcpy(szRel + nAt, pszName, nName + 1);
    return nAt + nName;
}

// ---- The core's walk, handed to the walker ----------------------------------
// Where the walks parted, or the agent starts at a miss, the core's thread
// hands the walker the searches the core is in (SearchesOpen): the entries
// each has still to deliver, "." and ".." left out, become the walker's
// frames, and it walks on right after the core's file without listing
// anything again. Under mtx: the frames handed and not yet taken.
static Frame *pHanded = NULL;
static size_t nHanded = 0, nHandedCap = 0;
static char szHandedRel[PATH_MAX];  // the innermost one's path
static bool bAdrift = false;  // the core's thread's: the walks parted while
                              // the agent was quiet, handed when it works

struct Handing {
    Frame *pFrames;
    size_t nFrames, nCap;
    char szRel[PATH_MAX];
};

static void FreeFrames(Frame *pFrameList, size_t nFrameList)
{
    for (size_t i = 0; i < nFrameList; i++)
        free(pFrameList[i].pcEntries);
    free(pFrameList);
}

// A search the core is in, outermost first, as a frame of the walker's.
static bool HandFrame(void *pContext, const char *pszRel, dev_t dev, ino_t ino,
                      const char *pcEntries, size_t nLen)
{
    Handing *pHanding = (Handing *)pContext;
    const size_t nRelLen = strlen(pszRel);
    Frame frame = {NULL, 0, 0, nRelLen, dev, ino};
    size_t nCap = 0;

    if (nRelLen >= sizeof(pHanding->szRel))
        return false;
    if (pHanding->nFrames == pHanding->nCap) {
        size_t nNew = pHanding->nCap * 2 + 16;
        Frame *pGrown =
            (Frame *)realloc(pHanding->pFrames, nNew * sizeof(Frame));
        if (pGrown == NULL)
            return false;
        pHanding->pFrames = pGrown;
        pHanding->nCap = nNew;
    }
    for (size_t i = 0; i < nLen; i += strlen(pcEntries + i) + 1) {
        const char *pszName = pcEntries + i + 1;
        if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
            continue;
        if (!Append(&frame, &nCap, pcEntries[i], pszName)) {
            free(frame.pcEntries);
            return false;
        }
    }
    pHanding->pFrames[pHanding->nFrames++] = frame;
    memcpy(pHanding->szRel, pszRel, nRelLen + 1);
    return true;
}

// Hands the walker the core's walk at the core's file pszPath, the core's
// thread; an empty walk where it cannot.
static void HandWalk(const char *pszPath)
{
    Handing handing;

    handing.pFrames = NULL;
    handing.nFrames = handing.nCap = 0;
    handing.szRel[0] = '\0';
    if (!SearchesOpen(pszPath, HandFrame, &handing)) {
        FreeFrames(handing.pFrames, handing.nFrames);
        handing.pFrames = NULL;
        handing.nFrames = handing.nCap = 0;
    }
    bAdrift = false;
    pthread_mutex_lock(&mtx);
    Frame *pOld = pHanded;
    const size_t nOld = nHanded;
    pHanded = handing.pFrames;
    nHanded = handing.nFrames;
    nHandedCap = handing.nCap;
    memcpy(szHandedRel, handing.szRel, strlen(handing.szRel) + 1);
    bLost = true;
    Wake(WAKE_WALKER);
    pthread_mutex_unlock(&mtx);
    FreeFrames(pOld, nOld);
}

// HandWalk at the core's last first file.
static void HandWalkAtLast(void)
{
    char szPath[PATH_MAX];

    if (nRoot1Len + 1 + strlen(pszLastRel) >= sizeof(szPath)) {
        szPath[0] = '\0';  // placed nowhere: an empty walk
    } else {
        memcpy(szPath, pszRoot1, nRoot1Len);
        szPath[nRoot1Len] = '/';
        strcpy(szPath + nRoot1Len + 1, pszLastRel);
    }
    HandWalk(szPath);
}

// The walker takes the walk handed to it, and lets go the listings of the
// walk that parted.
static void TakeHanded(void)
{
    Listed aOld[AHEAD_LISTED];

    while (nFrames > 0)
        PopFrame();
    free(pFrames);
    pthread_mutex_lock(&mtx);
    pFrames = pHanded;
    nFrames = nHanded;
    nFrameCap = nHandedCap;
    memcpy(szRel, szHandedRel, strlen(szHandedRel) + 1);
    pHanded = NULL;
    nHanded = nHandedCap = 0;
    const int nOld = TakeListed(~(uint64_t)0, aOld);
    pthread_mutex_unlock(&mtx);
    FreeListed(aOld, nOld);
}

// Hands the file szRel to the readers. False when the agent stops.
static bool Produce(void)
{
    char *pszCopy = strdup(szRel);
    Item *pItem;

    if (pszCopy == NULL)
        return false;
    pthread_mutex_lock(&mtx);
    pItem = &aItems[qwTail % AHEAD_FILES];
    free(pItem->pszRel);
    pItem->pszRel = pszCopy;
    pItem->aqwIssued[0] = pItem->aqwIssued[1] = 0;
    pItem->afd[0] = pItem->afd[1] = -1;
    pItem->abOpening[0] = pItem->abOpening[1] = false;
    qwTail++;
    Wake(WAKE_ONE_CLAIM);
    pthread_mutex_unlock(&mtx);
    return true;
}

static void *Walker(void *)
{
    bool bLostNow;

    pcListBuf = (char *)malloc(32768);
    pthread_mutex_lock(&mtx);
    bLostNow = bLost;
    pthread_mutex_unlock(&mtx);
    if (pcListBuf != NULL && !bLostNow)
        PushFrame(0, true);
    while (pcListBuf != NULL) {
        pthread_mutex_lock(&mtx);
        while (!bStop && !bLost &&
               (!Active() || nFrames == 0 || nListed >= AHEAD_LISTED ||
                qwTail - qwCoreSeq >= AHEAD_FILES - AHEAD_MATCH))
            Wait(0, &condWalker, false);
        bLostNow = bLost;
        bLost = false;
        const bool bStopNow = bStop;
        pthread_mutex_unlock(&mtx);
        if (bStopNow)
            break;
        if (bLostNow) {
            TakeHanded();
            continue;
        }
        Frame *pTop = &pFrames[nFrames - 1];
        if (pTop->nNext >= pTop->nLen) {
            PopFrame();
            continue;
        }
        const char cKind = pTop->pcEntries[pTop->nNext];
        const char *pszName = pTop->pcEntries + pTop->nNext + 1;
        size_t nRelLen = JoinRel(pTop->nRelLen, pszName);
        pTop->nNext += 1 + strlen(pszName) + 1;
        if (nRelLen == 0)
            continue;
        if (cKind == 'd')
            PushFrame(nRelLen, true);
        else if (!Produce())
            break;
    }
    while (nFrames > 0)
        PopFrame();
    free(pFrames);
    pFrames = NULL;
    nFrameCap = 0;
    free(pcListBuf);
    pthread_mutex_lock(&mtx);
    Ended(0);
    pthread_mutex_unlock(&mtx);
    return NULL;
}

// ---- The second tree's names ------------------------------------------------
// The core opens a pair's second file only through names its directories
// list, where they are not known to look names up exactly (namesake.cpp); the
// readers do the same, through one table of the second tree's directories
// for all of them, each listed once while it is in the table (the
// AHEAD_WAYS used last), under its own lock: a reader that needs a
// directory another is listing waits for that listing.
#define AHEAD_WAYS 64

struct Way {
    char *pszRel;       // its path below the root, "" for the root; NULL: free
    size_t nRelLen;     // its length
    uint64_t qwUsed;    // when it was used last
    bool bExact;        // it looks names up exactly: no listing is needed
    bool bFailed;       // it could not be opened or listed
    char *pcNames;      // else its names, each NUL-terminated
    size_t nNamesLen;   // bytes at pcNames
    size_t nNamesCap;   // bytes allocated there
    uint32_t *pnSlots;  // hash table of the names: offset + 1, 0 for none
    size_t nSlotMask;   // its size less one
};

static pthread_mutex_t mtxWays = PTHREAD_MUTEX_INITIALIZER;
static Way aWays[AHEAD_WAYS];
static uint64_t qwWaysUsed = 0;
static char *pcWaysBuf = NULL;  // one run of directory records

static void LeaveWay(Way *pWay)
{
    free(pWay->pszRel);
    free(pWay->pcNames);
    free(pWay->pnSlots);
    memset(pWay, 0, sizeof(*pWay));
}

static size_t HashName(const char *pszName, size_t nLen)
{
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < nLen; i++)
        h = (h ^ (unsigned char)pszName[i]) * 16777619u;
    return h;
}

// Reads the names of the directory open as fd into pWay. False on failure.
static bool ListWay(Way *pWay, int fd, char *pcBuf)
{
    size_t nNames = 0, nSlots = 16, nOff;
    ssize_t nGot;

    while ((nGot = getdents64(fd, pcBuf, 32768)) > 0) {
        for (ssize_t nAt = 0; nAt < nGot;) {
            const struct dirent64 *pEnt =
                (const struct dirent64 *)(pcBuf + nAt);
            size_t nLen = strlen(pEnt->d_name) + 1;
            nAt += pEnt->d_reclen;
            if (pWay->nNamesLen + nLen > pWay->nNamesCap) {
                size_t nCap = (pWay->nNamesLen + nLen) * 2 + 4096;
                char *pcGrown = (char *)realloc(pWay->pcNames, nCap);
                if (pcGrown == NULL)
                    return false;
                pWay->pcNames = pcGrown;
                pWay->nNamesCap = nCap;
            }
            memcpy(pWay->pcNames + pWay->nNamesLen, pEnt->d_name, nLen);
            pWay->nNamesLen += nLen;
            nNames++;
        }
    }
    if (nGot < 0 || pWay->nNamesLen > UINT32_MAX)
        return false;
    while (nSlots < nNames * 2)
        nSlots *= 2;
    pWay->pnSlots = (uint32_t *)calloc(nSlots, sizeof(uint32_t));
    if (pWay->pnSlots == NULL)
        return false;
    pWay->nSlotMask = nSlots - 1;
    for (nOff = 0; nOff < pWay->nNamesLen;) {
        const char *pszName = pWay->pcNames + nOff;
        size_t nLen = strlen(pszName);
        size_t i = HashName(pszName, nLen) & pWay->nSlotMask;
        while (pWay->pnSlots[i] != 0)
            i = (i + 1) & pWay->nSlotMask;
        pWay->pnSlots[i] = (uint32_t)(nOff + 1);
        nOff += nLen + 1;
    }
    return true;
}

// The second tree's directory pszRel (nRelLen bytes, not NUL-terminated;
// none: the root) in the table, listed if it was not there, in the place of
// the one used longest ago. NULL when memory runs out. Under mtxWays.
static Way *FindWay(int fdRoot, const char *pszRel, size_t nRelLen)
{
    Way *pWay = &aWays[0];
    char szDir[PATH_MAX];

    for (int i = 0; i < AHEAD_WAYS; i++) {
        Way *pAt = &aWays[i];
        if (pAt->pszRel != NULL && pAt->nRelLen == nRelLen &&
            memcmp(pAt->pszRel, pszRel, nRelLen) == 0) {
            pAt->qwUsed = ++qwWaysUsed;
            return pAt;
        }
        if (pAt->pszRel == NULL ||
            (pWay->pszRel != NULL && pAt->qwUsed < pWay->qwUsed))
            pWay = pAt;
    }
    if (nRelLen >= sizeof(szDir) ||
        (pcWaysBuf == NULL && (pcWaysBuf = (char *)malloc(32768)) == NULL))
        return NULL;
    LeaveWay(pWay);
    pWay->pszRel = (char *)malloc(nRelLen + 1);
    if (pWay->pszRel == NULL)
        return NULL;
    memcpy(pWay->pszRel, pszRel, nRelLen);
    pWay->pszRel[nRelLen] = '\0';
    pWay->nRelLen = nRelLen;
    pWay->qwUsed = ++qwWaysUsed;
    memcpy(szDir, pszRel, nRelLen);
    szDir[nRelLen] = '\0';
    const int fd =
        LowOrClosed(OpenDirectory(fdRoot, nRelLen != 0 ? szDir : "."));
    bool bNumbered;
    pWay->bExact = fd >= 0 && LooksUpExactly(fd, &bNumbered);
    pWay->bFailed = fd < 0 || (!pWay->bExact && !ListWay(pWay, fd, pcWaysBuf));
    if (fd >= 0)
        close(fd);
    return pWay;
}

// Whether the directory pWay holds the name pszName (nLen bytes) as the
// core's check would find it.
static bool WayHolds(const Way *pWay, const char *pszName, size_t nLen)
{
    if (pWay->bFailed)
        return false;
    if (pWay->bExact)
        return true;
    for (size_t i = HashName(pszName, nLen) & pWay->nSlotMask;
         pWay->pnSlots[i] != 0; i = (i + 1) & pWay->nSlotMask) {
        const char *pszListed = pWay->pcNames + pWay->pnSlots[i] - 1;
        if (strncmp(pszListed, pszName, nLen) == 0 && pszListed[nLen] == '\0')
            return true;
    }
    return false;
}

// Whether the core would look up the second tree's file pszRel: every name
// on its way is one its directory lists, where the directory is listed.
static bool NamesakeListed(int fdRoot, const char *pszRel)
{
    bool bListed = true;
    size_t nAt = 0;  // where the next name begins

    pthread_mutex_lock(&mtxWays);
    for (;;) {
        const char *pszEnd = strchr(pszRel + nAt, '/');
        const size_t nEnd =
            pszEnd != NULL ? (size_t)(pszEnd - pszRel) : strlen(pszRel);
        const Way *pWay = FindWay(fdRoot, pszRel, nAt != 0 ? nAt - 1 : 0);
        if (pWay == NULL || !WayHolds(pWay, pszRel + nAt, nEnd - nAt)) {
            bListed = false;
            break;
        }
        if (pszEnd == NULL)
            break;
        nAt = nEnd + 1;
    }
    pthread_mutex_unlock(&mtxWays);
    return bListed;
}

// Lets every directory of the table go; the readers have ended.
static void LeaveWays(void)
{
    pthread_mutex_lock(&mtxWays);
    for (int i = 0; i < AHEAD_WAYS; i++)
        LeaveWay(&aWays[i]);
    free(pcWaysBuf);
    pcWaysBuf = NULL;
    pthread_mutex_unlock(&mtxWays);
}

// ---- The readers ------------------------------------------------------------
// Waits until qwLen bytes of file nFile of pair qwSeq, from qwFrom on, fit
// the budget; false when the core is past them or the agent stops.
static bool Admit(int nThread, uint64_t qwSeq, int nFile, uint64_t qwFrom,
                  uint64_t qwLen)
{
    bool bAdmit = false;

    pthread_mutex_lock(&mtx);
    for (;;) {
        if (bStop || qwSeq < qwCoreSeq ||
            (qwSeq == qwCoreSeq &&
             (nFile < nCoreFile ||
              (nFile == nCoreFile && qwFrom + qwLen <= Load(&qwCoreAt)))))
            break;
        // Past its first piece, only the lowest file any reader holds goes on.
        bool bInTurn = qwFrom == 0;
        if (!bInTurn) {
            uint64_t qwLowest = ~(uint64_t)0;
            for (int i = 0; i < AHEAD_SHARE_READERS; i++)
                if (aqwWorking[i] < qwLowest)
                    qwLowest = aqwWorking[i];
            bInTurn = qwSeq <= qwLowest;
        }
        // What the core has read of its pair has left the budget.
        uint64_t qwAheadNow = qwAhead;
        if (qwCoreSeq < qwTail) {
            const Item *pCur = &aItems[qwCoreSeq % AHEAD_FILES];
            uint64_t qwRead = Load(&qwCoreAt);
            if (nCoreFile == 1)
                qwAheadNow -= pCur->aqwIssued[0];
            qwAheadNow -= qwRead < pCur->aqwIssued[nCoreFile]
                              ? qwRead
                              : pCur->aqwIssued[nCoreFile];
        }
        if (Active() && bInTurn &&
            (qwAheadNow == 0 || qwAheadNow + qwLen <= AHEAD_BYTES)) {
            aItems[qwSeq % AHEAD_FILES].aqwIssued[nFile] += qwLen;
            qwAhead += qwLen;
            bAdmit = true;
            break;
        }
        Wait(nThread, &condAdmit, true);
    }
    pthread_mutex_unlock(&mtx);
    return bAdmit;
}

// Opens file nFile of pair qwSeq, pszRel below fdRoot, and leaves it for
// the core, unless the core has come to it. Its descriptor, for its pages
// to be asked for, unless its size is not *pqwSize (pass UINT64_MAX for
// any), which is then set to its size; -1 for one not opened (*pbOpened
// false) or not to be read.
static int OpenAhead(int nThread, uint64_t qwSeq, int nFile, int fdRoot,
                     const char *pszRel, uint64_t *pqwSize, bool *pbOpened)
{
    struct stat st;
    int fd;

    // On a share, where an open is a request the core would wait for, a file
    // the core has come to is the core's, and the core's open waits for one
    // in flight; on a local disk the reader opens its file all the same.
    pthread_mutex_lock(&mtx);
    const bool bMay = !abOnShare[nFile] || MayOpen(qwSeq, nFile);
    aItems[qwSeq % AHEAD_FILES].abOpening[nFile] = bMay && abOnShare[nFile];
    pthread_mutex_unlock(&mtx);
    *pbOpened = false;
    if (!bMay)
        return -1;
    fd = LowOrClosed(OpenAfterLook(fdRoot, pszRel, &st, true));
    // The core opens it for its size, at least.
    Hold(nThread, qwSeq, nFile, fd, &st);
    *pbOpened = fd >= 0;
    if (fd < 0)
        return -1;
    if (*pqwSize != UINT64_MAX && *pqwSize != (uint64_t)st.st_size) {
        close(fd);  // not the first file's size: the core reads none of it
        return -1;
    }
    *pqwSize = (uint64_t)st.st_size;
    return fd;
}

// Asks for the pages of file nFile of pair qwSeq, open as afd[nFile] (-1:
// none), qwSize bytes, from qwAt up to AHEAD_CHUNK, as the budget admits
// them; a file not admitted is closed and set to -1. A share brings in no
// more than its read-ahead window at a request for pages: there
// (pcScratch not NULL) a larger file is read, a piece at a time, into the
// reader's scratch buffer, which leaves the pages in the cache.
static void ReadPiece(int nThread, uint64_t qwSeq, int afd[2], int nFile,
                      uint64_t qwAt, uint64_t qwSize, char *pcScratch)
{
    const int fd = afd[nFile];
    const uint64_t qwLen =
        qwSize - qwAt < AHEAD_CHUNK ? qwSize - qwAt : AHEAD_CHUNK;

    if (fd < 0 || qwAt >= qwSize)
        return;
    if (!Admit(nThread, qwSeq, nFile, qwAt, qwLen)) {
        close(fd);
        afd[nFile] = -1;
        return;
    }
    if (pcScratch == NULL) {
        readahead(fd, (off64_t)qwAt, (size_t)qwLen);
        return;
    }
    for (uint64_t qwDone = 0; qwDone < qwLen;) {
        size_t nWant = qwLen - qwDone < AHEAD_PIECE ? (size_t)(qwLen - qwDone)
                                                    : AHEAD_PIECE;
        ssize_t nGot = pread(fd, pcScratch, nWant, (off_t)(qwAt + qwDone));
        if (nGot <= 0)
            break;
        qwDone += (uint64_t)nGot;
    }
}

// The scratch buffer for file nFile of qwSize bytes: NULL where its pages
// are asked for (not on a share, or within its read-ahead window).
static char *ScratchFor(int nFile, uint64_t qwSize, char **ppcScratch)
{
    pthread_mutex_lock(&mtx);
    const bool bPieces = abOnShare[nFile] && qwSize > AHEAD_WINDOW_BYTES;
    pthread_mutex_unlock(&mtx);
    if (bPieces && *ppcScratch == NULL)
        *ppcScratch = (char *)malloc(AHEAD_PIECE);
    return bPieces ? *ppcScratch : NULL;
}

static void *Reader(void *pArg)
{
    const int nReader = (int)(intptr_t)pArg, nThread = 1 + nReader;
    char szMine[PATH_MAX];
    char *pcScratch = NULL;  // for reads from a share, once needed

    for (;;) {
        pthread_mutex_lock(&mtx);
        // On a share, no further ahead than the files it can leave open
        // for the core.
        while (!bStop &&
               (!Active() || bRootAwaited ||
                (qwClaim > qwCoreSeq ? qwClaim : qwCoreSeq) >= qwTail ||
                (bShare && qwClaim >= qwCoreSeq + AHEAD_HELD / 2)))
            Wait(nThread, &condClaim, false);
        if (bStop) {
            pthread_mutex_unlock(&mtx);
            break;
        }
        const uint64_t qwSeq = qwClaim > qwCoreSeq ? qwClaim : qwCoreSeq;
        qwClaim = qwSeq + 1;
        if (aItems[qwSeq % AHEAD_FILES].pszRel == NULL) {
            pthread_mutex_unlock(&mtx);
            continue;
        }
        // The pair the core is at: what the core opens itself is not opened
        // again; its second file only while the core reads the first.
        const bool bCurrent = qwSeq == qwCoreSeq;
        if (bCurrent && (nCoreFile == 1 || Load(&qwCoreHas) != qwSeq + 1)) {
            pthread_mutex_unlock(&mtx);
            continue;
        }
        strcpy(szMine, aItems[qwSeq % AHEAD_FILES].pszRel);
        aqwWorking[nReader] = qwSeq;
        const int fd1 = fdRoot1, fd2 = fdRoot2;
        pthread_mutex_unlock(&mtx);

        // The second file only as the core goes to it: after the first file
        // opened, and through the names the core's check would let it take.
        // Its first piece is asked for before the second file is opened,
        // which may wait for the disk; then a piece of each in turn, so
        // that a large pair is read as two streams, as the core compares it.
        uint64_t qwSize = UINT64_MAX;
        int afd[2] = {-1, -1};
        struct stat st;
        bool bFirst, bSecond;
        if (bCurrent) {  // open in the core's hands: its size
            bFirst = fstatat(fd1, szMine, &st, 0) == 0 && S_ISREG(st.st_mode);
            qwSize = bFirst ? (uint64_t)st.st_size : 0;
        } else {
            afd[0] =
                OpenAhead(nThread, qwSeq, 0, fd1, szMine, &qwSize, &bFirst);
            ReadPiece(nThread, qwSeq, afd, 0, 0, qwSize,
                      ScratchFor(0, qwSize, &pcScratch));
        }
        if (bFirst && fd2 >= 0 && NamesakeListed(fd2, szMine))
            afd[1] =
                OpenAhead(nThread, qwSeq, 1, fd2, szMine, &qwSize, &bSecond);
        ReadPiece(nThread, qwSeq, afd, 1, 0, qwSize,
                  ScratchFor(1, qwSize, &pcScratch));
        for (uint64_t qwAt = AHEAD_CHUNK;
             qwAt < qwSize && (afd[0] >= 0 || afd[1] >= 0); qwAt += AHEAD_CHUNK)
            for (int nFile = 0; nFile < 2; nFile++)
                ReadPiece(nThread, qwSeq, afd, nFile, qwAt, qwSize,
                          ScratchFor(nFile, qwSize, &pcScratch));
        for (int nFile = 0; nFile < 2; nFile++)
            if (afd[nFile] >= 0)
                close(afd[nFile]);

        pthread_mutex_lock(&mtx);
        aqwWorking[nReader] = ~(uint64_t)0;
        Wake(WAKE_ADMITS);  // the lowest file held may be another now
        pthread_mutex_unlock(&mtx);
    }
    free(pcScratch);
    pthread_mutex_lock(&mtx);
    Ended(nThread);
    pthread_mutex_unlock(&mtx);
    return NULL;
}

// ---- Starting and stopping --------------------------------------------------
// Stops the threads, waiting for each to end, and closes what they held;
// the agent never starts again.
static void Stop(void)
{
    bRunning = false;
    pthread_mutex_lock(&mtx);
    bStop = true;
    Wake(WAKE_ALL);
    pthread_cond_broadcast(&cond);
    while (nLive > 0)
        pthread_cond_wait(&cond, &mtx);
    pthread_mutex_unlock(&mtx);
    if (fdRoot1 >= 0)
        close(fdRoot1);
    if (fdRoot2 >= 0)
        close(fdRoot2);
    fdRoot1 = fdRoot2 = -1;
    for (size_t i = 0; i < AHEAD_FILES; i++) {
        free(aItems[i].pszRel);
        aItems[i].pszRel = NULL;
        for (int nFile = 0; nFile < 2; nFile++)
            if (aItems[i].afd[nFile] >= 0)
                close(aItems[i].afd[nFile]);
        aItems[i].afd[0] = aItems[i].afd[1] = -1;
    }
    nHeld = 0;
    LeaveWays();
    Listed aOld[AHEAD_LISTED];
    pthread_mutex_lock(&mtx);
    const int nOld = TakeListed(~(uint64_t)0, aOld);
    FreeFrames(pHanded, nHanded);
    pHanded = NULL;
    nHanded = 0;
    pthread_mutex_unlock(&mtx);
    FreeListed(aOld, nOld);
}

// At exit: the threads are told to stop, and left as they are. One may be
// in a system call that a file system does not answer; the process ends
// without it, and nothing it may still touch is freed or closed.
static void Leave(void)
{
    pthread_mutex_lock(&mtx);
    bStop = true;
    Wake(WAKE_ALL);
    pthread_cond_broadcast(&cond);
    pthread_mutex_unlock(&mtx);
}

// A descriptor of the second root for the readers, once it is known and
// if none is held yet: -1 otherwise. The core's thread alone sets fdRoot2.
static int OpenRoot2(void)
{
    if (fdRoot2 >= 0 || pszRoot2 == NULL)
        return -1;
    return LowOrClosed(open(nRoot2Len != 0 ? pszRoot2 : "/",
                            O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Makes the threads nFrom up to nTo: [0] the walker, the others readers.
static void MakeThreads(int nFrom, int nTo)
{
    pthread_attr_t attr;
    pthread_t thread;
    sigset_t all, old;

    // Signals stay the core's thread's: the agent's threads block them all.
    // Nothing joins them: Stop waits for them to end, Leave does not.
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, (size_t)256 << 10);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    for (int i = nFrom; i < nTo; i++) {
        pthread_mutex_lock(&mtx);
        abLive[i] = true;
        nLive++;
        pthread_mutex_unlock(&mtx);
        if (pthread_create(&thread, &attr, i == 0 ? Walker : Reader,
                           (void *)(intptr_t)(i - 1)) != 0) {
            pthread_mutex_lock(&mtx);
            Ended(i);
            pthread_mutex_unlock(&mtx);
            break;
        }
        bRunning = true;  // the walker, at least, is there
        nReaders = i;
    }
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
}

// Starts the agent, once, walking on from pszFrom (NULL: the whole tree).
static void Start(const char *pszFrom)
{
    struct rlimit rl;

    pthread_condattr_t attr;

    bStarted = true;
    // Timed waits count on the monotonic clock: the wall clock may be set
    // back or forth while the run goes on.
    if (pthread_condattr_init(&attr) == 0) {
        if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
            pthread_cond_init(&cond, &attr) == 0 &&
            pthread_cond_init(&condIdle, &attr) == 0 &&
            pthread_cond_init(&condAdmit, &attr) == 0)
            clkWait = CLOCK_MONOTONIC;
        pthread_condattr_destroy(&attr);
    }
    for (size_t i = 0; i < AHEAD_FILES; i++) {
        aItems[i].afd[0] = aItems[i].afd[1] = -1;
        aItems[i].abOpening[0] = aItems[i].abOpening[1] = false;
    }
    // The agent's descriptors stay in the lower half of the process's room.
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    nFdCeiling = rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > INT_MAX
                     ? INT_MAX / 2
                     : (int)(rl.rlim_cur / 2);
    fdRoot1 = LowOrClosed(open(nRoot1Len != 0 ? pszRoot1 : "/",
                               O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (fdRoot1 < 0)
        return;
    fdRoot2 = OpenRoot2();
    bRootAwaited = pszRoot2 == NULL;
    // Started at the core's file: it is pair 0, with nothing to read
    // ahead, and the walk goes on after it.
    if (pszFrom != NULL) {
        HandWalkAtLast();
        aItems[0].pszRel = NULL;
        aItems[0].aqwIssued[0] = aItems[0].aqwIssued[1] = 0;
        qwTail = 1;
        nCoreFile = nOpenTree == 1 ? 1 : 0;
    }
    for (int i = 0; i < AHEAD_SHARE_READERS; i++)
        aqwWorking[i] = ~(uint64_t)0;
    MakeThreads(0, 1 + AHEAD_READERS);
    atexit(Leave);
}

// A miss of the core's: the agent starts, or works again. Where a tree is
// on a share, whose requests each wait for an answer however near the
// data is, more readers keep more of them in flight.
static void Missed(void)
{
    if (pszRoot1 == NULL)
        return;
    if (!bStarted) {
        qwLastMiss = 1;
        Start(pszLastRel != NULL && pszLastRel[0] != '\0' ? pszLastRel : NULL);
    } else if (bRunning) {
        // On a share every file is a miss: only a quiet agent's threads
        // have something new to check.
        pthread_mutex_lock(&mtx);
        const bool bWasActive = Active();
        qwLastMiss = qwCoreSeq + 1;
        if (!bWasActive)
            Wake(WAKE_ALL);
        pthread_mutex_unlock(&mtx);
        if (bAdrift)
            HandWalkAtLast();
    }
    if (bRunning && (abOnShare[0] || abOnShare[1]) &&
        nReaders == AHEAD_READERS) {
        pthread_mutex_lock(&mtx);
        bShare = true;
        pthread_mutex_unlock(&mtx);
        MakeThreads(1 + AHEAD_READERS, AHEAD_THREADS);
    }
}

// Whether the core's open file fd, of tree nOpenTree, is on a share: a
// network file system or FUSE, where every open and read is a request that
// waits for an answer, cached or not, and which a read that must not wait
// (RWF_NOWAIT) cannot ask. Its files count as misses.
static bool OnShare(int fd)
{
    struct statfs sfs;

    if (anShare[nOpenTree] < 0) {
        anShare[nOpenTree] = 0;
        if (fstatfs(fd, &sfs) == 0)
            switch ((unsigned long)sfs.f_type) {
            case 0x65735546:  // FUSE
            case 0x6969:      // NFS
            case 0xff534d42:  // CIFS
            case 0xfe534d42:  // SMB2
            case 0x517b:      // SMB
            case 0x00c36400:  // Ceph
            case 0x01021997:  // 9P
            case 0x5346414f:  // AFS
            case 0x73757245:  // Coda
                anShare[nOpenTree] = 1;
                pthread_mutex_lock(&mtx);
                abOnShare[nOpenTree] = true;
                pthread_mutex_unlock(&mtx);
                break;
            default:
                break;
            }
    }
    return anShare[nOpenTree] == 1;
}

// ---- The core's side --------------------------------------------------------
// Out of descriptors: stops for good and closes every descriptor the agent
// holds; false if it held none.
static bool AheadGiveBack(void)
{
    bool bHeld = bRunning || fdRoot1 >= 0;
    if (bHeld)
        Stop();
    return bHeld;
}

void AheadSearch(const char *pszDir, size_t nDirLen)
{
    if (pszRoot1 != NULL || bStarted)
        return;
    LevelsYieldFirst(AheadGiveBack);
    pszRoot1 = (char *)malloc(nDirLen + 1);
    if (pszRoot1 == NULL)
        return;
    memcpy(pszRoot1, pszDir, nDirLen);
    pszRoot1[nDirLen] = '\0';
    nRoot1Len = nDirLen;
    if (FAULT_AHEAD_FORCED()) {
        bForced = true;
        Start(NULL);
        Settle();
    }
}

// Follows the core to its open of pszPath.
static void Follow(const char *pszPath)
{
    size_t nPath, nRel, nRootLen;
    const char *pszRel;
    uint64_t qwSeq;
    bool bParted = false;

    nOpenTree = -1;
    nPath = strlen(pszPath);
    // The pair as the layer knows it: its second file is the one the
    // namesake check awaits, under the second root; its first, a path under
    // the first root (the core opens no other).
    if (NamesakeAwaits(pszPath, &nRootLen)) {
        if (pszRoot2 != NULL &&
            (nRoot2Len != nRootLen || memcmp(pszPath, pszRoot2, nRootLen) != 0))
            return;
        nOpenTree = 1;
        if (pszRoot2 == NULL) {
            pszRoot2 = (char *)malloc(nRootLen + 1);
            if (pszRoot2 != NULL) {
                nRoot2Len = nRootLen;
                memcpy(pszRoot2, pszPath, nRoot2Len);
                pszRoot2[nRoot2Len] = '\0';
            }
        }
        if (!bRunning)
            return;
        const int fd = OpenRoot2();
        pthread_mutex_lock(&mtx);
        if (fd >= 0)
            fdRoot2 = fd;
        const bool bRootWas = bRootAwaited;
        bRootAwaited = false;
        if (qwCoreSeq < qwTail)
            LetGo(&aItems[qwCoreSeq % AHEAD_FILES], 0);
        nCoreFile = 1;
        Store(&qwCoreAt, 0);
        Wake((bRootWas ? WAKE_CLAIMS : 0) | WAKE_ADMITS);
        pthread_mutex_unlock(&mtx);
        CloseLetGo();
        return;
    }
    if (nPath <= nRoot1Len || pszPath[nRoot1Len] != '/' ||
        memcmp(pszPath, pszRoot1, nRoot1Len) != 0)
        return;
    nOpenTree = 0;
    pszRel = pszPath + nRoot1Len + 1;
    nRel = nPath - nRoot1Len - 1;
    if (nRel + 1 > nLastRelCap) {
        char *pszGrown = (char *)realloc(pszLastRel, nRel + 1 + 256);
        if (pszGrown == NULL)
            return;
        pszLastRel = pszGrown;
        nLastRelCap = nRel + 1 + 256;
    }
    memcpy(pszLastRel, pszRel, nRel + 1);
    if (!bRunning || nRel >= PATH_MAX)
        return;

    // Where the core is in the agent's walk: one of the next few files, or
    // the walks have parted.
    pthread_mutex_lock(&mtx);
    bRootAwaited = pszRoot2 == NULL;
    for (qwSeq = qwCoreSeq; qwSeq < qwTail && qwSeq < qwCoreSeq + AHEAD_MATCH;
         qwSeq++) {
        const char *pszWalked = aItems[qwSeq % AHEAD_FILES].pszRel;
        if (pszWalked != NULL && strcmp(pszWalked, pszRel) == 0)
            break;
    }
    if (qwSeq == qwTail || qwSeq == qwCoreSeq + AHEAD_MATCH) {
        // The core's file takes the next number, with nothing to read ahead,
        // and the walk goes on after it.
        Item *pItem = &aItems[qwTail % AHEAD_FILES];
        free(pItem->pszRel);
        pItem->pszRel = NULL;
        pItem->aqwIssued[0] = pItem->aqwIssued[1] = 0;
        pItem->afd[0] = pItem->afd[1] = -1;
        pItem->abOpening[0] = pItem->abOpening[1] = false;
        qwSeq = qwTail++;
        bParted = true;
    }
    const uint64_t qwSteps = qwSeq - qwCoreSeq;
    for (; qwCoreSeq < qwSeq; qwCoreSeq++) {
        Item *pItem = &aItems[qwCoreSeq % AHEAD_FILES];
        qwAhead -= pItem->aqwIssued[0] + pItem->aqwIssued[1];
        LetGo(pItem, 0);
        LetGo(pItem, 1);
    }
    nCoreFile = 0;
    Store(&qwCoreAt, 0);
    // The walker and, on a share, as many readers as files the core moved
    // on may go further ahead now.
    Wake(WAKE_WALKER | WAKE_ADMITS);
    for (uint64_t i = 0; bShare && i < qwSteps && i < AHEAD_SHARE_READERS; i++)
        Wake(WAKE_ONE_CLAIM);
    const bool bWorking = Active();
    pthread_mutex_unlock(&mtx);
    CloseLetGo();
    // The walker walks on from the core's file, in the core's listings; a
    // quiet agent is handed them only when it works again.
    if (bParted && bWorking)
        HandWalk(pszPath);
    else if (bParted)
        bAdrift = true;
}

// Whether the core's look finds the file a reader opened, as it was then.
// The number alone is not enough: a share may give a file that replaced
// another under the same name the number of the one it replaced (a server
// that numbers by path), while the reader's descriptor still reads the old
// one. A file changed since is opened afresh by the core.
static bool SameLook(const struct stat *pstOpened, const struct stat *pstLook)
{
    return pstOpened->st_dev == pstLook->st_dev &&
           pstOpened->st_ino == pstLook->st_ino &&
           pstOpened->st_size == pstLook->st_size &&
           pstOpened->st_mtim.tv_sec == pstLook->st_mtim.tv_sec &&
           pstOpened->st_mtim.tv_nsec == pstLook->st_mtim.tv_nsec &&
           pstOpened->st_ctim.tv_sec == pstLook->st_ctim.tv_sec &&
           pstOpened->st_ctim.tv_nsec == pstLook->st_ctim.tv_nsec;
}

int AheadTake(const struct stat *pstLook)
{
    int fd = -1;

    if (!bRunning || nOpenTree < 0)
        return -1;
    pthread_mutex_lock(&mtx);
    qwAsked = 1 + 2 * qwCoreSeq + (uint64_t)nCoreFile;
    if (FAULT_AHEAD_LATE())
        Wake(WAKE_ALL);
    if (qwCoreSeq < qwTail && nCoreFile == nOpenTree) {
        Item *pItem = &aItems[qwCoreSeq % AHEAD_FILES];
        const int nFile = nCoreFile;
        // A reader's open of this file, in flight, stands for the core's.
        while (pItem->abOpening[nFile]) {
            bCoreAwaits = true;
            pthread_cond_wait(&condOpened, &mtx);
        }
        bCoreAwaits = false;
        if (pItem->afd[nFile] >= 0 && SameLook(&pItem->ast[nFile], pstLook)) {
            fd = pItem->afd[nFile];
            pItem->afd[nFile] = -1;
            nHeld--;
        }
    }
    pthread_mutex_unlock(&mtx);
    return fd;
}

int AheadListing(int fdDir, const char *pszName, const char *pszRel,
                 char **ppcEntries, size_t *pnLen)
{
    Listed aOld[AHEAD_LISTED + 1];
    Listed listed = {NULL, 0, -1, {}, NULL, 0};
    struct stat stLook;
    int nOld = 0;

    if (!bRunning)
        return -1;
    pthread_mutex_lock(&mtx);
    for (int i = 0; i < AHEAD_LISTED; i++)
        if (aListed[i].pszRel != NULL && strcmp(aListed[i].pszRel, pszRel) == 0)
            listed = aListed[i];
    pthread_mutex_unlock(&mtx);
    if (listed.pszRel == NULL)
        return -1;
    // The core's own look: the directory the name gives now, as it was
    // when the walker listed it (any entry added, removed or renamed since
    // moves its times), or the core lists it itself.
    const bool bSame = fstatat(fdDir, pszName, &stLook, 0) == 0 &&
                       S_ISDIR(stLook.st_mode) && SameLook(&listed.st, &stLook);
    // This listing and those the walk made before it are the core's or
    // passed; the walker may have let them all go meanwhile (WalkFrom).
    pthread_mutex_lock(&mtx);
    nOld = TakeListed(listed.qwOrder + 1, aOld);
    Wake(WAKE_WALKER);
    pthread_mutex_unlock(&mtx);
    int fd = -1;
    for (int i = 0; i < nOld; i++)
        if (bSame && aOld[i].qwOrder == listed.qwOrder) {
            listed = aOld[i];
            aOld[i] = aOld[--nOld];
            fd = listed.fd;
            break;
        }
    FreeListed(aOld, nOld);
    if (fd < 0)
        return -1;
    *ppcEntries = (char *)WorkAlloc(NULL, listed.nLen);
    if (*ppcEntries != NULL)
        memcpy(*ppcEntries, listed.pcEntries, listed.nLen);
    *pnLen = listed.nLen;
    listed.fd = *ppcEntries != NULL ? -1 : fd;
    FreeListed(&listed, 1);
    return *ppcEntries != NULL ? fd : -2;
}

void AheadOpen(const char *pszPath)
{
    if (pszRoot1 == NULL)
        return;
    Settle();  // (the test build's) what the agent could do is done
    Follow(pszPath);
    Settle();  // and what it does on learning of this open
}

ssize_t AheadRead(int fd, const struct iovec *aIov, int nIov, bool bOpen,
                  uint64_t qwAt)
{
    const bool bAsk = bOpen && nOpenTree >= 0 && abNoWait[nOpenTree];
    size_t nTotal = 0;
    ssize_t nGot;
    bool bMiss = false;

    for (int i = 0; i < nIov; i++)
        nTotal += aIov[i].iov_len;
    nGot = bAsk ? preadv2(fd, aIov, nIov, -1, RWF_NOWAIT) : -1;
    // Short: the file ends there, or the cache held only part of it. The
    // cache gives out whole pages, so a read that stops inside a page has
    // met the end of the file, as readv() would have; one that stops at a
    // page boundary reads the rest as readv() delivers it, so that a short
    // count still means the end.
    if (nGot > 0 && (size_t)nGot < nTotal &&
        !(bOpen && ((qwAt + (uint64_t)nGot) & 4095) != 0)) {
        struct iovec aRest[2];
        size_t nSkip = (size_t)nGot;
        int nRest = 0;
        ssize_t nMore;
        for (int i = 0; i < nIov && nRest < 2; i++) {
            if (nSkip >= aIov[i].iov_len) {
                nSkip -= aIov[i].iov_len;
                continue;
            }
            aRest[nRest].iov_base = (char *)aIov[i].iov_base + nSkip;
            aRest[nRest++].iov_len = aIov[i].iov_len - nSkip;
            nSkip = 0;
        }
        do
            nMore = readv(fd, aRest, nRest);
        while (nMore < 0 && errno == EINTR);
        bMiss = nMore > 0;
        nGot = nMore < 0 ? -1 : nGot + nMore;
    } else if (nGot < 0) {
        // Not cached (EAGAIN), or not to be asked so: whatever the cause,
        // readv() answers. A file system that refuses to be asked is not
        // asked again, in this tree.
        bMiss = bAsk && errno == EAGAIN;
        if (bAsk && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS))
            abNoWait[nOpenTree] = false;
        nGot = readv(fd, aIov, nIov);
    }
    if (bOpen && nOpenTree >= 0 && qwAt == 0 && OnShare(fd))
        bMiss = true;
    if (bMiss && bOpen)
        Missed();
    if (bOpen && bRunning && nOpenTree == 0)
        Store(&qwCoreHas, qwCoreSeq + 1);
    if (bOpen && bRunning && nGot > 0)
        Store(&qwCoreAt, qwAt + (uint64_t)nGot);
    return nGot;
}

void AheadMapping(int fd, size_t nBytes)
{
    struct {
        uint64_t off, len;
    } range = {0, nBytes};
    struct {
        uint64_t nr_cache, nr_dirty, nr_writeback, nr_evicted,
            nr_recently_evicted;
    } cs;

    if (pszRoot1 == NULL)
        return;
    if (nOpenTree >= 0 && OnShare(fd))
        Missed();
    else if (bCacheStat && syscall(__NR_cachestat, fd, &range, &cs, 0) != 0)
        bCacheStat = false;
    // In the system's pages (16 or 64 KiB on some arm64 kernels).
    else if (bCacheStat &&
             cs.nr_cache < (nBytes + PageBytes() - 1) / PageBytes())
        Missed();
    if (bRunning && nOpenTree == 0)
        Store(&qwCoreHas, qwCoreSeq + 1);
}

#else  // Elsewhere the core reads alone.

void AheadSearch(const char *, size_t) {}
void AheadOpen(const char *) {}
ssize_t AheadRead(int fd, const struct iovec *aIov, int nIov, bool, uint64_t)
{
    return readv(fd, aIov, nIov);
}
void AheadMapping(int, size_t) {}
int AheadTake(const struct stat *) { return -1; }
int AheadListing(int, const char *, const char *, char **, size_t *)
{
    return -1;
}

#endif
