// What the parts of the POSIX platform layer share, and nothing else: each
// part keeps its own state to itself and offers it only through the calls
// declared here.
//
//   files.cpp     CreateFileA, GetFileSize, ReadFile, CloseHandle
//   memory.cpp    LocalAlloc, LocalFree, the layer's working memory, pages
//   image.cpp     GlobalAlloc, GlobalFree: the blocks that hold whole files
//   mapped.cpp    whole files mapped rather than copied into such blocks
//   cgroup.cpp    the memory a control group leaves the process
//   output.cpp    standard output written line by line
//   paths.cpp     _fullpath
//   search.cpp    findfirst, findnext
//   listing.cpp   reading the names of an open directory
//   levels.cpp    descriptors of the directories the walk is in
//   namesake.cpp  the second tree's file that has exactly the first's name
//   watch.cpp     writes seen while a file is read, where times cannot show
//                 them
//   ahead.cpp     the read-ahead agent, which brings files into the page
//                 cache ahead of the core (its files: ahead.h)
#ifndef ORVEL_POSIX_INTERNAL_H
#define ORVEL_POSIX_INTERNAL_H

#include "../platform.h"

#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

// Linux's own calls (O_PATH descriptors, getdents64, O_NOATIME) where they
// exist, or only what every POSIX system offers. The portable build takes
// the second path on Linux too, so that it is built and tested here.
#if defined(__linux__) && !defined(ORVEL_PORTABLE)
#define ORVEL_LINUX 1
#else
#define ORVEL_LINUX 0
#endif

// Handles carry the descriptor plus one, so that descriptor 0 (possible when
// standard input was closed) is not taken for the null handle.
inline int FdOf(HANDLE h) { return (int)((intptr_t)h - 1); }
inline HANDLE HandleOf(int fd) { return (HANDLE)(intptr_t)(fd + 1); }

// ---- files.cpp --------------------------------------------------------------
// openat() of pszPath relative to fdDir, without updating access times where
// the system allows it (owner or privileged).
int OpenForReading(int fdDir, const char *pszPath, int nFlags);
// The descriptor of the file CreateFileA opened last, with its status in
// *pst, if it is still open, unread, and of nBytes or more; else -1.
int OpenFileSized(size_t nBytes, struct stat *pst);
// Whether the file open as fd still has the size and times of *pstRead.
bool StillAsRead(int fd, const struct stat *pstRead);
// Opens the regular file pszName relative to fdDir with its status in *pst,
// looked at before and after the open; -1 for anything else. bAhead for the
// read-ahead agent's opens, which the test build does not count as the
// core's.
int OpenAfterLook(int fdDir, const char *pszName, struct stat *pst,
                  bool bAhead);

// ---- memory.cpp -------------------------------------------------------------
// The layer's own working memory (path texts, search state): realloc(), which
// the test build can fail on cue.
void *WorkAlloc(void *pOld, size_t nBytes);
// The system's page size, taken at the first call (4, 16 or 64 KiB on
// arm64 kernels): mappings start and end at whole pages of it.
size_t PageBytes(void);
// The unit of alignment for mappings of whole files and private blocks:
// 2 MiB, or a page where pages are larger.
size_t LargePageBytes(void);

// ---- mapped.cpp -------------------------------------------------------------
// The image of the file open last (OpenFileSized), of nBytes or of a window
// of nBytes of a longer file, that file mapped from its start; NULL where the
// image is to be private memory instead (a small file, a system without
// mapped images, a file that cannot be mapped).
void *MappedReserve(size_t nBytes);
// Unmaps pBlock if it is a mapped image; false if it is not.
bool MappedRelease(void *pBlock);
// Serves a read of nBytes from offset qwAt of the file open as fd into
// pBuffer if that is the file's mapped image: maps those bytes there (the
// first read, from the start, finds them mapped; each later one takes the
// place of the window before it), brings their pages in and gives 1, with
// *pnMapped the bytes of it (fewer if the file is shorter now); 0 when
// pBuffer is no such image; -1 on failure, with errno set.
int MappedRead(void *pBuffer, size_t nBytes, int fd, uint64_t qwAt,
               size_t *pnMapped);
