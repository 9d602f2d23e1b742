// The platform operations of platform.h for 32-bit Windows.
//
// Reading and memory are KERNEL32's own, called as they are. This file adds
// what Win32 does not offer under the names the core uses: the process entry,
// which hands the core its arguments converted exactly from the wide command
// line and shows the run's output in the program's code page; path
// resolution without the C run-time's limit of 260 characters; an open that
// takes disk files only; a file size that cannot pass a size of 4 GiB or
// more for a smaller one; and findfirst/findnext over FindFirstFileExW with
// the attribute mask of the DOS run-times and a guard against cycles of
// junctions and symbolic links.
//
// Every file-system call goes through the wide functions with the path in
// its "\\?\" form, which Windows hands to the file system as it is.
// Nothing here creates, writes, renames or removes anything on disk.
#include "platform.h"

#include <limits.h>
#include <stdlib.h>
#include <wchar.h>

// ---- Text in the process code page -----------------------------------------
// The core's strings are in the process code page: UTF-8 where the manifest's
// activeCodePage takes effect (Windows 10 version 1903 and later), the ANSI
// code page elsewhere. Text is converted only exactly; where that cannot be,
// '?' stands for each character without an exact form, and since no file
// name may hold a '?', such a text opens and searches nothing: the core
// names it as unreadable or not found, and never takes the nearest letter
// (the "O" that best fit makes of an Omega) for another file.

// The flags for an exact conversion to nCodePage. UTF-8 takes no best-fit
// flag (WideCharToMultiByte refuses it there, though Wine does not); with
// WC_ERR_INVALID_CHARS a lone surrogate fails the conversion rather than
// becoming U+FFFD. Elsewhere WC_NO_BEST_FIT_CHARS puts the default character
// where the round trip would not give the same character back.
// https://learn.microsoft.com/windows/win32/api/stringapiset/nf-stringapiset-widechartomultibyte
DWORD CodePageFlags(UINT nCodePage)
{
    return nCodePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
}

// Converts the NUL-terminated pwszText into pszOut of nOut bytes. True only
// when the conversion is exact and fits with its NUL.
static bool WideToCodePage(const WCHAR *pwszText, char *pszOut, size_t nOut)
{
    UINT nCodePage = GetACP();
    BOOL bDefaulted = FALSE;

    if (nOut == 0)
        return false;
    if (WideCharToMultiByte(CP_ACP, CodePageFlags(nCodePage), pwszText, -1,
                            pszOut, nOut > INT_MAX ? INT_MAX : (int)nOut, NULL,
                            nCodePage == CP_UTF8 ? NULL : &bDefaulted) == 0)
        return false;
    return !bDefaulted;
}

// The form of pwszText to show where it has no exact one: each character
// converted on its own, '?' for each that does not convert exactly. "?"
// alone when even that does not fit nOut bytes.
static void WideToShown(const WCHAR *pwszText, char *pszOut, size_t nOut)
{
    const DWORD dwFlags = CodePageFlags(GetACP());
    const bool bUtf8 = GetACP() == CP_UTF8;
    size_t nAt = 0;

    while (*pwszText != L'\0') {
        // A surrogate pair is one character; a lone surrogate converts alone
        // and fails.
        int nUnits = IS_HIGH_SURROGATE(pwszText[0]) &&
                             IS_LOW_SURROGATE(pwszText[1])
                         ? 2
                         : 1;
        char szChar[8];
        BOOL bDefaulted = FALSE;
        int nBytes = WideCharToMultiByte(CP_ACP, dwFlags, pwszText, nUnits,
                                         szChar, sizeof(szChar), NULL,
                                         bUtf8 ? NULL : &bDefaulted);

        if (nBytes <= 0 || bDefaulted) {
            szChar[0] = '?';
            nBytes = 1;
        }
        if (nAt + nBytes + 1 > nOut) {
            nAt = 0;
            if (nOut >= 2)
                pszOut[nAt++] = '?';
            break;
        }
        memcpy(pszOut + nAt, szChar, nBytes);
        nAt += nBytes;
        pwszText += nUnits;
    }
    if (nOut > 0)
        pszOut[nAt] = '\0';
}

