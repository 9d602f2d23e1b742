// What the parts of the POSIX platform layer share, and nothing else: each
// part keeps its own state to itself and offers it only through the calls
// declared here.
//
//   files.cpp     CreateFileA, GetFileSize, ReadFile, CloseHandle
//   memory.cpp    LocalAlloc, LocalFree, and the layer's working memory
//   image.cpp     GlobalAlloc, GlobalFree: the blocks that hold whole files
//   mapped.cpp    whole files mapped rather than copied into such blocks
//   cgroup.cpp    the memory a control group leaves the process
//   paths.cpp     _fullpath
//   search.cpp    findfirst, findnext
//   listing.cpp   reading the names of an open directory
//   dircache.cpp  descriptors of the directories used last
//   ahead.cpp     the read-ahead agent, which brings files into the page
//                 cache ahead of the core
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

// Descriptors for lookups only: O_PATH ones on Linux, which act on nothing
// they name and need no read permission; read-only ones elsewhere, so that a
// directory that cannot be read is reached by full paths there.
#if ORVEL_LINUX
#define LOOKUP_ONLY O_PATH
#else
#define LOOKUP_ONLY O_RDONLY
#endif

// Handles carry the descriptor plus one, so that descriptor 0 (possible when
// standard input was closed) is not taken for the null handle.
inline int FdOf(HANDLE h) { return (int)((intptr_t)h - 1); }
inline HANDLE HandleOf(int fd) { return (HANDLE)(intptr_t)(fd + 1); }

// ---- files.cpp --------------------------------------------------------------
// openat() of pszPath relative to fdDir, without updating access times where
// the system allows it (owner or privileged).
int OpenForReading(int fdDir, const char *pszPath, int nFlags);
// Opens the regular file pszName relative to fdDir with its status in *pst,
// looked at before and after the open; -1 for anything else.
int OpenAfterLook(int fdDir, const char *pszName, struct stat *pst);
// For a process out of descriptors: the directory cache and the read-ahead
// agent give theirs back. False if they held none.
bool GiveBackDescriptors(void);

// ---- memory.cpp -------------------------------------------------------------
// The layer's own working memory (path texts, search state): realloc(), which
// the test build can fail on cue.
void *WorkAlloc(void *pOld, size_t nBytes);

// ---- mapped.cpp -------------------------------------------------------------
// Address room for the image of a file of nBytes, which the ReadFile of the
// whole file maps the file into; NULL where the image is to be private
// memory instead (a small file, a system without mapped images).
void *MappedReserve(size_t nBytes);
// Unmaps pBlock if it is a mapped image's room; false if it is not.
bool MappedRelease(void *pBlock);
// Serves a read of nBytes from the start of the file open as fd into
// pBuffer if that is a mapped image's room: 1 when the file is mapped there,
// *pnMapped bytes of it (fewer if it is shorter now), 0 when it is to be read
// there instead (it is private memory now, or pBuffer is no such room), -1
// on failure, with errno set.
int MappedRead(void *pBuffer, size_t nBytes, int fd, size_t *pnMapped);
// Whether a mapped image has lost pages to its file being cut short.
bool MappedBroken(void);

// ---- cgroup.cpp -------------------------------------------------------------
// Whether nBytes more of memory the kernel cannot reclaim fit under the
// limits of the process's memory control group and all its parents.
bool RoomForPrivateMemory(size_t nBytes);

// ---- listing.cpp ------------------------------------------------------------
// Called once per entry of a listed directory, "." and ".." included, with
// the entry's DT_ type as the listing gave it (DT_UNKNOWN where it gives
// none); false stops the listing.
typedef bool (*EntrySink)(void *pContext, const char *pszName,
                          unsigned char bType);
// Reads every entry of the directory open as fdDir, a descriptor that has
// not been listed before, and leaves it open. False when the listing failed
// or the sink said stop.
bool ListDirectory(int fdDir, EntrySink pfnSink, void *pContext);

// ---- dircache.cpp -----------------------------------------------------------
// The descriptor of directory pszDir (nDirLen bytes, not NUL-terminated;
// empty for the root), opened with nFlags | O_DIRECTORY if the cache does
// not hold it yet, which *pbNew then tells; -1 if it cannot be opened. The
// descriptor stays the cache's: valid until the next call of the cache.
int DirCacheGet(const char *pszDir, size_t nDirLen, int nFlags, bool *pbNew);
// Closes every descriptor the cache holds; false if it held none. For a
// process that has run out of descriptors.
bool DirCacheGiveBack(void);

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
// Stops the agent for good and closes its descriptors; false if it held none.
bool AheadGiveBack(void);

#endif  // ORVEL_POSIX_INTERNAL_H
