// The platform operations of platform.h for Linux and other POSIX systems.
//
// Files are opened read-only and without blocking, memory comes from the
// system allocator, paths are made absolute by text alone, and directory
// searches deliver every entry with Win32-style attribute bits. Nothing
// here creates, writes, renames or removes anything on disk.
#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "faults.h"

// ---- Files ------------------------------------------------------------------

// Handles carry the descriptor plus one, so that descriptor 0 (possible when
// standard input was closed) is not taken for the null handle.
static int FdOf(HANDLE h) { return (int)((intptr_t)h - 1); }
static HANDLE HandleOf(int fd) { return (HANDLE)(intptr_t)(fd + 1); }

// Where there are no O_PATH descriptors, directories are held by read-only
// ones; a directory that cannot be read is then reached by full paths.
#ifndef O_PATH
#define O_PATH O_RDONLY
#endif

// Opens with O_NOATIME where the system allows it (owner or privileged), so
// that a comparison leaves even the access times of both trees as they were.
// pszPath is taken relative to the directory descriptor fdDir.
static int OpenForReading(int fdDir, const char *pszPath, int nFlags)
{
#ifdef O_NOATIME
    int fd = openat(fdDir, pszPath, nFlags | O_NOATIME);
    if (fd >= 0 || errno != EPERM)
        return fd;
#endif
    return openat(fdDir, pszPath, nFlags);
}

// Opening a file by its full path makes the kernel look up every component
// of the path again, although the walk opens all files of one directory in
// a row, the pairs alternating between two directories (one per tree), and
// then goes on to the subdirectories of those two. Descriptors of the
// directories used most recently are kept: a file in one of them is opened
// relative to it, and a directory just below one of them is opened relative
// to that one, each looking up one name instead of the whole path. The
// descriptors are O_PATH ones: they need no read permission on the
// directory, and a lookup through them is checked as the full path's would
// be. Both trees' current directories and their parents fit.
struct DirSlot {
    char *pszDir;        // the directory as the caller spelled it, or NULL
    size_t nDirLen;
    int fd;
    unsigned long ulUsed;  // when the slot last served, for replacement
};
static DirSlot aDirSlots[4];
static unsigned long ulDirClock = 0;

// The descriptor of directory pszDir (nDirLen bytes, not NUL-terminated;
// empty for the root), opened with nFlags and cached if it is not cached
// yet, which *pbNew then tells; -1 if it cannot be opened, and the caller
// then falls back to the full path. The descriptor stays the cache's.
static int DirDescriptor(const char *pszDir, size_t nDirLen, int nFlags,
                         bool *pbNew)
{
    const size_t nSlots = sizeof(aDirSlots) / sizeof(aDirSlots[0]);
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
        // A parent: the slot's path, one separator, one name.
        if (pTry->pszDir != NULL && pTry->nDirLen + 1 < nDirLen &&
            pszDir[pTry->nDirLen] == '/' &&
            memcmp(pTry->pszDir, pszDir, pTry->nDirLen) == 0 &&
            memchr(pszDir + pTry->nDirLen + 1, '/',
                   nDirLen - pTry->nDirLen - 1) == NULL)
            pParent = pTry;
        if (pTry->ulUsed < pSlot->ulUsed)
            pSlot = pTry;
    }
    pszCopy = (char *)malloc(nDirLen + 2);
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
    if (pSlot->pszDir != NULL) {
        close(pSlot->fd);
        free(pSlot->pszDir);
    }
    pSlot->pszDir = pszCopy;
    pSlot->nDirLen = nDirLen;
    pSlot->fd = fd;
    pSlot->ulUsed = ++ulDirClock;
    *pbNew = true;
    return fd;
}

static bool WasListedRegular(const char *pszPath);

