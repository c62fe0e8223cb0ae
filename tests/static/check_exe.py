#!/usr/bin/env python3
"""Static checks of the two built programs, read with pefile.

    check_exe.py [EXE64 EXE32]
    check_exe.py --self-test [EXE64 EXE32]

The first file must be the x86-64 program, the second the i686 one
(default: build/win64/stationclock.exe and build/win32/stationclock32.exe).
Each check prints one `ok`/`FAIL` line; the last line is `N passed, M failed`
and the exit status is non-zero if anything failed.

--self-test first requires both files to pass unmodified, then damages
copies of them in memory (machine, subsystem, size, imports, icons,
manifest, version) and requires every damaged copy to fail the matching check.

Every imported function must be in windows_exports.txt beside this file,
with an oldest Windows no newer than the one the program's header names.
The version resource must give the version in the file VERSION at the top of
the repository, and the program's own file name.
"""

import os
import re
import sys
import xml.etree.ElementTree as ET

import pefile

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "ole32.dll",
                "winmm.dll", "msvcrt.dll", "advapi32.dll"}

# Each program fits in 300 KB, its 188 KB of icons included.
SIZE_LIMIT = 300 * 1024

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LANG_EN_US, LANG_RU_RU = 1033, 1049

# Icon images in the order the group lists them: size-major, then bit count.
ICON_IMAGES = [(size, bits) for size in (16, 32, 48, 64, 128) for bits in (4, 24, 32)]

# windows: the oldest Windows the program runs on, as the PE header's subsystem
# version: XP x64 / Server 2003, and XP.
TARGETS = {
    64: dict(machine=0x8664, magic=0x20B, arch="amd64", label="x86-64", windows=(5, 2),
             program="stationclock.exe"),
    32: dict(machine=0x14C, magic=0x10B, arch="X86", label="i686", windows=(5, 1),
             program="stationclock32.exe"),
}

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXPORTS_TABLE = os.path.join(HERE, "windows_exports.txt")
VERSION_FILE = os.path.join(ROOT, "VERSION")

COMMON_CONTROLS = dict(name="Microsoft.Windows.Common-Controls", version="6.0.0.0",
                       type="win32", publicKeyToken="6595b64144ccf1df", language="*")

# The manifest's code page setting: application/windowsSettings/activeCodePage.
ACTIVE_CODE_PAGE = "/".join(["{urn:schemas-microsoft-com:asm.v3}application",
                             "{urn:schemas-microsoft-com:asm.v3}windowsSettings",
                             "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}activeCodePage"])

# Manifest elements the program must not have.
FORBIDDEN_ELEMENTS = {"dpiaware", "dpiawareness", "trustinfo", "requestedexecutionlevel"}

# The version strings are Russian, code page 1251: the block that
# \VarFileInfo\Translation names, which Explorer and Task Manager read.
TRANSLATION, STRING_BLOCK = "0x0419 0x04e3", "041904E3"
VOS_NT_WINDOWS32, VFT_APP = 0x40004, 1

# Formats of the icon resources' contents, in pefile's notation.
GROUP_HEADER = ("GRPICONDIR", ("H,Reserved", "H,Type", "H,Count"))
GROUP_ENTRY = ("GRPICONDIRENTRY", ("B,Width", "B,Height", "B,ColorCount", "B,Reserved",
                                   "H,Planes", "H,BitCount", "I,BytesInRes", "H,ID"))
DIB_HEADER = ("BITMAPINFOHEADER", ("I,Size", "i,Width", "i,Height", "H,Planes", "H,BitCount",
                                   "I,Compression", "I,SizeImage", "i,XPelsPerMeter",
                                   "i,YPelsPerMeter", "I,ClrUsed", "I,ClrImportant"))


class Results:
    def __init__(self, out=sys.stdout):
        self.items = []  # (key, passed)
        self.out = out

    def add(self, key, passed, label, detail=""):
        self.items.append((key, passed))
        if self.out:
            line = f"{'ok  ' if passed else 'FAIL'} {label}"
            if detail and not passed:
                line += f": {detail}"
            print(line, file=self.out)

    def failed(self):
        return {key for key, passed in self.items if not passed}


