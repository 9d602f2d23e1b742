// What the parts of the Windows platform layer share, and nothing else.
//
//   codepage.cpp  text in the process code page, and the arguments in it
//   entry.cpp     the process entry, wmain, and the console's code page
//   paths.cpp     _fullpath, and the exact ("\\?\") form of every path
//   files.cpp     CreateFileA, GetFileSize
//   listing.cpp   a directory's listing, read whole, and its names' keys
//   search.cpp    findfirst, findnext
//   namesake.cpp  the walk followed: which second file is a first's namesake
//   cycles.cpp    the cycle guard
//   ahead.cpp     the read-ahead agent, which opens and reads the next files
//                 of both trees ahead of the core where it waits for them;
//                 its threads in readers.cpp, their work in queue.cpp, what
//                 the three share in ahead.h
//
// Reading and memory are KERNEL32's own, called as they are. Every
// file-system call goes through the wide functions with the path in its
// "\\?\" form, which Windows hands to the file system as it is. Nothing
// here creates, writes, renames or removes anything on disk.
#ifndef ORVEL_WIN32_INTERNAL_H
#define ORVEL_WIN32_INTERNAL_H

#include "../platform.h"

// The layer closes its own handles with the kernel's CloseHandle.
#undef CloseHandle

// ---- codepage.cpp ----------------------------------------------------------
// The flags for an exact conversion to nCodePage.
DWORD CodePageFlags(UINT nCodePage);
// Converts the NUL-terminated pwszText into pszOut of nOut bytes. True only
// when the conversion is exact and fits with its NUL.
bool WideToCodePage(const WCHAR *pwszText, char *pszOut, size_t nOut);
// The form of pwszText to show where it has no exact one: '?' for each
// character without an exact form; "?" alone when even that does not fit.
void WideToShown(const WCHAR *pwszText, char *pszOut, size_t nOut);
// pszText as a UTF-16 string allocated with malloc; NULL for bytes that are
// no valid text in the code page, or when memory runs out.
WCHAR *CodePageToWide(const char *pszText);
// The wide arguments in the process code page, as a vector that ends in
// NULL, allocated with malloc; NULL when memory runs out. FreeArguments
// releases it; IsInexactArgument tells an argument of it that had no exact
// form, which _fullpath refuses.
char **ArgumentsToCodePage(int argc, WCHAR **ppwszArgv);
void FreeArguments(int argc, char **ppszArgv);
bool IsInexactArgument(const char *pszArg);

// ---- paths.cpp -------------------------------------------------------------
// The "\\?\" form of the absolute path pszPath with pwszTail appended,
// allocated with malloc; NULL, with the last error set, for a path that is
// not absolute or has no exact UTF-16 form, and when memory runs out.
WCHAR *ExactPath(const char *pszPath, const WCHAR *pwszTail);

// ---- listing.cpp -----------------------------------------------------------
// One entry of a listing: what its record needs, where its name starts in
// the listing's pool of names, and whether no open may name it exactly.
struct Listed {
    bool bDir;
    size_t nNameAt;
    bool bRefused;
};

// An entry's name as Windows compares names, and the entry's place.
struct Keyed {
    const WCHAR *pwszKey;
    size_t nEntry;
};

// The whole listing of one directory, read at once.
struct Listing {
    Listed *pListed;
    size_t nListed;
    size_t nListedRoom;
    WCHAR *pwcNames;  // the entries' names, each ending in a NUL
    size_t nNamesUsed;
    size_t nNamesRoom;
    WCHAR *pwcKeys;  // the names upper-cased, at the same offsets
    Keyed *pKeyed;   // every entry, in the order of its key
};

// Reads the whole listing of pwszPattern ("\\?\<dir>\*") into an empty
// listing and sorts it by key; false when it cannot be had whole.
bool ReadListing(const WCHAR *pwszPattern, Listing *pListing);
// Releases what the listing holds and leaves it empty.
void FreeListing(Listing *pListing);
// The name of the one entry of the listing whose key is pwszKey; NULL when
// none or more than one has it.
const WCHAR *ListedOnce(const Listing *pListing, const WCHAR *pwszKey);
// Marks the entries that no path can name exactly.
void MarkRefused(Listing *pListing);

