// The second file of a pair: the one whose name is exactly the first's.
//
// The walk opens the second file by joining the first file's path below the
// first root to the second root, and the file system would resolve that
// path to whatever it takes the names for: a directory that folds case (on
// vfat, exFAT, NTFS, SMB shares, ext4, f2fs and tmpfs directories marked
// case-insensitive, FUSE trees that choose to) takes README for Readme, and
// vfat takes a short alias for the long name it stands for. The second file
// is opened only when every name the walk joined on its way, each directory
// and the file, is exactly (byte for byte) a name its directory lists; any
// other is unreadable, and the pair is reported so.
//
// Protocol with the walk (files.cpp, search.cpp):
// - The core opens a pair's first file, then its second, with no search
//   delivering an entry in between. The first open is of a path the walk
//   joined in the first tree (SearchPlace), which tells the length of the
//   first root: NamesakeAwait takes the rest, the relative path. The next
//   open is the second file if its path ends in that relative path; what
//   stands before it is the second root. Any entry delivered first ends the
//   wait (NamesakeForget).
// - The second root is the path the user gave, resolved as typed: its own
//   names are not the walk's joins and are not checked.
// - The second tree's directories on the way to the file are levels
//   (levels.cpp), from the second root down, each opened relative to the one
//   above it once its name was found there: kept while the walk stays below
//   them, closed when it leaves. Each is checked once: on a file system that
//   looks names up exactly (Linux: ext2/3/4, f2fs and tmpfs directories
//   without the case-folding flag, btrfs), by that fact; on any other (vfat,
//   exFAT, NTFS, network and FUSE file systems, a case-folding directory),
//   by its listing, read whole once and looked up by hash. Both are answered
//   per directory, from the directory's own descriptor: a volume mounted
//   inside the tree answers for itself.
// - A listing may go stale while the walk is in its directory: x.txt renamed
//   to X.TXT, and the open of x.txt finds X.TXT on a file system that folds
//   case. So what a name of a listed directory opened, a file or a
//   directory, must be the entry listed under the name. Where the listing
//   numbers its entries as lookups do (LooksUpExactly), the number the
//   open's own look gives must be the listing's. Elsewhere (FUSE servers
//   that number none list 0xFFFFFFFF; vfat and exFAT number an entry only
//   once it is looked up), the directory is watched from before its listing
//   (watch.cpp), and no entry of it may have been added, removed or renamed
//   since. Else the directory is listed again and must hold the name,
//   numbered as opened or not numbered; so it is where no watch can be had,
//   for every file.
#include "internal.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#if ORVEL_LINUX
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

// The number a listing gives an entry of a FUSE server that numbers none.
#define UNNUMBERED ((ino_t)0xFFFFFFFF)

// A directory of the second tree the walk is in.
struct Checked {
    Level *pLevel;
    bool bExact;     // it looks names up exactly: no listing is needed
    bool bListed;    // pcNames and pnSlots hold its listing
    bool bNumbered;  // its listing numbers entries as lookups do
    int nWatch;      // its entries' watch, from before it was listed
    char *pcNames;   // its entries: inode number as listed, name, NUL
    size_t nNamesLen;
    size_t nCap;  // bytes allocated at pcNames
    size_t nNames;
    uint32_t *pnSlots;  // hash table of the names: offset + 1, 0 for none
    size_t nSlotMask;   // its size less one, a power of two less one
};

// [0] is the second root, [i + 1] a directory in [i].
static Checked *pChecked = NULL;
static size_t nChecked = 0;
static size_t nCheckedCap = 0;

static char szRel[PATH_MAX];  // the awaited second file's path below its root
static size_t nRelLen = 0;
static bool bAwaited = false;
static const char *pszPlaced = NULL;  // its name, once placed
static size_t nPlacedLen = 0;

void NamesakeAwait(const char *pszRel)
{
    nRelLen = strlen(pszRel);
    bAwaited = nRelLen < sizeof(szRel);
    if (bAwaited)
        memcpy(szRel, pszRel, nRelLen + 1);
}

void NamesakeForget(void) { bAwaited = false; }