def add_problems(results, name, problems, labels):
    """One result for each (key, label), failed if `problems` has the key."""
    for key, label in labels:
        results.add(key, key not in problems, f"{name}: {label}", problems.get(key, ""))


def resources(pe):
    """{(type, name, lang): pefile's language entry}; ids are ints, names str."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name)

    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return {}
    return {(key(kind), key(name), lang.id): lang
            for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(kind, "directory")
            for name in kind.directory.entries if hasattr(name, "directory")
            for lang in name.directory.entries if hasattr(lang, "data")}


def contents(pe, resource):
    return pe.get_data(resource.data.struct.OffsetToData, resource.data.struct.Size)


def structure(pe, format, resource, start=0):
    """The structure `format` at `start` in a resource's contents, or None if
    they are too short; pe.write() writes back what is changed in it."""
    data = contents(pe, resource)[start:]
    return pe.__unpack_data__(format, data, pe.get_offset_from_rva(resource.data.struct.OffsetToData) + start)


def icon_group(pe, group):
    """The group's entries, or [] if it is malformed."""
    header = structure(pe, GROUP_HEADER, group)
    size = pefile.Structure(GROUP_ENTRY).sizeof()
    if not header or (header.Reserved, header.Type) != (0, 1) or \
            group.data.struct.Size != header.sizeof() + size * header.Count:
        return []
    return [structure(pe, GROUP_ENTRY, group, header.sizeof() + size * i) for i in range(header.Count)]


def imports(pe):
    """{dll name in lower case: [function names]} from the import and the
    delay-load import directories; "#n" for ordinal n."""
    found = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
        found.setdefault(entry.dll.decode("latin-1").lower(), []).extend(
            f.name.decode("latin-1") if f.name else f"#{f.ordinal}" for f in entry.imports)
    return found


def local(tag):
    return tag.rsplit("}", 1)[-1]


def manifest_problems(text, arch):
    """{key: problem} for a manifest that is wrong for `arch`; empty if right."""
    problems = {}
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return {"manifest_xml": f"not well-formed XML ({e})"}
    if local(root.tag) != "assembly":
        return {"manifest_xml": f"root element is <{local(root.tag)}>, not <assembly>"}

    def same(a, b):
        return a is not None and a.lower() == b.lower()

    own = [e for e in root if local(e.tag) == "assemblyIdentity"]
    if len(own) != 1:
        problems["manifest_identity"] = f"{len(own)} assemblyIdentity elements under <assembly>"
    elif not (same(own[0].get("type"), "win32") and own[0].get("name")
              and same(own[0].get("processorArchitecture"), arch)):
        problems["manifest_identity"] = f"program identity is {dict(own[0].attrib)}"

    dependencies = []
    for dependency in root:
        if local(dependency.tag) != "dependency":
            continue
        for dependent in dependency:
            if local(dependent.tag) == "dependentAssembly":
                dependencies += [dict(e.attrib) for e in dependent if local(e.tag) == "assemblyIdentity"]
    controls = [d for d in dependencies if same(d.get("name"), COMMON_CONTROLS["name"])]
    if len(dependencies) != 1 or len(controls) != 1:
        problems["manifest_dependency"] = f"dependencies are {dependencies}"
    else:
        wanted = dict(COMMON_CONTROLS, processorArchitecture=arch)
        wrong = {k: controls[0].get(k) for k, v in wanted.items()
                 if not (controls[0].get(k) == v if k == "version" else same(controls[0].get(k), v))}
        if wrong:
            problems["manifest_dependency"] = f"Common-Controls has {wrong}, wants {wanted}"

    pages = [(e.text or "").strip() for e in root.findall(ACTIVE_CODE_PAGE)]
    if pages != ["ru-RU"]:
        problems["manifest_codepage"] = f"active code pages {pages}"

    forbidden = sorted({local(e.tag) for e in root.iter() if local(e.tag).lower() in FORBIDDEN_ELEMENTS})
    if forbidden:
        problems["manifest_settings"] = f"has {', '.join(forbidden)}"
    return problems


def read_exports_table(path=EXPORTS_TABLE):
    """{(dll, function): (major, minor)}: the oldest Windows that exports it."""
    table = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split("#")[0].split()
            if words:
                version = tuple(int(n) for n in words[1].split("."))
                table.update({(words[0].lower(), function): version for function in words[2:]})
    return table


