// What the read-ahead agent's files share, and nothing else:
//
//   ahead.cpp    what the agent is, its protocol with the core, the core's
//                side of it
//   misses.cpp   the core's reads, which tell when the agent is to work
//   agent.cpp    its shared state, its threads' waits, starting and stopping
//   walker.cpp   the walk of the first tree, and the listings it leaves for
//                the core's searches
//   ways.cpp     the second tree's names, as the core's namesake check sees
//                them
//   readers.cpp  the threads that open files and bring their pages in, and
//                the descriptors they leave for the core
//
// What every part of it keeps to:
//
// When it runs and how far ahead:
// - It starts at the first miss (the threads are made then; a run that never
//   misses has none) and works while the core has missed in the last
//   AHEAD_WINDOW files; past that the tree is cached and it goes quiet until
//   the next miss.
// - At most AHEAD_BYTES of file data and AHEAD_FILES - AHEAD_MATCH files
//   ahead of the core, large files in pieces of AHEAD_CHUNK in order, a
//   piece of the first file and then one of the second, so that a large
//   pair is read as two streams as the core compares it; what the core has
//   read leaves the budget. Past its first piece, only the lowest-numbered
//   file a reader holds goes on, so that large pairs never compete.
// - One thread walks (lists directories) and AHEAD_READERS threads open
//   files and ask for their pages: opening a file whose inode is not cached
//   waits for the disk, and several waits at once are what the disk serves
//   best. Where a tree is on a share they grow to AHEAD_SHARE_READERS, enough
//   requests in flight to keep a share busy that waits a few milliseconds a
//   request, and claim no further ahead than the descriptors they may hold
//   for the core; a share's files past its read-ahead window are read into a
//   scratch buffer, a piece at a time, since readahead(2) brings in no more
//   than that window there.
//
// What it asks of the trees is what the core will ask, a little earlier, so
// that nothing it does can make the core wait on a request the core would
// not make (the kernel holds a directory's lock for a lookup in it): it
// lists the first tree's directories and looks up their entries as the
// core's search does; it opens only regular files, by the same look before
// and after the open (OpenAfterLook), read-only, without blocking and
// without stamping access times; it goes to the second tree's file only
// after it opened the first tree's, and through the same names as the
// core: where the core's namesake check lists a directory, the agent looks
// up only a name the directory lists (the directory listed as the core
// lists it, once for all readers); and it asks for the second file's pages
// only when its size is the first's, as the core reads it only then. It
// reads bytes itself only on a share, into a reader's scratch buffer of
// AHEAD_PIECE, so its memory is the page cache's, which a memory control
// group reclaims, and its own is little more than the names of the files
// ahead. It keeps descriptors in the lower half of the process's limit and
// holds one per thread at most besides the two roots and AHEAD_HELD left for
// the core. It holds its lock only to hand items over, never while it waits
// for the disk, and never touches the layer's counted working memory.
//
// Until the second root is known (the core has not opened a second file
// yet) the readers wait, so that no file of the walk is read ahead in the
// first tree alone.
//
// Everything here is in the namespace ahead, the state with the part that
// keeps it: "the core's thread's" is read and written by the core's thread
// alone, "under mtx" only with the lock held.
#ifndef ORVEL_POSIX_AHEAD_H
#define ORVEL_POSIX_AHEAD_H

#include "internal.h"

#if ORVEL_LINUX

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "faults.h"

#define AHEAD_BYTES ((uint64_t)64 << 20)
#define AHEAD_FILES 4096  // a power of two: the ring of walked files
#define AHEAD_CHUNK ((uint64_t)4 << 20)
#define AHEAD_WINDOW 4096
#define AHEAD_READERS 2                // on local disks
#define AHEAD_SHARE_READERS 16         // where a tree is on a share
#define AHEAD_HELD 256                 // descriptors held for the core at most
#define AHEAD_PIECE ((size_t)1 << 20)  // a share's reads into scratch
#define AHEAD_WINDOW_BYTES ((uint64_t)128 << 10)  // a share's read-ahead
#define AHEAD_MATCH 8    // files the core may skip and still be in step
#define AHEAD_LISTED 64  // directories listed for the core's searches at most
#define AHEAD_THREADS (1 + AHEAD_SHARE_READERS)  // [0] the walker