// Leaves the directories past the first nKeep.
static void LeaveBelow(size_t nKeep)
{
    while (nChecked > nKeep) {
        Checked *pLast = &pChecked[--nChecked];
        LevelClose(pLast->pLevel);
        WatchEnd(pLast->nWatch);
        free(pLast->pcNames);
        free(pLast->pnSlots);
    }
}

// Enters the directory pszPath (nLen bytes) below pParent, or the root when
// pParent is NULL. False on failure.
static bool Enter(Level *pParent, const char *pszPath, size_t nLen)
{
    Checked *pNew;

    if (nChecked == nCheckedCap) {
        size_t nCap = nCheckedCap * 2 + 16;
        Checked *pGrown =
            (Checked *)WorkAlloc(pChecked, nCap * sizeof(Checked));
        if (pGrown == NULL)
            return false;
        pChecked = pGrown;
        nCheckedCap = nCap;
    }
    pNew = &pChecked[nChecked];
    memset(pNew, 0, sizeof(*pNew));
    pNew->nWatch = -1;
    pNew->bNumbered = !ORVEL_LINUX;  // elsewhere, as POSIX file systems do
    pNew->pLevel = LevelOpen(pParent, pszPath, nLen);
    if (pNew->pLevel == NULL)
        return false;
    nChecked++;
    return true;
}

static size_t Hash(const char *pszName, size_t nLen)
{
    uint32_t h = 2166136261u;  // FNV-1a
    size_t i;

    for (i = 0; i < nLen; i++)
        h = (h ^ (unsigned char)pszName[i]) * 16777619u;
    return h;
}

// Each listed entry is held as its inode number and its DT_ type as listed,
// then its name and a NUL.
#define ENTRY_HEAD (sizeof(ino_t) + 1)

// Appends a listed entry to the directory's names. False when memory runs
// out.
static bool AddName(void *pContext, const char *pszName, unsigned char bType,
                    ino_t nIno)
{
    Checked *pDir = (Checked *)pContext;
    size_t nLen = ENTRY_HEAD + strlen(pszName) + 1;
    char *pcAt;

    if (pDir->nNamesLen + nLen > pDir->nCap) {
        size_t nCap = (pDir->nNamesLen + nLen) * 2 + 4096;
        char *pcGrown = (char *)WorkAlloc(pDir->pcNames, nCap);
        if (pcGrown == NULL)
            return false;
        pDir->pcNames = pcGrown;
        pDir->nCap = nCap;
    }
    pcAt = pDir->pcNames + pDir->nNamesLen;
    memcpy(pcAt, &nIno, sizeof(nIno));
    pcAt[sizeof(nIno)] = (char)bType;
    memcpy(pcAt + ENTRY_HEAD, pszName, nLen - ENTRY_HEAD);
    pDir->nNamesLen += nLen;
    pDir->nNames++;
    return true;
}

// The inode number listed with the name at pszListed in a directory's names.
static ino_t ListedIno(const char *pszListed)
{
    ino_t nIno;

    memcpy(&nIno, pszListed - ENTRY_HEAD, sizeof(nIno));
    return nIno;
}

// Whether the entry listed as pszListed may be a symbolic link, which an
// open follows to what has another number.
static bool MayBeLink(const char *pszListed)
{
    unsigned char bType = (unsigned char)pszListed[-1];

    return bType == DT_LNK || bType == DT_UNKNOWN;
}

// Reads the directory's listing, from its start, into its hash table. False
// on failure.
static bool ReadNames(Checked *pDir, int fd)
{
    size_t nSlots = 16, nOff;

    pDir->nNamesLen = 0;
    pDir->nNames = 0;
    if (pDir->nWatch < 0)
        pDir->nWatch = WatchEntries(fd);
    else
        WatchAgain(pDir->nWatch);
    if (lseek(fd, 0, SEEK_SET) != 0 ||
        !ListDirectory(fd, AddName, pDir, NULL) || pDir->nNamesLen > UINT32_MAX)
        return false;
    while (nSlots < pDir->nNames * 2)
        nSlots *= 2;
    free(pDir->pnSlots);
    pDir->pnSlots = (uint32_t *)WorkAlloc(NULL, nSlots * sizeof(uint32_t));
    if (pDir->pnSlots == NULL)
        return false;
    memset(pDir->pnSlots, 0, nSlots * sizeof(uint32_t));
    pDir->nSlotMask = nSlots - 1;
    for (nOff = ENTRY_HEAD; nOff < pDir->nNamesLen;) {
        const char *pszName = pDir->pcNames + nOff;
        size_t nLen = strlen(pszName);
        size_t i = Hash(pszName, nLen) & pDir->nSlotMask;
        while (pDir->pnSlots[i] != 0)
            i = (i + 1) & pDir->nSlotMask;
        pDir->pnSlots[i] = (uint32_t)(nOff + 1);
        nOff += nLen + 1 + ENTRY_HEAD;
    }
    return true;
}

