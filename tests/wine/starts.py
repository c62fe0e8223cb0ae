"""How reliably a harness session starts: N times in a row, a session of each
width named (64, 32 or 64,32), each with the program against a station on
COM3, which must show READY. Prints one line per session, then how many
failed and why; the logs of a failed one are kept in
build/wine-starts/start<n>-<width>/. With --fresh, each round first builds
the prefix into an empty cache, as on a new machine, and counts the crash
lines of its build; a round that leaves a winedbg running fails.

    bash tests/wine/isolated.sh /usr/bin/python3 tests/wine/starts.py 64,32 10 [--fresh]
"""

import os
import shutil
import sys
import tempfile
import time

from program import READY, STATUS
from session import WineSession
from station import Station
from width import BUILD, width
from wine_processes import PROCESS_CRASHED, SERVER_CRASHED, processes


def one_start(w):
    """Starts a session and the program; returns (failure or None, the
    session)."""
    session = WineSession(w, keep=True)
    why = None
    try:
        session.start()
        with Station(session) as station:
            session.map_ports({3: station.path})
            with session.driver() as driver:
                driver.start_program()
                status = driver.text(STATUS)
                if status != READY:
                    why = f"status {status!r} with the station on COM3"
    except Exception as e:  # every failure is counted and named
        why = f"{type(e).__name__}: {str(e).splitlines()[0] if str(e) else ''}"[:300]
    finally:
        try:
            session.close()
        except Exception as e:
            why = why or f"close: {e}"
    return why, session


def crash_lines(logs):
    return sum(log.read_bytes().count(sign) for log in logs.glob("prefix-build*.log")
               for sign in (PROCESS_CRASHED, SERVER_CRASHED))


def main():
    widths, count = [width(bits) for bits in sys.argv[1].split(",")], int(sys.argv[2])
    fresh = "--fresh" in sys.argv[3:]
    kept = BUILD / "wine-starts"
    shutil.rmtree(kept, ignore_errors=True)
    failures, retried, crashes = [], 0, 0
    for n in range(1, count + 1):
        if fresh:
            os.environ["STATIONCLOCK_PREFIX_CACHE"] = tempfile.mkdtemp(prefix="prefixes-")
        for w in widths:
            began = time.monotonic()
            why, session = one_start(w)
            folders = [session.root, *([os.environ["STATIONCLOCK_PREFIX_CACHE"]] if fresh else [])]
            debuggers = [pid for folder in folders for pid in processes(folder, "winedbg")]
            if debuggers:
                why = why or f"winedbg left running: pids {debuggers}"
            retried += session.retries > 0
            crashes += crash_lines(session.logs)
            if why:
                failures.append(why)
                shutil.copytree(session.logs, kept / f"start{n}-{w.bits}")
            shutil.rmtree(session.root, ignore_errors=True)
            print(f"start {n}, {w.bits}-bit: {'FAILED ' + why if why else 'ok'}"
                  + "".join(f"; {note}" for note in session.notes)
                  + f" ({time.monotonic() - began:.1f} s)", flush=True)
        if fresh:
            shutil.rmtree(os.environ["STATIONCLOCK_PREFIX_CACHE"])
    print(f"{len(failures)} of {count * len(widths)} sessions failed, {retried} made some "
          f"attempt again; {crashes} crash lines in the prefix builds")
    for why in sorted(set(failures)):
        print(f"  {failures.count(why)} x {why}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
