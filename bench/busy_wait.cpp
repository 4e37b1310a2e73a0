// The waiting that the daemon must not do: re-reading time() until a moment
// has passed, for the number of seconds given.
#include <cstdlib>
#include <ctime>

int main(int argc, char **argv)
{
    time_t end = time(nullptr) + (argc > 1 ? std::atoi(argv[1]) : 20);
    while (time(nullptr) <= end) {
    }
    return 0;
}
