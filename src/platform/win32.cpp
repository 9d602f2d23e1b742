// The platform operations of platform.h for 32-bit Windows.
//
// Reading, memory and path resolution are KERNEL32's and the C run-time's
// own, called as they are. This file adds what Win32 does not offer under
// the names the core uses: an open that takes disk files only, a file size
// that cannot pass a size of 4 GiB or more for a smaller one, and
// findfirst/findnext over FindFirstFileW with the attribute mask of the DOS
// run-times and a guard against cycles of junctions and symbolic links.
// Nothing here creates, writes, renames or removes anything on disk.
#include "platform.h"

#include <stdlib.h>

// ---- Files ------------------------------------------------------------------

// The kernel's operations under their own names, for the bodies below.
#undef CreateFileA
#undef GetFileSize

// Devices answer FILE_TYPE_CHAR, pipes FILE_TYPE_PIPE; a size and a read
// mean nothing for them, and a console would wait for input.
// https://learn.microsoft.com/windows/win32/fileio/naming-a-file#naming-conventions
HANDLE OrvelCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                        DWORD dwShareMode,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        DWORD dwCreationDisposition,
                        DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    HANDLE hFile = CreateFileA(lpFileName, dwDesiredAccess, dwShareMode,
                               lpSecurityAttributes, dwCreationDisposition,
                               dwFlagsAndAttributes, hTemplateFile);

    if (hFile != INVALID_HANDLE_VALUE && GetFileType(hFile) != FILE_TYPE_DISK) {
        CloseHandle(hFile);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

// GetFileSize rather than GetFileSizeEx, which Windows 95 and NT 4 lack:
// with a pointer for the high part it answers the whole size, and a low part
// of 0xFFFFFFFF is a failure only when GetLastError says so.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfilesize
DWORD OrvelGetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    DWORD dwHigh = 0;
    DWORD dwLow;

    SetLastError(NO_ERROR);
    dwLow = GetFileSize(hFile, &dwHigh);
    if (dwLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return INVALID_FILE_SIZE;
    if (lpFileSizeHigh != NULL) {
        *lpFileSizeHigh = dwHigh;
        return dwLow;
    }
    // Asked for the low part alone, a size that does not fit 32 bits would
    // be taken for a smaller one: answer failure instead.
    if (dwHigh != 0)
        return INVALID_FILE_SIZE;
    return dwLow;
}

// ---- Directory search -------------------------------------------------------

// A running search: the FindFirstFileW handle, the entry it has fetched but
// not yet delivered, and the directory's identity for the cycle guard.
struct Search {
    bool bInUse;
    HANDLE hFind;
    bool bHaveEntry;          // fdEntry holds an entry not yet delivered
    WIN32_FIND_DATAW fdEntry;
    DWORD dwVolume;           // volume serial number and file index:
    DWORD dwIndexHigh;        // together, which directory this is
    DWORD dwIndexLow;
    int nAttrib;              // the caller's attribute mask
};

// Open searches, indexed by ff_reserved: findnext can check an index before
// it uses it, where it could not check a handle kept in the record.
static Search *pSearches = NULL;
static size_t nSearches = 0;

static int NewSearchSlot(void)
{
    size_t i, nOld = nSearches, nNew = nSearches * 2 + 8;
    Search *pGrown;

    for (i = 0; i < nSearches; i++)
        if (!pSearches[i].bInUse)
            return (int)i;
    if (nNew > 0x7FFFFFFF / sizeof(Search))
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
    if (pSearch->hFind != INVALID_HANDLE_VALUE)
        FindClose(pSearch->hFind);
    pSearch->hFind = INVALID_HANDLE_VALUE;
    pSearch->bInUse = false;
}

// Which directory pszDir is, after junctions and symbolic links: its volume
// serial number and file index. FILE_FLAG_BACKUP_SEMANTICS is what lets
// CreateFileA open a directory; reading its attributes is all the handle may
// do, and full sharing keeps it from standing in anyone's way.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfileinformationbyhandle
static bool IdentifyDir(const char *pszDir, Search *pSearch)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE hDir;
    bool bKnown;

    hDir = CreateFileA(pszDir, FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (hDir == INVALID_HANDLE_VALUE)
        return false;
    bKnown = GetFileInformationByHandle(hDir, &info) != 0 &&
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    CloseHandle(hDir);
    if (!bKnown)
        return false;
    pSearch->dwVolume = info.dwVolumeSerialNumber;
    pSearch->dwIndexHigh = info.nFileIndexHigh;
    pSearch->dwIndexLow = info.nFileIndexLow;
    return true;
}

// The packed DOS date and time of a last-write time, in local time as the
// DOS run-times gave it; 1 January 1980 for what DOS dates cannot hold.
static void PackTime(const FILETIME *pftWhen, uint16_t *pwTime,
                     uint16_t *pwDate)
{
    FILETIME ftLocal;
    WORD wTime, wDate;

    if (!FileTimeToLocalFileTime(pftWhen, &ftLocal) ||
        !FileTimeToDosDateTime(&ftLocal, &wDate, &wTime)) {
        *pwTime = 0;
        *pwDate = (1 << 5) | 1;
        return;
    }
    *pwTime = wTime;
    *pwDate = wDate;
}

// The name pwszName into the record, in the ANSI code page that every other
// call of the walk uses. A character that the code page lacks becomes "?",
// which no Win32 name may hold, so that the entry fails to open and is
// named: the A functions would put the nearest letter in its place ("a" for
// U+0101, a with macron), and another file of that name would be compared
// instead. A name longer than the record holds is cut, to the same effect.
// https://learn.microsoft.com/windows/win32/api/stringapiset/nf-stringapiset-widechartomultibyte
static void NameToRecord(const WCHAR *pwszName, char *pszOut, size_t nOut)
{
    char szName[4 * MAX_PATH];  // a name at 3 bytes a character, in UTF-8
    bool bUtf8 = GetACP() == CP_UTF8;  // which takes neither flag nor default
    size_t nLen;

    if (WideCharToMultiByte(CP_ACP, bUtf8 ? 0 : WC_NO_BEST_FIT_CHARS, pwszName,
                            -1, szName, sizeof(szName), bUtf8 ? NULL : "?",
                            NULL) == 0)
        strcpy(szName, "?");
    nLen = strlen(szName);
    if (nLen >= nOut)
        nLen = nOut - 1;
    memcpy(pszOut, szName, nLen);
    pszOut[nLen] = '\0';
}

// Fills the record with the search's next entry that the mask lets through.
// Returns 0, or 1 with the search ended when no entry is left.
static int DeliverNext(Search *pSearch, struct ffblk *pFfBlk)
{
    const uint32_t ulKnown =
        FA_RDONLY | FA_HIDDEN | FA_SYSTEM | FA_LABEL | FA_DIREC | FA_ARCH;

    for (;;) {
        const WIN32_FIND_DATAW *pEntry = &pSearch->fdEntry;
        uint32_t ulAttrib;

        if (!pSearch->bHaveEntry &&
            !FindNextFileW(pSearch->hFind, &pSearch->fdEntry))
            break;
        pSearch->bHaveEntry = false;

        // The low FILE_ATTRIBUTE_ bits are the DOS ones, bit for bit.
        ulAttrib = pEntry->dwFileAttributes & ulKnown;
        if (ulAttrib & FA_LABEL)
            continue;
        if (ulAttrib & (FA_HIDDEN | FA_SYSTEM | FA_DIREC) & ~pSearch->nAttrib)
            continue;

        pFfBlk->ff_attrib = ulAttrib;
        pFfBlk->ff_fsize = pEntry->nFileSizeHigh != 0 ||
                                   pEntry->nFileSizeLow > 0x7FFFFFFF
                               ? 0x7FFFFFFF
                               : (int32_t)pEntry->nFileSizeLow;
        PackTime(&pEntry->ftLastWriteTime, &pFfBlk->ff_ftime,
                 &pFfBlk->ff_fdate);
        // Not the short name for a name that does not fit: the same short
        // name may stand for another file in the second tree.
        NameToRecord(pEntry->cFileName, pFfBlk->ff_name,
                     sizeof(pFfBlk->ff_name));
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
    size_t nDirLen, i;
    char *pszDir = NULL;
    WCHAR *pwszPattern = NULL;
    int nSlot, nWideLen;
    Search *pSearch;

    pFfBlk->ff_reserved = -1;
    if (nPatLen < nSufLen ||
        strcmp(pszPattern + nPatLen - nSufLen, WILD_SUFFIX) != 0)
        return 1;
    nSlot = NewSearchSlot();
    if (nSlot < 0)
        return 1;
    pSearch = &pSearches[nSlot];
    memset(pSearch, 0, sizeof(*pSearch));
    pSearch->hFind = INVALID_HANDLE_VALUE;
    pSearch->nAttrib = nAttrib;

    // The directory as "<dir>\.": Win32 folds the "." away, and what is left
    // names the directory also where "<dir>" alone would not, as "C:" (the
    // current directory of drive C) or the share root "\\server\share".
    nDirLen = nPatLen - nSufLen;
    pszDir = (char *)malloc(nDirLen + 3);
    if (pszDir == NULL)
        goto Fail;
    memcpy(pszDir, pszPattern, nDirLen);
    memcpy(pszDir + nDirLen, "\\.", 3);
    if (!IdentifyDir(pszDir, pSearch))
        goto Fail;
    // A directory that is already being searched higher up is reached again
    // through a junction or link: walking it would never end.
    for (i = 0; i < nSearches; i++)
        if (pSearches[i].bInUse && pSearches[i].dwVolume == pSearch->dwVolume &&
            pSearches[i].dwIndexHigh == pSearch->dwIndexHigh &&
            pSearches[i].dwIndexLow == pSearch->dwIndexLow)
            goto Fail;

    // Searched by its wide name, so that the entries' names come whole.
    nWideLen = MultiByteToWideChar(CP_ACP, 0, pszPattern, -1, NULL, 0);
    if (nWideLen <= 0)
        goto Fail;
    pwszPattern = (WCHAR *)malloc(nWideLen * sizeof(WCHAR));
    if (pwszPattern == NULL ||
        MultiByteToWideChar(CP_ACP, 0, pszPattern, -1, pwszPattern,
                            nWideLen) != nWideLen)
        goto Fail;
    pSearch->hFind = FindFirstFileW(pwszPattern, &pSearch->fdEntry);
    if (pSearch->hFind == INVALID_HANDLE_VALUE)
        goto Fail;
    free(pszDir);
    free(pwszPattern);
    pSearch->bHaveEntry = true;
    pSearch->bInUse = true;
    pFfBlk->ff_reserved = nSlot;
    return DeliverNext(pSearch, pFfBlk);

Fail:
    free(pszDir);
    free(pwszPattern);
    EndSearch(pSearch);
    return 1;
}

int findnext(struct ffblk *pFfBlk)
{
    int nSlot = pFfBlk->ff_reserved;

    if (nSlot < 0 || (size_t)nSlot >= nSearches || !pSearches[nSlot].bInUse)
        return 1;
    return DeliverNext(&pSearches[nSlot], pFfBlk);
}
