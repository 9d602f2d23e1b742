// The second tree's names as the core's namesake check takes them, for the
// agent's readers. The core opens a pair's second file only through names its
// directories list, where they are not known to look names up exactly
// (namesake.cpp); the readers do the same, through one table of the second
// tree's directories for all of them, each listed once while it is in the table
// (the AHEAD_WAYS used last), under its own lock: a reader that needs a
// directory another is listing waits for that listing.
#include "ahead.h"

#if ORVEL_LINUX

namespace ahead {

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
    size_t nNames;      // names at pcNames
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

static bool AddName(void *pContext, const char *pszName, unsigned char, ino_t)
{
    Way *pWay = (Way *)pContext;
    const size_t nLen = strlen(pszName) + 1;

    if (pWay->nNamesLen + nLen > pWay->nNamesCap) {
        size_t nCap = (pWay->nNamesLen + nLen) * 2 + 4096;
        char *pcGrown = (char *)realloc(pWay->pcNames, nCap);
        if (pcGrown == NULL)
            return false;
        pWay->pcNames = pcGrown;
        pWay->nNamesCap = nCap;
    }
    memcpy(pWay->pcNames + pWay->nNamesLen, pszName, nLen);
    pWay->nNamesLen += nLen;
    pWay->nNames++;
    return true;
}

// Reads the names of the directory open as fd into pWay. False on failure.
static bool ListWay(Way *pWay, int fd, char *pcBuf)
{
    size_t nSlots = 16, nOff;

    if (!ListDirectory(fd, AddName, pWay, pcBuf) ||
        pWay->nNamesLen > UINT32_MAX)
        return false;
    while (nSlots < pWay->nNames * 2)
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
        (pcWaysBuf == NULL &&
         (pcWaysBuf = (char *)malloc(LIST_BUF_BYTES)) == NULL))
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

bool NamesakeListed(int fdRoot, const char *pszRel)
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

void LeaveWays(void)
{
    pthread_mutex_lock(&mtxWays);
    for (int i = 0; i < AHEAD_WAYS; i++)
        LeaveWay(&aWays[i]);
    free(pcWaysBuf);
    pcWaysBuf = NULL;
    pthread_mutex_unlock(&mtxWays);
}

}  // namespace ahead

#endif
