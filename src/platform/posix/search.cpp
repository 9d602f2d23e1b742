// Directory searches: findfirst and findnext.
//
// A search reads its directory's entries whole when it starts, and keeps the
// descriptor it listed them by (a level, levels.cpp) until it ends: the files
// and subdirectories it delivers are opened relative to that descriptor
// (SearchPlace), so that the walk reads the directory that was listed,
// whatever happens to its path meanwhile. The identities of the directories
// being searched are the cycle guard's. Whether an entry is a directory is
// what the listing says; only links, which are followed (a link to a
// directory is one), and entries whose type the listing does not give are
// looked up, relative to the open directory, which costs the lookup of their
// name alone.
//
// The walk's searches nest: the one started last that has not ended is the
// innermost, the directory whose entries the walk is taking up; the one
// innermost when it started is its outer search. A path is placed in a
// search's directory only when it is exactly that directory, a separator and
// the name the search delivered last: the one entry the walk can be joining.
// Where the identities are concerned: a directory's (st_dev, st_ino) cannot
// be taken by another while a descriptor holds it, as every search's does
// (save after a give-back under descriptor pressure, levels.cpp), and Linux's
// file systems give distinct directories distinct pairs; a FUSE server may
// report any number, and a repeated one makes a directory pass for a cycle:
// it is then named as not found, never skipped in silence.
#include "internal.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../slots.h"
#include "faults.h"

// pcEntries holds, entry after entry, 'd' for a directory or 'f' for
// anything else, then the entry's NUL-terminated name.

struct Search {
    bool bInUse;
    Level *pLevel;    // the directory, its path "" for the root
    char *pcEntries;  // kind, name, NUL, kind, name, NUL, ...
    size_t nEntriesLen;
    size_t nNext;     // offset of the next entry to deliver
    size_t nLast;     // offset of the name delivered last, or SIZE_MAX
    size_t nRootLen;  // length of the path of the outermost search's directory
    int nOuter;       // the search innermost when this one started, or -1
};

// Open searches (slots.h), grown through WorkAlloc.
static Search *pSearches = NULL;
static size_t nSearches = 0;
static int nInnermost = -1;  // the search started last that has not ended

static void EndSearch(Search *pSearch)
{
    LevelClose(pSearch->pLevel);
    free(pSearch->pcEntries);
    pSearch->pLevel = NULL;
    pSearch->pcEntries = NULL;
    if (pSearch->bInUse && nInnermost >= 0 && &pSearches[nInnermost] == pSearch)
        nInnermost = pSearch->nOuter;
    pSearch->bInUse = false;
}

// The innermost search if pszPath (nLen bytes) is its directory, a separator
// and the name it delivered last, else NULL.
static Search *PlacedIn(const char *pszPath, size_t nLen)
{
    Search *pSearch;
    size_t nDirLen;

    if (nInnermost < 0 || !pSearches[nInnermost].bInUse)
        return NULL;
    pSearch = &pSearches[nInnermost];
    nDirLen = pSearch->pLevel->nLen;
    if (pSearch->nLast == SIZE_MAX || nLen <= nDirLen ||
        pszPath[nDirLen] != '/' ||
        memcmp(pszPath, pSearch->pLevel->pszPath, nDirLen) != 0 ||
        strlen(pSearch->pcEntries + pSearch->nLast) != nLen - nDirLen - 1 ||
        memcmp(pszPath + nDirLen + 1, pSearch->pcEntries + pSearch->nLast,
               nLen - nDirLen - 1) != 0)
        return NULL;
    return pSearch;
}

bool SearchPlace(const char *pszPath, Level **ppLevel, const char **ppszName,
                 size_t *pnRootLen)
{
    Search *pSearch = PlacedIn(pszPath, strlen(pszPath));

    if (pSearch == NULL)
        return false;
    *ppLevel = pSearch->pLevel;
    *ppszName = pszPath + pSearch->pLevel->nLen + 1;
    *pnRootLen = pSearch->nRootLen;
    return true;
}

// SearchesOpen for pSearch and the searches outside it, outermost first.
static bool VisitSearch(const Search *pSearch, SearchSink pfnSink,
                        void *pContext)
{
    const size_t nRoot = pSearch->nRootLen;
    const Level *pLevel = pSearch->pLevel;

    if (pSearch->nOuter >= 0 &&
        !VisitSearch(&pSearches[pSearch->nOuter], pfnSink, pContext))
        return false;
    return pfnSink(pContext, pLevel->pszPath + nRoot + (pLevel->nLen > nRoot),
                   pLevel->dev, pLevel->ino,
                   pSearch->pcEntries + pSearch->nNext,
                   pSearch->nEntriesLen - pSearch->nNext);
}