// pszText, in the process code page, as a UTF-16 string allocated with
// malloc; NULL for bytes that are no valid text in the code page, or when
// memory runs out.
static WCHAR *CodePageToWide(const char *pszText)
{
    int nUnits = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszText, -1,
                                     NULL, 0);
    WCHAR *pwszText;

    if (nUnits <= 0)
        return NULL;
    pwszText = (WCHAR *)malloc(nUnits * sizeof(WCHAR));
    if (pwszText == NULL)
        return NULL;
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszText, -1,
                            pwszText, nUnits) != nUnits) {
        free(pwszText);
        return NULL;
    }
    return pwszText;
}

// ---- Exact paths -----------------------------------------------------------
// Win32 normalises every path it is given: it strips trailing dots and
// spaces from each name (so "x." opens "x"), takes "nul.txt", "com1.log" or
// "CONIN$" in any directory for a device, and stops at MAX_PATH (260)
// characters. A path in the "\\?\" form goes to the file system as it is.
// The core's paths are absolute and already resolved (a resolved argument
// and names exactly as listed), which is what that form needs.
// https://learn.microsoft.com/windows/win32/fileio/naming-a-file#win32-file-namespaces

static bool StartsWith(const WCHAR *pwszText, const WCHAR *pwszStart)
{
    return wcsncmp(pwszText, pwszStart, wcslen(pwszStart)) == 0;
}

// The "\\?\" form of the absolute path pszPath with pwszTail appended,
// allocated with malloc: "C:\d" becomes "\\?\C:\d", "\\server\share\d"
// becomes "\\?\UNC\server\share\d", and "\\.\C:\d" becomes "\\?\C:\d" (the
// same device namespace, without normalisation); "\\?\..." stays as it is.
// NULL, with the last error set, for a path that is not absolute or has no
// exact UTF-16 form, and when memory runs out.
static WCHAR *ExactPath(const char *pszPath, const WCHAR *pwszTail)
{
    WCHAR *pwszPath = CodePageToWide(pszPath);
    WCHAR *pwszExact = NULL;
    const WCHAR *pwszPrefix = L"\\\\?\\";
    const WCHAR *pwszRest;

    if (pwszPath == NULL) {
        SetLastError(ERROR_INVALID_NAME);
        goto CleanUp;
    }
    if (StartsWith(pwszPath, L"\\\\?\\") || StartsWith(pwszPath, L"\\\\.\\")) {
        pwszRest = pwszPath + 4;
    } else if (StartsWith(pwszPath, L"\\\\")) {
        pwszPrefix = L"\\\\?\\UNC\\";
        pwszRest = pwszPath + 2;
    } else if (pwszPath[0] != L'\0' && pwszPath[1] == L':' &&
               pwszPath[2] == L'\\') {
        pwszRest = pwszPath;
    } else {
        SetLastError(ERROR_INVALID_NAME);
        goto CleanUp;
    }
    pwszExact = (WCHAR *)malloc(
        (wcslen(pwszPrefix) + wcslen(pwszRest) + wcslen(pwszTail) + 1) *
        sizeof(WCHAR));
    if (pwszExact == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        goto CleanUp;
    }
    wcscpy(pwszExact, pwszPrefix);
    wcscat(pwszExact, pwszRest);
    wcscat(pwszExact, pwszTail);

CleanUp:
    free(pwszPath);
    return pwszExact;
}

// ---- Process entry ---------------------------------------------------------

#undef main

// The arguments as the entry handed them to the core, and which of them had
// no exact form in the code page: _fullpath refuses those, so that the core
// reports them as it reports any argument that cannot be resolved.
static char **ppszEntryArgs = NULL;
static bool *pbInexactArgs = NULL;
static int nEntryArgs = 0;

static bool IsInexactArgument(const char *pszArg)
{
    for (int i = 0; i < nEntryArgs; i++)
        if (ppszEntryArgs[i] == pszArg)
            return pbInexactArgs[i];
    return false;
}

void FreeArguments(int argc, char **ppszArgv)
{
    if (ppszArgv == NULL)
        return;
    for (int i = 0; i < argc; i++)
        free(ppszArgv[i]);
    free(ppszArgv);
    if (ppszArgv == ppszEntryArgs) {
        free(pbInexactArgs);
        ppszEntryArgs = NULL;
        pbInexactArgs = NULL;
        nEntryArgs = 0;
    }
}

