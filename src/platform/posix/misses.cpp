// The core's reads, which tell the agent when to work: a read the page cache
// cannot answer at once is a miss, and so is every file on a share.
#include "ahead.h"

#if ORVEL_LINUX

#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/vfs.h>

#ifndef __NR_cachestat
#define __NR_cachestat 451  // on every architecture this is built for
#endif

using namespace ahead;

static bool abNoWait[2] = {true, true};  // per tree: the page cache may be
                                         // asked alone
static int anShare[2] = {-1, -1};        // per tree: on a share (1), not (0),
                                         // not known yet (-1)
static bool bCacheStat = true;           // cachestat(2) answers

// The smallest page of any system this runs on, so a boundary of every
// page, whatever the system's own size.
#define SMALLEST_PAGE_BYTES 4096

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
        !(bOpen && (qwAt + (uint64_t)nGot) % SMALLEST_PAGE_BYTES != 0)) {
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

#endif
