#pragma once
// The standard streams of a command-line program.

namespace os {

enum class StandardStream { Input, Output, Error };

// True when the stream is a terminal or console a person reads or types at; false for a file, a
// pipe or the null device.
bool isTerminal(StandardStream stream);

// Prepares the standard streams for the program's output: on Windows, output and error carry
// bytes as written (no newline translation), a console shows UTF-8 and interprets the terminal
// control sequences the program writes. Nothing to do elsewhere.
void prepareStandardStreams();

}  // namespace os
