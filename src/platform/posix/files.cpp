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
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "faults.h"

int OpenForReading(int fdDir, const char *pszPath, int nFlags)
{
#if ORVEL_LINUX && defined(O_NOATIME)
    int fd = openat(fdDir, pszPath, nFlags | O_NOATIME);
    if (fd >= 0 || errno != EPERM)
        return fd;
#endif
    return openat(fdDir, pszPath, nFlags);
}

// The files CreateFileA opened: the core holds at most two at once (the
// first file of a pair stays open beside the second only when it is held a
// window at a time), and the layer keeps for each of the last two:
//
// - Its status, taken right after the open: the size query answers from it
//   instead of asking the system a second time.
// - Bytes read past those asked for. A read asks, in the same call, for the
//   bytes that follow into a buffer of the layer's, as many as the file has
//   delivered so far and READ_PAST_BYTES at most, and the next reads take
//   them from there: the second file of a pair, which the core asks for in
//   blocks of 32 KiB, costs one system call per READ_PAST_BYTES, not one
//   per block. Never more than one byte past the size the open saw is asked
//   for, and only one byte where there is no buffer (the last read of a
//   small file, or no memory for one).
// - Its end, found one read early: the read that reaches the size the open
//   saw asks for at least one byte more. A read of a regular file delivers
//   less than asked only at the end of the file (or on an error past it), so
//   when the bytes past the request do not all come, the end is known and
//   the next read, which the core makes only to learn whether the file has
//   grown since it was sized, answers at once; when a byte past the size
//   comes, the file has grown, and the byte is delivered by the next read.
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
#define READ_PAST_BYTES ((size_t)256 << 10)

struct Opened {
    int fd;                // -1: none
    struct stat st;        // its status right after the open
    uint64_t qwDelivered;  // bytes its reads have delivered
    unsigned nReads;       // reads that delivered some of them
    bool bAtEnd;           // a read has met the end of the file
    size_t nPastAt;        // bytes read past the requests: those from
    size_t nPastLen;       // nPastAt up to nPastLen of pbPast are the next
    BYTE *pbPast;          // READ_PAST_BYTES, once a read needed them
    BYTE bPastByte;        // the one byte read past where there is no buffer
    int nWatch;            // its watch for writes while it is read, if any
};

static Opened aOpened[2] = {{-1, {}, 0, 0, false, 0, 0, NULL, 0, -1},
                            {-1, {}, 0, 0, false, 0, 0, NULL, 0, -1}};
static Opened *pLast = &aOpened[0];  // the file CreateFileA opened last

static Opened *OpenedOf(int fd)
{
    for (Opened &o : aOpened)
        if (o.fd == fd && fd >= 0)
            return &o;
    return NULL;
}

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
    if (pLast->fd < 0 || pLast->qwDelivered != 0 || pLast->bAtEnd ||
        pLast->nPastLen != 0 || (uint64_t)pLast->st.st_size < (uint64_t)nBytes)
        return -1;
    *pst = pLast->st;
    return pLast->fd;
}