// Opens the regular file at an absolute path, relative to its cached
// directory when it has a plain last component; any other path is opened as
// it stands. Opening a FIFO or a device acts on it (a writer waiting on a
// FIFO is let go, a tape drive may rewind on close), so only what the path
// shows to be a regular file is opened. O_NONBLOCK keeps anything swapped
// in since from holding the run up; the caller checks the open file again.
static int OpenRegularFile(const char *pszPath)
{
    const char *pszSlash = strrchr(pszPath, '/');
    const char *pszName = pszPath;
    int fdDir = AT_FDCWD;
    struct stat st;
    bool bNew;

    // The cached directories would reach past the system's limit on path
    // lengths, but only while they happen to be cached: such paths fail
    // alike, every time.
    if (strlen(pszPath) >= PATH_MAX)
        return -1;
    if (pszPath[0] == '/' && pszSlash != NULL && pszSlash[1] != '\0') {
        int fd = DirDescriptor(pszPath, (size_t)(pszSlash - pszPath), O_PATH,
                               &bNew);
        if (fd >= 0) {
            fdDir = fd;
            pszName = pszSlash + 1;
        }
    }
    if (!WasListedRegular(pszPath) &&
        (fstatat(fdDir, pszName, &st, 0) != 0 || !S_ISREG(st.st_mode)))
        return -1;
    return OpenForReading(fdDir, pszName,
                          O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

// The status that CreateFileA took of the file it opened last: the size
// query right after the open answers from it instead of asking the system a
// second time. Only CreateFileA makes handles, and it sets both anew for
// each, so a descriptor number that comes back never finds a stale status.
static int fdLastOpened = -1;
static struct stat stLastOpened;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD, DWORD, HANDLE)
{
    int fd = OpenRegularFile(lpFileName);
    struct stat st;

    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
#ifndef __linux__
    // Elsewhere O_NONBLOCK may make reads of a regular file fail with EAGAIN
    // (mandatory locks, some network file systems): it goes once the file is
    // known to be regular. Linux ignores it for regular files, and the call
    // would cost one more system call per file.
    int nFlags = fcntl(fd, F_GETFL);
    if (nFlags == -1 || fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK) != 0) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
#endif
    fdLastOpened = fd;
    stLastOpened = st;
    return HandleOf(fd);
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    struct stat st;
    uint64_t qwSize;

    if (FdOf(hFile) == fdLastOpened)
        st = stLastOpened;
    else if (fstat(FdOf(hFile), &st) != 0)
        return INVALID_FILE_SIZE;
    if (st.st_size < 0)
        return INVALID_FILE_SIZE;
    FAULT_AFTER_SIZE(FdOf(hFile), (uint64_t)st.st_size);
    qwSize = (uint64_t)st.st_size;
    if (lpFileSizeHigh != NULL) {
        *lpFileSizeHigh = (DWORD)(qwSize >> 32);
        return (DWORD)qwSize;
    }
    // Asked for the low part alone, a size that does not fit 32 bits would
    // be taken for a smaller one: answer failure instead.
    if (qwSize >= INVALID_FILE_SIZE)
        return INVALID_FILE_SIZE;
    return (DWORD)qwSize;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    // One read() may deliver less than asked (Linux stops near 2 GiB), so
    // read on until the count, end of file or an error.
    const size_t nMaxChunk = 1u << 30;
    char *pcNext = (char *)lpBuffer;
    DWORD dwDone = 0;

    while (dwDone < nNumberOfBytesToRead) {
        size_t nWant = nNumberOfBytesToRead - dwDone;
        ssize_t nGot;
        if (nWant > nMaxChunk)
            nWant = nMaxChunk;
        nGot = read(FdOf(hFile), pcNext + dwDone, nWant);
        if (nGot < 0 && errno == EINTR)
            continue;
        if (nGot < 0) {
            *lpNumberOfBytesRead = dwDone;
            return FALSE;
        }
        if (nGot == 0)
            break;
        dwDone += (DWORD)nGot;
    }
    *lpNumberOfBytesRead = dwDone;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    return close(FdOf(hObject)) == 0;
}

// ---- Memory -----------------------------------------------------------------

// The local allocator hands out plain blocks of the system allocator; one
// byte stands in for a request of zero so that success is never a null block.
static void *AllocFixed(size_t nBytes)
{
    if (FAULT_FAIL_ALLOC())
        return NULL;
    return FAULT_COUNT_BLOCK(malloc(nBytes != 0 ? nBytes : 1), +1);
}

