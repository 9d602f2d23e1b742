// Writes seen while a file is read.
//
// A file compared over more than one read is equal only if it did not change
// between its reads, and its times prove that only where its file system
// keeps a change time of its own, finer than a second, that no one but the
// clock can set: ext2/3/4, XFS, Btrfs, tmpfs and f2fs. Elsewhere (vfat and
// exFAT, whose times go to the second or two and have no change time; FUSE,
// network and other file systems, whose times are whatever their servers
// say) a writer can change a file in the second of the last look, or put
// its modification time back, and the times show nothing. There, the file
// is watched while it is read: inotify on the open file reports every
// write(2) and every truncation made on this machine, whatever the file
// system's clock. One watch costs four calls (inotify_add_watch,
// inotify_rm_watch and two reads of the events queued); the file systems
// whose times prove it cost none, asked once for each tree's device.
//
// What no watch sees: writes through a shared writable mapping of the file
// (which move its times only on the first write to each clean page), and
// writes made by another machine to a network share, or by a FUSE server
// on its own. Where no watch can be had (the system's inotify limits
// reached, no /proc), the times decide alone.
//
// The same watch serves the second tree's listed directories (namesake.cpp):
// an entry added, removed or renamed in one since it was listed is seen,
// whatever its file system numbers or does not number.
//
// Watches are a table of MAX_WATCHED: two files at most (a mapped first file
// and the second file read against it) and the listed directories on the
// way down to the second file; with the table full, the caller does without.
#include "internal.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "faults.h"

#if ORVEL_LINUX

#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>

#define MAX_WATCHED 64

// What a directory's watch is for: its entries.
#define ENTRY_EVENTS (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)

static int fdNotify = -1;  // the process's inotify instance, once made
static struct {
    int nWd;  // the watch descriptor plus one; 0 for a free slot
    uint32_t nMask;
    bool bSeen;
} aWatched[MAX_WATCHED];

// Whether the times of the file open as fd, on the device dev, prove it
// unchanged: asked of the file system once for each of the last two devices
// asked about, those of the two trees.
static bool TimesProve(int fd, dev_t dev)
{
    static struct {
        dev_t dev;
        bool bProve;
    } aAsked[2];
    static int nAsked = 0;  // devices in aAsked, the last one asked first
    struct statfs sfs;
    bool bProve;

    if (FAULT_COARSE_TIMES())
        return false;
    for (int i = 0; i < nAsked; i++)
        if (aAsked[i].dev == dev)
            return aAsked[i].bProve;
    if (fstatfs(fd, &sfs) != 0)
        return false;
    switch ((unsigned long)sfs.f_type) {
    case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
        bProve = true;
        break;
    default:
        bProve = false;
    }
    aAsked[1] = aAsked[0];
    aAsked[0].dev = dev;
    aAsked[0].bProve = bProve;
    nAsked = nAsked < 2 ? nAsked + 1 : 2;
    return bProve;
}

// Takes every event queued and marks the watches it was for. A lost event
// may have been any, and marks them all; so does a watch the system
// removed (what it watched is gone).
static void TakeEvents(void)
{
    alignas(struct inotify_event) char acBuf[4096];
    ssize_t nGot;

    while ((nGot = read(fdNotify, acBuf, sizeof(acBuf))) > 0) {
        for (ssize_t nOff = 0; nOff < nGot;) {
            const struct inotify_event *pEvent =
                (const struct inotify_event *)(acBuf + nOff);
            for (int i = 0; i < MAX_WATCHED; i++)
                if (aWatched[i].nWd != 0 &&
                    ((pEvent->mask & IN_Q_OVERFLOW) ||
                     (pEvent->wd + 1 == aWatched[i].nWd &&
                      (pEvent->mask & (aWatched[i].nMask | IN_IGNORED)))))
                    aWatched[i].bSeen = true;
            nOff += sizeof(*pEvent) + pEvent->len;
        }
    }
}

// A watch for the events nMask on what fd is open on; -1 where none can be
// had.
static int Watch(int fd, uint32_t nMask)
{
    char szPath[64];
    int i, wd;

    for (i = 0; i < MAX_WATCHED && aWatched[i].nWd != 0; i++) {
    }
    if (i == MAX_WATCHED)
        return -1;
    if (fdNotify < 0) {
        fdNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fdNotify < 0 && GaveBack(errno, NULL))
            fdNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fdNotify < 0)
            return -1;
    }
    // What ended watches left queued goes first.
    TakeEvents();
    // IN_MASK_ADD: one file watched twice (a tree compared with itself)
    // keeps one watch, and each slot its own events.
    snprintf(szPath, sizeof(szPath), "/proc/self/fd/%d", fd);
    wd = inotify_add_watch(fdNotify, szPath, nMask | IN_MASK_ADD);
    if (wd < 0)
        return -1;
    aWatched[i].nWd = wd + 1;
    aWatched[i].nMask = nMask;
    aWatched[i].bSeen = false;
    return i;
}

int WatchStart(int fd, const struct stat *pst)
{
    return TimesProve(fd, pst->st_dev) ? -1 : Watch(fd, IN_MODIFY);
}

int WatchEntries(int fdDir) { return Watch(fdDir, ENTRY_EVENTS); }

bool WatchSaw(int nWatch)
{
    if (nWatch < 0)
        return false;
    TakeEvents();
    return aWatched[nWatch].bSeen;
}

void WatchAgain(int nWatch)
{
    if (nWatch < 0)
        return;
    TakeEvents();
    aWatched[nWatch].bSeen = false;
}

void WatchEnd(int nWatch)
{
    int nWd;

    if (nWatch < 0)
        return;
    nWd = aWatched[nWatch].nWd;
    aWatched[nWatch].nWd = 0;
    for (int i = 0; i < MAX_WATCHED; i++)
        if (aWatched[i].nWd == nWd)
            return;  // the same file, still watched for another
    inotify_rm_watch(fdNotify, nWd - 1);
}

#else  // Elsewhere nothing is watched: the times decide alone.

int WatchStart(int, const struct stat *) { return -1; }
int WatchEntries(int) { return -1; }
bool WatchSaw(int) { return false; }
void WatchAgain(int) {}
void WatchEnd(int) {}

#endif
