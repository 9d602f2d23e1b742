// The walk followed, so that the second file of a pair is the first one's
// namesake.
//
// The core opens the second file of a pair by joining the first file's path
// below the first root to the second root, and Windows resolves every name
// of the joined path: a short (8.3) alias, which belongs to one directory
// only, opens a long name that is another file. So the second file is opened
// only when each name of its path below the second root is listed by its
// directory, once and exactly as Windows compares names: the long name,
// upper-cased as the file system does ("Readme" is "README"). A name that
// is not is refused as a missing file: the core reports the second path.
// The file is then opened by the names its directories list, each spelled
// as listed, so that every lookup of the path is an exact hit: where a
// directory holds names that differ only in case (a Linux share, Wine, a
// case-sensitive NTFS directory), the alias "LONG~LMQ.TXT" of another file
// may stand before its namesake "long~lmq.txt" in the listing, and the
// system would take the first it meets.
//
// A listed name holding U+FFFD is no namesake: it is what Wine and shares
// make of any bytes of a name that are no text ("w\xff" and "w\xfe" both
// arrive as "w" and U+FFFD), so that it may stand for another name.
//
// Relies on the core's walk: findfirst for the first root, then, while a
// search runs, only for the directory it delivered last; a search runs until
// findnext ends it, and its children's searches end before it goes on; the
// first file of a pair is opened as the innermost search's directory, a
// separator and the name delivered last, then the second as the second root
// followed by the same relative path. Each second directory is listed once,
// when the first of its files is opened, and its listing is kept until the
// search of its first-tree namesake ends: a second-tree open costs a
// comparison of paths, a binary search and the joining of the path it goes
// by. Any other open goes ahead as asked.
#include "internal.h"

#include <stdlib.h>
#include <wchar.h>

// Whether the first nLen bytes of pszPath are the search's directory, a
// separator and the name it delivered last.
bool IsDelivered(const Search *pSearch, const char *pszPath, size_t nLen)
{
    return nLen == pSearch->nDirLen + 1 + pSearch->nLastLen &&
           memcmp(pszPath, pSearch->pszDir, pSearch->nDirLen + 1) == 0 &&
           memcmp(pszPath + pSearch->nDirLen + 1, pSearch->szLast,
                  pSearch->nLastLen) == 0;
}

// The key of the name the search delivered last.
static const WCHAR *LastKey(const Search *pSearch)
{
    return pSearch->first.pwcKeys +
           pSearch->first.pListed[pSearch->nLast].nNameAt;
}

// The name of the one entry of pListing with the key pwszKey, if it can
// stand for no other name; else NULL.
static const WCHAR *NamesakeName(const Listing *pListing, const WCHAR *pwszKey)
{
    const WCHAR *pwszName = ListedOnce(pListing, pwszKey);

    return pwszName != NULL && wcschr(pwszName, 0xFFFD) == NULL ? pwszName
                                                                : NULL;
}

// pwszA followed by pwszB and pwszC, allocated with malloc; NULL when memory
// runs out.
static WCHAR *Joined(const WCHAR *pwszA, const WCHAR *pwszB, const WCHAR *pwszC)
{
    size_t nA = wcslen(pwszA), nB = wcslen(pwszB), nC = wcslen(pwszC);
    WCHAR *pwszJoined = (WCHAR *)malloc((nA + nB + nC + 1) * sizeof(WCHAR));

    if (pwszJoined == NULL)
        return NULL;
    memcpy(pwszJoined, pwszA, nA * sizeof(WCHAR));
    memcpy(pwszJoined + nA, pwszB, nB * sizeof(WCHAR));
    memcpy(pwszJoined + nA + nB, pwszC, (nC + 1) * sizeof(WCHAR));
    return pwszJoined;
}

// The listing of the second directory whose path, with a separator, is the
// first nDirLen bytes of pszPath, the namesake of search nSlot's directory,
// with the path as its directories list it in the search's pwszSecond; NULL
// when a name from the second root down to it is not listed exactly in its
// parent, or it cannot be listed.
static const Listing *SecondListing(int nSlot, const char *pszPath,
                                    size_t nDirLen)
{
    Search *pSearch = &pSearches[nSlot];
    WCHAR *pwszDir = NULL;
    WCHAR *pwszPattern = NULL;

    if (pSearch->pszSecond != NULL && strlen(pSearch->pszSecond) == nDirLen &&
        memcmp(pSearch->pszSecond, pszPath, nDirLen) == 0)
        return pSearch->pwszSecond != NULL ? &pSearch->second : NULL;
    FreeListing(&pSearch->second);
    free(pSearch->pszSecond);
    free(pSearch->pwszSecond);
    pSearch->pwszSecond = NULL;
    pSearch->pszSecond = (char *)malloc(nDirLen + 1);
    if (pSearch->pszSecond == NULL)
        return NULL;
    memcpy(pSearch->pszSecond, pszPath, nDirLen);
    pSearch->pszSecond[nDirLen] = '\0';
    if (pSearch->nParent >= 0) {
        // The parent's namesake, and this directory's name in it.
        const Search *pUp = &pSearches[pSearch->nParent];
        const Listing *pUpListing;
        const WCHAR *pwszName;

        if (nDirLen < pUp->nLastLen + 2)
            return NULL;
        pUpListing = SecondListing(pSearch->nParent, pszPath,
                                   nDirLen - pUp->nLastLen - 1);
        pwszName =
            pUpListing != NULL ? NamesakeName(pUpListing, LastKey(pUp)) : NULL;
        if (pwszName == NULL)
            return NULL;
        pwszDir = Joined(pUp->pwszSecond, pwszName, L"\\");
    } else {
        // The second root, as given.
        pwszDir = ExactPath(pSearch->pszSecond, L"");
    }
    if (pwszDir != NULL)
        pwszPattern = Joined(pwszDir, L"*", L"");
    if (pwszPattern != NULL && ReadListing(pwszPattern, &pSearch->second)) {
        pSearch->pwszSecond = pwszDir;
        pwszDir = NULL;
    }
    free(pwszDir);
    free(pwszPattern);
    return pSearch->pwszSecond != NULL ? &pSearch->second : NULL;
}

