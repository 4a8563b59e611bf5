// termios2 lets a line take any rate; kept apart from <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kv {

bool set_custom_baud(int fd, int baud)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
    t.c_cflag &= ~(CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER << IBSHIFT;
    if (ioctl(fd, TCSETS2, &t) != 0)
        return false;
    struct termios2 check {};
    if (ioctl(fd, TCGETS2, &check) != 0)
        return false;
    return check.c_ospeed == static_cast<speed_t>(baud);
}

int get_line_baud(int fd)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return static_cast<int>(t.c_ospeed);
}

}  // namespace kv