// ---- search.cpp ------------------------------------------------------------
// A running search: the whole listing, the next entry to deliver and the
// last one delivered, its place in the walk, the second tree's namesake
// directory as far as it has been checked, with its path spelled as its
// directories list it, and the directory's identity for the cycle guard.
struct Search {
    bool bInUse;
    Listing first;
    size_t nNext;                // the entry findnext delivers next
    size_t nLast;                // the entry delivered last
    char szLast[FF_NAME_BYTES];  // its name, as delivered
    size_t nLastLen;
    char *pszDir;       // the directory as the core spelled it, and a
    size_t nDirLen;     // separator: the first nDirLen bytes are it
    size_t nRelAt;      // where its path below the first root starts
    int nParent;        // the search whose entry it is, -1 for a root
    char *pszSecond;    // the second directory and a separator, once
    WCHAR *pwszSecond;  // checked; where each name down to it is listed
    Listing second;     // exactly, its "\\?\" form with each name as
                        // listed and a separator, and its listing
    DWORD dwVolume;     // volume serial number and file index:
    DWORD dwIndexHigh;  // together, which directory this is
    DWORD dwIndexLow;
    size_t nAheadAt;      // the read-ahead agent's: entries before it are its
    size_t nTouchAt;      // and those whose namesakes it looked up; 1 +
    size_t nListAheadAt;  // the subdirectory it listed ahead
};

// Open searches, indexed by ff_reserved; the innermost is the one the walk
// is in, -1 when none runs.
extern Search *pSearches;
extern size_t nSearches;
extern int nInnermost;

// ---- namesake.cpp ----------------------------------------------------------
// Whether the first nLen bytes of pszPath are the search's directory, a
// separator and the name it delivered last.
bool IsDelivered(const Search *pSearch, const char *pszPath, size_t nLen);
// NO_ERROR when the open of pszPath may go ahead, else the error to fail it
// with. For a second tree's file, *ppwszOpen is then the path to open it by,
// allocated with malloc; NULL for any other.
DWORD CheckNamesake(const char *pszPath, WCHAR **ppwszOpen);

// The paths the core's opens of the pair of entry nEntry of search nSlot go
// by, allocated with malloc: the first tree's file, NULL where the core does
// not open the entry as a file; the second's, NULL until its directory is
// listed and where it has no namesake.
WCHAR *ListedFirst(int nSlot, size_t nEntry);
WCHAR *ListedSecond(int nSlot, size_t nEntry);
// The second directory the namesake check of search nSlot will list, with a
// separator, where it is known before that listing; NULL where it is listed
// already or not known yet. Allocated with malloc.
WCHAR *SecondDirAhead(int nSlot);

// ---- The read-ahead agent's hooks ------------------------------------------
// The layer calls these where a device has registered them (pAheadHooks),
// and nothing of the device itself: the process entry installs the agent.
struct AheadHooks {
    // The search nSlot delivered an entry; bStarted for its first.
    void (*pfnDelivered)(int nSlot, bool bStarted);
    // The search nSlot is over, its listings about to be freed.
    void (*pfnEnded)(int nSlot);
    // Opens pwszPath as CreateFileW does with the rest.
    HANDLE(WINAPI *pfnOpen)
    (const WCHAR *pwszPath, DWORD dwDesiredAccess, DWORD dwShareMode,
     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
    // Takes hObject to close it soon; false where the caller is to close it.
    bool (*pfnClose)(HANDLE hObject);
};
extern const AheadHooks *pAheadHooks;

// ---- ahead.cpp -------------------------------------------------------------
// Registers the agent's hooks; it starts when the comparison waits.
void InstallAhead(void);

// ---- cycles.cpp ------------------------------------------------------------
// Reads the identity of the directory pwszDir ("\\?\<dir>\") into the
// search; false when it is no directory or cannot be opened.
bool IdentifyDir(const WCHAR *pwszDir, Search *pSearch);
// Whether a search still running higher up the walk is pSearch's directory.
bool IsSearchedAbove(const Search *pSearch);

#endif  // ORVEL_WIN32_INTERNAL_H