// The wide arguments ppwszArgv in the process code page, as a vector that
// ends in NULL, allocated with malloc; an argument without an exact form is
// shown with '?' and marked for _fullpath to refuse. The C run-time's own
// narrow arguments come through best fit: "Omega" would arrive as "O", and
// the full-width reverse solidus as a separator. NULL when memory runs out.
char **ArgumentsToCodePage(int argc, WCHAR **ppwszArgv)
{
    char **ppszArgv = (char **)calloc(argc + 1, sizeof(char *));
    bool *pbInexact = (bool *)calloc(argc + 1, sizeof(bool));

    if (ppszArgv == NULL || pbInexact == NULL)
        goto MemError;
    for (int i = 0; i < argc; i++) {
        // At most 3 bytes for each UTF-16 unit, in UTF-8 and in every
        // double-byte code page.
        size_t nBytes = 3 * wcslen(ppwszArgv[i]) + 1;
        ppszArgv[i] = (char *)malloc(nBytes);
        if (ppszArgv[i] == NULL)
            goto MemError;
        if (!WideToCodePage(ppwszArgv[i], ppszArgv[i], nBytes)) {
            WideToShown(ppwszArgv[i], ppszArgv[i], nBytes);
            pbInexact[i] = true;
        }
    }
    FreeArguments(nEntryArgs, ppszEntryArgs);
    ppszEntryArgs = ppszArgv;
    pbInexactArgs = pbInexact;
    nEntryArgs = argc;
    return ppszArgv;

MemError:
    if (ppszArgv != NULL)
        FreeArguments(argc, ppszArgv);
    free(pbInexact);
    return NULL;
}

// The console's own output code page while the run shows its output in the
// process code page, else 0. The console belongs to the command prompt and
// outlives the program: its code page goes back when the run ends, also
// when Ctrl+C, Ctrl+Break or the closing of the window ends it.
static volatile LONG lConsoleCodePage = 0;

static void RestoreConsoleCodePage(void)
{
    UINT nCodePage = (UINT)InterlockedExchange(&lConsoleCodePage, 0);

    if (nCodePage != 0)
        SetConsoleOutputCP(nCodePage);
}

// Runs on a thread of its own when the console signals; FALSE hands the
// signal on to the default handler, which ends the process as before.
static BOOL WINAPI RestoreOnSignal(DWORD dwCtrlType)
{
    (void)dwCtrlType;
    RestoreConsoleCodePage();
    return FALSE;
}

// A console shows bytes in its output code page, the OEM one by default
// (437, 850...), where names in the process code page would read wrongly.
// Without a console (output to files or pipes only) there is nothing to do:
// redirected output is the process code page's bytes.
// https://learn.microsoft.com/windows/console/setconsoleoutputcp
static void UseConsoleCodePage(void)
{
    UINT nOld = GetConsoleOutputCP();

    if (nOld == 0 || nOld == GetACP() ||
        !SetConsoleCtrlHandler(RestoreOnSignal, TRUE))
        return;
    InterlockedExchange(&lConsoleCodePage, (LONG)nOld);
    if (!SetConsoleOutputCP(GetACP()))
        InterlockedExchange(&lConsoleCodePage, 0);
}

// The process entry: MinGW-w64's startup for -municode calls wmain with the
// command line split by the C run-time into UTF-16 arguments. Runs the core
// with them in the process code page.
int wmain(int argc, wchar_t **ppwszArgv)
{
    char **ppszArgv = NULL;
    int nReturnVal;

    ppszArgv = ArgumentsToCodePage(argc, ppwszArgv);
    if (ppszArgv == NULL) {
        // The core has not started: its message, from here.
        fputs("Memory allocation error.\n", stdout);
        nReturnVal = 1;
        goto CleanUp;
    }
    UseConsoleCodePage();
    nReturnVal = OrvelMain(argc, ppszArgv);
    RestoreConsoleCodePage();
    SetConsoleCtrlHandler(RestoreOnSignal, FALSE);

CleanUp:
    FreeArguments(argc, ppszArgv);
    return nReturnVal;
}

// ---- Path resolution -------------------------------------------------------