bool SearchesOpen(const char *pszPath, SearchSink pfnSink, void *pContext)
{
    return PlacedIn(pszPath, strlen(pszPath)) != NULL &&
           VisitSearch(&pSearches[nInnermost], pfnSink, pContext);
}

// Fills the record with the search's next entry. Returns 0, or 1 with the
// search ended when no entry is left.
static int DeliverNext(Search *pSearch, struct ffblk *pFfBlk)
{
    NamesakeForget();
    if (pSearch->nNext < pSearch->nEntriesLen) {
        bool bDir = pSearch->pcEntries[pSearch->nNext] == 'd';
        const char *pszName = pSearch->pcEntries + pSearch->nNext + 1;
        size_t nNameLen = strlen(pszName);

        pSearch->nLast = pSearch->nNext + 1;
        pSearch->nNext += 1 + nNameLen + 1;
        // A name longer than the record holds (none on Linux, where no file
        // system gives more than 1,024 bytes) is never cut to a shorter name,
        // which may be another file: it is delivered as a file named by its
        // beginning and a trailing separator, which no open takes for a
        // regular file, so that the walk names it as unreadable.
        if (nNameLen >= sizeof(pFfBlk->ff_name)) {
            nNameLen = sizeof(pFfBlk->ff_name) - 2;
            memcpy(pFfBlk->ff_name, pszName, nNameLen);
            pFfBlk->ff_name[nNameLen++] = '/';
            bDir = false;
        } else {
            memcpy(pFfBlk->ff_name, pszName, nNameLen);
        }
        pFfBlk->ff_name[nNameLen] = '\0';
        pFfBlk->ff_attrib = bDir ? FA_DIREC : 0;
        FAULT_ON_DELIVER(pSearch->pLevel->pszPath, pFfBlk->ff_name);
        return 0;
    }
    EndSearch(pSearch);
    pFfBlk->ff_reserved = -1;
    return 1;
}

// What a listing sink needs: the search it fills and the open directory.
struct Listing {
    Search *pSearch;
    size_t nCap;  // bytes allocated at pSearch->pcEntries
    int fdDir;
};

// Appends an entry of the listed directory to the search. False when memory
// runs out.
static bool AddEntry(void *pContext, const char *pszName, unsigned char bType,
                     ino_t)
{
    Listing *pListing = (Listing *)pContext;
    Search *pSearch = pListing->pSearch;
    size_t nLen = strlen(pszName) + 1;
    bool bDir = bType == DT_DIR;
    struct stat st;

    if (pSearch->nEntriesLen + 1 + nLen > pListing->nCap) {
        size_t nCap = (pSearch->nEntriesLen + 1 + nLen) * 2 + 4096;
        char *pcGrown = (char *)WorkAlloc(pSearch->pcEntries, nCap);
        if (pcGrown == NULL)
            return false;
        pSearch->pcEntries = pcGrown;
        pListing->nCap = nCap;
    }
    // A broken link stays an ordinary entry, which then fails to open as a
    // file. An entry gone since the listing keeps its listed type: a
    // directory that then cannot be searched, or a file that cannot be read,
    // is named either way.
    FAULT_BEFORE_ENTRY(pListing->fdDir, pszName);
    if (bType == DT_LNK || bType == DT_UNKNOWN)
        bDir = fstatat(pListing->fdDir, pszName, &st, 0) == 0 &&
               S_ISDIR(st.st_mode);
    pSearch->pcEntries[pSearch->nEntriesLen++] = bDir ? 'd' : 'f';
    memcpy(pSearch->pcEntries + pSearch->nEntriesLen, pszName, nLen);
    pSearch->nEntriesLen += nLen;
    return true;
}

// The read-ahead agent's listing of the directory pszDir (nDirLen bytes,
// below PATH_MAX) of pSearch, whose outer search is pOuter, where its walk
// listed it and the directory is still as listed: its descriptor, with the
// entries in the search; -1 where there is none, -2 when memory ran out.
static int TakeListing(Search *pSearch, Search *pOuter, const char *pszDir,
                       size_t nDirLen)
{
    char szPath[PATH_MAX];
    char *pcEntries;
    size_t nEntriesLen;
    const size_t nAt = pOuter != NULL ? pOuter->pLevel->nLen + 1 : 0;
    const size_t nRel = pSearch->nRootLen + (nDirLen > pSearch->nRootLen);
    const int fdDir = pOuter != NULL ? LevelFd(pOuter->pLevel) : AT_FDCWD;
    int fd;

    if (fdDir == -1)
        return -1;
    memcpy(szPath, pszDir, nDirLen);
    szPath[nDirLen] = '\0';
    fd = AheadListing(fdDir, nDirLen != 0 ? szPath + nAt : "/", szPath + nRel,
                      &pcEntries, &nEntriesLen);
    if (fd == -2)
        errno = ENOMEM;
    if (fd >= 0) {
        free(pSearch->pcEntries);  // a listing of a try before, if any
        pSearch->pcEntries = pcEntries;
        pSearch->nEntriesLen = nEntriesLen;
    }
    return fd;
}

