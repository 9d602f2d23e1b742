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
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "faults.h"

// ---- Files ------------------------------------------------------------------

// Handles carry the descriptor plus one, so that descriptor 0 (possible when
// standard input was closed) is not taken for the null handle.
static int FdOf(HANDLE h) { return (int)((intptr_t)h - 1); }
static HANDLE HandleOf(int fd) { return (HANDLE)(intptr_t)(fd + 1); }

// Opens with O_NOATIME where the system allows it (owner or privileged), so
// that a comparison leaves even the access times of both trees as they were.
static int OpenForReading(const char *pszPath, int nFlags)
{
#ifdef O_NOATIME
    int fd = open(pszPath, nFlags | O_NOATIME);
    if (fd >= 0 || errno != EPERM)
        return fd;
#endif
    return open(pszPath, nFlags);
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD, DWORD, HANDLE)
{
    // O_NONBLOCK keeps a FIFO or a device from holding the run up; whatever
    // is not a regular file is then refused.
    int fd = OpenForReading(lpFileName,
                            O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    int nStatus;

    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    nStatus = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || nStatus == -1 ||
        fcntl(fd, F_SETFL, nStatus & ~O_NONBLOCK) != 0) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return HandleOf(fd);
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    struct stat st;
    uint64_t qwSize;

    if (fstat(FdOf(hFile), &st) != 0 || st.st_size < 0)
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

// Both allocators hand out plain fixed blocks; one byte stands in for a
// request of zero so that success is never a null block.
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

HGLOBAL GlobalAlloc(UINT, SIZE_T dwBytes) { return AllocFixed(dwBytes); }
HGLOBAL GlobalFree(HGLOBAL hMem) { return FreeFixed(hMem); }
HLOCAL LocalAlloc(UINT, SIZE_T uBytes) { return AllocFixed(uBytes); }
HLOCAL LocalFree(HLOCAL hMem) { return FreeFixed(hMem); }

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
        pszWork = strdup(pszRelPath);
    } else {
        pszCwd = getcwd(NULL, 0);
        if (pszCwd == NULL || pszCwd[0] != '/')
            goto CleanUp;
        pszWork = (char *)malloc(strlen(pszCwd) + strlen(pszRelPath) + 2);
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

// A running search: the directory's names, read whole when the search starts
// so that no descriptor stays open per level of a deep walk, and the
// directory's identity for the cycle guard.
struct Search {
    bool bInUse;
    dev_t dev;
    ino_t ino;
    char *pszDir;      // the directory, to reach each entry by path
    char *pcNames;     // NUL-separated names
    size_t nNamesLen;
    size_t nNext;      // offset of the next name to deliver
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
    pGrown = (Search *)realloc(pSearches, nNew * sizeof(Search));
    if (pGrown == NULL)
        return -1;
    pSearches = pGrown;
    for (i = nOld; i < nNew; i++)
        pSearches[i].bInUse = false;
    nSearches = nNew;
    return (int)nOld;
}

static void EndSearch(Search *pSearch)
{
    free(pSearch->pszDir);
    free(pSearch->pcNames);
    pSearch->bInUse = false;
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
    while (pSearch->nNext < pSearch->nNamesLen) {
        const char *pszName = pSearch->pcNames + pSearch->nNext;
        size_t nNameLen = strlen(pszName);
        char *pszEntry;
        struct stat st;
        uint32_t ulAttrib = 0;

        pSearch->nNext += nNameLen + 1;
        pszEntry = (char *)malloc(strlen(pSearch->pszDir) + nNameLen + 2);
        if (pszEntry == NULL)
            break;
        strcpy(pszEntry, pSearch->pszDir);
        strcat(pszEntry, "/");
        strcat(pszEntry, pszName);
        // Links are followed: a link to a directory is one. A broken link
        // stays an ordinary entry, which then fails to open as a file.
        if (stat(pszEntry, &st) != 0 && lstat(pszEntry, &st) != 0)
            memset(&st, 0, sizeof(st));
        free(pszEntry);

        if (S_ISDIR(st.st_mode))
            ulAttrib |= FA_DIREC;
        else
            ulAttrib |= FA_ARCH;
        if (pszName[0] == '.' && strcmp(pszName, ".") != 0 &&
            strcmp(pszName, "..") != 0)
            ulAttrib |= FA_HIDDEN;
        if (ulAttrib & (FA_HIDDEN | FA_SYSTEM | FA_DIREC) & ~pSearch->nAttrib)
            continue;

        pFfBlk->ff_attrib = ulAttrib;
        pFfBlk->ff_fsize =
            st.st_size > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)st.st_size;
        PackTime(st.st_mtime, &pFfBlk->ff_ftime, &pFfBlk->ff_fdate);
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

int findfirst(const char *pszPattern, struct ffblk *pFfBlk, int nAttrib)
{
    size_t nPatLen = strlen(pszPattern);
    size_t nSufLen = strlen(WILD_SUFFIX);
    size_t nDirLen, nCap = 0, i;
    int nSlot = -1, fd = -1;
    DIR *pDir = NULL;
    struct dirent *pEnt;
    struct stat st;
    Search *pSearch;

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
    pSearch->pszDir = (char *)malloc(nDirLen + 2);
    if (pSearch->pszDir == NULL)
        goto Fail;
    memcpy(pSearch->pszDir, pszPattern, nDirLen);
    pSearch->pszDir[nDirLen] = '\0';

    fd = OpenForReading(nDirLen != 0 ? pSearch->pszDir : "/",
                        O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOCTTY);
    if (fd < 0 || fstat(fd, &st) != 0)
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

    pDir = fdopendir(fd);
    if (pDir == NULL)
        goto Fail;
    fd = -1;
    errno = 0;
    while ((pEnt = readdir(pDir)) != NULL) {
        size_t nLen = strlen(pEnt->d_name) + 1;
        if (pSearch->nNamesLen + nLen > nCap) {
            char *pcGrown;
            nCap = (pSearch->nNamesLen + nLen) * 2 + 4096;
            pcGrown = (char *)realloc(pSearch->pcNames, nCap);
            if (pcGrown == NULL)
                goto Fail;
            pSearch->pcNames = pcGrown;
        }
        memcpy(pSearch->pcNames + pSearch->nNamesLen, pEnt->d_name, nLen);
        pSearch->nNamesLen += nLen;
        errno = 0;
    }
    if (errno != 0)
        goto Fail;
    closedir(pDir);

    pFfBlk->ff_reserved = nSlot;
    return DeliverNext(pSearch, pFfBlk);

Fail:
    if (pDir != NULL)
        closedir(pDir);
    if (fd >= 0)
        close(fd);
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