static void *FreeFixed(void *pBlock)
{
    free(FAULT_COUNT_BLOCK(pBlock, -1));
    return NULL;
}

// The global allocator holds the whole image of a file, one block per file
// pair, allocated and released for every pair in turn. Its blocks are mapped
// directly, in whole units of 2 MiB and aligned to one. A released block is
// kept, and the next request that fits is served from it without any system
// call or page fault: only the first image of a size costs the faults of
// its pages. At most one block is kept, the larger, and a kept block too
// small for a request goes before the new one is mapped. A block's room
// beyond its image is touched only by a larger image, so the memory held
// stays that of the largest image.
//
// The alignment lets a system that puts huge pages under anonymous memory of
// its own accord do so. They are not asked for (MADV_HUGEPAGE): a huge page
// needs 2 MiB of free memory in one piece, which in a virtual machine whose
// host takes back the guest's free memory is mostly memory the host must
// supply again, and faulting it in then cost seconds per 256 MiB where small
// pages, taken from memory still at hand, cost about a tenth of a second.
//
// A block is preceded by a page of its own that holds its head.
#define MAP_UNIT ((size_t)2 << 20)
#define HEAD_PAGE ((size_t)4096)
// Room beyond the request, so that a run of slightly growing images does not
// map, fault in and drop a new block for each; with the rounding to whole
// units a block holds less than 8 MiB beyond its first image.
#define SPARE_BYTES ((size_t)6 << 20)

struct BlockHead {
    size_t nCapacity;  // usable bytes from the block's start
};

static void *pKeptBlock = NULL;

static BlockHead *HeadOf(void *pBlock)
{
    return (BlockHead *)((char *)pBlock - sizeof(BlockHead));
}

static void UnmapBlock(void *pBlock)
{
    munmap((char *)pBlock - HEAD_PAGE, HEAD_PAGE + HeadOf(pBlock)->nCapacity);
}

// Maps a block of at least nBytes; NULL when the system has no room.
static void *MapBlock(size_t nBytes)
{
    size_t nCapacity, nMapLen;
    char *pcMap, *pcBlock, *pcEnd;

    if (nBytes > SIZE_MAX - 8 * MAP_UNIT)
        return NULL;
    nCapacity = ((nBytes + MAP_UNIT - 1) & ~(MAP_UNIT - 1)) + SPARE_BYTES;
    // Map one unit more than needed, so that an aligned start with a
    // head page before it lies inside, then give back what lies around it.
    nMapLen = HEAD_PAGE + nCapacity + MAP_UNIT;
    pcMap = (char *)mmap(NULL, nMapLen, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pcMap == MAP_FAILED)
        return NULL;
    pcBlock = (char *)(((uintptr_t)pcMap + HEAD_PAGE + MAP_UNIT - 1) &
                       ~(uintptr_t)(MAP_UNIT - 1));
    pcEnd = pcBlock + nCapacity;
    if (pcBlock - HEAD_PAGE > pcMap)
        munmap(pcMap, (size_t)(pcBlock - HEAD_PAGE - pcMap));
    if (pcEnd < pcMap + nMapLen)
        munmap(pcEnd, (size_t)(pcMap + nMapLen - pcEnd));
    HeadOf(pcBlock)->nCapacity = nCapacity;
    return pcBlock;
}

HGLOBAL GlobalAlloc(UINT, SIZE_T dwBytes)
{
    void *pBlock = NULL;

    if (FAULT_FAIL_ALLOC())
        return NULL;
    if (pKeptBlock != NULL && HeadOf(pKeptBlock)->nCapacity >= dwBytes) {
        pBlock = pKeptBlock;
        pKeptBlock = NULL;
    } else {
        // The kept block is too small: it goes first, so that it never
        // adds to the memory of the new one.
        if (pKeptBlock != NULL) {
            UnmapBlock(pKeptBlock);
            pKeptBlock = NULL;
        }
        pBlock = MapBlock(dwBytes);
    }
    return FAULT_COUNT_BLOCK(pBlock, +1);
}

