#include "libports.h"
#include "tandro.h"

int main(int argc, char **argv)
{
    PREP_RELOCATE();
    self_relocate(argc, (const char **)argv);
    return 0;
}
