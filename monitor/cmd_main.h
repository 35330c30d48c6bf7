// The operator console: host menu and per-host dialogue.
#ifndef MONITOR_CMD_MAIN_H
#define MONITOR_CMD_MAIN_H

#include <cstdio>

#include "cmd_reply.h"

#define CMD_CONFIG_PATH "../cfg/cmd.cfg"
#define CMD_PROMPT_LEN 128

extern CmdMsg Cmd;  // the request buffer, zeroed once and then reused

// Runs the menu and the dialogues; ends the process itself.
[[noreturn]] void consoleLoop();
// Prints the host menu on standard output.
void help();
// Reads one byte from the descriptor under `stream`, bypassing its buffer.
// Returns the byte (0..255), or -1 at end of input or on error.
int my_getc(FILE *stream);

#endif
