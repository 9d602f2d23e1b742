// The agent's readers: threads that open the files of the walk ahead of the
// core and bring their pages in, and the descriptors they leave for the
// core's opens.
#include "ahead.h"

#if ORVEL_LINUX

#include <fcntl.h>

namespace ahead {

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

void LetGo(Item *pItem, int nFile)
{
    if (pItem->afd[nFile] < 0)
        return;
    aiLetGo[nLetGo++] = pItem->afd[nFile];
    pItem->afd[nFile] = -1;
    nHeld--;
}

void CloseLetGo(void)
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

void *Reader(void *pArg)
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

}  // namespace ahead

#endif
