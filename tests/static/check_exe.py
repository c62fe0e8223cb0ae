#!/usr/bin/env python3
"""Static checks of the two built programs, read with pefile.

    check_exe.py [EXE64 EXE32]
    check_exe.py --self-test [EXE64 EXE32]

EXE64 is the x86-64 program, EXE32 the i686 one (default: the two in build/win64, build/win32).
Prints an `ok`/`FAIL` line per check, then `N passed, M failed`; the exit status is non-zero
if anything failed. --self-test requires both to pass, then damaged copies of them to fail.
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

# windows: the oldest Windows each runs on, as the PE subsystem version: XP x64 / 2003, XP.
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
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
ACTIVE_CODE_PAGE = (f"{ASM_V3}application/{ASM_V3}windowsSettings/"
                    "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}activeCodePage")
# Manifest elements the program must not have.
FORBIDDEN_ELEMENTS = {"dpiaware", "dpiawareness", "trustinfo", "requestedexecutionlevel"}

# The version strings are Russian, code page 1251: the block that
# \VarFileInfo\Translation names, which Explorer and Task Manager read.
TRANSLATION, STRING_BLOCK = "0x0419 0x04e3", "041904E3"
VOS_NT_WINDOWS32, VFT_APP = 0x40004, 1

# Formats of the icon resources' contents, in pefile's notation, and PNG's signature.
GROUP_HEADER = ("GRPICONDIR", ("H,Reserved", "H,Type", "H,Count"))
GROUP_ENTRY = ("GRPICONDIRENTRY", ("B,Width", "B,Height", "B,ColorCount", "B,Reserved",
                                   "H,Planes", "H,BitCount", "I,BytesInRes", "H,ID"))
DIB_HEADER = ("BITMAPINFOHEADER", ("I,Size", "i,Width", "i,Height", "H,Planes", "H,BitCount",
                                   "I,Compression", "I,SizeImage", "i,XPelsPerMeter",
                                   "i,YPelsPerMeter", "I,ClrUsed", "I,ClrImportant"))
PNG = b"\x89PNG\r\n\x1a\n"


def resources(pe):
    """{(type, name, lang): pefile's language entry}; ids are ints, names str."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name)

    kinds = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    return {(key(kind), key(name), lang.id): lang
            for kind in kinds if hasattr(kind, "directory")
            for name in kind.directory.entries if hasattr(name, "directory")
            for lang in name.directory.entries if hasattr(lang, "data")}


def contents(pe, resource):
    return pe.get_data(resource.data.struct.OffsetToData, resource.data.struct.Size)


def structure(pe, format, resource, start=0):
    """The structure at `start` in a resource, None if too short; pe.write() saves it."""
    offset = pe.get_offset_from_rva(resource.data.struct.OffsetToData) + start
    return pe.__unpack_data__(format, contents(pe, resource)[start:], offset)


def icon_group(pe, group):
    """The group's entries, or [] if it is malformed."""
    header = structure(pe, GROUP_HEADER, group)
    size = pefile.Structure(GROUP_ENTRY).sizeof()
    if not header or (header.Reserved, header.Type) != (0, 1) or \
            group.data.struct.Size != header.sizeof() + size * header.Count:
        return []
    return [structure(pe, GROUP_ENTRY, group, header.sizeof() + size * i)
            for i in range(header.Count)]


def imports(pe):
    """{dll in lower case: [function or "#ordinal"]}, delay-loaded imports included."""
    found = {}
    for entry in (getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
                  + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])):
        found.setdefault(entry.dll.decode("latin-1").lower(), []).extend(
            f.name.decode("latin-1") if f.name else f"#{f.ordinal}" for f in entry.imports)
    return found


def import_checks(functions, windows):
    """Checks that windows_exports.txt gives the oldest Windows of each imported
    (dll, function) and that none is newer than windows (major, minor)."""
    with open(EXPORTS_TABLE, encoding="utf-8") as f:
        lines = [line.split("#")[0].split() for line in f]
    table = {(words[0].lower(), function): tuple(int(n) for n in words[1].split("."))
             for words in lines if words for function in words[2:]}
    unknown = sorted(f"{dll}!{f}" for dll, f in functions if (dll, f) not in table)
    newer = sorted(f"{dll}!{f} ({table[dll, f][0]}.{table[dll, f][1]})"
                   for dll, f in functions if table.get((dll, f), windows) > windows)
    return [
        ("imports_known", not unknown,
         f"the oldest Windows of each of its {len(functions)} imports is known",
         f"look up and add to {os.path.basename(EXPORTS_TABLE)}: {unknown}"),
        ("imports_oldest", not newer,
         "every import exists on Windows {}.{}, which its header names".format(*windows),
         f"newer: {newer}"),
    ]