// Whether Win32 resolution would change a name of pwszPath: it strips a
// trailing dot or space from every name, so that "D." resolves to "D",
// which may be another directory. "." and ".." are steps, not names; a
// "\\?\" path is not resolved at all.
static bool HasFoldedName(const WCHAR *pwszPath)
{
    if (StartsWith(pwszPath, L"\\\\?\\"))
        return false;
    if (pwszPath[0] != L'\0' && pwszPath[1] == L':')
        pwszPath += 2;  // "C:." is the current directory of drive C
    while (*pwszPath != L'\0') {
        const WCHAR *pwszEnd = pwszPath + wcscspn(pwszPath, L"\\/");
        size_t nLen = pwszEnd - pwszPath;
        bool bStep = (nLen == 1 && pwszPath[0] == L'.') ||
                     (nLen == 2 && pwszPath[0] == L'.' && pwszPath[1] == L'.');

        if (nLen > 0 && !bStep && (pwszEnd[-1] == L'.' || pwszEnd[-1] == L' '))
            return true;
        pwszPath = *pwszEnd != L'\0' ? pwszEnd + 1 : pwszEnd;
    }
    return false;
}

// GetFullPathNameW has no MAX_PATH limit, where the C run-time's _fullpath
// resolves fewer than 260 characters. Like it, it works on the text and the
// current directory alone, by the Win32 rules: "/" becomes "\", "." and
// ".." go; a "\\?\" argument stays as it is. An argument with a name that
// those rules would change is refused rather than taken for the changed
// name; in the "\\?\" form it is taken as it is.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfullpathnamew
char *OrvelFullPath(char *pszAbsPath, const char *pszRelPath, size_t nMaxLength)
{
    WCHAR *pwszRel = NULL;
    WCHAR *pwszAbs = NULL;
    char *pszResult = NULL;
    DWORD dwNeed, dwGot;

    if (pszAbsPath == NULL || pszRelPath == NULL ||
        IsInexactArgument(pszRelPath))
        goto CleanUp;
    pwszRel = CodePageToWide(pszRelPath);
    if (pwszRel == NULL || HasFoldedName(pwszRel))
        goto CleanUp;
    dwNeed = GetFullPathNameW(pwszRel, 0, NULL, NULL);
    if (dwNeed == 0)
        goto CleanUp;
    pwszAbs = (WCHAR *)malloc(dwNeed * sizeof(WCHAR));
    if (pwszAbs == NULL)
        goto CleanUp;
    dwGot = GetFullPathNameW(pwszRel, dwNeed, pwszAbs, NULL);
    if (dwGot == 0 || dwGot >= dwNeed)
        goto CleanUp;
    if (WideToCodePage(pwszAbs, pszAbsPath, nMaxLength))
        pszResult = pszAbsPath;

CleanUp:
    free(pwszRel);
    free(pwszAbs);
    return pszResult;
}

// ---- Files -----------------------------------------------------------------

// The kernel's operations under their own names, for the bodies below.
#undef CreateFileA
#undef GetFileSize

// Opens the file by its exact name. Devices answer FILE_TYPE_CHAR, pipes
// FILE_TYPE_PIPE: a size and a read mean nothing for them, and a console
// would wait for input. With exact paths no file name stands for a device;
// the check stays for a path that names one itself ("\\.\COM1").
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfiletype
HANDLE OrvelCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                        DWORD dwShareMode,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        DWORD dwCreationDisposition,
                        DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    WCHAR *pwszPath = ExactPath(lpFileName, L"");
    HANDLE hFile;

    // Every line reported is written before the next file is opened, so
    // that a run ended from outside keeps what it found: msvcrt has no line
    // buffering, and unbuffered it writes a file or a pipe byte by byte.
    fflush(stdout);
    if (pwszPath == NULL)
        return INVALID_HANDLE_VALUE;
    hFile = CreateFileW(pwszPath, dwDesiredAccess, dwShareMode,
                        lpSecurityAttributes, dwCreationDisposition,
                        dwFlagsAndAttributes, hTemplateFile);
    free(pwszPath);
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
    // be taken for a smaller one: answer failure instead, with its reason,
    // since a caller tells failure from a size of 0xFFFFFFFF by the last
    // error.
    if (dwHigh != 0) {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        return INVALID_FILE_SIZE;
    }
    return dwLow;
}

// ---- Directory search ------------------------------------------------------

#ifdef ORVEL_FAULTS
// The layer's own test steers this to stage a listing that breaks off half
// way, which no file system here does on cue.
BOOL(WINAPI *OrvelFindNextFileW)(HANDLE, LPWIN32_FIND_DATAW) = FindNextFileW;
#define FindNextFileW OrvelFindNextFileW
#endif

// One entry of a listing: what its record needs, and where its name starts
// in the listing's pool of names.
struct Listed {
    DWORD dwAttrib;
    DWORD dwSizeHigh;
    DWORD dwSizeLow;
    FILETIME ftLastWrite;
    size_t nNameAt;
};

