// The Windows platform layer's own choices, called directly: which entries
// the walk's search delivers, hidden and system ones among them; which
// second file is a first file's namesake; what becomes of arguments and
// names in an ANSI code page (1252, or 932 with its double-byte characters),
// which this program, built without the manifest of orvel.exe, runs in; and
// what the end-to-end suite cannot stage: a listing that breaks off. A plain
// console program, since no test framework is built for Windows here: it makes
// its files in a directory of its own under the temporary directory, prints one
// line per failed check, and exits with 1 if there was any.
#include "orvel.h"
#include "platform/platform.h"

#include <set>
#include <string>

// The test's own handles are the kernel's to close at once; only the walk
// closes through the layer (OrvelCloseHandle), as the core does, and the
// read-ahead agent may make such a close later.
#undef CloseHandle

// The layer's helpers that the core does not call.
DWORD CodePageFlags(UINT nCodePage);
char **ArgumentsToCodePage(int argc, WCHAR **ppwszArgv);
void FreeArguments(int argc, char **ppszArgv);
extern BOOL(WINAPI *OrvelFindNextFileW)(HANDLE, LPWIN32_FIND_DATAW);
typedef HANDLE(WINAPI *OpenFn)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                               DWORD, DWORD, HANDLE);
extern OpenFn OrvelCoreCreateFileW, OrvelAheadCreateFileW;

namespace {

int nFailures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #cond);          \
            nFailures++;                                                       \
        }                                                                      \
    } while (0)

typedef std::multiset<std::string> Names;

std::string sRoot;  // the test's own directory

std::string At(const std::string &sName) { return sRoot + "\\" + sName; }

