// The Windows platform layer's own choices, called directly: the attribute
// mask and the records of directory searches, the cycle guard, and sizes of
// 4 GiB or more. A plain Windows console program (no test framework builds
// for it here) that makes its files in a directory of its own under the
// temporary directory and removes them again; it prints one line per failed
// check and exits with 1 if there was any.
#include "platform/platform.h"

#include <set>
#include <string>

namespace {

int nFailures = 0;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #cond);      \
            nFailures++;                                                   \
        }                                                                  \
    } while (0)

std::string sRoot;  // the test's own directory, without a trailing separator

std::string At(const std::string &sName) { return sRoot + "\\" + sName; }

void MakeFile(const std::string &sName, const char *pszData, DWORD dwAttrib)
{
    HANDLE h = CreateFileA(At(sName).c_str(), GENERIC_WRITE, 0, NULL,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD dwDone = 0;
    CHECK(h != INVALID_HANDLE_VALUE);
    CHECK(WriteFile(h, pszData, (DWORD)strlen(pszData), &dwDone, NULL));
    CloseHandle(h);
    if (dwAttrib != 0)
        CHECK(SetFileAttributesA(At(sName).c_str(), dwAttrib));
}

// A file of qwSize bytes, none of them written (sparse where the file
// system can), for the size checks.
void MakeSizedFile(const std::string &sName, ULONGLONG qwSize)
{
    HANDLE h = CreateFileA(At(sName).c_str(), GENERIC_WRITE, 0, NULL,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER liSize;
    DWORD dwDone = 0;
    CHECK(h != INVALID_HANDLE_VALUE);
    DeviceIoControl(h, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &dwDone, NULL);
    liSize.QuadPart = (LONGLONG)qwSize;
    CHECK(SetFilePointerEx(h, liSize, NULL, FILE_BEGIN));
    CHECK(SetEndOfFile(h));
    CloseHandle(h);
}

void MakeDir(const std::string &sName, DWORD dwAttrib)
{
    CHECK(CreateDirectoryA(At(sName).c_str(), NULL));
    if (dwAttrib != 0)
        CHECK(SetFileAttributesA(At(sName).c_str(), dwAttrib));
}

// The names that a whole search of sDir with the mask delivers.
std::set<std::string> Names(const std::string &sDir, int nAttrib)
{
    std::set<std::string> names;
    struct ffblk ff;
    int nFail = findfirst((sDir + WILD_SUFFIX).c_str(), &ff, nAttrib);
    while (nFail == 0) {
        names.insert(ff.ff_name);
        nFail = findnext(&ff);
    }
    CHECK(ff.ff_reserved == -1);
    return names;
}

// The record of the entry sName of the root, as a search with mask 0x16
// delivers it; false when the search does not deliver it.
bool Record(const std::string &sName, struct ffblk *pFf)
{
    bool bFound = false;
    struct ffblk ff;
    int nFail = findfirst((sRoot + WILD_SUFFIX).c_str(), &ff, 0x16);
    while (nFail == 0) {
        if (sName == ff.ff_name) {
            *pFf = ff;
            bFound = true;
        }
        nFail = findnext(&ff);
    }
    return bFound;
}

bool HasAttrib(const std::string &sName, DWORD dwAttrib)
{
    DWORD dw = GetFileAttributesA(At(sName).c_str());
    return dw != INVALID_FILE_ATTRIBUTES && (dw & dwAttrib) == dwAttrib;
}

void TestMask()
{
    typedef std::set<std::string> Set;
    MakeFile("plain", "abc", 0);
    MakeFile("ro", "r", FILE_ATTRIBUTE_READONLY);
    MakeFile("hid", "h", FILE_ATTRIBUTE_HIDDEN);
    MakeFile("sys", "s", FILE_ATTRIBUTE_SYSTEM);
    MakeFile("hidsys", "hs", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    MakeDir("dir", 0);
    MakeDir("hdir", FILE_ATTRIBUTE_HIDDEN);
    if (!HasAttrib("hid", FILE_ATTRIBUTE_HIDDEN) ||
        !HasAttrib("sys", FILE_ATTRIBUTE_SYSTEM)) {
        printf("skipped: the file system keeps no hidden or system bits\n");
        return;
    }
    CHECK(Names(sRoot, 0) == (Set{"plain", "ro"}));
    CHECK(Names(sRoot, FA_HIDDEN) == (Set{"plain", "ro", "hid"}));
    CHECK(Names(sRoot, FA_SYSTEM) == (Set{"plain", "ro", "sys"}));
    CHECK(Names(sRoot, FA_HIDDEN | FA_SYSTEM) ==
          (Set{"plain", "ro", "hid", "sys", "hidsys"}));
    CHECK(Names(sRoot, FA_DIREC) == (Set{".", "..", "plain", "ro", "dir"}));
    CHECK(Names(sRoot, FA_DIREC | FA_HIDDEN) ==
          (Set{".", "..", "plain", "ro", "hid", "dir", "hdir"}));
    CHECK(Names(sRoot, 0x16) == (Set{".", "..", "plain", "ro", "hid", "sys",
                                     "hidsys", "dir", "hdir"}));
    // The label bit asks for nothing more: Win32 searches have no labels.
    CHECK(Names(sRoot, FA_LABEL) == (Set{"plain", "ro"}));

    struct ffblk ff;
    CHECK(Record("plain", &ff) && ff.ff_fsize == 3 &&
          (ff.ff_attrib & (FA_DIREC | FA_HIDDEN | FA_SYSTEM | FA_RDONLY)) == 0);
    CHECK(Record("ro", &ff) && (ff.ff_attrib & FA_RDONLY) && ff.ff_fsize == 1);
    CHECK(Record("hidsys", &ff) &&
          (ff.ff_attrib & (FA_HIDDEN | FA_SYSTEM)) == (FA_HIDDEN | FA_SYSTEM));
    CHECK(Record("dir", &ff) && (ff.ff_attrib & FA_DIREC));
    CHECK(Record("hdir", &ff) &&
          (ff.ff_attrib & (FA_DIREC | FA_HIDDEN)) == (FA_DIREC | FA_HIDDEN));
    CHECK(Record(".", &ff) && (ff.ff_attrib & FA_DIREC));
    CHECK(Record("..", &ff) && (ff.ff_attrib & FA_DIREC));
    CHECK((Record("plain", &ff) && (ff.ff_attrib & ~0x3Fu) == 0));
}

// The record's time is the DOS packing of the local last-write time.
void TestTime()
{
    SYSTEMTIME stLocal = {};
    FILETIME ftLocal, ftUtc;
    HANDLE h;
    struct ffblk ff;

    MakeFile("dated", "d", 0);
    stLocal.wYear = 2021;
    stLocal.wMonth = 6;
    stLocal.wDay = 15;
    stLocal.wHour = 13;
    stLocal.wMinute = 45;
    stLocal.wSecond = 30;
    CHECK(SystemTimeToFileTime(&stLocal, &ftLocal));
    CHECK(LocalFileTimeToFileTime(&ftLocal, &ftUtc));
    h = CreateFileA(At("dated").c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL,
                    OPEN_EXISTING, 0, NULL);
    CHECK(h != INVALID_HANDLE_VALUE);
    CHECK(SetFileTime(h, NULL, NULL, &ftUtc));
    CloseHandle(h);
    CHECK(Record("dated", &ff));
    CHECK(ff.ff_fdate == (((2021 - 1980) << 9) | (6 << 5) | 15));
    CHECK(ff.ff_ftime == ((13 << 11) | (45 << 5) | (30 / 2)));
}

DWORD SizeOf(const std::string &sName, LPDWORD pdwHigh)
{
    HANDLE h = CreateFileA(At(sName).c_str(), GENERIC_READ, FILE_SHARE_READ,
                           NULL, OPEN_EXISTING, 0, NULL);
    DWORD dwSize;
    CHECK(h != INVALID_HANDLE_VALUE);
    dwSize = GetFileSize(h, pdwHigh);
    CloseHandle(h);
    return dwSize;
}

void TestSizes()
{
    const ULONGLONG qwGiB = 1ull << 30;
    DWORD dwHigh = 7;
    struct ffblk ff;

    MakeSizedFile("size5g", 5 * qwGiB);
    MakeSizedFile("size4g", 4 * qwGiB);
    MakeSizedFile("sizemax", 0xFFFFFFFFull);
    MakeSizedFile("sizemax1", 0xFFFFFFFEull);
    MakeSizedFile("size2g", 2 * qwGiB);

    CHECK(SizeOf("size5g", NULL) == INVALID_FILE_SIZE);
    CHECK(SizeOf("size5g", &dwHigh) == qwGiB && dwHigh == 1);
    CHECK(SizeOf("size4g", NULL) == INVALID_FILE_SIZE);
    CHECK(SizeOf("size4g", &dwHigh) == 0 && dwHigh == 1);
    CHECK(SizeOf("sizemax", NULL) == INVALID_FILE_SIZE);
    CHECK(SizeOf("sizemax", &dwHigh) == 0xFFFFFFFF && dwHigh == 0);
    CHECK(SizeOf("sizemax1", NULL) == 0xFFFFFFFE);
    CHECK(SizeOf("size2g", NULL) == 2 * qwGiB);
    CHECK(SizeOf("plain", NULL) == 3);

    CHECK(Record("size5g", &ff) && ff.ff_fsize == 0x7FFFFFFF);
    CHECK(Record("size2g", &ff) && ff.ff_fsize == 0x7FFFFFFF);
    CHECK(Record("sizemax1", &ff) && ff.ff_fsize == 0x7FFFFFFF);
    for (const char *pszName :
         {"size5g", "size4g", "sizemax", "sizemax1", "size2g"})
        DeleteFileA(At(pszName).c_str());
}

void TestNoSearch()
{
    struct ffblk ff;
    ff.ff_reserved = 5;
    CHECK(findfirst((At("nope") + WILD_SUFFIX).c_str(), &ff, 0x16) != 0);
    CHECK(ff.ff_reserved == -1);
    CHECK(findfirst((At("plain") + WILD_SUFFIX).c_str(), &ff, 0x16) != 0);
    CHECK(findfirst(At("dir").c_str(), &ff, 0x16) != 0);
    CHECK(findnext(&ff) != 0);
}

// A directory already being searched is refused, by any spelling, until its
// search is over; others, the nested ones included, are not.
void TestCycleGuard()
{
    struct ffblk ffOuter, ffInner, ffOther;
    int nOuter;

    nOuter = findfirst((At("dir") + WILD_SUFFIX).c_str(), &ffOuter, 0x16);
    CHECK(nOuter == 0);
    CHECK(findfirst((At("dir") + WILD_SUFFIX).c_str(), &ffInner, 0x16) != 0);
    CHECK(findfirst((At("dir\\..\\dir\\.") + WILD_SUFFIX).c_str(), &ffInner,
                    0x16) != 0);
    CHECK(findfirst((At("hdir") + WILD_SUFFIX).c_str(), &ffOther, 0x16) == 0);
    while (nOuter == 0)
        nOuter = findnext(&ffOuter);
    CHECK(findfirst((At("dir") + WILD_SUFFIX).c_str(), &ffInner, 0x16) == 0);
    while (findnext(&ffInner) == 0) {
    }
    while (findnext(&ffOther) == 0) {
    }
}

// Searches nested deeper than the table's first size go on delivering after
// it grows, and ended searches give their places back.
void TestManySearches()
{
    const int nDepth = 40;
    struct ffblk aFf[nDepth];
    std::string sDir = At("deep");
    std::set<std::string> names;
    int i, nFail;

    CHECK(CreateDirectoryA(sDir.c_str(), NULL));
    for (i = 1; i < nDepth; i++) {
        sDir += "\\d";
        CHECK(CreateDirectoryA(sDir.c_str(), NULL));
    }
    sDir = At("deep");
    for (i = 0; i < nDepth; i++) {
        CHECK(findfirst((sDir + WILD_SUFFIX).c_str(), &aFf[i], 0x16) == 0);
        sDir += "\\d";
    }
    for (i = nDepth - 1; i >= 0; i--) {
        for (nFail = 0; nFail == 0; nFail = findnext(&aFf[i]))
            names.insert(aFf[i].ff_name);
    }
    CHECK(names == (std::set<std::string>{".", "..", "d"}));
    for (i = 0; i < 1000; i++)
        Names(At("dir"), 0x16);
    CHECK(findfirst((At("dir") + WILD_SUFFIX).c_str(), &aFf[0], 0x16) == 0);
    CHECK(aFf[0].ff_reserved == 0);
    while (findnext(&aFf[0]) == 0) {
    }
    sDir = At("deep");
    for (i = 1; i < nDepth; i++)
        sDir += "\\d";
    for (i = 0; i < nDepth; i++) {
        RemoveDirectoryA(sDir.c_str());
        sDir.erase(sDir.rfind('\\'));
    }
}

void TestMemory()
{
    HGLOBAL hEmpty = GlobalAlloc(GMEM_FIXED, 0);
    CHECK(hEmpty != NULL);
    GlobalFree(hEmpty);
}

void RemoveAll()
{
    for (const char *pszName :
         {"plain", "ro", "hid", "sys", "hidsys", "dated"}) {
        SetFileAttributesA(At(pszName).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(At(pszName).c_str());
    }
    RemoveDirectoryA(At("dir").c_str());
    SetFileAttributesA(At("hdir").c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(At("hdir").c_str());
    CHECK(RemoveDirectoryA(sRoot.c_str()));
}

}  // namespace

int main()
{
    char szTemp[MAX_PATH];
    DWORD dwLen = GetTempPathA(MAX_PATH, szTemp);

    if (dwLen == 0 || dwLen >= MAX_PATH)
        return 2;
    sRoot = std::string(szTemp) + "orvel-win32-test-" +
            std::to_string(GetCurrentProcessId());
    if (!sRoot.empty() && sRoot.back() == '\\')
        sRoot.pop_back();
    if (!CreateDirectoryA(sRoot.c_str(), NULL))
        return 2;

    TestMask();
    TestTime();
    TestSizes();
    TestNoSearch();
    TestCycleGuard();
    TestManySearches();
    TestMemory();
    RemoveAll();

    printf(nFailures == 0 ? "all checks passed\n" : "%d checks failed\n",
           nFailures);
    return nFailures == 0 ? 0 : 1;
}
