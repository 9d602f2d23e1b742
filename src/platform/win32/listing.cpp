// A directory's listing, read whole when it is needed, and its names' keys:
// each long name upper-cased as file systems compare names, the entries
// sorted by key, so that a name is found by binary search and a name listed
// twice is seen next to itself.
#include "internal.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#ifdef ORVEL_FAULTS
// The layer's own test steers this to stage a listing that breaks off half
// way, which no file system here does on cue.
BOOL(WINAPI *OrvelFindNextFileW)(HANDLE, LPWIN32_FIND_DATAW) = FindNextFileW;
#define FindNextFileW OrvelFindNextFileW
#endif

void FreeListing(Listing *pListing)
{
    free(pListing->pListed);
    free(pListing->pwcNames);
    free(pListing->pwcKeys);
    free(pListing->pKeyed);
    memset(pListing, 0, sizeof(*pListing));
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

// Appends the entry pData to the listing; false when memory runs out.
static bool AddListed(Listing *pListing, const WIN32_FIND_DATAW *pData)
{
    size_t nName = wcslen(pData->cFileName) + 1;
    Listed *pEntry;

    if (!Reserve((void **)&pListing->pListed, &pListing->nListedRoom,
                 pListing->nListed, 1, sizeof(Listed)) ||
        !Reserve((void **)&pListing->pwcNames, &pListing->nNamesRoom,
                 pListing->nNamesUsed, nName, sizeof(WCHAR)))
        return false;
    pEntry = &pListing->pListed[pListing->nListed++];
    pEntry->bDir = (pData->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    pEntry->nNameAt = pListing->nNamesUsed;
    pEntry->bRefused = false;
    memcpy(pListing->pwcNames + pListing->nNamesUsed, pData->cFileName,
           nName * sizeof(WCHAR));
    pListing->nNamesUsed += nName;
    return true;
}

static int CompareKeyed(const void *pA, const void *pB)
{
    return wcscmp(((const Keyed *)pA)->pwszKey, ((const Keyed *)pB)->pwszKey);
}

// Reads the whole listing of pwszPattern ("\\?\<dir>\*") and sorts it by
// key. Only ERROR_NO_MORE_FILES ends a listing: any other failure of
// FindNextFileW (a network share gone, a device error) fails it, so that
// the directory is reported rather than cut short in silence.
// FindExInfoStandard, as every release since NT 4 has it.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-findnextfilew
//
// A key is the long name upper-cased as file systems compare names:
// LCMapStringW without LCMAP_LINGUISTIC_CASING takes the file system's
// casing, one UTF-16 unit for one, and all the names go in one call. A file
// system upper-cases one UTF-16 unit at a time, and no surrogate alone is a
// letter: a name's surrogate pairs go into its key as they are, so that
// names that differ in the case of a letter beyond the first 65,536 (a
// Deseret one) are two keys, as they are two names, where LCMapStringW would
// map the pair.
// https://learn.microsoft.com/windows/win32/api/winnls/nf-winnls-lcmapstringw
bool ReadListing(const WCHAR *pwszPattern, Listing *pListing)
{
    WIN32_FIND_DATAW fdEntry;
    HANDLE hFind;
    bool bWhole = false;
    size_t nUnits;

    hFind = FindFirstFileExW(pwszPattern, FindExInfoStandard, &fdEntry,
                             FindExSearchNameMatch, NULL, 0);
    if (hFind == INVALID_HANDLE_VALUE)
        return false;
    while (AddListed(pListing, &fdEntry)) {
        if (!FindNextFileW(hFind, &fdEntry)) {
            bWhole = GetLastError() == ERROR_NO_MORE_FILES;
            break;
        }
    }
    FindClose(hFind);
    nUnits = pListing->nNamesUsed;
    if (!bWhole || nUnits > INT_MAX)
        return false;
    pListing->pwcKeys = (WCHAR *)malloc(nUnits * sizeof(WCHAR));
    pListing->pKeyed = (Keyed *)malloc(pListing->nListed * sizeof(Keyed));
    if (pListing->pwcKeys == NULL || pListing->pKeyed == NULL ||
        LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, pListing->pwcNames,
                     (int)nUnits, pListing->pwcKeys,
                     (int)nUnits) != (int)nUnits)
        return false;
    for (size_t i = 0; i < nUnits; i++)
        if (IS_HIGH_SURROGATE(pListing->pwcNames[i]) ||
            IS_LOW_SURROGATE(pListing->pwcNames[i]))
            pListing->pwcKeys[i] = pListing->pwcNames[i];
    for (size_t i = 0; i < pListing->nListed; i++) {
        pListing->pKeyed[i].pwszKey =
            pListing->pwcKeys + pListing->pListed[i].nNameAt;
        pListing->pKeyed[i].nEntry = i;
    }
    qsort(pListing->pKeyed, pListing->nListed, sizeof(Keyed), CompareKeyed);
    return true;
}

// The name of the one entry of the listing whose key is pwszKey; NULL when
// none or more than one has it.
const WCHAR *ListedOnce(const Listing *pListing, const WCHAR *pwszKey)
{
    const Keyed kWant = {pwszKey, 0};
    const Keyed *pFirst = pListing->pKeyed;
    const Keyed *pEnd = pFirst + pListing->nListed;
    const Keyed *pAt = (const Keyed *)bsearch(&kWant, pFirst, pListing->nListed,
                                              sizeof(Keyed), CompareKeyed);

    if (pAt == NULL ||
        (pAt != pFirst && wcscmp(pAt[-1].pwszKey, pwszKey) == 0) ||
        (pAt + 1 != pEnd && wcscmp(pAt[1].pwszKey, pwszKey) == 0))
        return NULL;
    return pListing->pwcNames + pListing->pListed[pAt->nEntry].nNameAt;
}

// Marks the entries of a first-tree listing that no path can name exactly,
// as another system can list them through Wine or a share: a name holding a
// character Windows forbids in names ("a\b" would open b in a), and a name
// listed more than once as Windows compares names (Linux's "u\xff" and
// "u\xfe" both arrive as "u" and U+FFFD: one open would stand for both).
// https://learn.microsoft.com/windows/win32/fileio/naming-a-file#naming-conventions
void MarkRefused(Listing *pListing)
{
    static const WCHAR kForbidden[] =
        L"\\/:*?\"<>|\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e"
        L"\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f";
    Listed *pListed = pListing->pListed;
    const Keyed *pKeyed = pListing->pKeyed;

    for (size_t i = 0; i < pListing->nListed; i++)
        if (wcspbrk(pListing->pwcNames + pListed[i].nNameAt, kForbidden) !=
            NULL)
            pListed[i].bRefused = true;
    for (size_t i = 0; i + 1 < pListing->nListed; i++)
        if (wcscmp(pKeyed[i].pwszKey, pKeyed[i + 1].pwszKey) == 0)
            pListed[pKeyed[i].nEntry].bRefused =
                pListed[pKeyed[i + 1].nEntry].bRefused = true;
}