// Opens the directory pszDir (nDirLen bytes) of pSearch, relative to the
// directory the walk joined its path in, if any, lists it, checks that it
// may be searched and is not being searched already, and reads its entries
// into the search. The listing the read-ahead agent's walk made of that
// very directory, unchanged since, is taken instead, with its descriptor:
// each directory is listed once, and the agent walks what the core does.
// False on failure, with errno telling why.
static bool ReadDirectory(Search *pSearch, const char *pszDir, size_t nDirLen)
{
    Search *pOuter = PlacedIn(pszDir, nDirLen);
    Level *pParent = pOuter != NULL ? pOuter->pLevel : NULL;
    struct stat stDot;
    Listing listing;
    size_t i;
    int fdTaken;

    pSearch->nRootLen = pOuter != NULL ? pOuter->nRootLen : nDirLen;
    fdTaken = TakeListing(pSearch, pOuter, pszDir, nDirLen);
    if (fdTaken == -2)
        return false;
    pSearch->pLevel = fdTaken >= 0
                          ? LevelTake(pParent, pszDir, nDirLen, fdTaken)
                          : LevelOpen(pParent, pszDir, nDirLen);
    if (pSearch->pLevel == NULL)
        return false;
    // A directory that may be listed but not searched (read permission
    // without execute) gives names whose entries cannot be reached, not even
    // its "." and "..", which would pass for files: it cannot be searched.
    listing.fdDir = pSearch->pLevel->fd;
    if (fstatat(listing.fdDir, ".", &stDot, 0) != 0)
        return false;
    // A directory that is already being searched higher up is reached again
    // through a link: walking it would never end.
    for (i = 0; i < nSearches; i++)
        if (pSearches[i].bInUse &&
            pSearches[i].pLevel->dev == pSearch->pLevel->dev &&
            pSearches[i].pLevel->ino == pSearch->pLevel->ino) {
            errno = ELOOP;
            return false;
        }
    // What the listing is taken for: an entry may go after the listing.
    for (i = 0; fdTaken >= 0 && i < pSearch->nEntriesLen;
         i += strlen(pSearch->pcEntries + i) + 1)
        FAULT_BEFORE_ENTRY(listing.fdDir, pSearch->pcEntries + i + 1);
    if (fdTaken >= 0)
        return true;
    pSearch->nEntriesLen = 0;
    listing.pSearch = pSearch;
    listing.nCap = 0;
    return ListDirectory(listing.fdDir, AddEntry, &listing, NULL);
}

int findfirst(const char *pszPattern, struct ffblk *pFfBlk, int nAttrib)
{
    size_t nPatLen = strlen(pszPattern);
    size_t nSufLen = strlen(WILD_SUFFIX);
    size_t nDirLen;
    int nSlot, nTry;
    Search *pSearch;

    pFfBlk->ff_reserved = -1;
    if (nAttrib != (FA_HIDDEN | FA_SYSTEM | FA_DIREC) || nPatLen < nSufLen ||
        strcmp(pszPattern + nPatLen - nSufLen, WILD_SUFFIX) != 0)
        return 1;
    pSearch = NewSlot(&pSearches, &nSearches, WorkAlloc, &nSlot);
    if (pSearch == NULL)
        return 1;
    pSearch->nLast = SIZE_MAX;

    // The walk joins names to a root without its trailing separator, so the
    // file system's root arrives as the empty path.
    nDirLen = nPatLen - nSufLen;
    if (nDirLen >= PATH_MAX)
        goto Fail;
    AheadSearch(pszPattern, nDirLen);
    // Out of descriptors: the levels give theirs back, and the directory is
    // read once more.
    for (nTry = 0; !ReadDirectory(pSearch, pszPattern, nDirLen); nTry++) {
        int nErr = errno;
        Search *pOuter = PlacedIn(pszPattern, nDirLen);
        LevelClose(pSearch->pLevel);
        pSearch->pLevel = NULL;
        if (nTry > 0 || !GaveBack(nErr, pOuter != NULL ? pOuter->pLevel : NULL))
            goto Fail;
    }
    pSearch->bInUse = true;
    pSearch->nOuter = nInnermost;
    nInnermost = nSlot;
    pFfBlk->ff_reserved = nSlot;
    return DeliverNext(pSearch, pFfBlk);

Fail:
    EndSearch(pSearch);
    pFfBlk->ff_reserved = -1;
    return 1;
}

int findnext(struct ffblk *pFfBlk)
{
    Search *pSearch = SlotInUse(pSearches, nSearches, pFfBlk->ff_reserved);

    return pSearch != NULL ? DeliverNext(pSearch, pFfBlk) : 1;
}
