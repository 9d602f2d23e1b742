// The read-ahead agent: a tree that is not in memory read at the speed of
// the disk, the comparison itself unchanged.
//
// The core asks for one thing at a time (list, open, read, close, next), and
// on a tree that comes from the disk each request waits for the disk, which
// would serve dozens at once. The agent walks the first tree ahead of the
// core, in the core's order, and asks the kernel to read the files of both
// trees into the page cache (readahead(2)) before the core gets to them. It
// only ever brings pages in: the core still looks at, opens and reads every
// file itself, so a file that changes is compared as it is when the core
// reads it, and every line comes out as without the agent.
//
// Its protocol with the core, through the calls the layer makes for it:
// - AheadSearch: a directory search starts. The first one names the first
//   tree's root.
// - AheadOpen: CreateFileA is asked for a path. A path under the first root
//   is the core's next pair; the open right after it of a path that ends in
//   the same relative path is the pair's second file, and names the second
//   tree's root the first time. The agent numbers the files of its walk in
//   order; the core's position is the number of the file it opened last,
//   which file of the pair and how far its reads have got. A first file
//   that is not one of the next few the agent walked means the walks have
//   parted (a directory changed under the run, or the agent fell behind):
//   the agent lists its way down to the core's file again and walks on from
//   there.
// - AheadRead: the core's read of the open file, which answers exactly as
//   readv() does. It is asked first of the page cache alone
//   (preadv2 with RWF_NOWAIT): what the cache does not hold is a miss, and
//   the rest is read as usual. AheadMapping, before a large first file is
//   mapped, asks cachestat(2) whether the cache holds it (Linux 6.5 and
//   later; without it, only the reads tell).
// - AheadGiveBack: the process is out of descriptors. The agent stops for
//   good and closes every descriptor it holds before the call returns, so
//   that the open the core retries can have them.
//
// When it runs and how far ahead:
// - It starts at the first miss (the threads are made then; a run that never
//   misses has none) and works while the core has missed in the last
//   AHEAD_WINDOW files; past that the tree is cached and it goes quiet until
//   the next miss.
// - At most AHEAD_BYTES of file data and AHEAD_FILES files ahead of the core,
//   large files in pieces of AHEAD_CHUNK in order; what the core has read
//   leaves the budget. Only the file the agent's readers reached first may
//   go on past its first piece, so that large files never compete.
// - One thread walks (lists directories) and AHEAD_READERS threads open
//   files and ask for their pages: opening a file whose inode is not cached
//   waits for the disk, and several waits at once are what the disk serves
//   best.
//
// What it may do to the trees is what the core may: it lists directories
// and opens only regular files, by the same look before and after the open
// (OpenAfterLook), read-only, without blocking and without stamping access
// times; it never reads a byte itself, so its memory is the page cache's,
// which a memory control group reclaims, and its own is little more than
// the names of the files ahead. It keeps descriptors in the lower half of the
// process's limit and holds one per thread at most besides the two roots. It
// holds its lock only to hand items over, never while it waits for the disk,
// and never touches the layer's counted working memory.
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
#include <unistd.h>

#include "faults.h"

#define AHEAD_BYTES ((uint64_t)64 << 20)
#define AHEAD_FILES 4096  // a power of two: the ring of walked files
#define AHEAD_CHUNK ((uint64_t)4 << 20)
#define AHEAD_WINDOW 4096
#define AHEAD_READERS 2
#define AHEAD_MATCH 8  // files the core may skip and still be in step

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
static bool bSecondNext = false;  // the next open may be the pair's second
static bool bNoWait = true;       // the page cache may be asked alone
static bool bCacheStat = true;    // cachestat(2) answers
static bool bStarted = false;     // started once: never again
static bool bRunning = false;     // its threads are there to follow the core

// ---- Shared, under mtx ------------------------------------------------------
struct Item {
    char *pszRel;           // relative path, the walker's allocation; NULL
                            // for the core's file where the walks parted
    uint64_t aqwIssued[2];  // bytes asked for, of the first and second file
};

static pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
static Item aItems[AHEAD_FILES];
static uint64_t qwTail = 0;   // number of the next file walked
static uint64_t qwClaim = 0;  // number of the next file for a reader
static uint64_t qwAhead = 0;  // bytes asked for, files the core has not left
static uint64_t aqwWorking[AHEAD_READERS];  // each reader's file, or ~0
static bool bStop = false;
static bool bLost = false;  // the walks parted: walk on from szLostRel
static char szLostRel[PATH_MAX];
static bool bRoot2New = false;  // pszRoot2 is there for the walker to open
static int fdRoot1 = -1, fdRoot2 = -1;
static bool bWaiting = false;  // a thread waits for the core to move

// The core's position, written under mtx by the core's thread; how far its
// reads have got is also written without it, and read atomically.
static uint64_t qwCoreSeq = 0;   // the file pair the core is at
static int nCoreFile = 0;        // its first (0) or second (1) file
static uint64_t qwCoreAt = 0;    // bytes the core has read of that file
static uint64_t qwLastMiss = 0;  // 1 + the pair of the last miss, 0 for none
static bool bForced = false;

static pthread_t aThreads[1 + AHEAD_READERS];
static int nThreads = 0;
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

static void Wake(void)
{
    if (bWaiting) {
        bWaiting = false;
        pthread_cond_broadcast(&cond);
    }
}

// Waits on cond, under mtx. Everything waited for changes under mtx and
// wakes the waiters, except how far the core's reads have got (qwCoreAt),
// which the budget waits for a few milliseconds at a time.
static void Wait(bool bTimed)
{
    struct timespec ts;
    bWaiting = true;
    if (!bTimed) {
        pthread_cond_wait(&cond, &mtx);
        return;
    }
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_nsec += 5000000;
    if (ts.tv_nsec >= 1000000000) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000;
    }
    pthread_cond_timedwait(&cond, &mtx, &ts);
}