HGLOBAL GlobalFree(HGLOBAL hMem)
{
    void *pBlock = FAULT_COUNT_BLOCK(hMem, -1);

    if (pBlock == NULL)
        return NULL;
    if (pKeptBlock == NULL) {
        pKeptBlock = pBlock;
    } else if (HeadOf(pKeptBlock)->nCapacity < HeadOf(pBlock)->nCapacity) {
        UnmapBlock(pKeptBlock);
        pKeptBlock = pBlock;
    } else {
        UnmapBlock(pBlock);
    }
    return NULL;
}

HLOCAL LocalAlloc(UINT, SIZE_T uBytes) { return AllocFixed(uBytes); }
HLOCAL LocalFree(HLOCAL hMem) { return FreeFixed(hMem); }

// ---- The layer's own working memory -------------------------------------------

// Path texts and search state come from the system allocator directly. The
// test build can fail these requests one by one, as it fails fixed blocks.
static void *WorkAlloc(void *pOld, size_t nBytes)
{
    if (FAULT_FAIL_WORK_ALLOC())
        return NULL;
    return realloc(pOld, nBytes);
}

// ---- Path resolution --------------------------------------------------------

char *_fullpath(char *pszAbsPath, const char *pszRelPath, size_t nMaxLength)
{
    char *pszWork = NULL;   // "cwd/path" or "path", then folded in place
    char *pszCwd = NULL;
    char *pszResult = NULL;
    size_t nIn = 0, nOut = 0;

    if (pszAbsPath == NULL || pszRelPath == NULL || pszRelPath[0] == '\0')
        return NULL;
    if (pszRelPath[0] == '/') {
        pszWork = (char *)WorkAlloc(NULL, strlen(pszRelPath) + 1);
        if (pszWork != NULL)
            strcpy(pszWork, pszRelPath);
    } else {
        pszCwd = FAULT_FAIL_WORK_ALLOC() ? NULL : getcwd(NULL, 0);
        if (pszCwd == NULL || pszCwd[0] != '/')
            goto CleanUp;
        pszWork = (char *)WorkAlloc(NULL, strlen(pszCwd) + strlen(pszRelPath) + 2);
        if (pszWork != NULL) {
            strcpy(pszWork, pszCwd);
            strcat(pszWork, "/");
            strcat(pszWork, pszRelPath);
        }
    }
    if (pszWork == NULL)
        goto CleanUp;

    // Fold components left to right; the output, which never outgrows the
    // input, is written over the part already read. nOut is the length of
    // the result so far, which never ends in a separator.
    while (pszWork[nIn] != '\0') {
        size_t nStart, nCompLen;
        while (pszWork[nIn] == '/')
            nIn++;
        nStart = nIn;
        while (pszWork[nIn] != '\0' && pszWork[nIn] != '/')
            nIn++;
        nCompLen = nIn - nStart;
        if (nCompLen == 0 || (nCompLen == 1 && pszWork[nStart] == '.'))
            continue;
        if (nCompLen == 2 && pszWork[nStart] == '.' &&
            pszWork[nStart + 1] == '.') {
            while (nOut > 0 && pszWork[nOut - 1] != '/')
                nOut--;
            if (nOut > 0)
                nOut--;
            continue;
        }
        pszWork[nOut++] = '/';
        memmove(pszWork + nOut, pszWork + nStart, nCompLen);
        nOut += nCompLen;
    }
    if (nOut == 0)
        pszWork[nOut++] = '/';
    pszWork[nOut] = '\0';

    if (nOut + 1 <= nMaxLength) {
        memcpy(pszAbsPath, pszWork, nOut + 1);
        pszResult = pszAbsPath;
    }

CleanUp:
    free(pszWork);
    free(pszCwd);
    return pszResult;
}

// ---- Directory search -------------------------------------------------------

