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
// the process does: hence the agent's rule (ahead.h) that it asks for
// nothing the core would not.)
#include "ahead.h"

#if ORVEL_LINUX

namespace ahead {

// The core's thread's (ahead.h).
char *pszRoot1 = NULL;
size_t nRoot1Len = 0;
char *pszRoot2 = NULL;
size_t nRoot2Len = 0;
char *pszLastRel = NULL;
int nOpenTree = -1;
bool bStarted = false;
bool bRunning = false;

static size_t nLastRelCap = 0;  // bytes allocated at pszLastRel

}  // namespace ahead

using namespace ahead;

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
