"""What the program is and shows, defined once for every test, the
benchmark and the demo: its window, controls and texts, and the texts a
station's reply must give."""

import datetime

TITLE = "Метеостанция"
WINDOW_CLASS = "StationClockWindow"

# Control ids.
QUERY, SYNC, STATION_TIME, ELAPSED, PORTS, STATUS = 0, 2, 3, 4, 5, 6
LABELS = (STATION_TIME, ELAPSED, STATUS)

QUERY_TEXT, SYNC_TEXT = "Спросить", "Синхро"
READY, NOT_AVAILABLE = "READY", "not available"
PORT_NAMES = [f"COM{n}" for n in range(1, 21)]
IDOK = 1


def warning(port):
    """The message box's text when a button is pressed with port not open."""
    return f"Порт {port} недоступен"


# ---------------------------------------------------------------- a reply's texts

EPOCH = datetime.datetime(1970, 1, 1)


def signed(byte):
    return byte - 256 if byte > 127 else byte


def date_seconds(year, month, day, hour, minute, second):
    """Seconds from 1970 of a local wall-clock reading, or -1 when the fields
    are outside 1970-01-01 .. 2038-01-18 or impossible."""
    try:
        moment = datetime.datetime(year, month, day, hour, minute, second)
    except (ValueError, OverflowError):
        return -1
    if not EPOCH <= moment < datetime.datetime(2038, 1, 19):
        return -1
    return int((moment - EPOCH).total_seconds())


def expected_texts(frame, pc_now):
    """The two label texts for the 12 data bytes of a reply, with the PC's
    local clock reading pc_now (a naive datetime) at the time."""
    d = [signed(b) for b in frame]
    pc = date_seconds(pc_now.year, pc_now.month, pc_now.day, pc_now.hour, pc_now.minute,
                      pc_now.second) - 2
    station = date_seconds(2000 + d[5], d[4], d[3], d[0], d[1], d[2])
    reference = date_seconds(2000 + d[11], d[10], d[9], d[6], d[7], d[8])
    delta, elapsed = pc - station, pc - reference
    days = int(elapsed / 86400)  # toward zero
    first = f"{d[0]}:{d[1]}:{d[2]}   Delta {delta}c. {d[3]}/{d[4]}/20{d[5]}"
    second = f"Прошло {days} дней ({elapsed}с.)"
    return first, second


def texts_match(shown, frame, around):
    """Whether shown (two texts) is what the program shows for the frame with
    the PC clock read at around, give or take a second."""
    return any(tuple(shown) == expected_texts(frame, around + datetime.timedelta(seconds=s))
               for s in (0, -1, 1))


def delta_of(text):
    """Delta's number in the station time label."""
    return int(text.split("Delta ")[1].split("c.")[0])
