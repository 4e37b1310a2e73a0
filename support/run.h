// Runs a program in a child process with stdin, stdout and stderr on
// /dev/null and no other descriptor inherited.
//
// With `wait` set the caller blocks until the child ends and gets its raw
// wait status: 0 only for a normal exit with status 0. A program that cannot
// be started shows as exit status 1; no child at all gives 1.
//
// Every child starts in a process group of its own (so that one signal ends
// it and whatever it started), with the signal mask clear and every signal
// at its default action, whatever the caller blocked or ignored.
#pragma once

#include <sys/types.h>

int run(const char *path, const char *arg1, const char *arg2, int wait);
// Starts the program and returns its pid at once, for the caller to reap;
// -1 when no child could be created.
pid_t run_child(const char *path, const char *arg1, const char *arg2);
