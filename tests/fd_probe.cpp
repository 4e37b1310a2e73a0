// Stands in for a program started by the daemon and tells by its exit status
// what it was given: 0 all as expected, 3 a standard stream not on /dev/null,
// 4 an inherited descriptor, 5 arguments other than "first" "second" (only
// checked when there are any).
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

int main(int argc, char **argv)
{
    if (argc > 1 && argc != 3)
        return 5;
    if (argc == 3 && (std::strcmp(argv[1], "first") != 0 || std::strcmp(argv[2], "second") != 0))
        return 5;

    struct stat null_dev;
    if (stat("/dev/null", &null_dev) != 0)
        return 3;
    for (int fd = 0; fd < 3; fd++) {
        struct stat st;
        if (fstat(fd, &st) != 0 || st.st_rdev != null_dev.st_rdev || !S_ISCHR(st.st_mode))
            return 3;
    }

    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return 4;
    int own = dirfd(dir);
    int status = 0;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        int fd = std::atoi(e->d_name);
        if (fd > 2 && fd != own)
            status = 4;
    }
    closedir(dir);
    return status;
}
