#include "platform/os/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace os {
namespace {

HANDLE handleOf(StandardStream stream) {
    return ::GetStdHandle(stream == StandardStream::Input    ? STD_INPUT_HANDLE
                          : stream == StandardStream::Output ? STD_OUTPUT_HANDLE
                                                             : STD_ERROR_HANDLE);
}

// The console's output code page and its output modes as the program found them, given back
// when it exits: the console outlives the program and belongs to whoever started it.
struct FoundConsole {
    UINT codePage = 0;
    DWORD modes[2] = {};
    bool hasMode[2] = {};
};
FoundConsole found;

void restoreConsole() {
    if (found.codePage != 0)
        ::SetConsoleOutputCP(found.codePage);
    const StandardStream streams[] = {StandardStream::Output, StandardStream::Error};
    for (int i = 0; i < 2; ++i)
        if (found.hasMode[i])
            ::SetConsoleMode(handleOf(streams[i]), found.modes[i]);
}

}  // namespace

bool isTerminal(StandardStream stream) {
    // A console answers for its mode; a file, a pipe and the null device do not (the C library's
    // isatty() takes the null device for a terminal).
    DWORD mode = 0;
    return ::GetConsoleMode(handleOf(stream), &mode) != 0;
}

void prepareStandardStreams() {
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    static const bool registered = [] {
        found.codePage = ::GetConsoleOutputCP();
        const StandardStream streams[] = {StandardStream::Output, StandardStream::Error};
        for (int i = 0; i < 2; ++i)
            found.hasMode[i] = ::GetConsoleMode(handleOf(streams[i]), &found.modes[i]) != 0;
        return std::atexit(restoreConsole) == 0;
    }();
    (void)registered;
    ::SetConsoleOutputCP(CP_UTF8);
    for (const StandardStream stream : {StandardStream::Output, StandardStream::Error}) {
        DWORD mode = 0;
        if (::GetConsoleMode(handleOf(stream), &mode) != 0)
            ::SetConsoleMode(handleOf(stream),
                             mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

}  // namespace os