def manifest_checks(text, arch):
    """Checks of a manifest for `arch`: only the first if it is not well-formed."""
    def local(tag):
        return tag.rsplit("}", 1)[-1]

    def matches(attributes, wanted):  # the version exactly, the rest in any case
        return all(attributes.get(k) == v if k == "version" else
                   (attributes.get(k) or "").lower() == v.lower() for k, v in wanted.items())

    try:
        root = ET.fromstring(text)
        problem = "" if local(root.tag) == "assembly" else \
            f"root element is <{local(root.tag)}>, not <assembly>"
    except ET.ParseError as e:
        problem = f"not well-formed XML ({e})"
    if problem:
        return [("manifest_xml", False, "manifest is well-formed", problem)]
    own = [dict(e.attrib) for e in root.findall("{*}assemblyIdentity")]
    dependencies = [dict(e.attrib) for e in root.findall(
        "{*}dependency/{*}dependentAssembly/{*}assemblyIdentity")]
    wanted = dict(COMMON_CONTROLS, processorArchitecture=arch)
    pages = [(e.text or "").strip() for e in root.findall(ACTIVE_CODE_PAGE)]
    forbidden = sorted({local(e.tag) for e in root.iter()
                        if local(e.tag).lower() in FORBIDDEN_ELEMENTS})
    return [
        ("manifest_xml", True, "manifest is well-formed", ""),
        ("manifest_identity", len(own) == 1 and bool(own[0].get("name"))
         and matches(own[0], dict(type="win32", processorArchitecture=arch)),
         f"manifest identity is for {arch}", f"program identities {own}"),
        ("manifest_dependency", len(dependencies) == 1 and matches(dependencies[0], wanted),
         f"manifest depends on Common-Controls 6.0.0.0 for {arch}",
         f"dependencies are {dependencies}, wants {wanted}"),
        ("manifest_codepage", pages == ["ru-RU"], "manifest sets the active code page ru-RU",
         f"active code pages {pages}"),
        ("manifest_settings", not forbidden,
         "manifest has no DPI awareness nor requested execution level",
         f"has {', '.join(forbidden)}"),
    ]


