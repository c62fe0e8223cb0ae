// A tty's speed set the newer Linux way: the code BOTHER in c_cflag and the
// rate itself in the kernel's termios2. Kept apart from <termios.h>, whose
// struct termios is not the kernel's.
#pragma once

// The output rate in the tty's termios2; -1 when it cannot be read.
int ReadOtherBaud(int tty);
// Sets input and output to `baud` as BOTHER, the way Wine 10 does; false on
// failure.
bool SetOtherBaud(int tty, int baud);
