// Files: open, size, read and close, for reading only.
//
// Only regular files are opened. Opening a FIFO or a device acts on it (a
// writer waiting on a FIFO is let go, a tape drive may rewind on close), so
// what a path names is looked at right before it is opened, and nothing
// older than that look decides: not the listing of its directory, which may
// be as old as every subtree walked since. The open itself does not block,
// and the open file is looked at again, so that whatever is swapped in
// between the two looks is at worst opened, never read.
//
// (Opening the path as an O_PATH descriptor, which acts on nothing, and then
// opening that very object for reading through /proc/self/fd would close
// even that gap, but costs about a third more time per file on a tree of
// small files.)
#include "internal.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "faults.h"

// The file CreateFileA opened last, and two speed devices for it.
//
// - Its status, taken right after the open: the size query answers from it
//   instead of asking the system a second time.
// - Its end, found one read early: the read that should end at the size the
//   open saw asks for one byte more. A read of a regular file delivers less
//   than asked only at the end of the file (or on an error past it), so when
//   that byte does not come, the end is known and the next read, which the
//   core makes only to learn whether the file has grown since it was sized,
//   answers at once; when it comes, the file has grown, and the byte is kept
//   for the next read.
//
// That last read, which finds the end and delivers nothing, is also where a
// file that changed while it was read is caught (the core makes it only when
// everything compared equal): a file that took more than one read, whose
// reads may each have seen another version of it, and a mapped image, which
// is the file itself for as long as it is compared, must still have the
// size and times they had (StillAsRead), and where times cannot show every
// change, no write to them may have been seen while they were read
// (watch.cpp); else the read fails. A file read in one read is what that
// read saw and is not looked at again, so that a tree of small files costs
// no more system calls than before.
//
// Only CreateFileA makes handles and it sets all of this anew for each, so a
// descriptor number that comes back never finds the state of another file;
// a read of any other handle is a plain read.
static int fdOpen = -1;
static struct stat stOpen;
static uint64_t qwDelivered;  // bytes its reads have delivered
static unsigned nReads;       // read calls that delivered some of them
static bool bAtEnd;           // a read has met the end of the file
static bool bHeld;            // bHeldByte was read past the size seen
static BYTE bHeldByte;
static int nWatch = -1;  // its watch for writes while it is read, if any

#ifdef __APPLE__  // the times of struct stat, by their names there
#define st_ctim st_ctimespec
#define st_mtim st_mtimespec
#endif

// Size, modification and change time. Any write or cut moves the change
// time, which no one but the clock can set; the modification time is
// compared too for file systems that keep no real change time. The inode is
// not: a descriptor's file never changes.
bool StillAsRead(int fd, const struct stat *pstRead)
{
    struct stat st;

    if (FAULT_COARSE_TIMES())  // to the second, no change time of their own
        return fstat(fd, &st) == 0 && st.st_size == pstRead->st_size &&
               st.st_mtim.tv_sec == pstRead->st_mtim.tv_sec;
    return fstat(fd, &st) == 0 && st.st_size == pstRead->st_size &&
           st.st_ctim.tv_sec == pstRead->st_ctim.tv_sec &&
           st.st_ctim.tv_nsec == pstRead->st_ctim.tv_nsec &&
           st.st_mtim.tv_sec == pstRead->st_mtim.tv_sec &&
           st.st_mtim.tv_nsec == pstRead->st_mtim.tv_nsec;
}

int OpenFileSized(size_t nBytes, struct stat *pst)
{
    if (fdOpen < 0 || qwDelivered != 0 || bAtEnd || bHeld ||
        (uint64_t)stOpen.st_size != (uint64_t)nBytes)
        return -1;
    *pst = stOpen;
    return fdOpen;
}

