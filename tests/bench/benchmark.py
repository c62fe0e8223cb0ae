"""Measures the real stationclock.exe under Wine against the simulated
station pacing its bytes at 1200 baud, and prints a table: each figure is the
median of RUNS runs, next to the limit it is compared with."""

import os
from statistics import median
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "wine"))

from program import ELAPSED, NOT_AVAILABLE, QUERY, READY, STATUS, SYNC, TITLE  # noqa: E402
from session import WineSession  # noqa: E402
from station import Station  # noqa: E402
from width import BUILD, width  # noqa: E402

RUNS = int(os.environ.get("BENCH_RUNS", "10"))
LINE_MS_PER_BYTE = 10 / 1200 * 1000
QUERY_LINE_MS = 14 * LINE_MS_PER_BYTE  # the command and the 13-byte frame
SYNC_LIMIT_MS = 6 * 210
PARK = (1010, 755)
TICK_MS = 1000 / os.sysconf("SC_CLK_TCK")


def cpu_ms(pids):
    """User and system time of the processes so far, in ms."""
    total = 0
    for pid in pids:
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])
    return total * TICK_MS


def idle_cpu_ms(session, exe, ports, title):
    """Processor time of the program waiting in its message loop for 10 s."""
    session.map_ports(ports)
    with session.driver() as driver:
        driver.start_program(exe=exe, title=title)
        driver.move(*PARK)
        time.sleep(1)
        pids = session.wine_processes(Path(exe).name)
        cpu = cpu_ms(pids)
        time.sleep(10)
        used = cpu_ms(pids) - cpu
        driver.post_close()
        driver.wait_exit(5000)
    return used


def start_ms(session, exe, ports):
    """From process start to the program waiting for input with its status
    label showing its final text (the port probe is over)."""
    session.map_ports(ports)
    times = []
    with session.driver() as driver:
        for _ in range(RUNS):
            reply = driver.start_program(exe=exe, title=None)
            driver.find_window("Minimal" if "minimal" in str(exe) else TITLE)
            assert driver.text(STATUS) in (READY, NOT_AVAILABLE), driver.text(STATUS)
            times.append(reply["ms"])
            driver.post_close()
            driver.wait_exit(5000)
    return median(times)


def exchange_figures(session, station):
    session.map_ports({2: station.path})
    rows = {}
    with session.driver() as driver:
        driver.start_program()
        driver.move(*PARK)
        pids = session.wine_processes(session.w.program)
        query_ms, query_cpu = [], []
        for _ in range(RUNS):
            time.sleep(1.1)  # the elapsed text changes with the second
            before = driver.text(ELAPSED)
            cpu = cpu_ms(pids)
            driver.click_control(QUERY, wait=False)
            changed = driver.wait_text(ELAPSED, before, 5000)
            assert changed["changed"], "the query showed nothing"
            query_ms.append(changed["since_input_ms"])
            time.sleep(0.2)
            query_cpu.append(cpu_ms(pids) - cpu)
        rows["query"] = (median(query_ms), QUERY_LINE_MS, median(query_cpu))

        sync_ms, paced_ms, sync_cpu = [], [], []
        for n in range(1, RUNS + 1):
            cpu = cpu_ms(pids)
            received = len(station.received())
            clicked = time.clock_gettime(time.CLOCK_MONOTONIC) * 1000
            driver.click_control(SYNC)
            last = station.wait_for("SET", n)[n - 1]
            command = station.received()[received][0]
            sync_ms.append(last.mono - clicked)
            paced_ms.append(last.mono - command)
            sync_cpu.append(cpu_ms(pids) - cpu)
        rows["sync"] = (median(sync_ms), SYNC_LIMIT_MS, median(sync_cpu))
        rows["paced"] = median(paced_ms)

        # A pointer resting on a themed button costs Wine a tracking timer.
        driver.move(*PARK)
        time.sleep(1)
        cpu = cpu_ms(pids)
        time.sleep(10)
        rows["idle"] = cpu_ms(pids) - cpu
        driver.post_close()
        driver.wait_exit(5000)
    return rows


def main():
    w = width(64)
    exe, exe32 = w.program_exe(), width(32).program_exe()
    minimal = BUILD / "win64" / "tests" / "bench" / "minimal.exe"
    with WineSession(w) as session:
        with Station(session) as station:
            rows = exchange_figures(session, station)
        minimal_ms = start_ms(session, minimal, {})
        absent_ms = start_ms(session, exe, {})
        with Station(session) as last_port:
            com20_ms = start_ms(session, exe, {20: last_port.path})
        with Station(session) as first_port:
            com1_ms = start_ms(session, exe, {1: first_port.path})
        minimal_idle = idle_cpu_ms(session, minimal, {}, "Minimal")

    print(f"stationclock.exe under Wine, median of {RUNS} runs each")
    print(f"{'figure':<44}{'measured':>12}{'limit':>12}{'ratio':>8}")
    query, line, query_cpu = rows["query"]
    sync, limit, sync_cpu = rows["sync"]
    for name, value, against in (
            ("query: click to both labels shown", query, line),
            ("sync: click to the last byte received", sync, limit),
            ("  of which: command byte to the last byte", rows["paced"], limit),
            ("start-up, all 20 ports absent", absent_ms, minimal_ms),
            ("start-up, station on COM20", com20_ms, minimal_ms),
            ("start-up, station on COM1", com1_ms, minimal_ms)):
        print(f"{name:<44}{value:>10.1f}ms{against:>10.1f}ms{value / against:>8.2f}")
    print(f"{'  (limit: a minimal Win32 program starting)':<44}")
    print(f"{'processor time of one query':<44}{query_cpu:>10.1f}ms")
    print(f"{'processor time of one sync':<44}{sync_cpu:>10.1f}ms")
    print(f"{'processor time idle over 10 s':<44}{rows['idle']:>10.1f}ms{minimal_idle:>10.1f}ms")
    print(f"{'  (against: the minimal program idle)':<44}")
    for path in (exe, exe32, minimal):
        print(f"{'size of ' + path.name:<44}{path.stat().st_size:>10} B")


if __name__ == "__main__":
    main()
