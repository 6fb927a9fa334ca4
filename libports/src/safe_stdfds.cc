#include "safe_stdfds.h"

#include <errno.h>
#include <fcntl.h>

int safe_stdfds(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is fd itself, since every one below it is open.
        int got = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (got < 0)
            return -1;
    }
    return 0;
}
