// Standard output, written line by line from the start of the process.
//
// A process may be killed, by the kernel or by anyone else, and a run may be
// stopped from outside (Ctrl+C, a timeout): every line reported is written
// before the next file pair is taken up, so that such a run keeps all it
// found. A terminal's standard output is line-buffered anyway; a file's or
// a pipe's would be written only every few kilobytes.
#include <stdio.h>

__attribute__((constructor)) static void LineBufferedOutput(void)
{
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
}
