// The one door from the comparison core to its operating system and run-time
// library. The core calls every file, memory, path and directory operation
// under the Win32 and C run-time names declared here; each system supplies
// the bodies in a folder of its own beside this header (posix/, win32/).
#ifndef ORVEL_PLATFORM_H
#define ORVEL_PLATFORM_H

// ---- C run-time: formatted output and strings -----------------------------
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#ifdef _WIN32

// ---- Win32: the kernel's own types, constants and operations ---------------
// ReadFile, CloseHandle, GlobalAlloc/GlobalFree and LocalAlloc/LocalFree are
// KERNEL32's, called as they are.
#include <windows.h>
#include <stdlib.h>

// ---- Process entry ----------------------------------------------------------
// The process starts in win32/entry.cpp, which takes the command line in
// UTF-16, calls the core's main, under this name, with the arguments converted
// exactly to the process code page, and shows the run's output on a console
// in that code page.
#define main OrvelMain
int OrvelMain(int argc, char **argv);

// ---- Files ------------------------------------------------------------------
// Opens the file by its exact name: Win32 would strip a trailing dot or
// space from every name and take "nul.txt" or "com1.log" in any directory
// for a device. A handle to anything but a disk file is closed again and
// INVALID_HANDLE_VALUE answered, as on POSIX systems.
#define CreateFileA OrvelCreateFileA
HANDLE OrvelCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                        DWORD dwShareMode,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                        HANDLE hTemplateFile);
// The kernel's GetFileSize answers the low 32 bits of a size of 4 GiB or
// more, which would pass for a smaller file: asked for no high part, this
// one answers INVALID_FILE_SIZE for any size that does not fit 32 bits, with
// ERROR_ARITHMETIC_OVERFLOW as the last error; asked for the high part, the
// whole size, as the kernel's does.
#define GetFileSize OrvelGetFileSize
DWORD OrvelGetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
// The kernel's CloseHandle, or, while the read-ahead agent works, the same
// close made by a thread of the agent's soon after: on a share a close
// waits its turn behind the opens the system makes one at a time. The
// handle is the caller's no more either way.
#define CloseHandle OrvelCloseHandle
BOOL OrvelCloseHandle(HANDLE hObject);

// ---- Path resolution ------------------------------------------------------
// Joins a relative path to the current directory by the Win32 rules, as the
// C run-time's _fullpath does, but up to nMaxLength bytes rather than 259
// characters. Null for an argument that had no exact form in the process
// code page, for a path with a name ending in a dot or a space (which those
// rules would strip, naming another file), and when the result and its NUL
// have no exact form or do not fit nMaxLength bytes.
#define _fullpath OrvelFullPath
char *OrvelFullPath(char *pszAbsPath, const char *pszRelPath,
                    size_t nMaxLength);

// ---- Paths ----------------------------------------------------------------
#define PATH_SEP_CHAR '\\'
#define PATH_SEP_STR "\\"
#define WILD_SUFFIX "\\*.*"

#else  // POSIX

// ---- Types and constants with their Win32 meanings --------------------------
typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned char BYTE;
typedef BYTE *LPBYTE;
typedef void *LPVOID;
typedef void *HANDLE;
typedef void *HGLOBAL;
typedef void *HLOCAL;
typedef size_t SIZE_T;
typedef const char *LPCSTR;
struct _SECURITY_ATTRIBUTES;
typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
struct _OVERLAPPED;
typedef struct _OVERLAPPED *LPOVERLAPPED;

#define TRUE 1
#define FALSE 0
#define GENERIC_READ 0x80000000UL
#define FILE_SHARE_READ 0x00000001UL
#define OPEN_EXISTING 3
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define GMEM_FIXED 0x0000
#define LMEM_FIXED 0x0000

// ---- Files ------------------------------------------------------------------
// Opens an existing regular file for reading only; INVALID_HANDLE_VALUE for
// anything else (missing, a directory, a FIFO, a device, no permission).
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
// The low 32 bits of the size, the high ones in *lpFileSizeHigh if asked for;
// INVALID_FILE_SIZE on failure, and when asked for no high part, for any size
// that does not fit 32 bits.
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
// Reads until nNumberOfBytesToRead are delivered, end of file or an error;
// the count delivered goes to *lpNumberOfBytesRead. FALSE on an error.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);

// ---- Memory: fixed blocks, never null for a size of 0 ---------------------
// A global block holds the image of a whole file, or of a window of one of
// 4 GiB or more: it is asked for right after that file was opened and
// sized, filled by ReadFile of that file, one from its start, then, window
// after window, one from where the last left off, and only read after each.
// The layer may answer those reads by mapping the file there, read-only.
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
HGLOBAL GlobalFree(HGLOBAL hMem);
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL LocalFree(HLOCAL hMem);

// ---- Path resolution ------------------------------------------------------
// Lexical: joins a relative path to the current directory and folds ".",
// ".." and repeated separators, without looking at the file system. Null
// when the result and its NUL do not fit nMaxLength bytes.
char *_fullpath(char *pszAbsPath, const char *pszRelPath, size_t nMaxLength);

// ---- Paths ----------------------------------------------------------------
#define PATH_SEP_CHAR '/'
#define PATH_SEP_STR "/"
#define WILD_SUFFIX "/*.*"

#endif  // _WIN32

// ---- Directory search -------------------------------------------------------
#define FA_HIDDEN 0x02
#define FA_SYSTEM 0x04
#define FA_DIREC 0x10

// Room for the longest name either system delivers, with its NUL: Linux
// file systems in user space (FUSE) allow names of 1,024 bytes, and the
// 255 UTF-16 units of a Windows name take at most 765 bytes of UTF-8. A name
// is never cut to fit: a shorter name may be another file.
#define FF_NAME_BYTES 1025

// One entry of a running directory search, refilled by each findnext. It
// carries no size and no time: the walk reads neither.
struct ffblk {
    int32_t ff_reserved;          // the layer's handle on the running search
    uint32_t ff_attrib;           // FA_DIREC for a directory, else 0
    char ff_name[FF_NAME_BYTES];  // the entry's name, no directory part
};

// Starts a search of the directory that pszPattern names (the directory
// followed by WILD_SUFFIX) and fills *pFfBlk with its first entry. Every
// entry the system lists is delivered, so the one mask taken is the one that
// asks for all of them, FA_HIDDEN | FA_SYSTEM | FA_DIREC; any other is
// refused with a non-zero result. 0 on success; non-zero when no entry can
// be had, including for a directory whose search is already running (a
// cycle of links).
int findfirst(const char *pszPattern, struct ffblk *pFfBlk, int nAttrib);
// Refills *pFfBlk with the next entry: 0, or non-zero when the search is over,
// which also releases what the search held.
int findnext(struct ffblk *pFfBlk);

#endif  // ORVEL_PLATFORM_H