#if ORVEL_LINUX
// Whether the file system looks names up exactly in the directory open as
// fd: one of those that fold no names, or fold them only in directories
// marked so, this one not marked. Any other, or any doubt, is no. Whether
// its listings number entries as its lookups do goes to *pbNumbered: so
// they do on ext2/3/4, f2fs, tmpfs and XFS, and on FUSE where a server
// numbers its entries at all; vfat and exFAT number an entry only once it
// is looked up, overlayfs over layers of two file systems numbers its
// directories anew, and of any other it is not known.
bool LooksUpExactly(int fd, bool *pbNumbered)
{
    struct statfs sfs;
    int nFlags = 0;

    *pbNumbered = false;
    if (fstatfs(fd, &sfs) != 0)
        return false;
    switch ((unsigned long)sfs.f_type) {
    case BTRFS_SUPER_MAGIC:
        return true;
    case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
        *pbNumbered = true;
        return ioctl(fd, FS_IOC_GETFLAGS, &nFlags) == 0 &&
               (nFlags & FS_CASEFOLD_FL) == 0;
    case XFS_SUPER_MAGIC:
    case FUSE_SUPER_MAGIC:
        *pbNumbered = true;
        return false;
    default:
        return false;
    }
}
#endif

// Whether the directory holds exactly the name pszName (nLen bytes), with
// the name as listed in *ppszListed, NULL where the directory is not listed
// (it looks names up exactly). False too when that cannot be known (its
// listing cannot be read).
static bool Holds(Checked *pDir, const char *pszName, size_t nLen,
                  const char **ppszListed)
{
    size_t i;
    int nTry;

    // Out of descriptors (a listing may need one of its own): the levels
    // give theirs back, and the directory is read once more.
    for (nTry = 0; !pDir->bExact && !pDir->bListed; nTry++) {
        int fd = LevelFd(pDir->pLevel);
#if ORVEL_LINUX
        pDir->bExact = fd >= 0 && LooksUpExactly(fd, &pDir->bNumbered);
#endif
        pDir->bListed = !pDir->bExact && fd >= 0 && ReadNames(pDir, fd);
        if (!pDir->bExact && !pDir->bListed &&
            (nTry > 0 || !GaveBack(errno, pDir->pLevel)))
            return false;
    }
    *ppszListed = NULL;
    if (pDir->bExact)
        return true;
    for (i = Hash(pszName, nLen) & pDir->nSlotMask; pDir->pnSlots[i] != 0;
         i = (i + 1) & pDir->nSlotMask) {
        const char *pszListed = pDir->pcNames + pDir->pnSlots[i] - 1;
        if (strncmp(pszListed, pszName, nLen) == 0 && pszListed[nLen] == '\0') {
            *ppszListed = pszListed;
            return true;
        }
    }
    return false;
}

// Whether the listing gives the entry listed as pszListed a number that the
// file system's lookups give it too.
static bool IsNumbered(const Checked *pDir, const char *pszListed)
{
    return pDir->bNumbered && ListedIno(pszListed) != UNNUMBERED;
}

