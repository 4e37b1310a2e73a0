// Runs a program in a child process of its own process group, with stdin,
// stdout and stderr on /dev/null, no other descriptor inherited, the signal
// mask clear and every signal at its default action.
//
// With `wait` set the caller gets the raw wait status: 0 only for a normal
// exit with status 0; a program that cannot start, or no child, gives 1.
#pragma once

#include <sys/types.h>

int run(const char *path, const char *arg1, const char *arg2, int wait);
// Starts the program and returns its pid at once, for the caller to reap;
// -1 when no child could be created.
pid_t run_child(const char *path, const char *arg1, const char *arg2);
