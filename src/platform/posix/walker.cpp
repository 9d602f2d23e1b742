// The agent's walk of the first tree, in the core's order, and the listings
// it leaves for the core's searches.
#include "ahead.h"

#if ORVEL_LINUX

#include <dirent.h>

namespace ahead {

// ---- Directories listed for the core ---------------------------------------
// The walker leaves each directory it lists, with the descriptor it listed it
// by and its status from before the listing, for the core's search of it
// (AheadListing), AHEAD_LISTED at most, and walks no further while that many
// wait: the core's search takes the listing where its own look finds that
// very directory, unchanged, so that each directory is listed once and the
// core and the agent walk the same entries. Listings the core has passed
// are let go.
Listed aListed[AHEAD_LISTED];
static int nListed = 0;
static uint64_t qwListedOrder = 0;

int TakeListed(uint64_t qwBefore, Listed *aOut)
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

void FreeListed(Listed *aOut, int nOut)
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

// A listing of the walker's under way: the walk's frame, and the same
// entries with "." and ".." for the core's search.
struct Listing {
    int fd;
    Frame frame, all;
    size_t nCap, nAllCap;
    size_t nIndex;  // entries seen, "." and ".." aside
    bool bHidden;   // the test build hid one from the walk
};

// Each entry as the core's search takes it: a directory as listed, a link
// or an entry listed without a type as its lookup finds it. "." and ".."
// are directories, and not the walk's.
static bool AddEntry(void *pContext, const char *pszName, unsigned char bType,
                     ino_t)
{
    Listing *pListing = (Listing *)pContext;
    bool bDir = bType == DT_DIR;
    struct stat st;

    if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
        return Append(&pListing->all, &pListing->nAllCap, 'd', pszName);
    if (FAULT_AHEAD_HIDES(pListing->nIndex++)) {
        pListing->bHidden = true;
        return true;
    }
    if (bType == DT_LNK || bType == DT_UNKNOWN)
        bDir =
            fstatat(pListing->fd, pszName, &st, 0) == 0 && S_ISDIR(st.st_mode);
    return Append(&pListing->frame, &pListing->nCap, bDir ? 'd' : 'f',
                  pszName) &&
           Append(&pListing->all, &pListing->nAllCap, bDir ? 'd' : 'f',
                  pszName);
}

// Lists the directory szRel (nRelLen bytes) of the first tree onto the walk,
// unless it is being walked already (a cycle of links), and leaves the
// listing for the core's search (Offer). False when it cannot be walked.
// The test build may hide entries from the walk, whose listing is then not
// left for the core: the core lists such a directory itself, and the walks
// part.
static bool PushFrame(size_t nRelLen)
{
    Listing listing = {
        -1,   {NULL, 0, 0, nRelLen, 0, 0}, {NULL, 0, 0, nRelLen, 0, 0}, 0, 0, 0,
        false};
    struct stat stDir;

    szRel[nRelLen] = '\0';
    listing.fd =
        LowOrClosed(OpenDirectory(fdRoot1, nRelLen != 0 ? szRel : "."));
    if (listing.fd < 0)
        return false;
    if (fstat(listing.fd, &stDir) != 0)
        goto Fail;
    listing.frame.dev = stDir.st_dev;
    listing.frame.ino = stDir.st_ino;
    for (size_t i = 0; i < nFrames; i++)
        if (pFrames[i].dev == stDir.st_dev && pFrames[i].ino == stDir.st_ino)
            goto Fail;
    if (!ListDirectory(listing.fd, AddEntry, &listing, pcListBuf))
        goto Fail;
    if (nFrames == nFrameCap) {
        size_t nNew = nFrameCap * 2 + 16;
        Frame *pGrown = (Frame *)realloc(pFrames, nNew * sizeof(Frame));
        if (pGrown == NULL)
            goto Fail;
        pFrames = pGrown;
        nFrameCap = nNew;
    }
    pFrames[nFrames++] = listing.frame;
    if (!listing.bHidden && listing.all.pcEntries != NULL) {
        Offer(szRel, listing.fd, &stDir, listing.all.pcEntries,
              listing.all.nLen);
        return true;
    }
    free(listing.all.pcEntries);
    close(listing.fd);
    return true;

Fail:
    free(listing.frame.pcEntries);
    free(listing.all.pcEntries);
    close(listing.fd);
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
bool bAdrift = false;

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

void HandWalk(const char *pszPath)
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

void HandWalkAtLast(void)
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

void *Walker(void *)
{
    bool bLostNow;

    pcListBuf = (char *)malloc(LIST_BUF_BYTES);
    pthread_mutex_lock(&mtx);
    bLostNow = bLost;
    pthread_mutex_unlock(&mtx);
    if (pcListBuf != NULL && !bLostNow)
        PushFrame(0);
    while (pcListBuf != NULL) {
        pthread_mutex_lock(&mtx);
        while (!bStop && !bLost &&
               (!Active() || nFrames == 0 || nListed >= AHEAD_LISTED ||
                qwTail - qwCoreSeq >= AHEAD_FILES - AHEAD_MATCH)) {
            bWalked = nFrames == 0;
            Wait(0, &condWalker, false);
        }
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
    pthread_mutex_lock(&mtx);
    Ended(0);
    pthread_mutex_unlock(&mtx);
    return NULL;
}

void LeaveWalk(void)
{
    Listed aOld[AHEAD_LISTED];

    pthread_mutex_lock(&mtx);
    const int nOld = TakeListed(~(uint64_t)0, aOld);
    FreeFrames(pHanded, nHanded);
    pHanded = NULL;
    nHanded = 0;
    pthread_mutex_unlock(&mtx);
    FreeListed(aOld, nOld);
}

}  // namespace ahead

#endif
