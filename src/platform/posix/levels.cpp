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
// - Out of descriptors (EMFILE, ENFILE), LevelsGiveBack closes the
//   descriptors of all levels; each keeps its identity. The next LevelFd
//   reopens the level by its path and takes the descriptor only if it names
//   the same directory: one that was moved or replaced meanwhile is no
//   longer reached, and what is below it cannot be opened (ENOENT) rather
//   than being another directory's entries. Paths of levels are below the
//   system's limit (longer ones are refused before they are opened), so the
//   reopen by path is always possible.
// - Levels are blocks of their own, so a pointer to one stays valid while
//   the owner's tables grow.
#include "internal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// The levels open now, for LevelsGiveBack.
static Level *pFirstLevel = NULL;

int OpenForReading(int fdDir, const char *pszPath, int nFlags)
{
#if ORVEL_LINUX && defined(O_NOATIME)
    int fd = openat(fdDir, pszPath, nFlags | O_NOATIME);
    if (fd >= 0 || errno != EPERM)
        return fd;
#endif
    return openat(fdDir, pszPath, nFlags);
}

// Opens pLevel's directory relative to pParent (by the last name of its path)
// or by its path, once more after the levels gave their descriptors back
// when the process has run out of them.
static int OpenLevel(Level *pLevel, Level *pParent)
{
    const int nFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY;
    int nTry, fd = -1;

    for (nTry = 0; nTry < 2; nTry++) {
        int fdParent = pParent != NULL ? LevelFd(pParent) : AT_FDCWD;
        if (pParent != NULL && fdParent < 0)
            fd = -1;
        else if (pParent != NULL)
            fd = OpenForReading(fdParent, pLevel->pszPath + pParent->nLen + 1,
                                nFlags);
        else
            fd = OpenForReading(AT_FDCWD,
                                pLevel->nLen != 0 ? pLevel->pszPath : "/",
                                nFlags);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE) ||
            !LevelsGiveBack())
            break;
    }
    return fd;
}

Level *LevelOpen(Level *pParent, const char *pszPath, size_t nLen)
{
    Level *pLevel = (Level *)WorkAlloc(NULL, sizeof(Level) + nLen + 1);
    struct stat st;
    int nErr;

    if (pLevel == NULL)
        return NULL;
    pLevel->pszPath = (char *)(pLevel + 1);
    memcpy(pLevel->pszPath, pszPath, nLen);
    pLevel->pszPath[nLen] = '\0';
    pLevel->nLen = nLen;
    pLevel->fd = OpenLevel(pLevel, pParent);
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
    pLevel->pPrev = NULL;
    pLevel->pNext = pFirstLevel;
    if (pFirstLevel != NULL)
        pFirstLevel->pPrev = pLevel;
    pFirstLevel = pLevel;
    return pLevel;
}

int LevelFd(Level *pLevel)
{
    struct stat st;

    if (pLevel->fd >= 0)
        return pLevel->fd;
    pLevel->fd = OpenLevel(pLevel, NULL);
    if (pLevel->fd >= 0 &&
        (fstat(pLevel->fd, &st) != 0 || st.st_dev != pLevel->dev ||
         st.st_ino != pLevel->ino)) {
        close(pLevel->fd);
        pLevel->fd = -1;
        errno = ENOENT;
    }
    return pLevel->fd;
}

void LevelClose(Level *pLevel)
{
    if (pLevel == NULL)
        return;
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

bool LevelsGiveBack(void)
{
    bool bHeld = false;
    Level *pLevel;

    for (pLevel = pFirstLevel; pLevel != NULL; pLevel = pLevel->pNext) {
        if (pLevel->fd >= 0) {
            close(pLevel->fd);
            pLevel->fd = -1;
            bHeld = true;
        }
    }
    return bHeld;
}
