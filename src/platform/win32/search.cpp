// findfirst and findnext over FindFirstFileExW, with the attribute mask of
// the DOS run-times. A search reads its directory's listing whole when it
// starts, checks the directory against the cycle guard, and takes its place
// in the walk that namesake.cpp follows.
#include "internal.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Open searches, indexed by ff_reserved: findnext can check an index before
// it uses it, where it could not check a handle kept in the record. The
// innermost is the one the walk is in, -1 when none runs.
Search *pSearches = NULL;
size_t nSearches = 0;
int nInnermost = -1;

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
    FreeListing(&pSearch->first);
    FreeListing(&pSearch->second);
    free(pSearch->pszDir);
    free(pSearch->pszSecond);
    pSearch->pszDir = NULL;
    pSearch->pszSecond = NULL;
    if (pSearch->bInUse && nInnermost == (int)(pSearch - pSearches))
        nInnermost = pSearch->nParent;
    pSearch->bInUse = false;
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

    while (pSearch->nNext < pSearch->first.nListed) {
        const Listed *pEntry = &pSearch->first.pListed[pSearch->nNext++];
        const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;
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
        if (!WideToCodePage(pwszName, pFfBlk->ff_name, sizeof(pFfBlk->ff_name)))
            WideToShown(pwszName, pFfBlk->ff_name, sizeof(pFfBlk->ff_name));
        pSearch->nLast = pSearch->nNext - 1;
        pSearch->nLastLen = strlen(pFfBlk->ff_name);
        memcpy(pSearch->szLast, pFfBlk->ff_name, pSearch->nLastLen + 1);
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
    WCHAR *pwszPattern = NULL;
    size_t nDirLen, nStarAt;
    int nSlot, nParent = -1;
    Search *pSearch = NULL;

    pFfBlk->ff_reserved = -1;
    if (nPatLen < strlen(WILD_SUFFIX) ||
        strcmp(pszPattern + nPatLen - strlen(WILD_SUFFIX), WILD_SUFFIX) != 0)
        return 1;
    // A directory the innermost search delivered is a step of its walk; a
    // refused name is searched no more than it is opened.
    nDirLen = nPatLen - strlen(WILD_SUFFIX);
    if (nInnermost >= 0 &&
        IsDelivered(&pSearches[nInnermost], pszPattern, nDirLen)) {
        nParent = nInnermost;
        if (pSearches[nParent].first.pListed[pSearches[nParent].nLast].bRefused)
            return 1;
    }
    nSlot = NewSearchSlot();
    if (nSlot < 0)
        return 1;
    pSearch = &pSearches[nSlot];
    memset(pSearch, 0, sizeof(*pSearch));
    pSearch->nAttrib = nAttrib;
    pSearch->nParent = nParent;
    pSearch->nDirLen = nDirLen;
    pSearch->nRelAt = nParent >= 0 ? pSearches[nParent].nRelAt : nDirLen;

    // "<dir>\*.*" searched as "\\?\<dir>\*": "*" is every name, without the
    // DOS reading of "*.*" to rely on.
    pSearch->pszDir = (char *)malloc(nPatLen - nWildLen + 1);
    if (pSearch->pszDir == NULL)
        goto Fail;
    memcpy(pSearch->pszDir, pszPattern, nPatLen - nWildLen);
    pSearch->pszDir[nPatLen - nWildLen] = '\0';
    pwszPattern = ExactPath(pSearch->pszDir, L"*");
    if (pwszPattern == NULL)
        goto Fail;

    // The directory itself is the pattern without its "*".
    nStarAt = wcslen(pwszPattern) - 1;
    pwszPattern[nStarAt] = L'\0';
    if (!IdentifyDir(pwszPattern, pSearch) || IsSearchedAbove(pSearch))
        goto Fail;
    pwszPattern[nStarAt] = L'*';
    if (!ReadListing(pwszPattern, &pSearch->first))
        goto Fail;
    MarkRefused(&pSearch->first);

    free(pwszPattern);
    pSearch->bInUse = true;
    nInnermost = nSlot;
    pFfBlk->ff_reserved = nSlot;
    return DeliverNext(pSearch, pFfBlk);

Fail:
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
