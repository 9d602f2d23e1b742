// findfirst and findnext over FindFirstFileExW. A search reads its
// directory's listing whole when it starts, checks the directory against the
// cycle guard, and takes its place in the walk that namesake.cpp follows.
//
// Every line the walk reported is written out before the next entry is
// taken up, so that a run ended from outside (Ctrl+C, a kill, a timeout)
// keeps what it found, also while it walks a stretch of directories without
// files: msvcrt has no line buffering, and unbuffered it would write a file
// or a pipe byte by byte. With nothing to write, a flush is a check of the
// stream's buffer, no system call.
#include "internal.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "../slots.h"

// Open searches (slots.h). The innermost is the one the walk is in, -1 when
// none runs.
Search *pSearches = NULL;
size_t nSearches = 0;
int nInnermost = -1;
const AheadHooks *pAheadHooks = NULL;

static void EndSearch(Search *pSearch)
{
    if (pSearch->bInUse && pAheadHooks != NULL)
        pAheadHooks->pfnEnded((int)(pSearch - pSearches));
    FreeListing(&pSearch->first);
    FreeListing(&pSearch->second);
    free(pSearch->pszDir);
    free(pSearch->pszSecond);
    free(pSearch->pwszSecond);
    pSearch->pszDir = NULL;
    pSearch->pszSecond = NULL;
    pSearch->pwszSecond = NULL;
    if (pSearch->bInUse && nInnermost == (int)(pSearch - pSearches))
        nInnermost = pSearch->nParent;
    pSearch->bInUse = false;
}

// Fills the record with the search's next entry. Returns 0, or 1 with the
// search ended when no entry is left.
static int DeliverNext(Search *pSearch, struct ffblk *pFfBlk)
{
    if (pSearch->nNext < pSearch->first.nListed) {
        const Listed *pEntry = &pSearch->first.pListed[pSearch->nNext++];
        const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;

        pFfBlk->ff_attrib = pEntry->bDir ? FA_DIREC : 0;
        // The long name, whole: it always fits (255 UTF-16 units take at
        // most 765 bytes), and a name without an exact form shows '?' and
        // opens nothing. Never the short name: the same short name may
        // stand for another file in the second tree.
        if (!WideToCodePage(pwszName, pFfBlk->ff_name, sizeof(pFfBlk->ff_name)))
            WideToShown(pwszName, pFfBlk->ff_name, sizeof(pFfBlk->ff_name));
        pSearch->nLast = pSearch->nNext - 1;
        pSearch->nLastLen = strlen(pFfBlk->ff_name);
        memcpy(pSearch->szLast, pFfBlk->ff_name, pSearch->nLastLen + 1);
        if (pAheadHooks != NULL)
            pAheadHooks->pfnDelivered((int)(pSearch - pSearches),
                                      pSearch->nLast == 0);
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

    fflush(stdout);
    pFfBlk->ff_reserved = -1;
    if (nAttrib != (FA_HIDDEN | FA_SYSTEM | FA_DIREC) ||
        nPatLen < strlen(WILD_SUFFIX) ||
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
    pSearch = NewSlot(&pSearches, &nSearches, realloc, &nSlot);
    if (pSearch == NULL)
        return 1;
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
    pFfBlk->ff_reserved = nInnermost = nSlot;
    return DeliverNext(pSearch, pFfBlk);

Fail:
    free(pwszPattern);
    EndSearch(pSearch);
    return 1;
}

int findnext(struct ffblk *pFfBlk)
{
    Search *pSearch = SlotInUse(pSearches, nSearches, pFfBlk->ff_reserved);

    fflush(stdout);
    return pSearch != NULL ? DeliverNext(pSearch, pFfBlk) : 1;
}
