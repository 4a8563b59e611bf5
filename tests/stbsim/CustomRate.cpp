// Sets a line rate through termios2, as a host does for rates outside the
// B-constants; kept apart from <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool harness_set_custom_rate(int fd, int baud)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &t) == 0;
}
