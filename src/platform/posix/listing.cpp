// Reading the names of an open directory.
//
// On Linux the records come straight from getdents64(), into one buffer for
// the core's thread and one for each thread of the read-ahead agent's that
// lists: no stream is set up and torn down per directory, which on a tree
// of small directories is a good part of the cost of listing it. Elsewhere
// readdir() over a stream of its own.
#include "internal.h"

#include <dirent.h>
#include <errno.h>
#include <unistd.h>

#if ORVEL_LINUX

bool ListDirectory(int fdDir, EntrySink pfnSink, void *pContext, char *pcBuf)
{
    static char acBuf[LIST_BUF_BYTES];  // the core's thread's
    ssize_t nGot;

    if (pcBuf == NULL)
        pcBuf = acBuf;
    while ((nGot = getdents64(fdDir, pcBuf, LIST_BUF_BYTES)) > 0) {
        ssize_t nOff = 0;
        while (nOff < nGot) {
            const struct dirent64 *pEnt =
                (const struct dirent64 *)(pcBuf + nOff);
            nOff += pEnt->d_reclen;
            if (!pfnSink(pContext, pEnt->d_name, pEnt->d_type,
                         (ino_t)pEnt->d_ino))
                return false;
        }
    }
    return nGot == 0;
}

#else

bool ListDirectory(int fdDir, EntrySink pfnSink, void *pContext, char *)
{
    // The stream takes its descriptor over: it gets a copy of its own. A
    // copy shares the directory's position, which rewinddir() resets.
    int fdOwn = dup(fdDir);
    DIR *pDir = fdOwn >= 0 ? fdopendir(fdOwn) : NULL;
    struct dirent *pEnt;
    bool bOk = true;

    if (pDir == NULL) {
        if (fdOwn >= 0)
            close(fdOwn);
        return false;
    }
    rewinddir(pDir);
    errno = 0;
    while (bOk && (pEnt = readdir(pDir)) != NULL) {
        bOk = pfnSink(pContext, pEnt->d_name, pEnt->d_type, (ino_t)pEnt->d_ino);
        errno = 0;
    }
    if (errno != 0)
        bOk = false;
    closedir(pDir);
    return bOk;
}

#endif