def icon_checks(pe, res):
    count = len(ICON_IMAGES)
    group = res.get((RT_GROUP_ICON, 1, LANG_EN_US))
    checks = [("group_icon", group is not None, f"group icon 1 under language {LANG_EN_US}",
               f"group icons present: {sorted(k for k in res if k[0] == RT_GROUP_ICON)}")]
    if group is None:
        return checks
    entries = icon_group(pe, group)
    listed = [(e.Width or 256, e.BitCount) for e in entries]
    ids = [e.ID for e in entries]
    problems = [f"icon {i} missing" for i in range(1, count + 1)
                if (RT_ICON, i, LANG_EN_US) not in res]
    for e in entries:
        icon = res.get((RT_ICON, e.ID, LANG_EN_US))
        dib = contents(pe, icon) if icon else b""
        header = icon and structure(pe, DIB_HEADER, icon)
        w, h, bits = e.Width or 256, e.Height or 256, e.BitCount
        palette = 4 << bits if bits <= 8 else 0
        length = 40 + palette + ((w * bits + 31) // 32 + (w + 31) // 32) * 4 * h
        wanted = dict(header=(40, w, 2 * h, 1, bits, 0), bytes=length, listed_bytes=length,
                      listed_planes=1, listed_colours=1 << bits if bits < 8 else 0)
        found = dict(header=header and (header.Size, header.Width, header.Height, header.Planes,
                                        header.BitCount, header.Compression),
                     bytes=len(dib), listed_bytes=e.BytesInRes, listed_planes=e.Planes,
                     listed_colours=e.ColorCount)
        wrong = {k: (v, wanted[k]) for k, v in found.items() if v != wanted[k]}
        if icon is None:
            problems.append(f"icon {e.ID} missing")
        elif dib.startswith(PNG):
            problems.append(f"icon {e.ID} is PNG")
        elif wrong:
            problems.append(f"icon {e.ID}, {w}x{h}@{bits}, has (found, wanted) {wrong}")
    return checks + [
        ("group_order", listed == ICON_IMAGES,
         f"group icon lists {count} images, 16..128 px at 4/24/32 bpp, size-major",
         f"lists {listed}" if entries else f"malformed group ({group.data.struct.Size} bytes)"),
        ("group_ids", ids == list(range(1, count + 1)),
         f"group icon refers to icons 1..{count} in order", f"ids {ids}"),
        ("icons", bool(entries) and not problems,
         f"icons 1..{count} under language {LANG_EN_US} are DIBs matching the group",
         "; ".join(dict.fromkeys(problems)) or "no group entries"),
    ]


def version_checks(pe, res, version, program):
    """The version resource as Windows reads it, strings from the block the translation names."""
    found = sorted(k for k in res if k[0] == RT_VERSION)
    fixed = getattr(pe, "VS_FIXEDFILEINFO", [None])[0]
    checks = [("version", found == [(RT_VERSION, 1, LANG_RU_RU)] and fixed is not None,
               f"one version resource, 1 under language {LANG_RU_RU}", f"found {found}")]
    if fixed is None:
        return checks
    versions = [f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}" for ms, ls in
                ((fixed.FileVersionMS, fixed.FileVersionLS),
                 (fixed.ProductVersionMS, fixed.ProductVersionLS))]
    kind = (fixed.FileFlags, fixed.FileOS, fixed.FileType)
    blocks = [block for info in getattr(pe, "FileInfo", []) for block in info]
    translations = [var.entry.get(b"Translation")
                    for block in blocks for var in getattr(block, "Var", [])]
    tables = [table for block in blocks for table in getattr(block, "StringTable", [])
              if table.LangID.decode().upper() == STRING_BLOCK]
    strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()} \
        if len(tables) == 1 else {}
    wanted = dict(FileVersion=version, ProductVersion=version, OriginalFilename=program,
                  InternalName=program.removesuffix(".exe"))
    wrong = {k: strings.get(k) for k in [*wanted, "FileDescription", "ProductName"]
             if not strings.get(k) or k in wanted and strings[k] != wanted[k]}
    return checks + [
        ("version_fixed",
         versions == [f"{version}.0"] * 2 and kind == (0, VOS_NT_WINDOWS32, VFT_APP),
         f"file and product version {version}.0, a release build of a Windows application",
         f"versions {versions}, flags {kind[0]:#x}, OS {kind[1]:#x}, type {kind[2]}"),
        ("version_strings", translations == [TRANSLATION] and bool(strings) and not wrong,
         f"version strings in Russian give {version}, {program}, a description and a product",
         f"translations {translations}, blocks {len(tables)}, wrong {wrong}"),
    ]


def check_file(data, bits, version):
    """[(key, passed, label, detail)] for the program for `bits`, given as bytes."""
    target = TARGETS[bits]
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as e:
        return [("pe", False, "readable PE image", str(e))]
    header = pe.OPTIONAL_HEADER
    machine = (pe.FILE_HEADER.Machine, header.Magic)
    windows = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    dlls = imports(pe)
    foreign = sorted(set(dlls) - ALLOWED_DLLS)
    res = resources(pe)
    manifests = sorted(k for k in res if k[0] == RT_MANIFEST)
    manifest = res.get((RT_MANIFEST, 1, LANG_EN_US))
    return [
        ("pe", True, "readable PE image", ""),
        ("machine", machine == (target["machine"], target["magic"]),
         f"machine {target['label']} ({target['machine']:#x})",
         f"machine {machine[0]:#x}, optional header magic {machine[1]:#x}"),
        ("size", len(data) <= SIZE_LIMIT, f"at most {SIZE_LIMIT} bytes", f"{len(data)} bytes"),
        ("subsystem", header.Subsystem == 2, "subsystem Windows GUI (2)",
         f"subsystem {header.Subsystem}"),
        ("subsystem_version", windows == target["windows"],
         "header names Windows {}.{} (subsystem version)".format(*target["windows"]),
         f"subsystem version {windows}"),
        ("imports", not foreign and "kernel32.dll" in dlls, "imports only system DLLs",
         f"foreign: {foreign}" if foreign else f"imports {sorted(dlls)}"),
        *import_checks({(dll, f) for dll, names in dlls.items() for f in names}, windows),
        *icon_checks(pe, res),
        *version_checks(pe, res, version, target["program"]),
        ("manifest", manifest is not None and len(manifests) == 1,
         f"one manifest, 1 under language {LANG_EN_US}", f"manifests: {manifests}"),
        *(manifest_checks(contents(pe, manifest), target["arch"]) if manifest else []),
    ]


