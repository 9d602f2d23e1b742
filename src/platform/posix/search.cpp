// Directory searches: findfirst and findnext.
//
// A search reads its directory's entries whole when it starts, so that no
// descriptor stays open per level of a deep walk, and keeps the directory's
// identity for the cycle guard. Whether an entry is a directory is what the
// listing says; only links, which are followed (a link to a directory is
// one), and entries whose type the listing does not give are looked up, while
// the directory is open and relative to it, which costs the lookup of their
// name alone. The records' sizes and times are left 0: the walk reads
// neither, and each would cost a look-up per entry.
#include "internal.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "faults.h"

// pcEntries holds, entry after entry, 'd' for a directory or 'f' for
// anything else, then the entry's NUL-terminated name.

struct Search {
    bool bInUse;
    dev_t dev;
    ino_t ino;
    char *pszDir;      // the directory, "" for the root
    size_t nDirLen;
    char *pcEntries;   // kind, name, NUL, kind, name, NUL, ...
    size_t nEntriesLen;
    size_t nNext;      // offset of the next entry to deliver
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
    pGrown = (Search *)WorkAlloc(pSearches, nNew * sizeof(Search));
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
    free(pSearch->pcEntries);
    pSearch->bInUse = false;
}

// Fills the record with the search's next entry that the mask lets through.
// Returns 0, or 1 with the search ended when no entry is left.
static int DeliverNext(Search *pSearch, struct ffblk *pFfBlk)
{
    while (pSearch->nNext < pSearch->nEntriesLen) {
        bool bDir = pSearch->pcEntries[pSearch->nNext] == 'd';
        const char *pszName = pSearch->pcEntries + pSearch->nNext + 1;
        size_t nNameLen = strlen(pszName);
        uint32_t ulAttrib = bDir ? FA_DIREC : FA_ARCH;

        pSearch->nNext += 1 + nNameLen + 1;
        if (pszName[0] == '.' && strcmp(pszName, ".") != 0 &&
            strcmp(pszName, "..") != 0)
            ulAttrib |= FA_HIDDEN;
        if (ulAttrib & (FA_HIDDEN | FA_SYSTEM | FA_DIREC) & ~pSearch->nAttrib)
            continue;

        pFfBlk->ff_fsize = 0;
        pFfBlk->ff_ftime = 0;
        pFfBlk->ff_fdate = 0;
        // A name longer than the record holds (none on Linux, where no file
        // system gives more than 1,024 bytes) is never cut to a shorter name,
        // which may be another file: it is delivered as a file named by its
        // beginning and a trailing separator, which no open takes for a
        // regular file, so that the walk names it as unreadable.
        if (nNameLen >= sizeof(pFfBlk->ff_name)) {
            nNameLen = sizeof(pFfBlk->ff_name) - 2;
            memcpy(pFfBlk->ff_name, pszName, nNameLen);
            pFfBlk->ff_name[nNameLen++] = '/';
            ulAttrib = (ulAttrib & ~FA_DIREC) | FA_ARCH;
        } else {
            memcpy(pFfBlk->ff_name, pszName, nNameLen);
        }
        pFfBlk->ff_name[nNameLen] = '\0';
        pFfBlk->ff_attrib = ulAttrib;
        FAULT_ON_DELIVER(pSearch->pszDir, pFfBlk->ff_name);
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
static bool AddEntry(void *pContext, const char *pszName, unsigned char bType)
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

// Opens the directory pszDir for its listing: a descriptor that has not been
// listed yet, through the cache where bCached and it can be had there (the
// directory's files are then opened relative to the same descriptor), and a
// descriptor of its own otherwise, *pfdOwn then telling which to close. -1 on
// failure.
static int OpenForListing(const char *pszDir, size_t nDirLen, bool bCached,
                          int *pfdOwn)
{
    const int nFlags = O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOCTTY;
    bool bNew = false;
    int fd = bCached ? DirCacheGet(pszDir, nDirLen, nFlags, &bNew) : -1;

    *pfdOwn = -1;
    // A descriptor the cache held already may have been listed before, or
    // may not allow listing: the listing then gets one of its own.
    if (fd < 0)
        fd = *pfdOwn = OpenForReading(AT_FDCWD, nDirLen != 0 ? pszDir : "/",
                                      nFlags);
    else if (!bNew)
        fd = *pfdOwn = OpenForReading(fd, ".", nFlags);
    return fd;
}

// Opens the search's directory, checks that it may be searched and is not
// being searched already, and reads its entries into the search. False on
// failure, with errno telling why.
static bool ReadDirectory(Search *pSearch, bool bCached)
{
    int fdOwn = -1, nErr = 0;
    int fd = OpenForListing(pSearch->pszDir, pSearch->nDirLen, bCached, &fdOwn);
    struct stat st, stDot;
    Listing listing;
    size_t i;

    // A directory that may be listed but not searched (read permission
    // without execute) gives names whose entries cannot be reached, not even
    // its "." and "..", which would pass for files: it cannot be searched.
    if (fd < 0 || fstat(fd, &st) != 0 || fstatat(fd, ".", &stDot, 0) != 0)
        goto Fail;
    // A directory that is already being searched higher up is reached again
    // through a link: walking it would never end.
    for (i = 0; i < nSearches; i++)
        if (pSearches[i].bInUse && &pSearches[i] != pSearch &&
            pSearches[i].dev == st.st_dev && pSearches[i].ino == st.st_ino) {
            errno = ELOOP;
            goto Fail;
        }
    pSearch->dev = st.st_dev;
    pSearch->ino = st.st_ino;
    pSearch->nEntriesLen = 0;
    listing.pSearch = pSearch;
    listing.nCap = 0;
    listing.fdDir = fd;
    if (!ListDirectory(fd, AddEntry, &listing))
        goto Fail;
    if (fdOwn >= 0)
        close(fdOwn);
    return true;

Fail:
    nErr = errno;
    if (fdOwn >= 0)
        close(fdOwn);
    errno = nErr;
    return false;
}

int findfirst(const char *pszPattern, struct ffblk *pFfBlk, int nAttrib)
{
    size_t nPatLen = strlen(pszPattern);
    size_t nSufLen = strlen(WILD_SUFFIX);
    size_t nDirLen;
    int nSlot;
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
    if (nDirLen >= PATH_MAX)
        goto Fail;
    pSearch->pszDir = (char *)WorkAlloc(NULL, nDirLen + 1);
    if (pSearch->pszDir == NULL)
        goto Fail;
    memcpy(pSearch->pszDir, pszPattern, nDirLen);
    pSearch->pszDir[nDirLen] = '\0';
    pSearch->nDirLen = nDirLen;

    AheadSearch(pSearch->pszDir, nDirLen);
    // Out of descriptors: the directory cache and the read-ahead agent give
    // theirs back, and the directory is read once more through descriptors
    // of its own.
    if (!ReadDirectory(pSearch, true) &&
        !((errno == EMFILE || errno == ENFILE) && GiveBackDescriptors() &&
          ReadDirectory(pSearch, false)))
        goto Fail;
    pSearch->bInUse = true;
    pFfBlk->ff_reserved = nSlot;
    return DeliverNext(pSearch, pFfBlk);

Fail:
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
