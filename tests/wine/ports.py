"""The port guard (README.md, "Serial ports: never the console"): every
com1..com20 link of the prefix, written to a path the test chose (one that
does not exist for an absent port), and the serial devices of the machine.
Wine's mount manager, finding neither a device nor a registry mapping,
leaves the links alone."""

import os
from pathlib import Path

from width import HarnessError

PORT_COUNT = 20
SERIAL_DEVICE_PATTERNS = ("ttyS*", "ttyUSB*", "ttyACM*")


class UnsafePorts(HarnessError):
    """Some COM1..COM20 link of the prefix is not the one the test asked for,
    or a serial device of the machine is reachable."""


def wanted_links(present, absent_dir):
    """{n: target} for COM1..COM20: present maps port numbers to the paths
    they must reach; every other port gets a path in absent_dir, which must
    not exist."""
    links = {n: str(Path(absent_dir) / f"com{n}") for n in range(1, PORT_COUNT + 1)}
    for n, path in present.items():
        if not 1 <= int(n) <= PORT_COUNT:
            raise HarnessError(f"COM{n} is outside COM1..COM{PORT_COUNT}")
        links[int(n)] = str(path)
    return links


def is_machine_serial_device(path):
    """Whether a path leads (through links) to a serial device of the
    machine, or its console."""
    resolved = Path(os.path.realpath(path))
    return resolved == Path("/dev/console") or resolved.parent == Path("/dev") and any(
        resolved.match(pattern) for pattern in SERIAL_DEVICE_PATTERNS)


def link_problems(dosdevices, wanted, absent_dir):
    """What is wrong with com1..com20 of a dosdevices folder, as a list of
    texts; empty when every link is exactly the wanted one, no absent path
    exists and no link reaches a serial device of the machine. A missing
    link shows as None, anything there that is not a link as ""."""
    problems = []
    for n in range(1, PORT_COUNT + 1):
        entry = Path(dosdevices) / f"com{n}"
        target = os.readlink(entry) if entry.is_symlink() else "" if os.path.lexists(entry) else None
        if target != wanted[n]:
            problems.append(f"com{n} -> {target} (wanted {wanted[n]})")
            continue
        if target.startswith(str(absent_dir)) and os.path.lexists(target):
            problems.append(f"com{n} -> {target}, which should not exist")
        if is_machine_serial_device(target):
            problems.append(f"com{n} -> {target} reaches a serial device of the machine")
    return problems


def write_links(dosdevices, wanted):
    """Makes com1..com20 exactly the wanted links, each in one step (never a
    missing link, from which Wine would fall back to /dev/ttyS<N-1>), and
    removes any other comN link that reaches a serial device."""
    dosdevices = Path(dosdevices)
    for n, target in wanted.items():
        entry = dosdevices / f"com{n}"
        if entry.is_symlink() and os.readlink(entry) == target:
            continue
        temporary = dosdevices / f".com{n}.new"
        if os.path.lexists(temporary):
            temporary.unlink()
        temporary.symlink_to(target)
        os.replace(temporary, entry)
    for entry in dosdevices.glob("com*"):
        if entry.name[3:].isdigit() and int(entry.name[3:]) > PORT_COUNT \
                and is_machine_serial_device(entry):
            entry.unlink()


def exposed_serial_devices():
    """Serial devices of the machine, and its console, that this process can
    reach: those that exist and are not /dev/null (isolated.sh leaves none)."""
    null = os.stat("/dev/null").st_rdev
    found = []
    for path in [*sorted(p for pattern in SERIAL_DEVICE_PATTERNS
                         for p in Path("/dev").glob(pattern)), Path("/dev/console")]:
        try:
            if os.stat(path).st_rdev != null:
                found.append(str(path))
        except OSError:
            continue
    return found


def assert_isolated():
    """Raises UnsafePorts when a serial device of the machine is reachable."""
    exposed = exposed_serial_devices()
    if exposed:
        raise UnsafePorts("serial devices reachable: " + ", ".join(exposed)
                          + " (run the tests through tests/wine/isolated.sh)")


def assert_safe(dosdevices, wanted, absent_dir):
    """Raises UnsafePorts unless a mapping is in force, no serial device of
    the machine is reachable and every link is exactly the wanted one."""
    if wanted is None:
        raise UnsafePorts("no port mapping in force: map the ports first")
    assert_isolated()
    problems = link_problems(dosdevices, wanted, absent_dir)
    if problems:
        raise UnsafePorts("; ".join(problems))