// Whether what the name pszName (nLen bytes) of the directory opened, with
// the identity dev and nIno, is the entry the directory lists under the
// name. A volume mounted there is another file system's, numbered by it; a
// link is compared by its own number, which the name has now.
static bool IsListedEntry(Checked *pDir, const char *pszName, size_t nLen,
                          dev_t dev, ino_t nIno)
{
    const char *pszListed;
    struct stat st;
    int nTry;

    for (nTry = 0; nTry < 2; nTry++, pDir->bListed = false) {
        if (!Holds(pDir, pszName, nLen, &pszListed))
            return false;
        if (pszListed == NULL)
            return true;
        if (MayBeLink(pszListed)) {
            int fd = LevelFd(pDir->pLevel);
            if (fd < 0 || fstatat(fd, pszListed, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            dev = st.st_dev;
            nIno = st.st_ino;
        }
        if (ListedIno(pszListed) == nIno || dev != pDir->pLevel->dev)
            return true;
        // Not numbered: the listing holds if no entry changed since, else
        // the name listed again is all there is to check.
        if (!IsNumbered(pDir, pszListed) &&
            (nTry > 0 || (pDir->nWatch >= 0 && !WatchSaw(pDir->nWatch))))
            return true;
    }
    return false;
}

bool NamesakeAwaits(const char *pszPath, size_t *pnRootLen)
{
    size_t nLen = strlen(pszPath);

    if (!bAwaited || nLen < nRelLen ||
        memcmp(pszPath + nLen - nRelLen, szRel, nRelLen) != 0)
        return false;
    *pnRootLen = nLen - nRelLen;
    return true;
}

bool NamesakePlace(const char *pszPath, Level **ppLevel, const char **ppszName)
{
    size_t nLen = strlen(pszPath), nRootLen, nDirLen, i;
    const char *pszListed;
    Checked *pDir;

    if (!NamesakeAwaits(pszPath, &nRootLen)) {
        bAwaited = false;
        return false;
    }
    bAwaited = false;
    nDirLen = (size_t)(strrchr(pszPath, '/') - pszPath);
    *ppLevel = NULL;
    *ppszName = pszPath + nDirLen + 1;

    // The directories the walk has left, and all of them if the second root
    // is another path now.
    if (nChecked > 0 &&
        (pChecked[0].pLevel->nLen != nRootLen ||
         memcmp(pChecked[0].pLevel->pszPath, pszPath, nRootLen) != 0))
        LeaveBelow(0);
    // Each directory's path holds the one above it: the deepest still on the
    // way is the first from below whose path begins pszPath.
    for (i = nChecked; i > 1; i--) {
        const Level *pLevel = pChecked[i - 1].pLevel;
        if (pLevel->nLen <= nDirLen && pszPath[pLevel->nLen] == '/' &&
            memcmp(pLevel->pszPath, pszPath, pLevel->nLen) == 0)
            break;
    }
    LeaveBelow(i);
    if (nChecked == 0 && !Enter(NULL, pszPath, nRootLen))
        return true;

    // Down to the file's directory, each name found in the one above, and
    // what it opened the entry listed.
    for (pDir = &pChecked[nChecked - 1]; pDir->pLevel->nLen < nDirLen;
         pDir = &pChecked[nChecked - 1]) {
        size_t nAt = pDir->pLevel->nLen + 1;
        const char *pszEnd =
            (const char *)memchr(pszPath + nAt, '/', nDirLen - nAt);
        size_t nNameLen =
            (pszEnd != NULL ? (size_t)(pszEnd - pszPath) : nDirLen) - nAt;
        if (!Holds(pDir, pszPath + nAt, nNameLen, &pszListed) ||
            !Enter(pDir->pLevel, pszPath, nAt + nNameLen))
            return true;
        if (!IsListedEntry(&pChecked[nChecked - 2], pszPath + nAt, nNameLen,
                           pChecked[nChecked - 1].pLevel->dev,
                           pChecked[nChecked - 1].pLevel->ino)) {
            LeaveBelow(nChecked - 1);
            return true;
        }
    }
    pszPlaced = *ppszName;
    nPlacedLen = nLen - nDirLen - 1;
    if (Holds(pDir, pszPlaced, nPlacedLen, &pszListed))
        *ppLevel = pDir->pLevel;
    return true;
}

bool NamesakeOpened(const struct stat *pst)
{
    return IsListedEntry(&pChecked[nChecked - 1], pszPlaced, nPlacedLen,
                         pst->st_dev, pst->st_ino);
}
