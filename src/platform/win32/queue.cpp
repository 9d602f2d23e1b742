// What the read-ahead agent's threads are given to do: the files, names and
// directory the core's walk shows next, queued within the budget, and what
// the core has gone past, given up. The protocol is told in ahead.cpp.
#include "ahead.h"

#include <stdlib.h>
#include <wchar.h>

namespace ahead {

// Gives the file up: a held handle goes to *phClose for the caller to close
// outside the lock, a queued file is never read, one a reader is at is
// closed by it. Under the lock.
void AheadGiveUp(AheadFile *pFile, HANDLE *phClose)
{
    *phClose = INVALID_HANDLE_VALUE;
    if (pFile->nState == FILE_BUSY) {
        InterlockedExchange(&pFile->lStop, 1);
        return;
    }
    if (pFile->nState == FILE_HELD)
        *phClose = pFile->hFile;
    if (pFile->nState != FILE_NONE)
        pFile->nState = FILE_DONE;
    dwBudgetUsed -= pFile->dwBudget;
    pFile->dwBudget = 0;
}

// Retires the items of search nSlot before its entry nBefore (every one for
// SIZE_MAX, and every item of any search for nSlot -1): the core has gone
// past them. Closes what they hold.
void AheadRetire(int nSlot, size_t nBefore)
{
    HANDLE ahClose[2 * AHEAD_PAIRS];
    int nClose = 0;

    EnterCriticalSection(&csAhead);
    for (int i = 0; i < AHEAD_PAIRS; i++) {
        Item *pItem = &aItems[i];
        if (!pItem->bUsed || pItem->bRetired ||
            (nSlot >= 0 && (pItem->nSlot != nSlot || pItem->nEntry >= nBefore)))
            continue;
        pItem->bRetired = true;
        for (int f = 0; f < 2; f++) {
            HANDLE hClose;
            AheadGiveUp(&pItem->aFile[f], &hClose);
            if (hClose != INVALID_HANDLE_VALUE)
                ahClose[nClose++] = hClose;
        }
    }
    LeaveCriticalSection(&csAhead);
    for (int i = 0; i < nClose; i++)
        CloseHandle(ahClose[i]);
}

// Frees what items that no reader will touch again hold, for new ones. On
// the core's thread.
static int Reclaim(void)
{
    int nFree = 0;

    EnterCriticalSection(&csAhead);
    for (int i = 0; i < AHEAD_PAIRS; i++) {
        Item *pItem = &aItems[i];
        bool bBusy = pItem->aFile[0].nState == FILE_BUSY ||
                     pItem->aFile[1].nState == FILE_BUSY;
        if (pItem->bUsed && pItem->bRetired && !bBusy) {
            free(pItem->aFile[0].pwszPath);
            free(pItem->aFile[1].pwszPath);
            memset(pItem, 0, sizeof(*pItem));
        }
        if (!pItem->bUsed)
            nFree++;
    }
    LeaveCriticalSection(&csAhead);
    return nFree;
}

// Wakes as many idle readers as there are new jobs, and no more. On the
// core's thread.
void AheadWake(int nQueued)
{
    int nWake;

    EnterCriticalSection(&csAhead);
    nWake = nQueued < nIdleReaders ? nQueued : nIdleReaders;
    nIdleReaders -= nWake;
    LeaveCriticalSection(&csAhead);
    if (nWake > 0)
        ReleaseSemaphore(hWork, nWake, NULL);
}

// Hands the readers the names of the second directory that the namesake
// check of the innermost search lists next, where that directory is known
// and not listed yet: the listing reads every entry's attributes, one
// entry after the other, each a round trip on a share, and finds them in
// the system's caches once the readers have looked them up, many at once.
// A lookup reads attributes alone, of entries of the very directory the
// listing reads them of, by the first tree's names; it opens nothing.
// Frees what lookups are done and gives up those whose directory is
// listed. On the core's thread; returns how many it queued.
static int FeedLookups(void)
{
    int nSlot = nInnermost, nQueued = 0;
    Search *pSearch = &pSearches[nSlot];
    WCHAR *pwszDir;
    size_t i, nDir;

    EnterCriticalSection(&csAhead);
    for (int k = 0; k < AHEAD_LOOKUPS; k++) {
        Lookup *pLookup = &aLookups[k];
        if (pLookup->nState == FILE_QUEUED && pLookup->nSlot == nSlot &&
            pSearch->pwszSecond != NULL)
            pLookup->nState = FILE_DONE;
        if (pLookup->nState == FILE_DONE) {
            free(pLookup->pwszPath);
            memset(pLookup, 0, sizeof(*pLookup));
        }
    }
    LeaveCriticalSection(&csAhead);
    if (pSearch->nTouchAt >= pSearch->first.nListed ||
        (pwszDir = SecondDirAhead(nSlot)) == NULL)
        return 0;
    nDir = wcslen(pwszDir);
    for (i = pSearch->nTouchAt; i < pSearch->first.nListed; i++) {
        const Listed *pEntry = &pSearch->first.pListed[i];
        const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;
        size_t nName = wcslen(pwszName);
        Lookup *pLookup = aLookups;
        WCHAR *pwszPath;

        if (pEntry->bRefused || wcscmp(pwszName, L".") == 0 ||
            wcscmp(pwszName, L"..") == 0)
            continue;
        while (pLookup < aLookups + AHEAD_LOOKUPS &&
               pLookup->nState != FILE_NONE)
            pLookup++;
        if (pLookup == aLookups + AHEAD_LOOKUPS)
            break;
        pwszPath = (WCHAR *)malloc((nDir + nName + 1) * sizeof(WCHAR));
        if (pwszPath == NULL)
            break;
        memcpy(pwszPath, pwszDir, nDir * sizeof(WCHAR));
        memcpy(pwszPath + nDir, pwszName, (nName + 1) * sizeof(WCHAR));
        EnterCriticalSection(&csAhead);
        pLookup->pwszPath = pwszPath;
        pLookup->nSlot = nSlot;
        pLookup->nState = FILE_QUEUED;
        LeaveCriticalSection(&csAhead);
        nQueued++;
    }
    pSearch->nTouchAt = i;
    free(pwszDir);
    return nQueued;
}

// The pattern of the listing the core's walk makes next, once it has
// compared the files before it: the first subdirectory after the entry
// delivered last, in the innermost search or the nearest one up the walk
// that has one. Allocated with malloc; NULL where there is none, where it
// was listed ahead already, and where the core's search would refuse it.
static WCHAR *NextListing(void)
{
    for (int nSlot = nInnermost; nSlot >= 0; nSlot = pSearches[nSlot].nParent) {
        Search *pSearch = &pSearches[nSlot];
        for (size_t i = pSearch->nLast + 1; i < pSearch->first.nListed; i++) {
            const Listed *pEntry = &pSearch->first.pListed[i];
            const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;
            char szName[FF_NAME_BYTES];
            WCHAR wszTail[MAX_PATH + 2];

            if (!pEntry->bDir || wcscmp(pwszName, L".") == 0 ||
                wcscmp(pwszName, L"..") == 0)
                continue;
            if (pSearch->nListAheadAt == i + 1 || pEntry->bRefused ||
                wcslen(pwszName) >= MAX_PATH ||
                !WideToCodePage(pwszName, szName, sizeof(szName)))
                return NULL;
            pSearch->nListAheadAt = i + 1;
            wcscpy(wszTail, pwszName);
            wcscat(wszTail, L"\\*");
            return ExactPath(pSearch->pszDir, wszTail);
        }
    }
    return NULL;
}

// Hands a reader the listing the core makes next, once the core's listings
// of the innermost search's directories are done: a listing holds a lock
// that the core's would wait for. Frees the one made before. On the core's
// thread; returns how many it queued.
static int FeedListing(void)
{
    const Search *pSearch = &pSearches[nInnermost];
    WCHAR *pwszNext;

    EnterCriticalSection(&csAhead);
    if (nListingState == FILE_DONE) {
        free(pwszListing);
        pwszListing = NULL;
        nListingState = FILE_NONE;
    }
    LeaveCriticalSection(&csAhead);
    // The core lists no directory while it compares the files of the
    // innermost one, once it has listed its second tree's namesake: not
    // after it has been handed a subdirectory, which it lists next.
    if (nListingState != FILE_NONE || pSearch->pwszSecond == NULL ||
        pSearch->first.pListed[pSearch->nLast].bDir ||
        (pwszNext = NextListing()) == NULL)
        return 0;
    EnterCriticalSection(&csAhead);
    pwszListing = pwszNext;
    nListingState = FILE_QUEUED;
    LeaveCriticalSection(&csAhead);
    return 1;
}

// Hands the readers the next files of the innermost search, and the second
// files of those queued before the second directory was listed. On the
// core's thread, after each of its steps.
void AheadFeed(void)
{
    Search *pSearch;
    int nSlot = nInnermost, nFree, nQueued = 0;
    size_t i;

    if (!bStarted || bStopped || bForcedOff || nSlot < 0)
        return;
    nQueued = FeedLookups() + FeedListing();
    nFree = Reclaim();
    pSearch = &pSearches[nSlot];
    for (int k = 0; pSearch->pwszSecond != NULL && k < AHEAD_PAIRS; k++) {
        Item *pItem = &aItems[k];
        WCHAR *pwszSecond;
        if (!pItem->bUsed || pItem->bRetired || pItem->nSlot != nSlot ||
            pItem->aFile[1].pwszPath != NULL)
            continue;
        pwszSecond = ListedSecond(nSlot, pItem->nEntry);
        EnterCriticalSection(&csAhead);
        if (pwszSecond != NULL && !pItem->bRetired &&
            pItem->aFile[0].nState != FILE_DONE) {
            pItem->aFile[1].pwszPath = pwszSecond;
            pItem->aFile[1].nState = FILE_QUEUED;
            pwszSecond = NULL;
            nQueued++;
        }
        LeaveCriticalSection(&csAhead);
        free(pwszSecond);
    }
    // The entries after the one delivered last, up to the next directory,
    // which the core walks before them.
    i = pSearch->nAheadAt > pSearch->nLast ? pSearch->nAheadAt : pSearch->nLast;
    for (; i < pSearch->first.nListed && nFree > 0; i++) {
        const Listed *pEntry = &pSearch->first.pListed[i];
        const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;
        WCHAR *pwszFirst;
        Item *pItem = aItems;

        if (pEntry->bDir) {
            if (i > pSearch->nLast && wcscmp(pwszName, L".") != 0 &&
                wcscmp(pwszName, L"..") != 0)
                break;
            continue;
        }
        pwszFirst = ListedFirst(nSlot, i);
        if (pwszFirst == NULL)
            continue;
        while (pItem->bUsed)
            pItem++;
        pItem->nSlot = nSlot;
        pItem->nEntry = i;
        pItem->aFile[0].pwszPath = pwszFirst;
        pItem->aFile[1].pwszPath = ListedSecond(nSlot, i);
        pItem->aFile[0].hFile = pItem->aFile[1].hFile = INVALID_HANDLE_VALUE;
        EnterCriticalSection(&csAhead);
        pItem->ulSeq = ulNextSeq++;
        pItem->aFile[0].nState = FILE_QUEUED;
        pItem->aFile[1].nState =
            pItem->aFile[1].pwszPath != NULL ? FILE_QUEUED : FILE_NONE;
        pItem->bUsed = true;
        LeaveCriticalSection(&csAhead);
        nFree--;
        nQueued++;
    }
    pSearch->nAheadAt = i;
    AheadWake(nQueued);
}

}  // namespace ahead
