#pragma once
// The standard streams of a command-line program.

namespace os {

enum class StandardStream { Input, Output, Error };

// True when the stream is a terminal or console a person reads or types at; false for a file, a
// pipe or the null device.
bool isTerminal(StandardStream stream);

// Prepares the standard streams for the program's output; call first thing in main(). On Linux
// the null device is opened on every standard stream the program was started without, so that no
// file it opens later takes that number and receives what is meant for the stream. On Windows,
// output and error carry bytes as written (no newline translation), and a console shows UTF-8
// and interprets the terminal control sequences the program writes; the console's code page and
// modes as found are given back when the program exits.
void prepareStandardStreams();

}  // namespace os