// A running search: the whole listing, read when the search starts, the
// next entry to deliver, and the directory's identity for the cycle guard.
struct Search {
    bool bInUse;
    Listed *pListed;
    size_t nListed;
    size_t nListedRoom;
    WCHAR *pwcNames;          // the entries' names, each ending in a NUL
    size_t nNamesUsed;
    size_t nNamesRoom;
    size_t nNext;             // the entry findnext delivers next
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
    free(pSearch->pListed);
    free(pSearch->pwcNames);
    pSearch->pListed = NULL;
    pSearch->pwcNames = NULL;
    pSearch->bInUse = false;
}

// Makes room for nMore more items of nSize bytes in the block *ppBlock,
// which holds nUsed and has room for *pnRoom; false when memory runs out.
static bool Reserve(void **ppBlock, size_t *pnRoom, size_t nUsed, size_t nMore,
                    size_t nSize)
{
    size_t nRoom = *pnRoom;
    void *pGrown;

    if (nUsed + nMore <= nRoom)
        return true;
    while (nRoom < nUsed + nMore) {
        if (nRoom > (SIZE_MAX / nSize - 64) / 2)
            return false;
        nRoom = nRoom * 2 + 64;
    }
    pGrown = realloc(*ppBlock, nRoom * nSize);
    if (pGrown == NULL)
        return false;
    *ppBlock = pGrown;
    *pnRoom = nRoom;
    return true;
}

// Appends the entry pData to the search's listing; false when memory runs
// out.
static bool AddListed(Search *pSearch, const WIN32_FIND_DATAW *pData)
{
    size_t nName = wcslen(pData->cFileName) + 1;
    Listed *pEntry;

    if (!Reserve((void **)&pSearch->pListed, &pSearch->nListedRoom,
                 pSearch->nListed, 1, sizeof(Listed)) ||
        !Reserve((void **)&pSearch->pwcNames, &pSearch->nNamesRoom,
                 pSearch->nNamesUsed, nName, sizeof(WCHAR)))
        return false;
    pEntry = &pSearch->pListed[pSearch->nListed++];
    pEntry->dwAttrib = pData->dwFileAttributes;
    pEntry->dwSizeHigh = pData->nFileSizeHigh;
    pEntry->dwSizeLow = pData->nFileSizeLow;
    pEntry->ftLastWrite = pData->ftLastWriteTime;
    pEntry->nNameAt = pSearch->nNamesUsed;
    memcpy(pSearch->pwcNames + pSearch->nNamesUsed, pData->cFileName,
           nName * sizeof(WCHAR));
    pSearch->nNamesUsed += nName;
    return true;
}

// Reads the whole listing of pwszPattern ("\\?\<dir>\*") into the search.
// Only ERROR_NO_MORE_FILES ends a listing: any other failure of
// FindNextFileW (a network share gone, a device error) fails the whole
// search, so that the directory is reported rather than cut short in
// silence. FindExInfoStandard, as every release since NT 4 has it.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-findnextfilew
static bool ReadListing(const WCHAR *pwszPattern, Search *pSearch)
{
    WIN32_FIND_DATAW fdEntry;
    HANDLE hFind;
    bool bWhole = false;

    hFind = FindFirstFileExW(pwszPattern, FindExInfoStandard, &fdEntry,
                             FindExSearchNameMatch, NULL, 0);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    while (AddListed(pSearch, &fdEntry)) {
        if (!FindNextFileW(hFind, &fdEntry)) {
            bWhole = GetLastError() == ERROR_NO_MORE_FILES;
            break;
        }
    }
    FindClose(hFind);
    return bWhole;
}

