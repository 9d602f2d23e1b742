// Descriptors of the directories used last.
//
// Opening a file by its full path makes the kernel look up every component
// of the path again, although the walk opens all files of one directory in a
// row, the pairs alternating between two directories (one per tree), and
// then goes on to the subdirectories of those two. This cache keeps the
// descriptors of the four directories used last: a file in one of them is
// opened relative to it, and a directory just below one of them is opened
// relative to that one, each looking up one name instead of the whole path.
// Both trees' current directories and their parents fit.
//
// The protocol it relies on:
// - A directory is known by the path its caller spelled. A directory renamed
//   or replaced after it was cached is still reached through its descriptor:
//   the walk goes on in the directory it reached, as a walk by descriptors
//   would.
// - The descriptor a call returns stays the cache's and is valid until the
//   next call of the cache; its caller never closes it.
// - Descriptors opened for lookups only are O_PATH ones on Linux: they need
//   no read permission on the directory, and a lookup through them is
//   checked as the full path's would be.
// - When the process runs out of descriptors (EMFILE, ENFILE), its caller
//   gives them all back (DirCacheGiveBack) and tries once more.
#include "internal.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct DirSlot {
    char *pszDir;          // the directory as the caller spelled it, or NULL
    size_t nDirLen;
    int fd;
    unsigned long ulUsed;  // when the slot last served, for replacement
};
static DirSlot aDirSlots[4];
static unsigned long ulDirClock = 0;
static const size_t nSlots = sizeof(aDirSlots) / sizeof(aDirSlots[0]);

static void EmptySlot(DirSlot *pSlot)
{
    if (pSlot->pszDir != NULL) {
        close(pSlot->fd);
        free(pSlot->pszDir);
        pSlot->pszDir = NULL;
    }
}

// Whether pSlot holds the parent of pszDir: the slot's path, one separator,
// one name.
static bool IsParent(const DirSlot *pSlot, const char *pszDir, size_t nDirLen)
{
    return pSlot->pszDir != NULL && pSlot->nDirLen + 1 < nDirLen &&
           pszDir[pSlot->nDirLen] == '/' &&
           memcmp(pSlot->pszDir, pszDir, pSlot->nDirLen) == 0 &&
           memchr(pszDir + pSlot->nDirLen + 1, '/',
                  nDirLen - pSlot->nDirLen - 1) == NULL;
}

int DirCacheGet(const char *pszDir, size_t nDirLen, int nFlags, bool *pbNew)
{
    DirSlot *pSlot = &aDirSlots[0];
    DirSlot *pParent = NULL;
    size_t i;
    char *pszCopy;
    int fd;

    *pbNew = false;
    for (i = 0; i < nSlots; i++) {
        DirSlot *pTry = &aDirSlots[i];
        if (pTry->pszDir != NULL && pTry->nDirLen == nDirLen &&
            memcmp(pTry->pszDir, pszDir, nDirLen) == 0) {
            pTry->ulUsed = ++ulDirClock;
            return pTry->fd;
        }
        if (IsParent(pTry, pszDir, nDirLen))
            pParent = pTry;
        if (pTry->ulUsed < pSlot->ulUsed)
            pSlot = pTry;
    }
    pszCopy = (char *)malloc(nDirLen + 1);
    if (pszCopy == NULL)
        return -1;
    memcpy(pszCopy, pszDir, nDirLen);
    pszCopy[nDirLen] = '\0';
    if (pParent != NULL) {
        pParent->ulUsed = ++ulDirClock;
        fd = OpenForReading(pParent->fd, pszCopy + pParent->nDirLen + 1,
                            nFlags | O_DIRECTORY | O_CLOEXEC);
    } else {
        fd = OpenForReading(AT_FDCWD, nDirLen != 0 ? pszCopy : "/",
                            nFlags | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        free(pszCopy);
        return -1;
    }
    // The parent was just marked used, so it is not the one replaced.
    if (pSlot == pParent) {
        for (i = 0; i < nSlots; i++)
            if (&aDirSlots[i] != pParent &&
                (pSlot == pParent || aDirSlots[i].ulUsed < pSlot->ulUsed))
                pSlot = &aDirSlots[i];
    }
    EmptySlot(pSlot);
    pSlot->pszDir = pszCopy;
    pSlot->nDirLen = nDirLen;
    pSlot->fd = fd;
    pSlot->ulUsed = ++ulDirClock;
    *pbNew = true;
    return fd;
}

bool DirCacheGiveBack(void)
{
    bool bHeld = false;
    size_t i;

    for (i = 0; i < nSlots; i++) {
        bHeld = bHeld || aDirSlots[i].pszDir != NULL;
        EmptySlot(&aDirSlots[i]);
    }
    return bHeld;
}
