"""Rewrites a zip in place so that its bytes depend only on the names and
contents of its files: entries in name order, each dated SOURCE_DATE_EPOCH
(read as UTC), mode 755 for programs and 644 for the rest, no extra fields
(CPack's zips carry Unix times and owner ids in them), deflated at level 9."""
import os
import sys
import time
import zipfile

path = sys.argv[1]
if not os.environ.get("SOURCE_DATE_EPOCH"):
    sys.exit("normalize_zip.py: SOURCE_DATE_EPOCH (seconds since 1970) is not set")
stamp = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))[:6]

with zipfile.ZipFile(path) as source:
    entries = sorted((info.filename, info.external_attr >> 16, source.read(info))
                     for info in source.infolist() if not info.is_dir())

with zipfile.ZipFile(path + ".tmp", "w") as target:
    for name, mode, data in entries:
        info = zipfile.ZipInfo(name, stamp)
        info.create_system = 3  # Unix, so that the mode below means what it says
        info.external_attr = (0o100755 if mode & 0o111 else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        target.writestr(info, data, compresslevel=9)
os.replace(path + ".tmp", path)