// Which directory pwszDir ("\\?\<dir>\") is, after junctions and symbolic
// links: its volume serial number and file index. The trailing separator
// keeps a drive's root ("\\?\C:\") from naming the volume itself.
// FILE_FLAG_BACKUP_SEMANTICS is what lets CreateFileW open a directory;
// reading its attributes is all the handle may do, and full sharing keeps it
// from standing in anyone's way.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfileinformationbyhandle
static bool IdentifyDir(const WCHAR *pwszDir, Search *pSearch)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE hDir;
    bool bKnown;

    hDir = CreateFileW(pwszDir, FILE_READ_ATTRIBUTES,
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

// Whether a search that is still running higher up the walk has the
// identity of pSearch: the directory is reached again through a junction or
// link, and walking it would never end.
static bool IsSearchedAbove(const Search *pSearch)
{
    for (size_t i = 0; i < nSearches; i++)
        if (pSearches[i].bInUse && pSearches[i].dwVolume == pSearch->dwVolume &&
            pSearches[i].dwIndexHigh == pSearch->dwIndexHigh &&
            pSearches[i].dwIndexLow == pSearch->dwIndexLow)
            return true;
    return false;
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

// Fills the record with the search's next entry that the mask lets through.
// Returns 0, or 1 with the search ended when no entry is left.
static int DeliverNext(Search *pSearch, struct ffblk *pFfBlk)
{
    const uint32_t ulKnown =
        FA_RDONLY | FA_HIDDEN | FA_SYSTEM | FA_LABEL | FA_DIREC | FA_ARCH;

    while (pSearch->nNext < pSearch->nListed) {
        const Listed *pEntry = &pSearch->pListed[pSearch->nNext++];
        // The low FILE_ATTRIBUTE_ bits are the DOS ones, bit for bit.
        uint32_t ulAttrib = pEntry->dwAttrib & ulKnown;

        if (ulAttrib & FA_LABEL)
            continue;
        if (ulAttrib & (FA_HIDDEN | FA_SYSTEM | FA_DIREC) & ~pSearch->nAttrib)
            continue;

        pFfBlk->ff_attrib = ulAttrib;
        pFfBlk->ff_fsize =
            pEntry->dwSizeHigh != 0 || pEntry->dwSizeLow > 0x7FFFFFFF
                ? 0x7FFFFFFF
                : (int32_t)pEntry->dwSizeLow;
        PackTime(&pEntry->ftLastWrite, &pFfBlk->ff_ftime, &pFfBlk->ff_fdate);
        // The long name, whole: it always fits (255 UTF-16 units take at
        // most 765 bytes), and a name without an exact form shows '?' and
        // opens nothing. Never the short name: the same short name may
        // stand for another file in the second tree.
        if (!WideToCodePage(pSearch->pwcNames + pEntry->nNameAt,
                            pFfBlk->ff_name, sizeof(pFfBlk->ff_name)))
            WideToShown(pSearch->pwcNames + pEntry->nNameAt, pFfBlk->ff_name,
                        sizeof(pFfBlk->ff_name));
        return 0;
    }
    EndSearch(pSearch);
    pFfBlk->ff_reserved = -1;
    return 1;
}

int findfirst(const char *pszPattern, struct ffblk *pFfBlk, int nAttrib)
{
    const size_t nWildLen = strlen("*.*");
    size_t nPatLen = strlen(pszPattern);
    char *pszDir = NULL;
    WCHAR *pwszPattern = NULL;
    size_t nDirLen, nStarAt;
    int nSlot;
    Search *pSearch = NULL;

    pFfBlk->ff_reserved = -1;
    if (nPatLen < strlen(WILD_SUFFIX) ||
        strcmp(pszPattern + nPatLen - strlen(WILD_SUFFIX), WILD_SUFFIX) != 0)
        return 1;
    nSlot = NewSearchSlot();
    if (nSlot < 0)
        return 1;
    pSearch = &pSearches[nSlot];
    memset(pSearch, 0, sizeof(*pSearch));
    pSearch->nAttrib = nAttrib;

    // "<dir>\*.*" searched as "\\?\<dir>\*": "*" is every name, without the
    // DOS reading of "*.*" to rely on.
    nDirLen = nPatLen - nWildLen;
    pszDir = (char *)malloc(nDirLen + 1);
    if (pszDir == NULL)
        goto Fail;
    memcpy(pszDir, pszPattern, nDirLen);
    pszDir[nDirLen] = '\0';
    pwszPattern = ExactPath(pszDir, L"*");
    if (pwszPattern == NULL)
        goto Fail;

    // The directory itself is the pattern without its "*".
    nStarAt = wcslen(pwszPattern) - 1;
    pwszPattern[nStarAt] = L'\0';
    if (!IdentifyDir(pwszPattern, pSearch) || IsSearchedAbove(pSearch))
        goto Fail;
    pwszPattern[nStarAt] = L'*';
    if (!ReadListing(pwszPattern, pSearch))
        goto Fail;

    free(pszDir);
    free(pwszPattern);
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