def self_test(data, bits, version):
    """Checks that the program passes and that copies damaged in one way each fail."""
    def failures(checks):
        return {key: detail for key, passed, _label, detail in checks if not passed}

    failed = failures(check_file(data, bits, version))
    if failed:
        return [("self", False, "passes unmodified", f"fails {failed}")]
    target, other = TARGETS[bits], TARGETS[32 if bits == 64 else 64]
    pe = pefile.PE(data=data)
    dll = pe.DIRECTORY_ENTRY_IMPORT[-1].dll.decode()
    functions = {(name, f) for name, names in imports(pe).items() for f in names}
    manifest = contents(pe, resources(pe)[(RT_MANIFEST, 1, LANG_EN_US)])
    compact = re.sub(rb">\s+<", b"><", re.sub(rb"\s+", b" ", manifest)).strip()
    swapped = re.sub(rb'processorArchitecture="[^"]*"',
                     f'processorArchitecture="{other["arch"]}"'.encode(), compact)
    another_version = re.sub(r"\d$", lambda digit: str((int(digit[0]) + 1) % 10), version)

    def assign(target, **fields):
        for field, value in fields.items():
            setattr(target, field, value)

    def replace_resource(pe, resource, new):
        size = resource.data.struct.Size
        assert len(new) <= size, "the replacement is longer than the resource"
        pe.set_bytes_at_rva(resource.data.struct.OffsetToData, new.ljust(size, b"\0"))
        resource.data.struct.Size = len(new)

    def res(pe, kind, id):
        return resources(pe)[(kind, id, LANG_EN_US)]

    def group(pe):
        return icon_group(pe, res(pe, RT_GROUP_ICON, 1))

    # (key of the check that must fail, description, change to a copy)
    changes = [
        ("machine", "machine of the other architecture",
         lambda pe: assign(pe.FILE_HEADER, Machine=other["machine"])),
        ("subsystem", "console subsystem", lambda pe: assign(pe.OPTIONAL_HEADER, Subsystem=3)),
        ("subsystem_version", "subsystem version 6.0",
         lambda pe: assign(pe.OPTIONAL_HEADER, MajorSubsystemVersion=6, MinorSubsystemVersion=0)),
        ("size", "one byte over the size limit",
         lambda pe: setattr(pe, "__data__", pe.__data__.ljust(SIZE_LIMIT + 1, b"\0"))),
        ("imports", f"{dll} renamed to a MinGW runtime DLL",
         lambda pe: pe.set_bytes_at_rva(pe.DIRECTORY_ENTRY_IMPORT[-1].struct.Name, b"libgcc")),
        ("group_order", "group entry 2 claims 32 bpp",
         lambda pe: assign(group(pe)[1], BitCount=32)),
        ("group_ids", "group entries 1 and 2 swap icon ids",
         lambda pe: [assign(entry, ID=id) for entry, id in zip(group(pe), (2, 1))]),
        ("icons", "icon 7 one pixel narrower",
         lambda pe: assign(structure(pe, DIB_HEADER, res(pe, RT_ICON, 7)), Width=47)),
        ("icons", "icon 14 stored as PNG",
         lambda pe: pe.set_bytes_at_rva(res(pe, RT_ICON, 14).data.struct.OffsetToData, PNG)),
        ("icons", "icon 15 under language 1049",
         lambda pe: assign(res(pe, RT_ICON, 15).struct, Name=LANG_RU_RU)),
        ("manifest_dependency", "manifest for the other architecture",
         lambda pe: replace_resource(pe, res(pe, RT_MANIFEST, 1), swapped)),
        ("manifest", "manifest under language 1049",
         lambda pe: assign(res(pe, RT_MANIFEST, 1).struct, Name=LANG_RU_RU)),
        ("manifest_xml", "manifest cut short",
         lambda pe: replace_resource(pe, res(pe, RT_MANIFEST, 1), compact[:len(compact) // 2])),
        ("version_fixed", f"file version {another_version}",
         lambda pe: assign(pe.VS_FIXEDFILEINFO[0],
                           FileVersionLS=int(another_version.split(".")[2]) << 16)),
        ("version_strings", f"product version string {another_version}",
         lambda pe: pe.FileInfo[0][0].StringTable[0].entries.update(
             {b"ProductVersion": another_version.encode()})),
    ]
    if bits == 32:
        changes.append(("version_strings", f"original file name {other['program']}",
                        lambda pe: pe.FileInfo[0][0].StringTable[0].entries.update(
                            {b"OriginalFilename": other["program"].encode() + b"\0\0"})))
    outcomes = []
    for key, description, change in changes:
        copy = pefile.PE(data=data)
        change(copy)
        outcomes.append((key, description, failures(check_file(copy.write(), bits, version))))

    v3 = 'xmlns="urn:schemas-microsoft-com:asm.v3"'
    dpi = (f'<application {v3}><windowsSettings><dpiAware xmlns="http://schemas.microsoft.com/'
           'SMI/2005/WindowsSettings">true</dpiAware></windowsSettings></application></assembly>')
    uac = (f'<trustInfo {v3}><security><requestedPrivileges><requestedExecutionLevel level='
           '"asInvoker" uiAccess="false"/></requestedPrivileges></security></trustInfo></assembly>')
    # (key, the manifest with ..., pattern, replacement)
    edits = [
        ("manifest_identity", "its own identity for ia64", r'\A(.*?processorArchitecture=")[^"]*',
         r"\g<1>ia64"),
        ("manifest_settings", "DPI awareness added", "</assembly>", dpi),
        ("manifest_settings", "requested execution level added", "</assembly>", uac),
        ("manifest_dependency", "Common-Controls 5.82", r'"6\.0\.0\.0"', '"5.82.0.0"'),
        ("manifest_dependency", "another public key token", "6595b64144ccf1df", "1fc8b3b9a1e18e3b"),
        ("manifest_dependency", "no dependency", "<dependency>.*</dependency>", ""),
        ("manifest_codepage", "no active code page", "<activeCodePage.*</activeCodePage>", ""),
        ("manifest_codepage", "the code page in another namespace", "SMI/2019/", "SMI/2016/"),
    ]
    text = manifest.decode("utf-8-sig")
    outcomes += [(key, f"manifest with {description}", failures(manifest_checks(
        re.sub(pattern, new, text, flags=re.S).encode("utf-8"), target["arch"])))
        for key, description, pattern, new in edits]
    outcomes += [(key, f"importing {function}", failures(
        import_checks(functions | {("kernel32.dll", function)}, target["windows"])))
        for key, function in (("imports_oldest", "GetTickCount64"),
                              ("imports_known", "NotLookedUp"))]
    return [("self", True, "passes unmodified", "")] + [
        ("self", key in failed, f"{description} fails '{key}'", f"failed {failed}")
        for key, description, failed in outcomes]


def main(argv):
    testing = "--self-test" in argv
    paths = [a for a in argv if a != "--self-test"] or [
        os.path.join(ROOT, f"build/win{bits}", TARGETS[bits]["program"]) for bits in (64, 32)]
    if len(paths) != 2 or any(p.startswith("-") for p in paths):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(VERSION_FILE, encoding="utf-8") as f:
        version = f.readline().strip()
    outcomes = []
    for path, bits in zip(paths, (64, 32)):
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            checks = [("pe", False, "readable", str(e))]
        else:
            checks = (self_test if testing else check_file)(data, bits, version)
        prefix = ("self-test " if testing else "") + os.path.basename(path)
        for _key, passed, label, detail in checks:
            note = f": {detail}" if detail and not passed else ""
            print(f"{'ok  ' if passed else 'FAIL'} {prefix}: {label}{note}")
            outcomes.append(passed)
    print(f"{outcomes.count(True)} passed, {outcomes.count(False)} failed")
    return 0 if all(outcomes) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
