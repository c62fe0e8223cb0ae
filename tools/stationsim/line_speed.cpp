#include "line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int ReadOtherBaud(int tty)
{
    termios2 settings{};
    if (ioctl(tty, TCGETS2, &settings) != 0) return -1;
    return int(settings.c_ospeed);
}

bool SetOtherBaud(int tty, int baud)
{
    termios2 settings{};
    if (ioctl(tty, TCGETS2, &settings) != 0) return false;
    settings.c_cflag =
        (settings.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = settings.c_ospeed = speed_t(baud);
    return ioctl(tty, TCSETS2, &settings) == 0;
}