// Makes an empty file or, for "name\\", a directory; then sets dwAttrib on it.
void Make(std::string sName, DWORD dwAttrib)
{
    if (sName.back() == '\\') {
        sName.pop_back();
        CHECK(CreateDirectoryA(At(sName).c_str(), NULL));
    } else {
        HANDLE h = CreateFileA(At(sName).c_str(), GENERIC_WRITE, 0, NULL,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        CHECK(h != INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
    if (dwAttrib != 0)
        CHECK(SetFileAttributesA(At(sName).c_str(), dwAttrib));
}

// Removes a file or, for "name\\", an empty directory, whatever its
// attributes.
void Remove(std::string sName)
{
    bool bDir = sName.back() == '\\';
    if (bDir)
        sName.pop_back();
    SetFileAttributesA(At(sName).c_str(), FILE_ATTRIBUTE_NORMAL);
    if (bDir)
        RemoveDirectoryA(At(sName).c_str());
    else
        DeleteFileA(At(sName).c_str());
}

// The walk's mask: hidden, system and directory entries too.
const int kWalkMask = FA_HIDDEN | FA_SYSTEM | FA_DIREC;

// The names a whole search of the root with the walk's mask delivers, with
// a trailing '\\' on those that carry FA_DIREC.
Names Search()
{
    Names names;
    struct ffblk ff;
    int nFail = findfirst((sRoot + WILD_SUFFIX).c_str(), &ff, kWalkMask);
    while (nFail == 0) {
        names.insert(std::string(ff.ff_name) +
                     (ff.ff_attrib & FA_DIREC ? "\\" : ""));
        nFail = findnext(&ff);
    }
    return names;
}

// Every entry, whatever its attributes, with FA_DIREC on exactly the
// directories: the walk descends into what carries it and compares the rest.
// A mask that asks for fewer entries is refused, never taken for the walk's.
void TestSearch()
{
    const Names kWant = {".\\", "..\\",   "plain", "ro",    "hid",
                         "sys", "hidsys", "dir\\", "hdir\\"};
    struct ffblk ff;
    Names got = Search();

    CHECK(findfirst((sRoot + WILD_SUFFIX).c_str(), &ff, FA_DIREC) != 0);
    CHECK(findfirst((sRoot + WILD_SUFFIX).c_str(), &ff, 0) != 0);
    if (got != kWant) {
        printf("the walk's search delivered:");
        for (const std::string &s : got)
            printf(" \"%s\"", s.c_str());
        printf("\n");
        nFailures++;
    }
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
        // clang-format off
        {L"plain", "plain", true},
        {L"caf\u00e9", "caf\xe9", true},
        {L"\u03a9", "?", false},      // Omega, whose best fit is O
        {L"a\u2215b", "a?b", false},  // division slash, best fit /
        {L"a\uff3cb", "a?b", false},  // fullwidth reverse solidus, best fit '\'
        {L"a\xd800", "a?", false},    // a lone surrogate
        // clang-format on
    };
    const int nArgs = sizeof(aArgs) / sizeof(aArgs[0]);
    const std::wstring sOmega =
        std::wstring(sRoot.begin(), sRoot.end()) + L"\\\u03a9.txt";
    WCHAR *apwszArgs[nArgs];
    char szFull[ROOT_PATH_BYTES];
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
    CHECK(Search().count("?.txt") == 1);
    CHECK(CreateFileA(At("?.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                      OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE);
    CHECK(findfirst((At("?.txt") + WILD_SUFFIX).c_str(), &ff, kWalkMask) != 0);
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

    for (int nBefore : {0, 2}) {
        nListedBeforeFailure = nBefore;
        OrvelFindNextFileW = BreakingFindNext;
        int nFail = findfirst((sRoot + WILD_SUFFIX).c_str(), &ff, kWalkMask);
        OrvelFindNextFileW = FindNextFileW;
        if (nFail == 0) {
            printf("listing broken after %d entries: the search went on\n",
                   nBefore + 1);
            nFailures++;
            while (findnext(&ff) == 0) {
            }
        }
    }
}

std::string Upper(std::string s)
{
    for (char &c : s)
        c = (char)toupper((unsigned char)c);
    return s;
}

// What the read-ahead agent opened, upper-cased, without the "\\?\"
// prefix; and a change made to the tree just before its open of a path
// that ends in sChangeAt.
Names agentOpened;
CRITICAL_SECTION csOpened;  // the agent's readers open several at once
std::string sChangeAt;
void (*pfnChange)(void) = NULL;

HANDLE WINAPI AgentOpen(LPCWSTR pwszPath, DWORD dwAccess, DWORD dwShare,
                        LPSECURITY_ATTRIBUTES pSa, DWORD dwDisposition,
                        DWORD dwFlags, HANDLE hTemplate)
{
    char szPath[MAX_PATH * 4];
    WideCharToMultiByte(CP_ACP, 0, pwszPath + 4, -1, szPath, sizeof(szPath),
                        NULL, NULL);
    std::string sPath = Upper(szPath);
    if (pfnChange != NULL && sPath.size() >= sChangeAt.size() &&
        sPath.compare(sPath.size() - sChangeAt.size(), std::string::npos,
                      Upper(sChangeAt)) == 0)
        pfnChange();
    HANDLE h = CreateFileW(pwszPath, dwAccess, dwShare, pSa, dwDisposition,
                           dwFlags, hTemplate);
    if (h != INVALID_HANDLE_VALUE) {
        EnterCriticalSection(&csOpened);
        agentOpened.insert(sPath);
        LeaveCriticalSection(&csOpened);
    }
    return h;
}

// The core's own opens fail once for want of handles after this is set.
bool bOutOfHandles = false;
bool bReplaced = false;  // a file the agent held was replaced or removed

HANDLE WINAPI CoreOpen(LPCWSTR pwszPath, DWORD dwAccess, DWORD dwShare,
                       LPSECURITY_ATTRIBUTES pSa, DWORD dwDisposition,
                       DWORD dwFlags, HANDLE hTemplate)
{
    if (bOutOfHandles) {
        bOutOfHandles = false;
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(pwszPath, dwAccess, dwShare, pSa, dwDisposition, dwFlags,
                       hTemplate);
}

// Walks sDir1 against sDir2 as the core does (a search of each directory,
// the first file of each pair opened, then its namesake in the second
// tree) and collects the second paths that do not open.
void Walk(const std::string &sDir1, const std::string &sDir2, Names *pFailed,
          Names *pOpened = NULL)
{
    struct ffblk ff;
    for (int nFail = findfirst((sDir1 + WILD_SUFFIX).c_str(), &ff, kWalkMask);
         nFail == 0; nFail = findnext(&ff)) {
        std::string sName = ff.ff_name;
        if (sName == "." || sName == "..")
            continue;
        if (ff.ff_attrib & FA_DIREC) {
            Walk(sDir1 + "\\" + sName, sDir2 + "\\" + sName, pFailed, pOpened);
            continue;
        }
        for (const std::string &sPath :
             {sDir1 + "\\" + sName, sDir2 + "\\" + sName}) {
            HANDLE h = CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   NULL, OPEN_EXISTING, 0, NULL);
            if (h == INVALID_HANDLE_VALUE) {
                pFailed->insert(sPath.substr(sRoot.size() + 1));
            } else {
                OrvelCloseHandle(h);
                if (pOpened != NULL)
                    pOpened->insert(Upper(sPath));
            }
        }
    }
}

// The second file of a pair is the one its directory lists under the first
// file's name, as Windows compares names: in other case it is, under the
// short name of another file or directory (as GetShortPathNameW gives it)
// it is not, though the system would open that file by it.
void TestNamesake(bool bAhead)
{
    const char *const apszSecond[] = {"B\\",
                                      "B\\longfilename.txt",
                                      "B\\Program Files\\",
                                      "B\\Program Files\\f",
                                      "B\\Readme",
                                      "B\\Docs\\",
                                      "B\\Docs\\f"};
    std::string asShort[2];
    for (const char *psz : apszSecond)
        Make(psz, 0);
    for (int i = 0; i < 2; i++) {
        char szShort[MAX_PATH];
        std::string sLong =
            At(i == 0 ? "B\\longfilename.txt" : "B\\Program Files");
        DWORD dwLen = GetShortPathNameA(sLong.c_str(), szShort, MAX_PATH);
        CHECK(dwLen > 0 && dwLen < MAX_PATH);
        asShort[i] = strrchr(szShort, '\\') + 1;
    }
    const std::string asFirst[] = {"A\\",
                                   "A\\" + asShort[0],
                                   "A\\" + asShort[1] + "\\",
                                   "A\\" + asShort[1] + "\\f",
                                   "A\\README",
                                   "A\\docs\\",
                                   "A\\docs\\f"};
    for (const std::string &s : asFirst)
        Make(s, 0);
    Names failed, opened;
    agentOpened.clear();
    Walk(At("A"), At("B"), &failed, &opened);
    const Names kWant = {"B\\" + asShort[0], "B\\" + asShort[1] + "\\f"};
    // The read-ahead agent opens what the core opens, and nothing else: no
    // short name in the second tree.
    for (const std::string &s : agentOpened)
        if (opened.count(s) == 0) {
            printf("the read-ahead agent opened %s\n", s.c_str());
            nFailures++;
        }
    CHECK(agentOpened.empty() != bAhead);
    if (asShort[0] == "longfilename.txt" || failed != kWant) {
        printf("short names %s, %s; second paths that did not open:",
               asShort[0].c_str(), asShort[1].c_str());
        for (const std::string &s : failed)
            printf(" \"%s\"", s.c_str());
        printf("\n");
        nFailures++;
    }
    for (int i = (int)(sizeof(asFirst) / sizeof(asFirst[0])) - 1; i >= 0; i--)
        Remove(asFirst[i]);
    for (int i = (int)(sizeof(apszSecond) / sizeof(apszSecond[0])) - 1; i >= 0;
         i--)
        Remove(apszSecond[i]);
}

// The read-ahead agent at work (forced on, each open of the core waiting
// until it has done what it can): the same opens succeed and fail as
// without it, also where the tree changes under it, and where the process
// runs out of handles while it holds some.
void TestAhead()
{
    const struct {
        const char *pszName;
        const char *pszChangeAt;  // the agent's open that sees the change
        void (*pfnChange)(void);
        bool bOutOfHandles;  // the core's first own open fails for want
        Names want;          // of handles
    } aCases[] = {
        // clang-format off
        {"nothing changes", "", NULL, false, {}},
        // Held by the agent with read sharing alone, a first file can be
        // neither replaced nor removed until the core has taken it: the
        // core compares the file the name gave.
        {"a held file replaced", "B\\f4", [] {
             Make("new", 0);
             if (MoveFileExA(At("new").c_str(), At("A\\f4").c_str(),
                             MOVEFILE_REPLACE_EXISTING) ||
                 DeleteFileA(At("A\\f3").c_str()))
                 bReplaced = true;
             Remove("new");
         }, false, {}},
        // The agent gives its handles back and the core's open goes
        // through.
        {"out of handles", "", NULL, true, {}},
        // clang-format on
    };
    for (const auto &c : aCases) {
        for (const char *psz : {"A\\", "B\\", "A\\f1", "A\\f2", "A\\f3",
                                "A\\f4", "B\\f1", "B\\f2", "B\\f3", "B\\f4"})
            Make(psz, 0);
        Names failed, opened;
        sChangeAt = c.pszChangeAt;
        pfnChange = c.pfnChange;
        bOutOfHandles = c.bOutOfHandles;
        bReplaced = false;
        agentOpened.clear();
        Walk(At("A"), At("B"), &failed, &opened);
        pfnChange = NULL;
        if (failed != c.want || agentOpened.empty() || bOutOfHandles ||
            bReplaced) {
            printf("%s: %d opens failed, the agent opened %d files\n",
                   c.pszName, (int)failed.size(), (int)agentOpened.size());
            nFailures++;
        }
        for (const char *psz : {"A\\f1", "A\\f2", "A\\f3", "A\\f4", "B\\f1",
                                "B\\f2", "B\\f3", "B\\f4", "A\\", "B\\"})
            Remove(psz);
    }
}

// In a double-byte code page a resolved argument whose last character ends
// in byte 0x5C keeps it where the core drops one trailing separator: U+8868
// is 95 5C and U+30BD 83 5C in code page 932, U+3042 is 82 A0.
void TestDoubleByte()
{
    if (GetACP() != 932) {
        printf("code page %u, not 932: double-byte arguments skipped\n",
               GetACP());
        return;
    }
    for (const std::string sName : {"\x95\x5c", "\x83\x5c", "\x82\xa0"}) {
        char szFull[1024];
        Make(sName + "\\", 0);
        Make(sName + "\\f", 0);
        bool bResolves =
            _fullpath(szFull, At(sName).c_str(), sizeof(szFull)) != NULL;
        size_t nLen = strlen(szFull);
        if (bResolves && nLen > 0 && szFull[nLen - 1] == PATH_SEP_CHAR)
            szFull[nLen - 1] = '\0';
        HANDLE h = CreateFileA((std::string(szFull) + PATH_SEP_STR "f").c_str(),
                               GENERIC_READ, FILE_SHARE_READ, NULL,
                               OPEN_EXISTING, 0, NULL);
        if (!bResolves || h == INVALID_HANDLE_VALUE) {
            printf("argument ending in %02x %02x: \"%s\" does not hold f\n",
                   (BYTE)sName[0], (BYTE)sName[1],
                   bResolves ? szFull : "refused");
            nFailures++;
        } else {
            CloseHandle(h);
        }
        Remove(sName + "\\f");
        Remove(sName + "\\");
    }
}

}  // namespace

int main(int, char **)
{
    char szTemp[MAX_PATH];
    const struct {
        const char *pszName;
        DWORD dwAttrib;
    } aTree[] = {
        // clang-format off
        {"plain", 0},
        {"ro", FILE_ATTRIBUTE_READONLY},
        {"hid", FILE_ATTRIBUTE_HIDDEN},
        {"sys", FILE_ATTRIBUTE_SYSTEM},
        {"hidsys", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {"dir\\", 0},
        {"hdir\\", FILE_ATTRIBUTE_HIDDEN},
        // clang-format on
    };
    // The read-ahead agent of the test build, which the layer's entry
    // installs, stays out until TestAhead.
    SetEnvironmentVariableA("ORVEL_AHEAD", "0");
    InitializeCriticalSection(&csOpened);
    DWORD dwLen = GetTempPathA(MAX_PATH, szTemp);
    if (dwLen == 0 || dwLen >= MAX_PATH)
        return 2;
    sRoot = std::string(szTemp) + "orvel-win32-test-" +
            std::to_string(GetCurrentProcessId());
    if (!CreateDirectoryA(sRoot.c_str(), NULL))
        return 2;
    for (const auto &e : aTree)
        Make(e.pszName, e.dwAttrib);

    if ((GetFileAttributesA(At("hidsys").c_str()) &
         (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) !=
        (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
        printf("search skipped: the file system keeps no hidden or system "
               "bits\n");
    } else {
        TestSearch();
    }
    TestCodePage();
    TestBrokenListing();
    for (const auto &e : aTree)
        Remove(e.pszName);
    TestNamesake(false);
    TestDoubleByte();
    // The read-ahead agent from here on, as the test build of the program
    // runs it under ORVEL_AHEAD=1 and ORVEL_AHEAD_STEP=1.
    SetEnvironmentVariableA("ORVEL_AHEAD", "1");
    SetEnvironmentVariableA("ORVEL_AHEAD_STEP", "1");
    // Its closing thread closes nothing: each walk must return with every
    // file closed all the same, or the tree cannot be removed.
    SetEnvironmentVariableA("ORVEL_AHEAD_CLOSER", "0");
    OrvelAheadCreateFileW = AgentOpen;
    OrvelCoreCreateFileW = CoreOpen;
    TestNamesake(true);
    TestAhead();
    CHECK(RemoveDirectoryA(sRoot.c_str()));
    printf("%d checks failed\n", nFailures);
    return nFailures == 0 ? 0 : 1;
}