int OpenAfterLook(int fdDir, const char *pszName, struct stat *pst, bool bAhead)
{
    int fd;

    if (fstatat(fdDir, pszName, pst, 0) != 0 || !S_ISREG(pst->st_mode))
        return -1;
    // The read-ahead agent may have opened the very file the look found,
    // for the core: its descriptor is taken, and the file opened once.
    fd = bAhead ? -1 : AheadTake(pst);
    if (fd < 0)
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
        if (fd >= 0 || !GaveBack(errno, pDir))
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
    // The file opened the time before keeps its state; the one before that,
    // if the caller still holds it, is read plainly from now on, from where
    // its reads have delivered, and no longer watched.
    pLast = pLast == &aOpened[0] ? &aOpened[1] : &aOpened[0];
    if (pLast->fd >= 0 && pLast->nPastLen > pLast->nPastAt)
        lseek(pLast->fd, -(off_t)(pLast->nPastLen - pLast->nPastAt), SEEK_CUR);
    WatchEnd(pLast->nWatch);
    pLast->nWatch = -1;
    pLast->fd = fd;
    pLast->st = st;
    pLast->qwDelivered = 0;
    pLast->nReads = 0;
    pLast->bAtEnd = false;
    pLast->nPastAt = pLast->nPastLen = 0;
    return HandleOf(fd);
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    Opened *pOpen = OpenedOf(FdOf(hFile));
    struct stat st;
    uint64_t qwSize;

    if (pOpen != NULL)
        st = pOpen->st;
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

// Where the bytes read past the requests are: the buffer, once there is one.
static BYTE *PastRoom(Opened *pOpen)
{
    return pOpen->pbPast != NULL ? pOpen->pbPast : &pOpen->bPastByte;
}

// Bytes to ask for past nWant more from the file's position qwAt: up to the
// size the open saw and one byte more, no more than its room holds; the
// buffer is made when more than one byte is wanted.
static size_t PastWanted(Opened *pOpen, uint64_t qwAt, size_t nWant,
                         BYTE **ppbPast)
{
    uint64_t qwSize = (uint64_t)pOpen->st.st_size;
    uint64_t qwEnd = qwAt + nWant;
    size_t nLimit, nPast;

    *ppbPast = NULL;
    if (qwEnd > qwSize)
        return 0;
    // No more than the file has delivered through this request, and a byte:
    // a pair that differs in its first block reads little past it.
    nLimit = qwEnd < READ_PAST_BYTES ? (size_t)qwEnd + 1 : READ_PAST_BYTES;
    nPast = qwSize - qwEnd < nLimit ? (size_t)(qwSize - qwEnd) + 1 : nLimit;
    if (nPast > 1 && pOpen->pbPast == NULL)
        pOpen->pbPast = (BYTE *)malloc(READ_PAST_BYTES);
    if (pOpen->pbPast == NULL)
        nPast = 1;
    *ppbPast = PastRoom(pOpen);
    return nPast;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    // One read() may deliver less than asked (Linux stops near 2 GiB), so
    // read on until the count, the end of the file or an error.
    const size_t nMaxChunk = 1u << 30;
    const int fd = FdOf(hFile);
    Opened *const pOpen = OpenedOf(fd);
    BYTE *pbNext = (BYTE *)lpBuffer;
    DWORD dwDone = 0;
    size_t nMapped;

    // A mapped image that lost pages to its file being cut short is no
    // longer the file: no read may go on comparing against it.
    if (MappedBroken()) {
        *lpNumberOfBytesRead = 0;
        return FALSE;
    }
    // The file's next bytes into a mapped image's room, the whole file or a
    // window of it: the file is mapped there, and its position left where
    // the read would have left it.
    if (pOpen != NULL && !pOpen->bAtEnd && pOpen->nPastLen == 0) {
        const uint64_t qwAt = pOpen->qwDelivered;
        int nHow =
            MappedRead(lpBuffer, nNumberOfBytesToRead, fd, qwAt, &nMapped);
        if (nHow > 0 && lseek(fd, (off_t)(qwAt + nMapped), SEEK_SET) !=
                            (off_t)(qwAt + nMapped))
            nHow = -1;
        if (nHow < 0) {
            *lpNumberOfBytesRead = 0;
            return FALSE;
        }
        if (nHow > 0) {
            pOpen->qwDelivered += nMapped;
            if (nMapped > 0)
                pOpen->nReads++;
            *lpNumberOfBytesRead = (DWORD)nMapped;
            FAULT_AFTER_READ(fd);
            return TRUE;
        }
    }

    // A file that takes more than one read is watched while it is read.
    if (pOpen != NULL && pOpen->qwDelivered == 0 && pOpen->nReads == 0 &&
        pOpen->nWatch < 0 &&
        (nNumberOfBytesToRead < (uint64_t)pOpen->st.st_size ||
         (uint64_t)pOpen->st.st_size > nMaxChunk))
        pOpen->nWatch = WatchStart(fd, &pOpen->st);
    // First what earlier reads read past their requests.
    if (pOpen != NULL && pOpen->nPastLen > pOpen->nPastAt) {
        size_t nHave = pOpen->nPastLen - pOpen->nPastAt;
        dwDone =
            nHave < nNumberOfBytesToRead ? (DWORD)nHave : nNumberOfBytesToRead;
        memcpy(pbNext, PastRoom(pOpen) + pOpen->nPastAt, dwDone);
        pOpen->nPastAt += dwDone;
        if (pOpen->nPastAt == pOpen->nPastLen)
            pOpen->nPastAt = pOpen->nPastLen = 0;
        if (dwDone > 0)
            pOpen->nReads++;
    }
    while (!(pOpen != NULL && pOpen->bAtEnd) &&
           !(dwDone == nNumberOfBytesToRead && dwDone > 0)) {
        size_t nLeft = nNumberOfBytesToRead - dwDone;
        size_t nWant = nLeft < nMaxChunk ? nLeft : nMaxChunk;
        const uint64_t qwAt = pOpen != NULL ? pOpen->qwDelivered + dwDone : 0;
        // The bytes past the request are asked for with its last ones.
        BYTE *pbPast = NULL;
        size_t nPast = pOpen != NULL && nWant == nLeft
                           ? PastWanted(pOpen, qwAt, nWant, &pbPast)
                           : 0;
        struct iovec aIov[2] = {{pbNext + dwDone, nWant}, {pbPast, nPast}};
        ssize_t nGot;

        if (nLeft == 0 && nPast == 0)
            break;
        nGot = AheadRead(fd, aIov, nPast != 0 ? 2 : 1, pOpen == pLast, qwAt);
        if (nGot < 0 && errno == EINTR)
            continue;
        if (nGot < 0) {
            *lpNumberOfBytesRead = dwDone;
            return FALSE;
        }
        if (nGot == 0) {
            if (pOpen != NULL)
                pOpen->bAtEnd = true;
            break;
        }
        if (pOpen != NULL)
            pOpen->nReads++;
        if ((size_t)nGot < nWant || (nPast == 0 && (size_t)nGot == nWant)) {
            dwDone += (DWORD)nGot;
            continue;
        }
        // All that was wanted, and of the bytes past it fewer than asked
        // for: the end of the file is there.
        dwDone += (DWORD)nWant;
        pOpen->nPastLen = (size_t)nGot - nWant;
        pOpen->bAtEnd = pOpen->nPastLen < nPast;
        break;
    }
    if (pOpen != NULL)
        pOpen->qwDelivered += dwDone;
    *lpNumberOfBytesRead = dwDone;
    if (pOpen != NULL && pOpen->bAtEnd && dwDone == 0 &&
        nNumberOfBytesToRead > 0 &&
        ((pOpen->nReads > 1 &&
          (!StillAsRead(fd, &pOpen->st) || WatchSaw(pOpen->nWatch))) ||
         !MappedStillAsRead())) {
        *lpNumberOfBytesRead = 0;
        return FALSE;
    }
    FAULT_AFTER_READ(fd);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    Opened *pOpen = OpenedOf(FdOf(hObject));

    if (pOpen != NULL) {
        pOpen->fd = -1;
        WatchEnd(pOpen->nWatch);
        pOpen->nWatch = -1;
    }
    return close(FdOf(hObject)) == 0;
}