def read_version(path=VERSION_FILE):
    with open(path, encoding="utf-8") as f:
        return f.readline().strip()


def import_problems(functions, windows, table):
    """{key: problem} for imported (dll, function) pairs that the table lacks
    or that are newer than windows (major, minor)."""
    problems = {}
    unknown = sorted(f"{dll}!{f}" for dll, f in functions if (dll, f) not in table)
    if unknown:
        problems["imports_known"] = f"look up and add to {os.path.basename(EXPORTS_TABLE)}: {unknown}"
    newer = sorted(f"{dll}!{f} ({table[dll, f][0]}.{table[dll, f][1]})"
                   for dll, f in functions if table.get((dll, f), windows) > windows)
    if newer:
        problems["imports_oldest"] = f"newer: {newer}"
    return problems


def check_icons(results, name, pe, res):
    group = res.get((RT_GROUP_ICON, 1, LANG_EN_US))
    results.add("group_icon", group is not None, f"{name}: group icon 1 under language {LANG_EN_US}",
                f"group icons present: {sorted(k for k in res if k[0] == RT_GROUP_ICON)}")
    if group is None:
        return
    entries = icon_group(pe, group)
    listed = [(e.Width or 256, e.BitCount) for e in entries]
    results.add("group_order", listed == ICON_IMAGES,
                f"{name}: group icon lists {len(ICON_IMAGES)} images, 16..128 px at 4/24/32 bpp, size-major",
                f"lists {listed}" if entries else f"malformed group ({group.data.struct.Size} bytes)")
    ids = [e.ID for e in entries]
    results.add("group_ids", ids == list(range(1, len(ICON_IMAGES) + 1)),
                f"{name}: group icon refers to icons 1..{len(ICON_IMAGES)} in order", f"ids {ids}")

    problems = [f"icon {i} missing" for i in range(1, len(ICON_IMAGES) + 1)
                if (RT_ICON, i, LANG_EN_US) not in res]
    for e in entries:
        icon = res.get((RT_ICON, e.ID, LANG_EN_US))
        if icon is None:
            if f"icon {e.ID} missing" not in problems:
                problems.append(f"icon {e.ID} missing")
            continue
        dib = contents(pe, icon)
        if dib[:8] == b"\x89PNG\r\n\x1a\n":
            problems.append(f"icon {e.ID} is PNG")
            continue
        header = structure(pe, DIB_HEADER, icon)
        if header is None:
            problems.append(f"icon {e.ID} is {len(dib)} bytes")
            continue
        w, h, bits = e.Width or 256, e.Height or 256, e.BitCount
        palette = 4 << bits if bits <= 8 else 0
        expected_len = (40 + palette + ((w * bits + 31) // 32) * 4 * h + ((w + 31) // 32) * 4 * h)
        found = (header.Size, header.Width, header.Height, header.Planes, header.BitCount, header.Compression)
        wanted = (40, w, 2 * h, 1, bits, 0)
        if found != wanted:
            problems.append(f"icon {e.ID} header {found}, group says {wanted}")
        elif e.BytesInRes != len(dib) or len(dib) != expected_len:
            problems.append(f"icon {e.ID} is {len(dib)} bytes, group says {e.BytesInRes}, "
                            f"a {w}x{h}@{bits} DIB is {expected_len}")
        elif e.Planes != 1 or e.ColorCount != (1 << bits if bits < 8 else 0):
            problems.append(f"icon {e.ID} group entry has planes {e.Planes}, colours {e.ColorCount}")
    results.add("icons", bool(entries) and not problems,
                f"{name}: icons 1..{len(ICON_IMAGES)} under language {LANG_EN_US} are DIBs matching the group",
                "; ".join(problems) or "no group entries")


def check_version(results, name, pe, res, version, program):
    """The version resource as Windows reads it: the fixed part, then the
    strings of the block that the translation names."""
    found = sorted(k for k in res if k[0] == RT_VERSION)
    results.add("version", found == [(RT_VERSION, 1, LANG_RU_RU)] and hasattr(pe, "VS_FIXEDFILEINFO"),
                f"{name}: one version resource, 1 under language {LANG_RU_RU}", f"version resources: {found}")
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    versions = [f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}" for ms, ls in
                ((fixed.FileVersionMS, fixed.FileVersionLS), (fixed.ProductVersionMS, fixed.ProductVersionLS))]
    results.add("version_fixed", versions == [f"{version}.0"] * 2
                and (fixed.FileFlags, fixed.FileOS, fixed.FileType) == (0, VOS_NT_WINDOWS32, VFT_APP),
                f"{name}: file and product version {version}.0, a release build of a Windows application",
                f"versions {versions}, flags {fixed.FileFlags:#x}, OS {fixed.FileOS:#x}, type {fixed.FileType}")

    translations = [var.entry.get(b"Translation") for info in getattr(pe, "FileInfo", []) for block in info
                    for var in getattr(block, "Var", [])]
    tables = [table for info in getattr(pe, "FileInfo", []) for block in info
              for table in getattr(block, "StringTable", []) if table.LangID.decode().upper() == STRING_BLOCK]
    strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()} if len(tables) == 1 else {}
    wanted = dict(FileVersion=version, ProductVersion=version, OriginalFilename=program,
                  InternalName=program.removesuffix(".exe"))
    wrong = {k: strings.get(k) for k, v in wanted.items() if strings.get(k) != v}
    wrong.update({k: strings.get(k) for k in ("FileDescription", "ProductName") if not strings.get(k)})
    results.add("version_strings", translations == [TRANSLATION] and bool(strings) and not wrong,
                f"{name}: version strings in Russian give {version}, {program}, a description and a product",
                f"translations {translations}, blocks {len(tables)}, wrong {wrong}")


