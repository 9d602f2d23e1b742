// The process entry: wmain takes the command line in UTF-16 and runs the
// core with it in the process code page, showing the run's output on a
// console in that code page.
#include "internal.h"

#undef main

// The console's own output code page while the run shows its output in the
// process code page, else 0. The console belongs to the command prompt and
// outlives the program: its code page goes back when the run ends, also
// when Ctrl+C, Ctrl+Break or the closing of the window ends it.
static volatile LONG lConsoleCodePage = 0;

static void RestoreConsoleCodePage(void)
{
    UINT nCodePage = (UINT)InterlockedExchange(&lConsoleCodePage, 0);

    if (nCodePage != 0)
        SetConsoleOutputCP(nCodePage);
}

// Runs on a thread of its own when the console signals; FALSE hands the
// signal on to the default handler, which ends the process as before.
static BOOL WINAPI RestoreOnSignal(DWORD dwCtrlType)
{
    (void)dwCtrlType;
    RestoreConsoleCodePage();
    return FALSE;
}

// A console shows bytes in its output code page, the OEM one by default
// (437, 850...), where names in the process code page would read wrongly.
// Without a console (output to files or pipes only) there is nothing to do:
// redirected output is the process code page's bytes.
// https://learn.microsoft.com/windows/console/setconsoleoutputcp
static void UseConsoleCodePage(void)
{
    UINT nOld = GetConsoleOutputCP();

    if (nOld == 0 || nOld == GetACP() ||
        !SetConsoleCtrlHandler(RestoreOnSignal, TRUE))
        return;
    InterlockedExchange(&lConsoleCodePage, (LONG)nOld);
    if (!SetConsoleOutputCP(GetACP()))
        InterlockedExchange(&lConsoleCodePage, 0);
}

// The process entry: MinGW-w64's startup for -municode calls wmain with the
// command line split by the C run-time into UTF-16 arguments. Runs the core
// with them in the process code page.
int wmain(int argc, wchar_t **ppwszArgv)
{
    char **ppszArgv = NULL;
    int nReturnVal;

    ppszArgv = ArgumentsToCodePage(argc, ppwszArgv);
    if (ppszArgv == NULL) {
        // The core has not started: its message, from here.
        fputs("Memory allocation error.\n", stdout);
        nReturnVal = 1;
        goto CleanUp;
    }
    UseConsoleCodePage();
    InstallAhead();
    nReturnVal = OrvelMain(argc, ppszArgv);
    RestoreConsoleCodePage();
    SetConsoleCtrlHandler(RestoreOnSignal, FALSE);

CleanUp:
    FreeArguments(argc, ppszArgv);
    return nReturnVal;
}