// Whether a mapped image has lost pages to its file being cut short.
bool MappedBroken(void);
// Whether the file of the mapped image, if there is one, still has the
// size and times it had when its pages were brought in.
bool MappedStillAsRead(void);

// ---- cgroup.cpp -------------------------------------------------------------
// Whether nBytes more of memory the kernel cannot reclaim fit under the
// limits of the process's memory control group and all its parents.
bool RoomForPrivateMemory(size_t nBytes);

// ---- listing.cpp ------------------------------------------------------------
// Called once per entry of a listed directory, "." and ".." included, with
// the entry's DT_ type as the listing gave it (DT_UNKNOWN where it gives
// none) and its inode number as the listing gave it; false stops the
// listing.
typedef bool (*EntrySink)(void *pContext, const char *pszName,
                          unsigned char bType, ino_t nIno);
// Reads every entry of the directory open as fdDir, a descriptor at the
// start of its directory, and leaves it open. pcBuf, LIST_BUF_BYTES bytes,
// takes the records as they are read, for a thread that lists beside the
// core's; NULL on the core's thread. False when the listing failed or the
// sink said stop.
#define LIST_BUF_BYTES 32768
bool ListDirectory(int fdDir, EntrySink pfnSink, void *pContext, char *pcBuf);

// ---- levels.cpp -------------------------------------------------------------
// The directory pszPath relative to fdDir, opened for listing as every
// directory of the walk is (OpenForReading); -1 with errno on failure.
int OpenDirectory(int fdDir, const char *pszPath);

// A directory the walk is in, held by the descriptor it was opened by.
struct Level {
    char *pszPath;  // NUL-terminated, "" for the root; the level's own
    size_t nLen;
    int fd;     // -1 while given back
    dev_t dev;  // the identity of what fd was opened on
    ino_t ino;
    Level *pParent;        // the level it was opened in, while that is open
    size_t nBelow;         // levels whose pParent it is
    bool bAbove;           // GaveBack's: an open level is below it
    Level *pPrev, *pNext;  // the levels open now
};
// Opens the directory pszPath (nLen bytes, not NUL-terminated) for reading,
// relative to pParent by its last name when pParent is not NULL (pszPath is
// then pParent's path, a separator and one name), else by its path. NULL on
// failure, with errno set. The level is the caller's, until LevelClose.
Level *LevelOpen(Level *pParent, const char *pszPath, size_t nLen);
// The same for a directory already open as fd (which the level then owns,
// closed on failure), found by its caller to be the one pszPath names.
Level *LevelTake(Level *pParent, const char *pszPath, size_t nLen, int fd);
// The level's descriptor, valid until the next call of this section; a level
// that gave its descriptor back is reopened by its path, and -1 (ENOENT) when
// its path no longer names the directory that was opened.
int LevelFd(Level *pLevel);
// Closes the level and releases it; NULL is no level.
void LevelClose(Level *pLevel);
// After an open or a listing failed with nErr: whether to try it once more.
// Only where the process ran out of descriptors (EMFILE, ENFILE), and then
// descriptors are given back: all of those a part that registered below
// holds, else those of the levels that have an open level below them, or
// where there are none of those, of all levels but pKeep (NULL: none kept).
// The levels keep their identities. False if none was given back.
bool GaveBack(int nErr, Level *pKeep);
// Registers the part that gives its descriptors back first under pressure
// (the read-ahead agent): pfnGiveBack closes all it holds, for good, and
// answers false if it held none.
void LevelsYieldFirst(bool (*pfnGiveBack)(void));

// ---- search.cpp -------------------------------------------------------------
// Whether pszPath is a path the walk joins in the first tree: a directory
// being searched, a separator and the name that search delivered last. If
// so, *ppLevel is that directory, *ppszName the name in pszPath and
// *pnRootLen the length of the path of the first tree's root.
bool SearchPlace(const char *pszPath, Level **ppLevel, const char **ppszName,
                 size_t *pnRootLen);
// Called for each search the walk is in, from the first tree's root down,
// with its directory's path below the root ("" for the root), the
// directory's identity and the entries it has still to deliver, as the
// search keeps them; false stops.
typedef bool (*SearchSink)(void *pContext, const char *pszRel, dev_t dev,
                           ino_t ino, const char *pcEntries, size_t nLen);