def check_file(path, bits, data, results, version):
    target = TARGETS[bits]
    name = os.path.basename(path)
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as e:
        results.add("pe", False, f"{name}: readable PE image", str(e))
        return
    results.add("pe", True, f"{name}: readable PE image")

    machine, magic = pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic
    results.add("machine", machine == target["machine"] and magic == target["magic"],
                f"{name}: machine {target['label']} ({target['machine']:#x})",
                f"machine {machine:#x}, optional header magic {magic:#x}")
    results.add("size", len(data) <= SIZE_LIMIT, f"{name}: at most {SIZE_LIMIT} bytes",
                f"{len(data)} bytes")
    results.add("subsystem", pe.OPTIONAL_HEADER.Subsystem == 2, f"{name}: subsystem Windows GUI (2)",
                f"subsystem {pe.OPTIONAL_HEADER.Subsystem}")
    windows = target["windows"]
    header_windows = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    results.add("subsystem_version", header_windows == windows,
                f"{name}: header names Windows {windows[0]}.{windows[1]} (subsystem version)",
                f"subsystem version {header_windows}")
    dlls = imports(pe)
    foreign = sorted(set(dlls) - ALLOWED_DLLS)
    results.add("imports", not foreign and "kernel32.dll" in dlls,
                f"{name}: imports only system DLLs",
                f"foreign: {foreign}" if foreign else f"imports {sorted(dlls)}")
    functions = {(dll, f) for dll, names in dlls.items() for f in names}
    add_problems(results, name, import_problems(functions, header_windows, read_exports_table()), [
        ("imports_known", f"the oldest Windows of each of its {len(functions)} imports is known"),
        ("imports_oldest", f"every import exists on Windows {header_windows[0]}.{header_windows[1]}, "
                           "which its header names")])

    res = resources(pe)
    check_icons(results, name, pe, res)
    check_version(results, name, pe, res, version, target["program"])

    manifests = sorted(k for k in res if k[0] == RT_MANIFEST)
    manifest = res.get((RT_MANIFEST, 1, LANG_EN_US))
    results.add("manifest", manifest is not None and len(manifests) == 1,
                f"{name}: one manifest, 1 under language {LANG_EN_US}", f"manifests: {manifests}")
    if manifest is None:
        return
    problems = manifest_problems(contents(pe, manifest), target["arch"])
    add_problems(results, name, problems, [("manifest_xml", "manifest is well-formed")])
    if "manifest_xml" not in problems:
        add_problems(results, name, problems, [
            ("manifest_identity", f"manifest identity is for {target['arch']}"),
            ("manifest_dependency", f"manifest depends on Common-Controls 6.0.0.0 for {target['arch']}"),
            ("manifest_codepage", "manifest sets the active code page ru-RU"),
            ("manifest_settings", "manifest has no DPI awareness nor requested execution level")])


