"""Checks a release folder written by scripts/release.sh: the zip's entries,
their dates and attributes, the guide's encoding and texts, SHA256SUMS.
Usage: check_release.py DIST VERSION COMMIT_TIME"""
import sys
import time
import zipfile
from pathlib import Path

dist, version, commit_time = Path(sys.argv[1]), sys.argv[2], int(sys.argv[3])
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


zip_name = f"stationclock-{version}.zip"
with zipfile.ZipFile(dist / zip_name) as archive:
    entries = archive.infolist()
    guide = archive.read("README.txt")
check([e.filename for e in entries] == ["README.txt", "stationclock.exe", "stationclock32.exe"],
      f"entries {[e.filename for e in entries]}")
# Zip dates have a resolution of 2 s.
dated = time.gmtime(commit_time - commit_time % 2)[:6]
for e in entries:
    check(e.date_time == dated, f"{e.filename} dated {e.date_time}, not the commit's {dated}")
    check(e.extra == b"", f"{e.filename} has extra fields {e.extra.hex()}")
    mode = 0o100755 if e.filename.endswith(".exe") else 0o100644
    check(e.external_attr == mode << 16, f"{e.filename} attributes {e.external_attr:#x}")

check(guide.startswith(b"\xef\xbb\xbf"), "guide lacks the UTF-8 byte-order mark")
check(guide.count(b"\n") > 100 and guide.count(b"\n") == guide.count(b"\r\n"), "guide's lines do not all end in CRLF")
text = guide.decode("utf-8-sig")
# The window's texts as the program shows them (code page 1251), and the
# example query: a Latin c after Delta, a Cyrillic one after the seconds.
window_texts = [
    b"\xd1\xef\xf0\xee\xf1\xe8\xf2\xfc",  # the query button
    b"\xd1\xe8\xed\xf5\xf0\xee",  # the sync button
    b"READY", b"not available",
    b"\xcf\xee\xf0\xf2 COM3 \xed\xe5\xe4\xee\xf1\xf2\xf3\xef\xe5\xed",  # the warning box
    b"14:5:9   Delta 42c. 3/11/2013",
    b"\xcf\xf0\xee\xf8\xeb\xee 2 \xe4\xed\xe5\xe9 (200000\xf1.)",
]
for window_text in map(lambda t: t.decode("cp1251"), window_texts):
    check(text.count(window_text) >= 2, f"guide does not quote {window_text!r} in both languages")
# The title's bytes as Windows 10 and older show them under code page 1252.
garbled = b"\xcc\xe5\xf2\xe5\xee\xf1\xf2\xe0\xed\xf6\xe8\xff".decode("cp1252")
check(text.count(garbled) >= 2, f"guide does not show the title as {garbled!r} in both languages")
check(text.startswith(f"stationclock {version}\r\n"), "guide does not start with the version")
check(f"certutil -hashfile {zip_name} SHA256" in text, "guide does not show how to check the zip")

sums = [line.split("  ", 1)[1] for line in (dist / "SHA256SUMS").read_text().splitlines()]
check(sums == [zip_name, f"stationclock-{version}/stationclock.exe", f"stationclock-{version}/stationclock32.exe"],
      f"SHA256SUMS names {sums}")

for failure in failures:
    print("release check:", failure)
sys.exit(1 if failures else 0)