// Where pszPath is a path the walk joins in the first tree (SearchPlace),
// tells pfnSink of the searches it is in; false if it is not, or the sink
// said stop.
bool SearchesOpen(const char *pszPath, SearchSink pfnSink, void *pContext);

// ---- namesake.cpp -----------------------------------------------------------
// The first file of a pair was opened; pszRel is its path past the first
// tree's root (a separator, then names). The next open is its second file,
// unless a search delivers an entry first.
void NamesakeAwait(const char *pszRel);
// The pair's second file is no longer awaited: the walk went on.
void NamesakeForget(void);
// Whether pszPath is the awaited second file of the pair: the second tree's
// root, its length in *pnRootLen, and the first file's relative path. The
// layer's one record of the pair, which the read-ahead agent asks too.
bool NamesakeAwaits(const char *pszPath, size_t *pnRootLen);
// Whether pszPath is the awaited second file: the second tree's root and
// the first file's relative path. If so, *ppLevel is its directory, NULL
// when a name on its way is not exactly in its directory's listing (or no
// listing could be read), and *ppszName its name in pszPath.
bool NamesakePlace(const char *pszPath, Level **ppLevel, const char **ppszName);
// The file NamesakePlace placed in a directory was opened, with the status
// *pst: whether it is the entry its directory lists under its name, which a
// listing gone stale may no longer be.
bool NamesakeOpened(const struct stat *pst);
#if ORVEL_LINUX
// Whether the directory open as fd (not O_PATH) looks names up exactly, so
// that no listing of it is needed to know that a name is the one it holds;
// whether its listings number entries as its lookups do goes to
// *pbNumbered.
bool LooksUpExactly(int fd, bool *pbNumbered);
#endif

// ---- watch.cpp --------------------------------------------------------------
// Starts watching the file open as fd, with the status *pst, for writes made
// while it is read, where its times cannot show every change: a watch, or
// -1 for none (where the times decide alone).
int WatchStart(int fd, const struct stat *pst);
// Starts watching the directory open as fdDir for entries added, removed or
// renamed: a watch, or -1 where none can be had.
int WatchEntries(int fdDir);
// Whether what the watch is for was seen since it started or WatchAgain;
// false for no watch (-1).
bool WatchSaw(int nWatch);
// Forgets what the watch saw so far; -1 is no watch.
void WatchAgain(int nWatch);
// Ends the watch; -1 is no watch.
void WatchEnd(int nWatch);

// ---- ahead.cpp --------------------------------------------------------------
// The core's steps, told to the read-ahead agent (protocol in ahead.cpp).
// A directory search of pszDir (nDirLen bytes) starts.
void AheadSearch(const char *pszDir, size_t nDirLen);
// CreateFileA is asked to open pszPath.
void AheadOpen(const char *pszPath);
// readv() of fd, answering as readv() does; bOpen when fd is the file
// CreateFileA opened last and qwAt is how far its reads have got.
ssize_t AheadRead(int fd, const struct iovec *aIov, int nIov, bool bOpen,
                  uint64_t qwAt);
// The first nBytes of the file open as fd are about to be mapped.
void AheadMapping(int fd, size_t nBytes);
// A descriptor of the file the core's open asks for, where the agent opened
// it for the core and it is the file the core's look (*pstLook) found
// under the name: the core's now. -1 where there is none.
int AheadTake(const struct stat *pstLook);
// The listing of the first tree's directory pszRel (its path below the
// first root, "" for the root) that the agent's walk made, where the core's
// look at pszName relative to fdDir finds that very directory as it was
// listed, times and size too: its descriptor, the core's now, with its
// entries ('d' or 'f', the name, a NUL; "." and ".." too, in the order
// listed) in a block of WorkAlloc's at *ppcEntries, *pnLen bytes. -1 where
// there is none (the search lists the directory itself, and the walks may
// part), -2 when that block could not be had.
int AheadListing(int fdDir, const char *pszName, const char *pszRel,
                 char **ppcEntries, size_t *pnLen);

#endif  // ORVEL_POSIX_INTERNAL_H
