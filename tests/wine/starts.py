"""How reliably a harness session starts: starts and stops one N times in a
row for one width (a session, then the program against a station on COM3,
which must show READY) and prints how many starts failed and why; the logs
of a failed start are kept in build/wine-starts<width>/start<n>/. With
--fresh, each start first builds its prefix into an empty cache, as on a
new machine.

    bash tests/wine/isolated.sh /usr/bin/python3 tests/wine/starts.py 64 50 [--fresh]
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
from wine_processes import processes


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


def main():
    w, count = width(sys.argv[1]), int(sys.argv[2])
    fresh = "--fresh" in sys.argv[3:]
    kept = BUILD / f"wine-starts{w.bits}"
    shutil.rmtree(kept, ignore_errors=True)
    failures = []
    retried = 0
    for n in range(1, count + 1):
        began = time.monotonic()
        if fresh:
            os.environ["STATIONCLOCK_PREFIX_CACHE"] = tempfile.mkdtemp(prefix="prefixes-")
        why, session = one_start(w)
        folders = [session.root, *([os.environ["STATIONCLOCK_PREFIX_CACHE"]] if fresh else [])]
        debuggers = [pid for folder in folders for pid in processes(folder, "winedbg")]
        if fresh:
            shutil.rmtree(folders[1])
        if debuggers:
            why = why or f"winedbg left running: pids {debuggers}"
        retried += session.retries > 0
        if why:
            failures.append(why)
            shutil.copytree(session.logs, kept / f"start{n}")
        shutil.rmtree(session.root, ignore_errors=True)
        took = time.monotonic() - began
        print(f"start {n}: {'FAILED ' + why if why else 'ok'}"
              + "".join(f"; {note}" for note in session.notes) + f" ({took:.1f} s)", flush=True)
    print(f"{w.bits}-bit: {len(failures)} of {count} starts failed, "
          f"{retried} made some attempt again")
    for why in sorted(set(failures)):
        print(f"  {failures.count(why)} x {why}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