// A running search: the directory's entries, read whole when the search
// starts so that no descriptor stays open per level of a deep walk, and the
// directory's identity for the cycle guard.
//
// Each entry is looked up while the directory is open, relative to it, which
// costs the lookup of its name alone (a lookup by full path would walk every
// directory above it again). pcEntries holds one EntryHead and the entry's
// NUL-terminated name after another, the heads unaligned.
struct EntryHead {
    int64_t qwSize;
    int64_t qwMtime;
    bool bDir;
    bool bRegular;
};

struct Search {
    bool bInUse;
    dev_t dev;
    ino_t ino;
    char *pszDir;      // the directory, "" for the root
    size_t nDirLen;
    char *pcEntries;   // EntryHead, name, NUL, EntryHead, ...
    size_t nEntriesLen;
    size_t nNext;      // offset of the next entry to deliver
    int nAttrib;       // the caller's attribute mask
};

// Open searches, indexed by ff_reserved: an index fits the record's 32 bits
// where a pointer may not.
static Search *pSearches = NULL;
static size_t nSearches = 0;

static int NewSearchSlot(void)
{
    size_t i, nOld = nSearches, nNew = nSearches * 2 + 8;
    Search *pGrown;

    for (i = 0; i < nSearches; i++)
        if (!pSearches[i].bInUse)
            return (int)i;
    if (nNew > 0x7FFFFFFF)
        return -1;
    pGrown = (Search *)WorkAlloc(pSearches, nNew * sizeof(Search));
    if (pGrown == NULL)
        return -1;
    pSearches = pGrown;
    for (i = nOld; i < nNew; i++)
        pSearches[i].bInUse = false;
    nSearches = nNew;
    return (int)nOld;
}

// The regular file that a search delivered last, as its listing found it:
// opening it then needs no second look at what it is (the first tree's file
// of each pair). Set by DeliverNext, spent by the next open.
static int nListedSlot = -1;
static const char *pszListedName = NULL;

static void EndSearch(Search *pSearch)
{
    if (pSearch - pSearches == nListedSlot)
        nListedSlot = -1;
    free(pSearch->pszDir);
    free(pSearch->pcEntries);
    pSearch->bInUse = false;
}

// Whether pszPath is the regular file that a search delivered last; true
// once only.
static bool WasListedRegular(const char *pszPath)
{
    const Search *pSearch;

    if (nListedSlot < 0)
        return false;
    pSearch = &pSearches[nListedSlot];
    nListedSlot = -1;
    return strncmp(pszPath, pSearch->pszDir, pSearch->nDirLen) == 0 &&
           pszPath[pSearch->nDirLen] == '/' &&
           strcmp(pszPath + pSearch->nDirLen + 1, pszListedName) == 0;
}

// The packed DOS date and time of a modification time, as a record holds it.
static void PackTime(time_t tWhen, uint16_t *pwTime, uint16_t *pwDate)
{
    struct tm tmWhen;
    if (localtime_r(&tWhen, &tmWhen) == NULL || tmWhen.tm_year < 80) {
        *pwTime = 0;
        *pwDate = (1 << 5) | 1;
        return;
    }
    *pwTime = (uint16_t)((tmWhen.tm_hour << 11) | (tmWhen.tm_min << 5) |
                         (tmWhen.tm_sec / 2));
    *pwDate = (uint16_t)(((tmWhen.tm_year - 80) << 9) |
                         ((tmWhen.tm_mon + 1) << 5) | tmWhen.tm_mday);
}