// A descriptor the agent got: kept if it is in the lower part of the
// process's room, else closed and -1.
static int Keep(int fd)
{
    if (fd >= nFdCeiling) {
        close(fd);
        return -1;
    }
    return fd;
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
// be walked.
static bool PushFrame(size_t nRelLen)
{
    const int nFlags = O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOCTTY;
    Frame frame = {NULL, 0, 0, nRelLen, 0, 0};
    size_t nCap = 0, i;
    struct stat st;
    ssize_t nGot = 0;
    int fd;

    szRel[nRelLen] = '\0';
    fd = Keep(OpenForReading(fdRoot1, nRelLen != 0 ? szRel : ".", nFlags));
    if (fd < 0)
        return false;
    if (fstat(fd, &st) != 0)
        goto Fail;
    frame.dev = st.st_dev;
    frame.ino = st.st_ino;
    for (i = 0; i < nFrames; i++)
        if (pFrames[i].dev == st.st_dev && pFrames[i].ino == st.st_ino)
            goto Fail;
    while ((nGot = getdents64(fd, pcListBuf, 32768)) > 0) {
        for (ssize_t nOff = 0; nOff < nGot;) {
            const struct dirent64 *pEnt =
                (const struct dirent64 *)(pcListBuf + nOff);
            const char *pszName = pEnt->d_name;
            bool bDir = pEnt->d_type == DT_DIR;
            nOff += pEnt->d_reclen;
            if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
                continue;
            if (pEnt->d_type == DT_LNK || pEnt->d_type == DT_UNKNOWN)
                bDir = fstatat(fd, pszName, &st, 0) == 0 && S_ISDIR(st.st_mode);
            if (!Append(&frame, &nCap, bDir ? 'd' : 'f', pszName))
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
    close(fd);
    return true;

Fail:
    free(frame.pcEntries);
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

// Rebuilds the walk so that it goes on right after the file pszLost, as the
// directories are listed now. An empty walk when a directory on the way, or
// the file, is not there.
static void WalkFrom(const char *pszLost)
{
    size_t nRelLen = 0;

    while (nFrames > 0)
        PopFrame();
    if (!PushFrame(0))
        return;
    while (*pszLost != '\0') {
        const char *pszSlash = strchr(pszLost, '/');
        size_t nPart =
            pszSlash != NULL ? (size_t)(pszSlash - pszLost) : strlen(pszLost);
        Frame *pTop = &pFrames[nFrames - 1];
        bool bFound = false;
        while (pTop->nNext < pTop->nLen && !bFound) {
            const char *pszName = pTop->pcEntries + pTop->nNext + 1;
            bFound =
                strlen(pszName) == nPart &&
                memcmp(pszName, pszLost, nPart) == 0 &&
                (pTop->pcEntries[pTop->nNext] == 'd') == (pszSlash != NULL);
            pTop->nNext += 1 + strlen(pszName) + 1;
        }
        if (!bFound || pszSlash == NULL) {
            if (!bFound)
                while (nFrames > 0)
                    PopFrame();
            return;
        }
        memcpy(szRel + (nRelLen != 0 ? nRelLen + 1 : 0), pszLost, nPart);
        if (nRelLen != 0)
            szRel[nRelLen] = '/';
        nRelLen += (nRelLen != 0 ? 1 : 0) + nPart;
        if (!PushFrame(nRelLen)) {
            while (nFrames > 0)
                PopFrame();
            return;
        }
        pszLost = pszSlash + 1;
    }
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
    qwTail++;
    Wake();
    pthread_mutex_unlock(&mtx);
    return true;
}

static void *Walker(void *)
{
    char szLost[PATH_MAX];
    bool bLostNow = bLost;

    pcListBuf = (char *)malloc(32768);
    if (pcListBuf == NULL)
        return NULL;
    if (!bLostNow)
        PushFrame(0);
    for (;;) {
        pthread_mutex_lock(&mtx);
        while (!bStop && !bLost && !bRoot2New &&
               (!Active() || nFrames == 0 ||
                qwTail - qwCoreSeq >= AHEAD_FILES - AHEAD_MATCH))
            Wait(false);
        bLostNow = bLost;
        bLost = false;
        if (bLostNow)
            memcpy(szLost, szLostRel, sizeof(szLost));
        const bool bOpenRoot2 = bRoot2New;
        bRoot2New = false;
        const bool bStopNow = bStop;
        pthread_mutex_unlock(&mtx);
        if (bStopNow)
            break;
        if (bOpenRoot2) {
            int fd = Keep(open(nRoot2Len != 0 ? pszRoot2 : "/",
                               O_PATH | O_DIRECTORY | O_CLOEXEC));
            pthread_mutex_lock(&mtx);
            fdRoot2 = fd;
            pthread_mutex_unlock(&mtx);
        }
        if (bLostNow) {
            WalkFrom(szLost);
            continue;
        }
        if (nFrames == 0)
            continue;
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
            PushFrame(nRelLen);
        else if (!Produce())
            break;
    }
    while (nFrames > 0)
        PopFrame();
    free(pFrames);
    pFrames = NULL;
    nFrameCap = 0;
    free(pcListBuf);
    return NULL;
}

// ---- The readers ------------------------------------------------------------
// Waits until qwLen bytes of file nFile of pair qwSeq, from qwFrom on, fit
// the budget; false when the core is past them or the agent stops.
static bool Admit(uint64_t qwSeq, int nFile, uint64_t qwFrom, uint64_t qwLen)
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
            for (int i = 0; i < AHEAD_READERS; i++)
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
        Wait(true);
    }
    pthread_mutex_unlock(&mtx);
    return bAdmit;
}

static void ReadAhead(uint64_t qwSeq, int nFile, int fdRoot, const char *pszRel)
{
    struct stat st;
    int fd;

    if (fdRoot < 0)
        return;
    fd = Keep(OpenAfterLook(fdRoot, pszRel, &st, true));
    if (fd < 0)
        return;
    for (uint64_t qwAt = 0; qwAt < (uint64_t)st.st_size; qwAt += AHEAD_CHUNK) {
        uint64_t qwLen = (uint64_t)st.st_size - qwAt;
        if (qwLen > AHEAD_CHUNK)
            qwLen = AHEAD_CHUNK;
        if (!Admit(qwSeq, nFile, qwAt, qwLen))
            break;
        readahead(fd, (off64_t)qwAt, (size_t)qwLen);
    }
    close(fd);
}

static void *Reader(void *pArg)
{
    const int nReader = (int)(intptr_t)pArg;
    char szMine[PATH_MAX];

    for (;;) {
        pthread_mutex_lock(&mtx);
        while (!bStop &&
               (!Active() ||
                (qwClaim > qwCoreSeq ? qwClaim : qwCoreSeq) >= qwTail))
            Wait(false);
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
        strcpy(szMine, aItems[qwSeq % AHEAD_FILES].pszRel);
        aqwWorking[nReader] = qwSeq;
        const int fd1 = fdRoot1, fd2 = fdRoot2;
        pthread_mutex_unlock(&mtx);

        ReadAhead(qwSeq, 0, fd1, szMine);
        ReadAhead(qwSeq, 1, fd2, szMine);

        pthread_mutex_lock(&mtx);
        aqwWorking[nReader] = ~(uint64_t)0;
        Wake();
        pthread_mutex_unlock(&mtx);
    }
    return NULL;
}

// ---- Starting and stopping --------------------------------------------------
// Stops the threads and closes what they held; the agent never starts again.
static void Stop(void)
{
    bRunning = false;
    pthread_mutex_lock(&mtx);
    bStop = true;
    pthread_cond_broadcast(&cond);
    pthread_mutex_unlock(&mtx);
    for (int i = 0; i < nThreads; i++)
        pthread_join(aThreads[i], NULL);
    nThreads = 0;
    if (fdRoot1 >= 0)
        close(fdRoot1);
    if (fdRoot2 >= 0)
        close(fdRoot2);
    fdRoot1 = fdRoot2 = -1;
    for (size_t i = 0; i < AHEAD_FILES; i++) {
        free(aItems[i].pszRel);
        aItems[i].pszRel = NULL;
    }
}

// Starts the agent, once, walking on from pszFrom (NULL: the whole tree).
static void Start(const char *pszFrom)
{
    struct rlimit rl;
    pthread_attr_t attr;
    sigset_t all, old;

    bStarted = true;
    // The agent's descriptors stay in the lower half of the process's room.
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    nFdCeiling = rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > INT_MAX
                     ? INT_MAX / 2
                     : (int)(rl.rlim_cur / 2);
    fdRoot1 = Keep(open(nRoot1Len != 0 ? pszRoot1 : "/",
                        O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (fdRoot1 < 0)
        return;
    if (pszRoot2 != NULL)
        bRoot2New = true;
    if (pszFrom != NULL) {
        bLost = true;
        strcpy(szLostRel, pszFrom);
    }
    for (int i = 0; i < AHEAD_READERS; i++)
        aqwWorking[i] = ~(uint64_t)0;
    // Signals stay the core's thread's: the agent's threads block them all.
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, (size_t)256 << 10);
    for (int i = 0; i <= AHEAD_READERS; i++) {
        if (pthread_create(&aThreads[nThreads], &attr, i == 0 ? Walker : Reader,
                           (void *)(intptr_t)(i - 1)) != 0)
            break;
        nThreads++;
    }
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    bRunning = nThreads > 0;
    atexit(Stop);
}

// A miss of the core's: the agent starts, or works again.
static void Missed(void)
{
    if (pszRoot1 == NULL)
        return;
    if (!bStarted) {
        qwLastMiss = 1;
        Start(pszLastRel != NULL && pszLastRel[0] != '\0' ? pszLastRel : NULL);
        return;
    }
    if (!bRunning)
        return;
    pthread_mutex_lock(&mtx);
    qwLastMiss = qwCoreSeq + 1;
    Wake();
    pthread_mutex_unlock(&mtx);
}

// ---- The core's side --------------------------------------------------------
void AheadSearch(const char *pszDir, size_t nDirLen)
{
    if (pszRoot1 != NULL || bStarted)
        return;
    pszRoot1 = (char *)malloc(nDirLen + 1);
    if (pszRoot1 == NULL)
        return;
    memcpy(pszRoot1, pszDir, nDirLen);
    pszRoot1[nDirLen] = '\0';
    nRoot1Len = nDirLen;
    if (FAULT_AHEAD_FORCED()) {
        bForced = true;
        Start(NULL);
    }
}

void AheadOpen(const char *pszPath)
{
    size_t nPath, nRel;
    const char *pszRel;
    uint64_t qwSeq;

    if (pszRoot1 == NULL)
        return;
    nPath = strlen(pszPath);
    // The pair's second file: the same relative path under the second root.
    if (bSecondNext) {
        bSecondNext = false;
        nRel = strlen(pszLastRel);
        if (nPath > nRel && pszPath[nPath - nRel - 1] == '/' &&
            memcmp(pszPath + nPath - nRel, pszLastRel, nRel) == 0 &&
            (pszRoot2 == NULL
                 ? true
                 : nRoot2Len == nPath - nRel - 1 &&
                       memcmp(pszPath, pszRoot2, nRoot2Len) == 0)) {
            if (pszRoot2 == NULL) {
                pszRoot2 = (char *)malloc(nPath - nRel);
                if (pszRoot2 == NULL)
                    return;
                nRoot2Len = nPath - nRel - 1;
                memcpy(pszRoot2, pszPath, nRoot2Len);
                pszRoot2[nRoot2Len] = '\0';
                if (!bRunning)
                    return;
                pthread_mutex_lock(&mtx);
                bRoot2New = true;
                pthread_cond_broadcast(&cond);
                pthread_mutex_unlock(&mtx);
            }
            if (!bRunning)
                return;
            pthread_mutex_lock(&mtx);
            nCoreFile = 1;
            Store(&qwCoreAt, 0);
            Wake();
            pthread_mutex_unlock(&mtx);
            return;
        }
    }
    if (nPath <= nRoot1Len || pszPath[nRoot1Len] != '/' ||
        memcmp(pszPath, pszRoot1, nRoot1Len) != 0)
        return;
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
    bSecondNext = true;
    if (!bRunning || nRel >= PATH_MAX)
        return;

    // Where the core is in the agent's walk: one of the next few files, or
    // the walks have parted.
    pthread_mutex_lock(&mtx);
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
        qwSeq = qwTail++;
        bLost = true;
        memcpy(szLostRel, pszRel, nRel + 1);
    }
    for (; qwCoreSeq < qwSeq; qwCoreSeq++) {
        const Item *pItem = &aItems[qwCoreSeq % AHEAD_FILES];
        qwAhead -= pItem->aqwIssued[0] + pItem->aqwIssued[1];
    }
    nCoreFile = 0;
    Store(&qwCoreAt, 0);
    if (bLost)
        pthread_cond_broadcast(&cond);
    else
        Wake();
    pthread_mutex_unlock(&mtx);
}

ssize_t AheadRead(int fd, const struct iovec *aIov, int nIov, bool bOpen,
                  uint64_t qwAt)
{
    size_t nTotal = 0;
    ssize_t nGot;
    bool bMiss = false;

    for (int i = 0; i < nIov; i++)
        nTotal += aIov[i].iov_len;
    nGot = bNoWait ? preadv2(fd, aIov, nIov, -1, RWF_NOWAIT) : -1;
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
        // readv() answers.
        if (bNoWait &&
            (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS))
            bNoWait = false;
        bMiss = bNoWait && errno == EAGAIN;
        nGot = readv(fd, aIov, nIov);
    }
    if (bMiss && bOpen)
        Missed();
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

    if (pszRoot1 == NULL || !bCacheStat)
        return;
    if (syscall(__NR_cachestat, fd, &range, &cs, 0) != 0) {
        bCacheStat = false;
        return;
    }
    if (cs.nr_cache < (nBytes + 4095) / 4096)
        Missed();
}

bool AheadGiveBack(void)
{
    bool bHeld = bRunning || fdRoot1 >= 0;
    if (bHeld)
        Stop();
    return bHeld;
}

#else  // Elsewhere the core reads alone.

void AheadSearch(const char *, size_t) {}
void AheadOpen(const char *) {}
ssize_t AheadRead(int fd, const struct iovec *aIov, int nIov, bool, uint64_t)
{
    return readv(fd, aIov, nIov);
}
void AheadMapping(int, size_t) {}
bool AheadGiveBack(void) { return false; }

#endif
