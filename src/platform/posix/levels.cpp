// Descriptors of the directories the walk is in.
//
// Every directory the walk lists (a search of the first tree) or whose names
// it checks (a directory of the second tree) is held as a level: its path,
// the descriptor it was opened by and that descriptor's identity (st_dev,
// st_ino). What is below a level is opened relative to its descriptor, one
// name looked up instead of the whole path, and always in the directory that
// was opened: renaming the directory, or putting a link or another directory
// in its place, does not change what the walk reads below it.
//
// Protocol:
// - A level is opened relative to its parent level, or by its path when it
//   has none, and keeps its descriptor until it is closed.
// - Out of descriptors (EMFILE, ENFILE), GaveBack has the part registered
//   to yield first (the read-ahead agent) close all of its own; where it
//   held none, it closes the descriptors of the levels; each keeps its
//   identity. A level is opened
//   again only where it is the directory it was: when a level below it
//   closes, through that level's "..", which is where the walk returns;
//   otherwise, at its next LevelFd, by its path. A descriptor that does not
//   name the same directory is not taken: a directory that was moved or
//   replaced meanwhile and cannot be reached from below is no longer
//   reached, and what is below it cannot be opened (ENOENT) rather than
//   being another directory's entries. Paths of levels are below the
//   system's limit (longer ones are refused before they are opened), so the
//   reopen by path is always possible. So that the walk rarely needs it,
//   the levels that have an open level below them give their descriptors
//   back first; the innermost ones, which the walk uses next, only when
//   there are no others, and never the one the caller is about to use.
// - Levels are blocks of their own, so a pointer to one stays valid while
//   the owner's tables grow.
#include "internal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// The levels open now, for GaveBack.
static Level *pFirstLevel = NULL;
// What gives its descriptors back before the levels do.
static bool (*pfnYieldFirst)(void) = NULL;

int OpenDirectory(int fdDir, const char *pszPath)
{
    return OpenForReading(fdDir, pszPath,
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
}

void LevelsYieldFirst(bool (*pfnGiveBack)(void))
{
    pfnYieldFirst = pfnGiveBack;
}

bool GaveBack(int nErr, Level *pKeep)
{
    bool bHeld;
    int nPass;
    Level *pLevel;

    if (nErr != EMFILE && nErr != ENFILE)
        return false;
    bHeld = pfnYieldFirst != NULL && pfnYieldFirst();

    for (nPass = 0; nPass < 2 && !bHeld; nPass++) {
        for (pLevel = pFirstLevel; pLevel != NULL; pLevel = pLevel->pNext)
            pLevel->bAbove = false;
        for (pLevel = pFirstLevel; pLevel != NULL; pLevel = pLevel->pNext)
            if (pLevel->fd >= 0 && pLevel->pParent != NULL)
                pLevel->pParent->bAbove = true;
        for (pLevel = pFirstLevel; pLevel != NULL; pLevel = pLevel->pNext) {
            if (pLevel->fd >= 0 && pLevel != pKeep &&
                (pLevel->bAbove || nPass == 1)) {
                close(pLevel->fd);
                pLevel->fd = -1;
                bHeld = true;
            }
        }
    }
    return bHeld;
}

// Opens pLevel's directory relative to pParent (by the last name of its path)
// or by its path, once more after the levels gave their descriptors back
// when the process has run out of them.
static int OpenLevel(Level *pLevel, Level *pParent)
{
    int nTry, fd = -1;

    for (nTry = 0; nTry < 2; nTry++) {
        int fdParent = pParent != NULL ? LevelFd(pParent) : AT_FDCWD;
        if (pParent != NULL && fdParent < 0)
            fd = -1;
        else if (pParent != NULL)
            fd = OpenDirectory(fdParent, pLevel->pszPath + pParent->nLen + 1);
        else
            fd = OpenDirectory(AT_FDCWD,
                               pLevel->nLen != 0 ? pLevel->pszPath : "/");
        if (fd >= 0 || !GaveBack(errno, pParent))
            break;
    }
    return fd;
}

// Takes fd as pLevel's descriptor if it names pLevel's directory, else
// closes it. Returns the level's descriptor, -1 (ENOENT) if it has none.
static int TakeIfSame(Level *pLevel, int fd)
{
    struct stat st;

    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != pLevel->dev ||
                    st.st_ino != pLevel->ino)) {
        close(fd);
        fd = -1;
        errno = ENOENT;
    }
    pLevel->fd = fd;
    return fd;
}

Level *LevelOpen(Level *pParent, const char *pszPath, size_t nLen)
{
    return LevelTake(pParent, pszPath, nLen, -1);
}

Level *LevelTake(Level *pParent, const char *pszPath, size_t nLen, int fd)
{
    Level *pLevel = (Level *)WorkAlloc(NULL, sizeof(Level) + nLen + 1);
    struct stat st;
    int nErr;

    if (pLevel == NULL) {
        if (fd >= 0)
            close(fd);
        return NULL;
    }
    pLevel->pszPath = (char *)(pLevel + 1);
    memcpy(pLevel->pszPath, pszPath, nLen);
    pLevel->pszPath[nLen] = '\0';
    pLevel->nLen = nLen;
    pLevel->fd = fd >= 0 ? fd : OpenLevel(pLevel, pParent);
    if (pLevel->fd < 0 || fstat(pLevel->fd, &st) != 0) {
        nErr = errno;
        if (pLevel->fd >= 0)
            close(pLevel->fd);
        free(pLevel);
        errno = nErr;
        return NULL;
    }
    pLevel->dev = st.st_dev;
    pLevel->ino = st.st_ino;
    pLevel->pParent = pParent;
    pLevel->nBelow = 0;
    if (pParent != NULL)
        pParent->nBelow++;
    pLevel->pPrev = NULL;
    pLevel->pNext = pFirstLevel;
    if (pFirstLevel != NULL)
        pFirstLevel->pPrev = pLevel;
    pFirstLevel = pLevel;
    return pLevel;
}

int LevelFd(Level *pLevel)
{
    if (pLevel->fd >= 0)
        return pLevel->fd;
    return TakeIfSame(pLevel, OpenLevel(pLevel, NULL));
}

void LevelClose(Level *pLevel)
{
    Level *pOther;

    if (pLevel == NULL)
        return;
    if (pLevel->fd >= 0 && pLevel->pParent != NULL && pLevel->pParent->fd < 0) {
        int fd = OpenDirectory(pLevel->fd, "..");
        if (fd < 0 && GaveBack(errno, pLevel))
            fd = OpenDirectory(pLevel->fd, "..");
        TakeIfSame(pLevel->pParent, fd);
    }
    if (pLevel->pParent != NULL)
        pLevel->pParent->nBelow--;
    // The walk closes the levels below first; searches may end out of turn.
    for (pOther = pFirstLevel; pLevel->nBelow > 0 && pOther != NULL;
         pOther = pOther->pNext)
        if (pOther->pParent == pLevel) {
            pOther->pParent = NULL;
            pLevel->nBelow--;
        }
    if (pLevel->fd >= 0)
        close(pLevel->fd);
    if (pLevel->pPrev != NULL)
        pLevel->pPrev->pNext = pLevel->pNext;
    else
        pFirstLevel = pLevel->pNext;
    if (pLevel->pNext != NULL)
        pLevel->pNext->pPrev = pLevel->pPrev;
    free(pLevel);
}