namespace ahead {

// ---- ahead.cpp: the core's thread's -----------------------------------------
extern char *pszRoot1;  // the first tree's root, "" for "/"
extern size_t nRoot1Len;
extern char *pszRoot2;  // the second tree's, once learnt
extern size_t nRoot2Len;
extern char *pszLastRel;  // relative path of the last first file
extern int nOpenTree;     // the tree of the core's last open: 0, 1, -1
extern bool bStarted;     // started once: never again
extern bool bRunning;     // its threads are there to follow the core

// ---- agent.cpp: shared, under mtx -------------------------------------------
struct Item {
    char *pszRel;           // relative path, the walker's allocation; NULL
                            // for the core's file where the walks parted
    uint64_t aqwIssued[2];  // bytes asked for, of the first and second file
    int afd[2];             // the files opened for the core, or -1
    struct stat ast[2];     // their status when opened
    bool abOpening[2];      // a reader's open of the file is in flight
};

extern pthread_mutex_t mtx;
extern pthread_cond_t cond;        // a thread ended; the agent stops
extern pthread_cond_t condOpened;  // the core's: a reader's open is done
extern bool bCoreAwaits;           // the core's open waits for a reader's
extern Item aItems[AHEAD_FILES];
extern uint64_t qwTail;   // number of the next file walked
extern uint64_t qwClaim;  // number of the next file for a reader
extern uint64_t qwAhead;  // bytes asked for, files the core has not left
extern uint64_t aqwWorking[AHEAD_SHARE_READERS];  // each reader's file, or ~0
extern int nReaders;                              // reader threads made
extern bool bShare;  // a tree is on a share: readers claim no further ahead
                     // than the descriptors held
extern int nHeld;    // descriptors in aItems
extern bool abOnShare[2];  // per tree: on a share
extern bool bStop;
extern bool bLost;    // the walks parted: walk on as handed
extern bool bWalked;  // the walker waits at the end of its walk: only a walk
                      // handed to it gives it more to do
extern int fdRoot1, fdRoot2;
extern bool bRootAwaited;  // the core's pair awaits its second file, in a
                           // second root not known yet
extern pthread_cond_t condWalker, condClaim, condAdmit;  // see Wake

// The core's position, written under mtx by the core's thread; how far its
// reads have got is also written without it, and read atomically (Load).
extern uint64_t qwCoreSeq;   // the file pair the core is at
extern int nCoreFile;        // its first (0) or second (1) file
extern uint64_t qwCoreAt;    // bytes the core has read of that file
extern uint64_t qwLastMiss;  // 1 + the pair of the last miss, 0 for none
extern uint64_t qwCoreHas;   // 1 + the pair whose first file the core
                             // reads; written without mtx too
extern bool bForced;
extern uint64_t qwAsked;  // 1 + twice the pair, + the file, whose
                          // descriptor the core's open asked for last

uint64_t Load(const uint64_t *p);
void Store(uint64_t *p, uint64_t qw);
// Whether the agent is to work: asked for, or a miss not long ago. Under mtx.
bool Active(void);

// Who is to check again what it waits for (Wake): the walker; the readers
// waiting for a file to claim, all of them or one (a file was walked); the
// readers waiting for the budget.
#define WAKE_WALKER 1
#define WAKE_CLAIMS 2
#define WAKE_ONE_CLAIM 4
#define WAKE_ADMITS 8
#define WAKE_ALL 15
// Wakes the threads nWhom names that wait, under mtx.
void Wake(int nWhom);
// Thread nThread waits on *pCond, under mtx; bTimed: a few milliseconds at
// most, for what changes without mtx.
void Wait(int nThread, pthread_cond_t *pCond, bool bTimed);
// Thread nThread is done, under mtx.
void Ended(int nThread);
// The test build's steps: the core waits until every thread of the agent
// waits for it to move.
void Settle(void);
// A descriptor the agent got: itself if it is in the lower part of the
// process's room, which the agent keeps to, else closed and -1.
int LowOrClosed(int fd);
// Starts the agent, once, walking on from pszFrom (NULL: the whole tree).
void Start(const char *pszFrom);
// Makes the threads nFrom up to nTo: [0] the walker, the others readers.
void MakeThreads(int nFrom, int nTo);
// Stops the threads, waiting for each to end, and closes what they held;
// the agent never starts again.
void Stop(void);
// A descriptor of the second root for the readers, once it is known and if
// none is held yet: -1 otherwise. The core's thread alone sets fdRoot2.
int OpenRoot2(void);

// ---- walker.cpp -------------------------------------------------------------
// A directory the walker listed, left for the core's search of it.
struct Listed {
    char *pszRel;      // its path below the first root; NULL: a free slot
    uint64_t qwOrder;  // the walk's order of listings
    int fd;
    struct stat st;
    char *pcEntries;  // as the core's search keeps them, "." and ".." too
    size_t nLen;
};

extern Listed aListed[AHEAD_LISTED];  // under mtx
extern bool bAdrift;  // the core's thread's: the walks parted while the
                      // agent was quiet, handed when it works

void *Walker(void *);
// Takes the listings before qwBefore, all of them for ~0, out of the table
// into aOut; how many. Under mtx.
int TakeListed(uint64_t qwBefore, Listed *aOut);
// Closes and frees the listings in aOut, without mtx.
void FreeListed(Listed *aOut, int nOut);
// Hands the walker the core's walk at the core's file pszPath, the core's
// thread; an empty walk where it cannot.
void HandWalk(const char *pszPath);
// HandWalk at the core's last first file.
void HandWalkAtLast(void);
// Lets go every listing and the walk handed; the threads have ended.
void LeaveWalk(void);

// ---- ways.cpp ---------------------------------------------------------------
// Whether the core would look up the second tree's file pszRel below
// fdRoot: every name on its way is one its directory lists, where the
// directory is listed.
bool NamesakeListed(int fdRoot, const char *pszRel);
// Lets every directory of the table go; the readers have ended.
void LeaveWays(void);

// ---- readers.cpp ------------------------------------------------------------
void *Reader(void *pArg);
// Lets file nFile's descriptor of the item go, under mtx.
void LetGo(Item *pItem, int nFile);
// Closes what was let go; the core's thread, without mtx.
void CloseLetGo(void);

}  // namespace ahead

#endif
#endif
