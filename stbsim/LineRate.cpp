// The host's line rate as the kernel holds it. termios2 also carries rates
// set outside the B-constants; it is kept apart from <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace stbsim {

int line_rate(int fd)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return static_cast<int>(t.c_ospeed);
}

}  // namespace stbsim
