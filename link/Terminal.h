#pragma once

#include <string>

// The console and the interrupt keys of the command-line tools: the seam between them and the
// operating system (platform/<os>/<Os>Terminal.cpp). Texts are UTF-8.
namespace terminal {

enum class Stream { Out, Err };

// Makes the console take UTF-8 and terminal control sequences where it needs telling.
void Prepare();
// Whether the stream is a terminal a person watches (not a pipe or a file).
bool IsInteractive(Stream stream);
// The width of the terminal in columns; 80 when the stream is no terminal or will not say.
int Columns(Stream stream);
// Writes all of `text`, or as much as the stream takes. Blocks while the terminal does not read
// (Ctrl-S, a selection in a console): only a thread that can wait may call it.
void Write(Stream stream, const std::string& text);

// Ctrl-C and termination requests: recorded, never acted on inside the handler. A second one
// ends the program at once.
void InstallInterruptHandler();
// The request received: 0 for none, else the signal number (2 for Ctrl-C, 15 for a
// termination request).
int InterruptReceived();

// The current UTC time as 2026-12-06T07:13:15Z.
std::string UtcNow();

}  // namespace terminal
