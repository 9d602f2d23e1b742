// The Windows platform layer's own choices, called directly: which entries
// each attribute mask lets through, and what their records hold (the walk
// itself only ever asks for one mask); what becomes of arguments and names
// in an ANSI code page, which this program, built without the manifest of
// orvel.exe, runs in; and what the end-to-end suite cannot stage: a listing
// that breaks off, a size refused with its reason. A plain console program,
// since no test framework is built for Windows here: it makes its files in a
// directory of its own under the temporary directory, prints one line per
// failed check, and exits with 1 if there was any.
#include "platform/platform.h"

#include <set>
#include <string>

// The layer's helpers that the core does not call.
DWORD CodePageFlags(UINT nCodePage);
char **ArgumentsToCodePage(int argc, WCHAR **ppwszArgv);
void FreeArguments(int argc, char **ppszArgv);
extern BOOL(WINAPI *OrvelFindNextFileW)(HANDLE, LPWIN32_FIND_DATAW);

namespace {

int nFailures = 0;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #cond);      \
            nFailures++;                                                   \
        }                                                                  \
    } while (0)

typedef std::set<std::string> Names;

std::string sRoot;  // the test's own directory

std::string At(const std::string &sName) { return sRoot + "\\" + sName; }

// Makes a file of qwSize bytes (none written: sparse where the file system
// can) or, for "name\\", a directory; then sets dwAttrib on it.
void Make(std::string sName, ULONGLONG qwSize, DWORD dwAttrib)
{
    if (sName.back() == '\\') {
        sName.pop_back();
        CHECK(CreateDirectoryA(At(sName).c_str(), NULL));
    } else {
        HANDLE h = CreateFileA(At(sName).c_str(), GENERIC_WRITE, 0, NULL,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        LARGE_INTEGER liSize;
        DWORD dwDone;
        CHECK(h != INVALID_HANDLE_VALUE);
        DeviceIoControl(h, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &dwDone, NULL);
        liSize.QuadPart = (LONGLONG)qwSize;
        CHECK(SetFilePointerEx(h, liSize, NULL, FILE_BEGIN) && SetEndOfFile(h));
        CloseHandle(h);
    }
    if (dwAttrib != 0)
        CHECK(SetFileAttributesA(At(sName).c_str(), dwAttrib));
}

// The names a whole search of the root with nAttrib delivers; the record of
// the entry pszWant, if given, goes to *pFf.
Names Search(int nAttrib, const char *pszWant = NULL, struct ffblk *pFf = NULL)
{
    Names names;
    struct ffblk ff;
    int nFail = findfirst((sRoot + WILD_SUFFIX).c_str(), &ff, nAttrib);
    while (nFail == 0) {
        names.insert(ff.ff_name);
        if (pszWant != NULL && strcmp(ff.ff_name, pszWant) == 0)
            *pFf = ff;
        nFail = findnext(&ff);
    }
    CHECK(ff.ff_reserved == -1);
    return names;
}

void TestMasks()
{
    const Names kAlways = {"plain", "ro", "big"};
    const struct {
        int nAttrib;
        Names more;  // delivered besides kAlways
    } aCases[] = {
        {0, {}},
        {FA_HIDDEN, {"hid"}},
        {FA_SYSTEM, {"sys"}},
        {FA_HIDDEN | FA_SYSTEM, {"hid", "sys", "hidsys"}},
        {FA_DIREC, {".", "..", "dir"}},
        {FA_DIREC | FA_HIDDEN, {".", "..", "dir", "hid", "hdir"}},
        {0x16, {".", "..", "dir", "hid", "hdir", "sys", "hidsys"}},
        {FA_LABEL, {}},  // Win32 searches have no labels to deliver
    };
    for (const auto &c : aCases) {
        Names want = kAlways;
        want.insert(c.more.begin(), c.more.end());
        if (Search(c.nAttrib) != want) {
            printf("mask 0x%02X: wrong entries\n", c.nAttrib);
            nFailures++;
        }
    }
}

// Each record's attribute bits, size (capped at the largest int32_t) and
// DOS-packed local time of last write.
void TestRecords()
{
    const struct {
        const char *pszName;
        uint32_t ulAttrib;  // FA_ bits but FA_ARCH, which Windows sets at will
        int32_t lSize;
    } aCases[] = {
        {"plain", 0, 3},
        {"ro", FA_RDONLY, 0},
        {"hidsys", FA_HIDDEN | FA_SYSTEM, 0},
        {"big", 0, 0x7FFFFFFF},
        {"hdir", FA_DIREC | FA_HIDDEN, -1},
        {".", FA_DIREC, -1},
        {"..", FA_DIREC, -1},
    };
    for (const auto &c : aCases) {
        struct ffblk ff = {};
        Search(0x16, c.pszName, &ff);
        if ((ff.ff_attrib & ~(uint32_t)FA_ARCH) != c.ulAttrib ||
            (c.lSize >= 0 && ff.ff_fsize != c.lSize)) {
            printf("%s: attributes 0x%X, size %ld\n", c.pszName,
                   (unsigned)ff.ff_attrib, (long)ff.ff_fsize);
            nFailures++;
        }
    }

    SYSTEMTIME stLocal = {2021, 6, 0, 15, 13, 45, 30, 0};
    FILETIME ftLocal, ftUtc;
    struct ffblk ff = {};
    HANDLE h = CreateFileA(At("plain").c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL,
                           OPEN_EXISTING, 0, NULL);
    CHECK(SystemTimeToFileTime(&stLocal, &ftLocal) &&
          LocalFileTimeToFileTime(&ftLocal, &ftUtc) &&
          SetFileTime(h, NULL, NULL, &ftUtc));
    CloseHandle(h);
    Search(0, "plain", &ff);
    CHECK(ff.ff_fdate == (((2021 - 1980) << 9) | (6 << 5) | 15));
    CHECK(ff.ff_ftime == ((13 << 11) | (45 << 5) | (30 / 2)));
}

// Arguments and names that code page 1252 lacks show '?' and are refused,
// never taken for their nearest letters; conversions to UTF-8 take the one
// flag that it allows, which Wine would not refuse.
void TestCodePage()
{
    const struct {
        const WCHAR *pwszArg;
        const char *pszWant;
        bool bResolves;
    } aArgs[] = {
        {L"plain", "plain", true},
        {L"caf\u00e9", "caf\xe9", true},
        {L"\u03a9", "?", false},      // Omega, whose best fit is O
        {L"a\u2215b", "a?b", false},  // division slash, best fit /
        {L"a\uff3cb", "a?b", false},  // fullwidth reverse solidus, best fit '\'
        {L"a\xd800", "a?", false},    // a lone surrogate
    };
    const int nArgs = sizeof(aArgs) / sizeof(aArgs[0]);
    const std::wstring sOmega =
        std::wstring(sRoot.begin(), sRoot.end()) + L"\\\u03a9.txt";
    WCHAR *apwszArgs[nArgs];
    char szFull[1024];
    char **ppszArgs;
    struct ffblk ff;
    HANDLE h;

    CHECK(CodePageFlags(CP_UTF8) == WC_ERR_INVALID_CHARS);
    CHECK(CodePageFlags(1252) == WC_NO_BEST_FIT_CHARS);
    if (GetACP() != 1252) {
        printf("code page %u, not 1252: arguments and names skipped\n",
               GetACP());
        return;
    }
    for (int i = 0; i < nArgs; i++)
        apwszArgs[i] = (WCHAR *)aArgs[i].pwszArg;
    ppszArgs = ArgumentsToCodePage(nArgs, apwszArgs);
    for (int i = 0; ppszArgs != NULL && i < nArgs; i++) {
        bool bResolves = _fullpath(szFull, ppszArgs[i], sizeof(szFull)) != NULL;
        if (strcmp(ppszArgs[i], aArgs[i].pszWant) != 0 ||
            bResolves != aArgs[i].bResolves) {
            printf("argument %d: \"%s\", %s\n", i, ppszArgs[i],
                   bResolves ? "resolved" : "refused");
            nFailures++;
        }
    }
    CHECK(ppszArgs != NULL && ppszArgs[nArgs] == NULL);
    FreeArguments(nArgs, ppszArgs);

    // Omega is listed as "?.txt", which opens and searches nothing.
    h = CreateFileW(sOmega.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0,
                    NULL);
    CHECK(h != INVALID_HANDLE_VALUE);
    CloseHandle(h);
    CHECK(Search(0).count("?.txt") == 1);
    CHECK(CreateFileA(At("?.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                      OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE);
    CHECK(findfirst((At("?.txt") + WILD_SUFFIX).c_str(), &ff, 0x16) != 0);
    DeleteFileW(sOmega.c_str());
}

// A listing that fails half way fails the search: the walk must name the
// directory, not go on as if its last entries did not exist. The error is
// staged, since no file system here breaks off on cue.
int nListedBeforeFailure;

BOOL WINAPI BreakingFindNext(HANDLE hFind, LPWIN32_FIND_DATAW pData)
{
    if (nListedBeforeFailure-- <= 0) {
        SetLastError(ERROR_NETNAME_DELETED);
        return FALSE;
    }
    return FindNextFileW(hFind, pData);
}

void TestBrokenListing()
{
    struct ffblk ff;
    HANDLE h;

    for (int nBefore : {0, 2}) {
        nListedBeforeFailure = nBefore;
        OrvelFindNextFileW = BreakingFindNext;
        int nFail = findfirst((sRoot + WILD_SUFFIX).c_str(), &ff, 0x16);
        OrvelFindNextFileW = FindNextFileW;
        if (nFail == 0) {
            printf("listing broken after %d entries: the search went on\n",
                   nBefore + 1);
            nFailures++;
            while (findnext(&ff) == 0) {
            }
        }
    }

    // A size of 4 GiB or more is refused with a reason, as every failure.
    h = CreateFileA(At("big").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                    OPEN_EXISTING, 0, NULL);
    CHECK(h != INVALID_HANDLE_VALUE);
    SetLastError(NO_ERROR);
    CHECK(GetFileSize(h, NULL) == INVALID_FILE_SIZE &&
          GetLastError() != NO_ERROR);
    CloseHandle(h);
}

}  // namespace

int main(int, char **)
{
    char szTemp[MAX_PATH];
    const struct {
        const char *pszName;
        ULONGLONG qwSize;
        DWORD dwAttrib;
    } aTree[] = {
        {"plain", 3, 0},
        {"ro", 0, FILE_ATTRIBUTE_READONLY},
        {"big", 5ull << 30, 0},
        {"hid", 0, FILE_ATTRIBUTE_HIDDEN},
        {"sys", 0, FILE_ATTRIBUTE_SYSTEM},
        {"hidsys", 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {"dir\\", 0, 0},
        {"hdir\\", 0, FILE_ATTRIBUTE_HIDDEN},
    };
    DWORD dwLen = GetTempPathA(MAX_PATH, szTemp);
    if (dwLen == 0 || dwLen >= MAX_PATH)
        return 2;
    sRoot = std::string(szTemp) + "orvel-win32-test-" +
            std::to_string(GetCurrentProcessId());
    if (!CreateDirectoryA(sRoot.c_str(), NULL))
        return 2;
    for (const auto &e : aTree)
        Make(e.pszName, e.qwSize, e.dwAttrib);

    if ((GetFileAttributesA(At("hidsys").c_str()) &
         (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) !=
        (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
        printf("masks skipped: the file system keeps no hidden or system "
               "bits\n");
    } else {
        TestMasks();
        TestRecords();
    }
    TestCodePage();
    TestBrokenListing();

    for (const auto &e : aTree) {
        std::string sPath = At(e.pszName);
        SetFileAttributesA(sPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (sPath.back() == '\\') {
            sPath.pop_back();
            SetFileAttributesA(sPath.c_str(), FILE_ATTRIBUTE_NORMAL);
            RemoveDirectoryA(sPath.c_str());
        } else {
            DeleteFileA(sPath.c_str());
        }
    }
    CHECK(RemoveDirectoryA(sRoot.c_str()));
    printf("%d checks failed\n", nFailures);
    return nFailures == 0 ? 0 : 1;
}