// Fills the record with the search's next entry that the mask lets through.
// Returns 0, or 1 with the search ended when no entry is left.
static int DeliverNext(Search *pSearch, struct ffblk *pFfBlk)
{
    while (pSearch->nNext < pSearch->nEntriesLen) {
        EntryHead head;
        const char *pszName;
        size_t nNameLen;
        uint32_t ulAttrib = 0;

        memcpy(&head, pSearch->pcEntries + pSearch->nNext, sizeof(head));
        pszName = pSearch->pcEntries + pSearch->nNext + sizeof(head);
        nNameLen = strlen(pszName);
        pSearch->nNext += sizeof(head) + nNameLen + 1;

        if (head.bDir)
            ulAttrib |= FA_DIREC;
        else
            ulAttrib |= FA_ARCH;
        if (pszName[0] == '.' && strcmp(pszName, ".") != 0 &&
            strcmp(pszName, "..") != 0)
            ulAttrib |= FA_HIDDEN;
        if (ulAttrib & (FA_HIDDEN | FA_SYSTEM | FA_DIREC) & ~pSearch->nAttrib)
            continue;

        nListedSlot = head.bRegular ? (int)(pSearch - pSearches) : -1;
        pszListedName = pszName;
        pFfBlk->ff_attrib = ulAttrib;
        pFfBlk->ff_fsize =
            head.qwSize > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)head.qwSize;
        PackTime((time_t)head.qwMtime, &pFfBlk->ff_ftime, &pFfBlk->ff_fdate);
        // A name longer than the record holds (none on Linux, whose names
        // stop at 255 bytes) is cut, so that it fails to open and is named.
        if (nNameLen >= sizeof(pFfBlk->ff_name))
            nNameLen = sizeof(pFfBlk->ff_name) - 1;
        memcpy(pFfBlk->ff_name, pszName, nNameLen);
        pFfBlk->ff_name[nNameLen] = '\0';
        return 0;
    }
    EndSearch(pSearch);
    pFfBlk->ff_reserved = -1;
    return 1;
}

