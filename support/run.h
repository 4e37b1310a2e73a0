// Runs a program in a child process with stdin, stdout and stderr on
// /dev/null and no other descriptor inherited.
//
// With `wait` set the caller blocks until the child ends and gets its raw
// wait status: 0 only for a normal exit with status 0. A program that cannot
// be started shows as exit status 1; no child at all gives 1.
#pragma once

int run(const char *path, const char *arg1, const char *arg2, int wait);