// NO_ERROR when the open of pszPath may go ahead, else the error to fail it
// with: the first tree's entry is refused, or the second tree's namesake is
// not exactly listed. A second tree's file goes ahead by the path its
// directories list, in *ppwszOpen.
DWORD CheckNamesake(const char *pszPath, WCHAR **ppwszOpen)
{
    const Search *pSearch;
    size_t nLen, nRelLen, nSuffix;
    const Listing *pListing;
    const WCHAR *pwszName;

    *ppwszOpen = NULL;
    if (nInnermost < 0)
        return NO_ERROR;
    pSearch = &pSearches[nInnermost];
    nLen = strlen(pszPath);
    if (IsDelivered(pSearch, pszPath, nLen))
        return pSearch->first.pListed[pSearch->nLast].bRefused
                   ? ERROR_INVALID_NAME
                   : NO_ERROR;
    // The second root, then the directory's path below the first root
    // (empty or starting with a separator), a separator and the name.
    nRelLen = pSearch->nDirLen - pSearch->nRelAt;
    nSuffix = nRelLen + 1 + pSearch->nLastLen;
    if (nLen <= nSuffix ||
        memcmp(pszPath + nLen - nSuffix, pSearch->pszDir + pSearch->nRelAt,
               nRelLen + 1) != 0 ||
        memcmp(pszPath + nLen - pSearch->nLastLen, pSearch->szLast,
               pSearch->nLastLen) != 0)
        return NO_ERROR;
    pListing = SecondListing(nInnermost, pszPath, nLen - pSearch->nLastLen);
    pwszName =
        pListing != NULL ? NamesakeName(pListing, LastKey(pSearch)) : NULL;
    if (pwszName == NULL)
        return ERROR_FILE_NOT_FOUND;
    *ppwszOpen = Joined(pSearch->pwszSecond, pwszName, L"");
    return *ppwszOpen != NULL ? NO_ERROR : ERROR_NOT_ENOUGH_MEMORY;
}

// The path the core's open of entry nEntry of search nSlot goes by, if the
// core opens it as a file: a listed entry that is no directory, not
// refused, whose name has an exact form in the process code page (else the
// core's path names nothing). Allocated with malloc; NULL for any other.
WCHAR *ListedFirst(int nSlot, size_t nEntry)
{
    const Search *pSearch = &pSearches[nSlot];
    const Listed *pEntry = &pSearch->first.pListed[nEntry];
    const WCHAR *pwszName = pSearch->first.pwcNames + pEntry->nNameAt;
    char szName[FF_NAME_BYTES];

    if (pEntry->bDir || pEntry->bRefused ||
        !WideToCodePage(pwszName, szName, sizeof(szName)))
        return NULL;
    return ExactPath(pSearch->pszDir, pwszName);
}

// The path the core's open of the second file of entry nEntry of search
// nSlot goes by, as CheckNamesake gives it, once the second directory is
// listed (the core has opened a second file there); allocated with malloc.
// NULL while it is not, and where the entry has no namesake.
WCHAR *ListedSecond(int nSlot, size_t nEntry)
{
    const Search *pSearch = &pSearches[nSlot];
    const WCHAR *pwszName;

    if (pSearch->pwszSecond == NULL)
        return NULL;
    pwszName = NamesakeName(&pSearch->second,
                            pSearch->first.pwcKeys +
                                pSearch->first.pListed[nEntry].nNameAt);
    return pwszName != NULL ? Joined(pSearch->pwszSecond, pwszName, L"") : NULL;
}

// The second directory that the namesake check of search nSlot will list,
// its path as CheckNamesake spells it, with a separator, where that is known
// before the listing: the parent's namesake is listed. Allocated with
// malloc; NULL where the directory is listed already or not yet known.
WCHAR *SecondDirAhead(int nSlot)
{
    const Search *pSearch = &pSearches[nSlot];
    const Search *pUp;
    const WCHAR *pwszName;

    if (pSearch->pwszSecond != NULL || pSearch->nParent < 0)
        return NULL;
    pUp = &pSearches[pSearch->nParent];
    if (pUp->pwszSecond == NULL)
        return NULL;
    pwszName = NamesakeName(&pUp->second, LastKey(pUp));
    return pwszName != NULL ? Joined(pUp->pwszSecond, pwszName, L"\\") : NULL;
}
