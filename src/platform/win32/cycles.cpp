// The cycle guard: a directory reached again through a junction or a link
// while it is still being searched is refused, since walking it would never
// end.
//
// A directory is known by its volume serial number and file index. Relies
// on: no two directories being searched at once share both, unless the
// volume says nothing that tells them apart (serial 0 and the same index at
// each root, as Wine gives FUSE and proc file systems); so where the
// identity matches, the paths the system resolves both directories to must
// match as well, and only where no such path can be had (before Windows
// Vista) does the identity decide alone. The paths are read only when the
// identities match, which a walk without cycles seldom meets.
#include "internal.h"

#include <stdlib.h>
#include <wchar.h>

// Which directory pwszDir ("\\?\<dir>\") is, after junctions and symbolic
// links: its volume serial number and file index. The trailing separator
// keeps a drive's root ("\\?\C:\") from naming the volume itself.
// FILE_FLAG_BACKUP_SEMANTICS is what lets CreateFileW open a directory;
// reading its attributes is all the handle may do, and full sharing keeps it
// from standing in anyone's way.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfileinformationbyhandle
static HANDLE OpenDirAttributes(const WCHAR *pwszDir)
{
    return CreateFileW(pwszDir, FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

bool IdentifyDir(const WCHAR *pwszDir, Search *pSearch)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE hDir = OpenDirAttributes(pwszDir);
    bool bKnown;

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

typedef DWORD(WINAPI *FinalPathFn)(HANDLE, LPWSTR, DWORD, DWORD);

// The path the system resolves the directory pwszDir to, links and
// junctions followed, allocated with malloc; NULL where it cannot say.
// GetFinalPathNameByHandleW came with Windows Vista: looked up, so that the
// program still starts on earlier releases.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfinalpathnamebyhandlew
static WCHAR *FinalPath(const WCHAR *pwszDir)
{
    FinalPathFn pfnFinalPath = (FinalPathFn)(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW");
    HANDLE hDir;
    WCHAR *pwszFinal = NULL;
    DWORD dwNeed, dwGot = 0;

    if (pfnFinalPath == NULL)
        return NULL;
    hDir = OpenDirAttributes(pwszDir);
    if (hDir == INVALID_HANDLE_VALUE)
        return NULL;
    dwNeed = pfnFinalPath(hDir, NULL, 0, 0);
    if (dwNeed != 0)
        pwszFinal = (WCHAR *)malloc(dwNeed * sizeof(WCHAR));
    if (pwszFinal != NULL)
        dwGot = pfnFinalPath(hDir, pwszFinal, dwNeed, 0);
    CloseHandle(hDir);
    if (dwGot == 0 || dwGot >= dwNeed) {
        free(pwszFinal);
        return NULL;
    }
    return pwszFinal;
}

// Whether the directories of two searches with the same identity are one:
// volumes may report serial 0 and repeat file indexes (Wine gives the root
// of every FUSE or proc file system serial 0 and index 1), so the paths
// they resolve to must agree as well. Where no path can be had, the
// identity decides.
static bool IsSameDir(const Search *pA, const Search *pB)
{
    WCHAR *pwszA = ExactPath(pA->pszDir, L"");
    WCHAR *pwszB = ExactPath(pB->pszDir, L"");
    WCHAR *pwszFinalA = pwszA != NULL ? FinalPath(pwszA) : NULL;
    WCHAR *pwszFinalB = pwszB != NULL ? FinalPath(pwszB) : NULL;
    bool bSame = pwszFinalA == NULL || pwszFinalB == NULL ||
                 wcscmp(pwszFinalA, pwszFinalB) == 0;

    free(pwszA);
    free(pwszB);
    free(pwszFinalA);
    free(pwszFinalB);
    return bSame;
}

// Whether a search that is still running higher up the walk is the
// directory of pSearch: it is reached again through a junction or link,
// and walking it would never end.
bool IsSearchedAbove(const Search *pSearch)
{
    for (size_t i = 0; i < nSearches; i++)
        if (pSearches[i].bInUse && pSearches[i].dwVolume == pSearch->dwVolume &&
            pSearches[i].dwIndexHigh == pSearch->dwIndexHigh &&
            pSearches[i].dwIndexLow == pSearch->dwIndexLow &&
            IsSameDir(&pSearches[i], pSearch))
            return true;
    return false;
}
