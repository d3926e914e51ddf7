// Stands in for the full velmora-cli in the front's tests: prints the
// arguments it was started with, argv[0] included, one a line, and exits 42
// so that a passed-through exit code is told from any of velmora-cli's own.
#include <cstdio>

int main(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        std::printf("%s\n", argv[i]);
    }
    return 42;
}