// Appends the entry pszName of the directory open as fdDir to the search,
// described as it is now; pstDir describes the directory itself, bType is
// the entry's type as the listing gave it (a DT_ value). False when memory
// runs out.
static bool AddEntry(Search *pSearch, size_t *pnCap, int fdDir,
                     const char *pszName, unsigned char bType,
                     const struct stat *pstDir)
{
    size_t nLen = strlen(pszName) + 1;
    EntryHead head;
    struct stat st;

    if (pSearch->nEntriesLen + sizeof(head) + nLen > *pnCap) {
        size_t nCap = (pSearch->nEntriesLen + sizeof(head) + nLen) * 2 + 4096;
        char *pcGrown = (char *)WorkAlloc(pSearch->pcEntries, nCap);
        if (pcGrown == NULL)
            return false;
        pSearch->pcEntries = pcGrown;
        *pnCap = nCap;
    }
    // Links are followed: a link to a directory is one. A broken link stays
    // an ordinary entry, which then fails to open as a file. An entry gone
    // since the listing keeps its listed type: a directory that then cannot
    // be searched, or a file that cannot be read, is named either way.
    FAULT_BEFORE_ENTRY(fdDir, pszName);
    if (strcmp(pszName, ".") == 0) {
        st = *pstDir;
    } else if (fstatat(fdDir, pszName, &st, 0) != 0 &&
               fstatat(fdDir, pszName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        memset(&st, 0, sizeof(st));
        if (bType == DT_DIR)
            st.st_mode = S_IFDIR;
    }
    head.qwSize = (int64_t)st.st_size;
    head.qwMtime = (int64_t)st.st_mtime;
    head.bDir = S_ISDIR(st.st_mode);
    head.bRegular = S_ISREG(st.st_mode);
    memcpy(pSearch->pcEntries + pSearch->nEntriesLen, &head, sizeof(head));
    pSearch->nEntriesLen += sizeof(head);
    memcpy(pSearch->pcEntries + pSearch->nEntriesLen, pszName, nLen);
    pSearch->nEntriesLen += nLen;
    return true;
}

int findfirst(const char *pszPattern, struct ffblk *pFfBlk, int nAttrib)
{
    const int nDirFlags = O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOCTTY;
    size_t nPatLen = strlen(pszPattern);
    size_t nSufLen = strlen(WILD_SUFFIX);
    size_t nDirLen, nCap = 0, i;
    int nSlot = -1, fd = -1, fdOwn = -1;
    bool bNew = false;
    struct stat st, stDot;
    Search *pSearch;
    char *pszDir = NULL;
#ifdef __linux__
    static char acBuf[32768];  // one run of directory records
    ssize_t nGot;
#else
    DIR *pDir = NULL;
    struct dirent *pEnt;
#endif

    pFfBlk->ff_reserved = -1;
    if (nPatLen < nSufLen || strcmp(pszPattern + nPatLen - nSufLen,
                                    WILD_SUFFIX) != 0)
        return 1;
    nSlot = NewSearchSlot();
    if (nSlot < 0)
        return 1;
    pSearch = &pSearches[nSlot];
    memset(pSearch, 0, sizeof(*pSearch));
    pSearch->nAttrib = nAttrib;

    // The walk joins names to a root without its trailing separator, so the
    // file system's root arrives as the empty path.
    nDirLen = nPatLen - nSufLen;
    if (nDirLen >= PATH_MAX)
        goto Fail;
    pszDir = (char *)WorkAlloc(NULL, nDirLen + 1);
    if (pszDir == NULL)
        goto Fail;
    memcpy(pszDir, pszPattern, nDirLen);
    pszDir[nDirLen] = '\0';
    pSearch->pszDir = pszDir;
    pSearch->nDirLen = nDirLen;

    // The directory is opened through the cache, and its entries are then
    // opened relative to the same descriptor. A descriptor the cache held
    // already may have been listed before, or may not allow listing: the
    // listing then gets a descriptor of its own.
    fd = DirDescriptor(pszDir, nDirLen, nDirFlags, &bNew);
#ifndef __linux__
    bNew = false;  // fdopendir() below takes the descriptor over
#endif
    if (fd < 0)
        fd = fdOwn = OpenForReading(AT_FDCWD, nDirLen != 0 ? pszDir : "/",
                                    nDirFlags);
    else if (!bNew)
        fd = fdOwn = OpenForReading(fd, ".", nDirFlags);
    // A directory that may be listed but not searched (read permission
    // without execute) gives names whose entries cannot be reached, not even
    // its "." and "..", which would pass for files: it cannot be searched.
    if (fd < 0 || fstat(fd, &st) != 0 || fstatat(fd, ".", &stDot, 0) != 0)
        goto Fail;
    // A directory that is already being searched higher up is reached again
    // through a link: walking it would never end.
    for (i = 0; i < nSearches; i++)
        if (pSearches[i].bInUse && (int)i != nSlot &&
            pSearches[i].dev == st.st_dev && pSearches[i].ino == st.st_ino)
            goto Fail;
    pSearch->dev = st.st_dev;
    pSearch->ino = st.st_ino;
    pSearch->bInUse = true;

#ifdef __linux__
    // The records straight from the system: no stream to set up per
    // directory.
    while ((nGot = getdents64(fd, acBuf, sizeof(acBuf))) > 0) {
        ssize_t nOff = 0;
        while (nOff < nGot) {
            struct dirent64 *pEnt = (struct dirent64 *)(acBuf + nOff);
            nOff += pEnt->d_reclen;
            if (!AddEntry(pSearch, &nCap, fd, pEnt->d_name, pEnt->d_type, &st))
                goto Fail;
        }
    }
    if (nGot < 0)
        goto Fail;
#else
    pDir = fdopendir(fdOwn);
    if (pDir == NULL)
        goto Fail;
    fdOwn = -1;
    errno = 0;
    while ((pEnt = readdir(pDir)) != NULL) {
        if (!AddEntry(pSearch, &nCap, dirfd(pDir), pEnt->d_name, pEnt->d_type,
                      &st))
            goto Fail;
        errno = 0;
    }
    if (errno != 0)
        goto Fail;
    closedir(pDir);
#endif
    if (fdOwn >= 0)
        close(fdOwn);

    pFfBlk->ff_reserved = nSlot;
    return DeliverNext(pSearch, pFfBlk);

Fail:
#ifndef __linux__
    if (pDir != NULL)
        closedir(pDir);
#endif
    if (fdOwn >= 0)
        close(fdOwn);
    EndSearch(pSearch);
    pFfBlk->ff_reserved = -1;
    return 1;
}

int findnext(struct ffblk *pFfBlk)
{
    int nSlot = pFfBlk->ff_reserved;

    if (nSlot < 0 || (size_t)nSlot >= nSearches || !pSearches[nSlot].bInUse)
        return 1;
    return DeliverNext(&pSearches[nSlot], pFfBlk);
}
