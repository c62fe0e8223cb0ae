"""Pseudo-terminals that stand in for ports: a present one the test talks
through, and one that exists but cannot be opened, like a port that another
program holds."""

import ctypes
import os
import select
import tty

from width import Closes, HarnessError


class PtyPair(Closes):
    """A raw pseudo-terminal pair standing in for a present port.

    Map COMn to .path; the test talks to the program through read() and
    write(). The slave end stays open here as well, so that the master sees
    no hang-up before the program opens the port.
    """

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def read(self, count=4096, timeout=0.0):
        """Bytes waiting on the master side, waiting up to timeout seconds for
        the first; b"" when none came."""
        ready, _, _ = select.select([self.master], [], [], timeout)
        return os.read(self.master, count) if ready else b""

    def write(self, data):
        return os.write(self.master, data)

    def close(self):
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None


class LockedPty(Closes):
    """A pty whose slave was never unlocked: .path exists but every open of
    it fails (Wine: error 998)."""

    def __init__(self):
        self.master = os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
        name = ctypes.create_string_buffer(64)
        if ctypes.CDLL(None).ptsname_r(self.master, name, len(name)) != 0:
            self.close()
            raise HarnessError("ptsname_r failed")
        self.path = name.value.decode()

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None
