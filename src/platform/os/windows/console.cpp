#include "platform/os/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <initializer_list>

namespace os {
namespace {

HANDLE handleOf(StandardStream stream) {
    return ::GetStdHandle(stream == StandardStream::Input    ? STD_INPUT_HANDLE
                          : stream == StandardStream::Output ? STD_OUTPUT_HANDLE
                                                             : STD_ERROR_HANDLE);
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
    ::SetConsoleOutputCP(CP_UTF8);
    for (const StandardStream stream : {StandardStream::Output, StandardStream::Error}) {
        DWORD mode = 0;
        if (::GetConsoleMode(handleOf(stream), &mode) != 0)
            ::SetConsoleMode(handleOf(stream),
                             mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

}  // namespace os