int OpenAfterLook(int fdDir, const char *pszName, struct stat *pst, bool bAhead)
{
    int fd;

    if (fstatat(fdDir, pszName, pst, 0) != 0 || !S_ISREG(pst->st_mode))
        return -1;
    fd = OpenForReading(fdDir, pszName,
                        O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    if (bAhead)
        FAULT_AHEAD_OPENED(fd);
    else
        FAULT_AFTER_OPEN(fd);
    if (fstat(fd, pst) != 0 || !S_ISREG(pst->st_mode)) {
        close(fd);
        return -1;
    }
#if !ORVEL_LINUX
    // Elsewhere O_NONBLOCK may make reads of a regular file fail with EAGAIN
    // (mandatory locks, some network file systems): it goes once the file is
    // known to be regular. Linux ignores it for regular files.
    int nFlags = fcntl(fd, F_GETFL);
    if (nFlags == -1 || fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
#endif
    return fd;
}

// Opens the regular file at pszPath with its status in *pst: a file the
// walk joined in the first tree relative to the directory it was listed in;
// the second file of a pair relative to its directory in the second tree,
// and only if every name the walk joined on its way is exactly in its
// directory (namesake.cpp); any other path as it stands. -1 for anything
// but a regular file.
static int OpenRegularFile(const char *pszPath, struct stat *pst)
{
    const char *pszName = pszPath;
    Level *pDir = NULL;
    size_t nRootLen = 0;
    bool bFirst = false, bSecond = false;
    int nTry, fd = -1;

    // Paths past the system's limit fail alike, whether or not their
    // directory is held open.
    if (strlen(pszPath) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (NamesakePlace(pszPath, &pDir, &pszName)) {
        if (pDir == NULL)
            return -1;
        bSecond = true;
    } else {
        bFirst = SearchPlace(pszPath, &pDir, &pszName, &nRootLen);
    }
    // Out of descriptors: the levels give theirs back, and the file is opened
    // once more.
    for (nTry = 0; nTry < 2; nTry++) {
        int fdDir = pDir != NULL ? LevelFd(pDir) : AT_FDCWD;
        fd = fdDir == -1 ? -1 : OpenAfterLook(fdDir, pszName, pst, false);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE) ||
            !LevelsGiveBack(pDir))
            break;
    }
    if (fd >= 0 && bFirst)
        NamesakeAwait(pszPath + nRootLen);
    if (fd >= 0 && bSecond && !NamesakeOpened(pst)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD, DWORD, HANDLE)
{
    struct stat st;
    int fd;

    AheadOpen(lpFileName);
    fd = OpenRegularFile(lpFileName, &st);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    WatchEnd(nWatch);
    nWatch = -1;
    fdOpen = fd;
    stOpen = st;
    qwDelivered = 0;
    nReads = 0;
    bAtEnd = false;
    bHeld = false;
    return HandleOf(fd);
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    struct stat st;
    uint64_t qwSize;

    if (FdOf(hFile) == fdOpen)
        st = stOpen;
    else if (fstat(FdOf(hFile), &st) != 0)
        return INVALID_FILE_SIZE;
    if (st.st_size < 0)
        return INVALID_FILE_SIZE;
    FAULT_AFTER_SIZE(FdOf(hFile), (uint64_t)st.st_size);
    qwSize = (uint64_t)st.st_size;
    if (lpFileSizeHigh != NULL) {
        *lpFileSizeHigh = (DWORD)(qwSize >> 32);
        return (DWORD)qwSize;
    }
    // Asked for the low part alone, a size that does not fit 32 bits would
    // be taken for a smaller one: answer failure instead.
    if (qwSize >= INVALID_FILE_SIZE)
        return INVALID_FILE_SIZE;
    return (DWORD)qwSize;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    // One read() may deliver less than asked (Linux stops near 2 GiB), so
    // read on until the count, the end of the file or an error.
    const size_t nMaxChunk = 1u << 30;
    const int fd = FdOf(hFile);
    const bool bOpen = fd == fdOpen;
    BYTE *pbNext = (BYTE *)lpBuffer;
    DWORD dwDone = 0;
    uint64_t qwSize = (uint64_t)stOpen.st_size;
    bool bAskMore = bOpen && !bAtEnd && !bHeld &&
                    qwDelivered + nNumberOfBytesToRead == qwSize;
    size_t nMapped;

    // A mapped image that lost pages to its file being cut short is no
    // longer the file: no read may go on comparing against it.
    if (MappedBroken()) {
        *lpNumberOfBytesRead = 0;
        return FALSE;
    }
    // The whole file from its start into a mapped image's room: the file is
    // mapped there, and its position left where the read would have left it.
    if (bOpen && qwDelivered == 0) {
        int nHow = MappedRead(lpBuffer, nNumberOfBytesToRead, fd, &nMapped);
        if (nHow > 0 && lseek(fd, (off_t)nMapped, SEEK_SET) != (off_t)nMapped)
            nHow = -1;
        if (nHow < 0) {
            *lpNumberOfBytesRead = 0;
            return FALSE;
        }
        if (nHow > 0) {
            qwDelivered = nMapped;
            *lpNumberOfBytesRead = (DWORD)nMapped;
            FAULT_AFTER_READ(fd);
            return TRUE;
        }
    }

    // A file that takes more than one read is watched while it is read.
    if (bOpen && qwDelivered == 0 && nReads == 0 && nWatch < 0 &&
        (nNumberOfBytesToRead < qwSize || qwSize > nMaxChunk))
        nWatch = WatchStart(fd, &stOpen);
    if (bOpen && bHeld && nNumberOfBytesToRead > 0) {
        pbNext[dwDone++] = bHeldByte;
        bHeld = false;
    }
    while (!(bOpen && bAtEnd)) {
        size_t nLeft = nNumberOfBytesToRead - dwDone;
        size_t nWant = nLeft < nMaxChunk ? nLeft : nMaxChunk;
        // The extra byte is asked for with the last bytes wanted.
        bool bWithMore = bAskMore && nWant == nLeft;
        struct iovec aIov[2] = {{pbNext + dwDone, nWant}, {&bHeldByte, 1}};
        ssize_t nGot;

        if (nLeft == 0 && !bWithMore)
            break;
        nGot =
            AheadRead(fd, aIov, bWithMore ? 2 : 1, bOpen, qwDelivered + dwDone);
        if (nGot < 0 && errno == EINTR)
            continue;
        if (nGot < 0) {
            *lpNumberOfBytesRead = dwDone;
            return FALSE;
        }
        if (nGot == 0) {
            if (bOpen)
                bAtEnd = true;
            break;
        }
        if (bOpen)
            nReads++;
        if ((size_t)nGot > nWant) {  // the extra byte came: the file grew
            dwDone += (DWORD)nWant;
            bHeld = true;
            break;
        }
        dwDone += (DWORD)nGot;
        if (bWithMore && (size_t)nGot == nWant) {
            bAtEnd = true;  // all but the extra byte: the end of the file
            break;
        }
    }
    if (bOpen)
        qwDelivered += dwDone;
    *lpNumberOfBytesRead = dwDone;
    if (bOpen && bAtEnd && dwDone == 0 && nNumberOfBytesToRead > 0 &&
        ((nReads > 1 && (!StillAsRead(fd, &stOpen) || WatchSaw(nWatch))) ||
         !MappedStillAsRead())) {
        *lpNumberOfBytesRead = 0;
        return FALSE;
    }
    FAULT_AFTER_READ(fd);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    if (FdOf(hObject) == fdOpen) {
        fdOpen = -1;
        WatchEnd(nWatch);
        nWatch = -1;
    }
    return close(FdOf(hObject)) == 0;
}
