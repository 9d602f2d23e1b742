// What the tool and its tests both take from one place: the banner, the room
// for each resolved root and the exit statuses.
#ifndef ORVEL_ORVEL_H
#define ORVEL_ORVEL_H

// The build passes the project's version and the month of its release,
// both set beside each other in CMakeLists.txt.
#if !defined(ORVEL_VERSION) || !defined(ORVEL_RELEASE_DATE)
#error "ORVEL_VERSION and ORVEL_RELEASE_DATE must be defined by the build"
#endif

// The three lines printed before anything else; the format that prints them
// ends the last with a full stop.
#define BANNER_TEXT                                                            \
    "ORVEL version " ORVEL_VERSION ": Compares all files in two paths.\n"      \
    "Written by the ORVEL developers, " ORVEL_RELEASE_DATE ".\n"               \
    "Report problems through the ORVEL project's issue tracker"

// Bytes for a resolved root and its NUL: a root of 1,024 bytes or more is
// not found.
#define ROOT_PATH_BYTES 1024

// Exit statuses: the walk went through, with or without differences or read
// errors; or the run could not start, memory ran out or the report could
// not be written whole.
#define EXIT_WALKED 0
#define EXIT_ERROR 1

#endif  // ORVEL_ORVEL_H
