"""The client of the test driver (driver/, scdriver.exe of the width under
test), a Win32 program in the session's prefix that clicks, presses keys and
reads windows the way a user would.

One command a line, answered by one line: "ok <json>" or "err <reason>".
Each command, its arguments and its reply's fields are described once, where
the driver carries it out (driver/commands.cpp); the methods here only
carry them. Texts are str here and hex of cp1251 bytes on the wire. Every
wait a caller passes (ms) is a wait on the 64-bit driver, scaled here.
"""

import json
import os
import select
import subprocess
import time

import wine_processes
from prefixes import windows_path
from program import TITLE
from width import Closes, HarnessError
from wine_processes import LOADER, WineCrashed


class DriverError(HarnessError):
    """The driver answered a command with err."""


def cp1251_hex(text):
    """A text as the driver takes it: hex of its cp1251 bytes, "-" when empty."""
    return text.encode("cp1251").hex() or "-"


def from_hex(digits):
    """A text the driver reported (hex of cp1251 bytes) as a str."""
    return bytes.fromhex(digits).decode("cp1251")


def _decode(reply, *keys):
    for key in keys:
        if key in reply:
            reply[key] = from_hex(reply[key])
    return reply


class Driver(Closes):
    """scdriver.exe running in the session's prefix. A command answered with
    err raises DriverError; a driver that stops answering is killed and
    raises HarnessError (WineCrashed when Wine crashed). close() ends the
    program too if it still runs. A command without a method of its own is
    a method all the same: driver.hit(x, y) is driver.call("hit", x, y)."""

    def __init__(self, session, extra_env=None, ready_timeout=60):
        self.session = session
        self.w = session.w
        env = dict(session.env)
        env.update(extra_env or {})
        self._log = open(session.logs / "driver.log", "ab")
        self._proc = subprocess.Popen([LOADER, windows_path(self.w.driver_exe())], env=env,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=self._log, start_new_session=True)
        self._buffer = b""
        session.drivers.append(self)
        try:
            line = self._read_line(ready_timeout)
            if line != "ready":
                raise HarnessError(f"driver said {line!r} instead of ready")
        except BaseException:
            self.close()
            raise

    # -- plumbing

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if not select.select([self._proc.stdout], [], [], min(1.0, max(0.0, left)))[0]:
                crash = self.session.crash()
                if crash:
                    self._kill()
                    raise WineCrashed(crash)
                if left <= 0:
                    self._kill()
                    raise HarnessError(f"driver gave no answer within {timeout} s")
                continue
            chunk = os.read(self._proc.stdout.fileno(), 65536)
            if not chunk:
                self._kill()
                raise WineCrashed("the driver ended (see driver.log)")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode("utf-8").rstrip("\r")

    def call(self, command, *args, bound_ms=0):
        """Sends one command line; returns the reply's JSON object. bound_ms
        is the command's own longest wait (scaled already), added to the
        driver's slack for an answer."""
        if self._proc is None:
            raise HarnessError("driver is closed")
        line = " ".join([command, *[str(a) for a in args]])
        self._proc.stdin.write(line.encode("utf-8") + b"\n")
        self._proc.stdin.flush()
        reply = self._read_line(self.w.bound(15) + bound_ms / 1000.0)
        status, _, body = reply.partition(" ")
        if status == "ok":
            return json.loads(body)
        if status == "err":
            raise DriverError(f"{line}: {body}")
        raise HarnessError(f"driver answered {reply!r} to {line!r}")

    def _waiting(self, command, ms, *args, extra_ms=0):
        """A command whose last argument is a wait of ms on 64-bit Wine."""
        ms = self.w.bound_ms(ms)
        return self.call(command, *args, ms, bound_ms=ms + extra_ms)

    def _kill(self):
        if self._proc is not None and self._proc.poll() is None:
            self._proc.kill()
            self._proc.wait()

    def close(self):
        """Ends the program (if it still runs) and the driver."""
        if self._proc is not None:
            if self._proc.poll() is None:
                try:
                    self.call("quit")
                    self._proc.wait(timeout=self.w.bound(10))
                except (HarnessError, subprocess.TimeoutExpired, OSError):
                    self._kill()
            self._proc.stdin.close()
            self._proc.stdout.close()
            self._proc = None
        if self in self.session.drivers:
            self.session.drivers.remove(self)
        self._log.close()
        # The program lives in a job that ends with the driver; check anyway
        # once no other driver of the session could own a running program.
        if not self.session.drivers:
            wine_processes.kill(self.session.prefix, self.w.program)

    def __getattr__(self, command):
        if command.startswith("_"):
            raise AttributeError(command)
        return lambda *args: self.call(command, *args)

    # -- the program

    def start_program(self, args=(), exe=None, title=TITLE):
        """Checks the port mapping, starts the program, waits until it is idle
        in its message loop and finds its main window by title (skipped when
        title is None). Returns the start reply."""
        self.session.assert_ports_safe()
        idle_ms = self.w.bound_ms(15000)
        command_line = " ".join([f'"{windows_path(exe or self.w.program_exe())}"', *args])
        reply = self.call("start", idle_ms, command_line, bound_ms=idle_ms)
        if title is not None:
            self.find_window(title, 10000)
        return reply

    def wait_exit(self, ms=5000):
        return self._waiting("wait_exit", ms)

    def kill_program(self):
        return self.call("kill", bound_ms=5000)

    # -- windows

    def find_window(self, title=TITLE, ms=5000):
        """Makes the program's visible top-level window with this exact title
        the main window of later commands."""
        return self._waiting("find_window", ms, cp1251_hex(title))

    def window(self):
        return _decode(self.call("window"), "title")

    def children(self):
        return [_decode(c, "text") for c in self.call("children")["children"]]

    def controls(self):
        """children() as {id: child}."""
        return {c["id"]: c for c in self.children()}

    def texts(self):
        """{id: text} of the main window's children."""
        return {c["id"]: c["text"] for c in self.children()}

    def text(self, control):
        return from_hex(self.call("text", control)["text"])

    def wtexts(self):
        """Every text of the program's visible top-level windows, read as
        Unicode: {class: {"title": title, id: text of each child}}."""
        def text(digits):
            return bytes.fromhex(digits).decode("utf-8")
        return {w["class"]: {"title": text(w["title"]),
                             **{c["id"]: text(c["text"]) for c in w["children"]}}
                for w in self.call("wtexts")["windows"]}

    def combo(self, control):
        reply = self.call("combo", control)
        reply["items"] = [from_hex(i) for i in reply["items"]]
        return reply

    def focused_id(self):
        return self.focus()["id"]

    # -- input; wait=False does not wait for the program to settle

    def click_control(self, control, dx=0, dy=0, wait=True):
        return self.call("click_control", control, dx, dy, *([] if wait else ["nowait"]))

    def click(self, x, y, wait=True):
        return self.call("click", x, y, *([] if wait else ["nowait"]))

    def key(self, chord, wait=True):
        return self.call("key", chord, *([] if wait else ["nowait"]))

    def pick_mouse(self, control, index):
        return self.call("pick_mouse", control, index, bound_ms=self.w.bound_ms(4000))

    def pick_keys(self, control, index):
        return self.call("pick_keys", control, index, bound_ms=self.w.bound_ms(10000))

    def responds(self, ms):
        return self._waiting("responds", ms)

    # -- message boxes, texts over time, fonts

    def msgbox(self, ms=2000):
        reply = self._waiting("msgbox", ms)
        if reply["found"]:
            _decode(reply, "title", "text")
            reply["buttons"] = [_decode(b, "text") for b in reply["buttons"]]
        return reply

    def msgbox_press(self, button_id, ms=2000):
        return self._waiting("msgbox_press", ms, button_id, extra_ms=2000)

    def wait_text(self, control, old, ms):
        """Waits up to ms for the control's text to differ from old."""
        return _decode(self._waiting("wait_text", ms, control, cp1251_hex(old)), "text")

    def font_check(self, control, text=None):
        args = [control] + ([] if text is None else [cp1251_hex(text)])
        return self.call("font_check", *args)