def read_exe(path, results, kind, what):
    """The file's bytes, or None after recording that it could not be read."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        results.add(kind, False, what, str(e))
        return None


# Self-test: damage copies of good files and require the matching check to fail.

def damaged(data, change):
    """The bytes of a copy of the program after change(pe) on it."""
    pe = pefile.PE(data=data)
    change(pe)
    return bytes(pe.write())


def assign(target, **fields):
    for field, value in fields.items():
        setattr(target, field, value)


def replace_resource(pe, resource, new):
    """Puts `new` (no longer than the old bytes) in place of a resource."""
    size = resource.data.struct.Size
    if len(new) > size:
        raise ValueError("replacement resource is longer than the original")
    pe.set_bytes_at_rva(resource.data.struct.OffsetToData, new + bytes(size - len(new)))
    resource.data.struct.Size = len(new)


def damage_cases(data, bits, version):
    """[(description, damaged bytes, key of the check that must fail)]"""
    other = TARGETS[32 if bits == 64 else 64]
    pe = pefile.PE(data=data)
    dll = pe.DIRECTORY_ENTRY_IMPORT[-1].dll.decode()
    manifest = contents(pe, resources(pe)[(RT_MANIFEST, 1, LANG_EN_US)])
    compact = re.sub(rb">\s+<", b"><", re.sub(rb"\s+", b" ", manifest)).strip()
    swapped = re.sub(rb'processorArchitecture="[^"]*"', f'processorArchitecture="{other["arch"]}"'.encode(),
                     compact)
    another_version = re.sub(r"\d$", lambda digit: str((int(digit[0]) + 1) % 10), version)

    def res(pe, kind, id, lang=LANG_EN_US):
        return resources(pe)[(kind, id, lang)]

    def group(pe):
        return icon_group(pe, res(pe, RT_GROUP_ICON, 1))

    def strings(pe):
        return pe.FileInfo[0][0].StringTable[0].entries

    cases = [
        ("machine of the other architecture", lambda pe: assign(pe.FILE_HEADER, Machine=other["machine"]),
         "machine"),
        ("console subsystem", lambda pe: assign(pe.OPTIONAL_HEADER, Subsystem=3), "subsystem"),
        ("subsystem version 6.0",
         lambda pe: assign(pe.OPTIONAL_HEADER, MajorSubsystemVersion=6, MinorSubsystemVersion=0),
         "subsystem_version"),
        ("one byte over the size limit",
         lambda pe: setattr(pe, "__data__", pe.__data__ + bytes(SIZE_LIMIT + 1 - len(pe.__data__))), "size"),
        (f"{dll} renamed to a MinGW runtime DLL",
         lambda pe: pe.set_bytes_at_rva(pe.DIRECTORY_ENTRY_IMPORT[-1].struct.Name, b"libgcc"), "imports"),
        ("group entry 2 claims 32 bpp", lambda pe: assign(group(pe)[1], BitCount=32), "group_order"),
        ("group entries 1 and 2 swap icon ids",
         lambda pe: [assign(entry, ID=id) for entry, id in zip(group(pe), (2, 1))], "group_ids"),
        ("icon 7 one pixel narrower", lambda pe: assign(structure(pe, DIB_HEADER, res(pe, RT_ICON, 7)), Width=47),
         "icons"),
        ("icon 14 stored as PNG",
         lambda pe: pe.set_bytes_at_rva(res(pe, RT_ICON, 14).data.struct.OffsetToData, b"\x89PNG\r\n\x1a\n"),
         "icons"),
        ("icon 15 under language 1049", lambda pe: assign(res(pe, RT_ICON, 15).struct, Name=LANG_RU_RU), "icons"),
        ("manifest for the other architecture",
         lambda pe: replace_resource(pe, res(pe, RT_MANIFEST, 1), swapped), "manifest_dependency"),
        ("manifest under language 1049", lambda pe: assign(res(pe, RT_MANIFEST, 1).struct, Name=LANG_RU_RU),
         "manifest"),
        ("manifest cut short",
         lambda pe: replace_resource(pe, res(pe, RT_MANIFEST, 1), compact[:len(compact) // 2]), "manifest_xml"),
        (f"file version {another_version}",
         lambda pe: assign(pe.VS_FIXEDFILEINFO[0], FileVersionLS=int(another_version.split(".")[2]) << 16),
         "version_fixed"),
        (f"product version string {another_version}",
         lambda pe: strings(pe).update({b"ProductVersion": another_version.encode()}), "version_strings"),
    ]
    if bits == 32:
        cases.append((f"original file name {other['program']}",
                      lambda pe: strings(pe).update({b"OriginalFilename": other["program"].encode() + b"\0\0"}),
                      "version_strings"))
    return [(description, damaged(data, change), key) for description, change, key in cases]


def manifest_cases(good):
    """Manifests that differ from a good one in one way each."""
    text = good.decode("utf-8-sig")
    dpi = ('<application xmlns="urn:schemas-microsoft-com:asm.v3"><windowsSettings>'
           '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>'
           '</windowsSettings></application></assembly>')
    uac = ('<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
           '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
           '</requestedPrivileges></security></trustInfo></assembly>')
    return [
        ("DPI awareness added", text.replace("</assembly>", dpi), "manifest_settings"),
        ("requested execution level added", text.replace("</assembly>", uac), "manifest_settings"),
        ("Common-Controls 5.82", text.replace('"6.0.0.0"', '"5.82.0.0"'), "manifest_dependency"),
        ("another public key token", text.replace("6595b64144ccf1df", "1fc8b3b9a1e18e3b"), "manifest_dependency"),
        ("no dependency", re.sub(r"<dependency>.*</dependency>", "", text, flags=re.S), "manifest_dependency"),
        ("no active code page", re.sub(r"<activeCodePage.*</activeCodePage>", "", text), "manifest_codepage"),
        ("the code page in another namespace", text.replace("SMI/2019/", "SMI/2016/"), "manifest_codepage"),
    ]


def self_test(paths, version):
    results = Results()
    for path, bits in zip(paths, (64, 32)):
        name = os.path.basename(path)
        data = read_exe(path, results, "self", f"self-test {name}: readable")
        if data is None:
            continue
        good = Results(out=None)
        check_file(path, bits, data, good, version)
        results.add("self", not good.failed(), f"self-test {name}: passes unmodified",
                    f"fails {sorted(good.failed())}")
        if good.failed():
            continue
        for description, bad, key in damage_cases(data, bits, version):
            outcome = Results(out=None)
            check_file(path, bits, bad, outcome, version)
            results.add("self", key in outcome.failed(), f"self-test {name}: {description} fails '{key}'",
                        f"failed {sorted(outcome.failed())}")
        pe = pefile.PE(data=data)
        for description, text, key in manifest_cases(contents(pe, resources(pe)[(RT_MANIFEST, 1, LANG_EN_US)])):
            problems = manifest_problems(text.encode("utf-8"), TARGETS[bits]["arch"])
            results.add("self", key in problems, f"self-test {name}: manifest with {description} fails '{key}'",
                        f"problems {problems}")
        functions = {(dll, f) for dll, names in imports(pe).items() for f in names}
        for extra, key in ((("kernel32.dll", "GetTickCount64"), "imports_oldest"),
                           (("kernel32.dll", "NotLookedUp"), "imports_known")):
            problems = import_problems(functions | {extra}, TARGETS[bits]["windows"], read_exports_table())
            results.add("self", key in problems, f"self-test {name}: importing {extra[1]} fails '{key}'",
                        f"problems {problems}")
    return results


def main(argv):
    testing = "--self-test" in argv
    paths = [a for a in argv if a != "--self-test"]
    if not paths:
        paths = [os.path.join(ROOT, "build/win64/stationclock.exe"),
                 os.path.join(ROOT, "build/win32/stationclock32.exe")]
    if len(paths) != 2 or any(p.startswith("-") for p in paths):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    version = read_version()
    if testing:
        results = self_test(paths, version)
    else:
        results = Results()
        for path, bits in zip(paths, (64, 32)):
            data = read_exe(path, results, "pe", f"{path}: readable")
            if data is not None:
                check_file(path, bits, data, results, version)
    failed = sum(1 for _key, passed in results.items if not passed)
    print(f"{len(results.items) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
