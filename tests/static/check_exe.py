#!/usr/bin/env python3
"""Static checks of the two built programs.

    check_exe.py [EXE64 EXE32]
    check_exe.py --self-test [EXE64 EXE32]

The first file must be the x86-64 program, the second the i686 one
(default: build/win64/stationclock.exe and build/win32/stationclock32.exe).
Each check prints one `ok`/`FAIL` line; the last line is `N passed, M failed`
and the exit status is non-zero if anything failed.

--self-test first requires both files to pass unmodified, then damages
copies of them in memory (machine, subsystem, size, imports, icons,
manifest) and requires every damaged copy to fail the matching check.

Every imported function must be in windows_exports.txt beside this file,
with an oldest Windows no newer than the one the program's header names.
"""

import os
import re
import struct
import sys
import xml.etree.ElementTree as ET

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "ole32.dll",
                "winmm.dll", "msvcrt.dll", "advapi32.dll"}

# Each program fits in 300 KB, its 188 KB of icons included.
SIZE_LIMIT = 300 * 1024

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
LANG_EN_US = 1033

# Icon images in the order the group lists them: size-major, then bit count.
ICON_IMAGES = [(size, bits) for size in (16, 32, 48, 64, 128) for bits in (4, 24, 32)]

# windows: the oldest Windows the program runs on, as the PE header's subsystem
# version: XP x64 / Server 2003, and XP.
TARGETS = {
    64: dict(machine=0x8664, magic=0x20B, arch="amd64", label="x86-64", windows=(5, 2)),
    32: dict(machine=0x14C, magic=0x10B, arch="X86", label="i686", windows=(5, 1)),
}

EXPORTS_TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_exports.txt")

COMMON_CONTROLS = dict(name="Microsoft.Windows.Common-Controls", version="6.0.0.0",
                       type="win32", publicKeyToken="6595b64144ccf1df", language="*")

# The manifest's code page setting: application/windowsSettings/activeCodePage.
ACTIVE_CODE_PAGE = "/".join(["{urn:schemas-microsoft-com:asm.v3}application",
                             "{urn:schemas-microsoft-com:asm.v3}windowsSettings",
                             "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}activeCodePage"])

# Manifest elements the program must not have.
FORBIDDEN_ELEMENTS = {"dpiaware", "dpiawareness", "trustinfo", "requestedexecutionlevel"}


class PEError(Exception):
    pass


class PE:
    """The parts of a PE image the checks need, with file offsets kept so
    that the self-test can damage them."""

    def __init__(self, data):
        self.data = data
        try:
            self._parse()
        except struct.error as e:
            raise PEError(f"truncated file ({e})") from None

    def _parse(self):
        d = self.data
        if d[:2] != b"MZ":
            raise PEError("no MZ signature")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise PEError("no PE signature")
        self.machine_offset = pe + 4
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", d, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", d, optional)[0]
        if self.magic == 0x10B:
            count_offset = optional + 92
        elif self.magic == 0x20B:
            count_offset = optional + 108
        else:
            raise PEError(f"unknown optional header magic {self.magic:#x}")
        self.subsystem_offset = optional + 68
        self.subsystem = struct.unpack_from("<H", d, self.subsystem_offset)[0]
        self.subsystem_version_offset = optional + 48
        self.subsystem_version = struct.unpack_from("<HH", d, self.subsystem_version_offset)
        directories = struct.unpack_from("<I", d, count_offset)[0]
        self.directories = [struct.unpack_from("<II", d, count_offset + 4 + 8 * i)
                            for i in range(min(directories, 16))]
        self.sections = []
        for i in range(sections):
            vsize, va, raw_size, raw_ptr = struct.unpack_from("<IIII", d, optional + optional_size + 40 * i + 8)
            self.sections.append((va, max(vsize, raw_size), raw_ptr, raw_size))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for va, span, raw_ptr, raw_size in self.sections:
            if va <= rva < va + span:
                if rva - va >= raw_size:
                    raise PEError(f"RVA {rva:#x} is not backed by the file")
                return raw_ptr + rva - va
        raise PEError(f"RVA {rva:#x} is outside every section")

    def cstring(self, rva):
        start = self.offset(rva)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise PEError(f"unterminated string at RVA {rva:#x}")
        return self.data[start:end].decode("latin-1"), start

    def imports(self):
        """[(dll name, file offset of the name, [function names])] from the
        import and the delay-load import directories; "#n" for ordinal n."""
        names = []
        rva, _ = self.directory(1)
        if rva:
            at = self.offset(rva)
            while True:
                lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
                if not (lookup or name or thunks):
                    break
                names.append(self.cstring(name) + (self.functions(lookup or thunks),))
                at += 20
        rva, _ = self.directory(13)
        if rva:
            at = self.offset(rva)
            while True:
                fields = struct.unpack_from("<8I", self.data, at)
                if not any(fields):
                    break
                names.append(self.cstring(fields[1]) + (self.functions(fields[4]),))
                at += 32
        return names

    def imported_functions(self):
        """{(dll name in lower case, function name)}"""
        return {(dll.lower(), f) for dll, _, names in self.imports() for f in names}

    def functions(self, rva):
        """The names in an import lookup table."""
        wide = self.magic == 0x20B
        by_ordinal = 1 << (63 if wide else 31)
        names, at = [], self.offset(rva)
        while True:
            entry = struct.unpack_from("<Q" if wide else "<I", self.data, at)[0]
            if not entry:
                return names
            names.append(f"#{entry & 0xFFFF}" if entry & by_ordinal
                         else self.cstring((entry & 0x7FFFFFFF) + 2)[0])
            at += 8 if wide else 4

    def resources(self):
        """{(type, name, lang): Resource}; ids are ints, names are str."""
        rva, _ = self.directory(2)
        found = {}
        if not rva:
            return found
        base = self.offset(rva)

        def walk(offset, path):
            if len(path) == 3:
                data_rva, size = struct.unpack_from("<II", self.data, base + offset)
                start = self.offset(data_rva)
                if start + size > len(self.data):
                    raise PEError(f"resource {path} runs past the end of the file")
                found[tuple(path)] = Resource(self.data[start:start + size], start,
                                              base + offset, entry_offsets)
                return
            named, numbered = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + numbered):
                entry = base + offset + 16 + 8 * i
                name, target = struct.unpack_from("<II", self.data, entry)
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, at)[0]
                    key = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                else:
                    key = name
                if bool(target & 0x80000000) != (len(path) < 2):
                    raise PEError(f"resource tree is malformed under {path + [key]}")
                entry_offsets.append(entry)
                walk(target & 0x7FFFFFFF, path + [key])
                entry_offsets.pop()

        entry_offsets = []
        walk(0, [])
        return found


class Resource:
    def __init__(self, data, data_offset, data_entry_offset, entry_offsets):
        self.data = data
        self.data_offset = data_offset              # the bytes themselves
        self.data_entry_offset = data_entry_offset  # IMAGE_RESOURCE_DATA_ENTRY
        self.entry_offsets = list(entry_offsets)    # type, name, lang directory entries


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


def check_icons(results, name, resources):
    group = resources.get((RT_GROUP_ICON, 1, LANG_EN_US))
    results.add("group_icon", group is not None, f"{name}: group icon 1 under language {LANG_EN_US}",
                f"group icons present: {sorted(k for k in resources if k[0] == RT_GROUP_ICON)}")
    if group is None:
        return
    data = group.data
    entries = []
    if len(data) >= 6:
        reserved, kind, count = struct.unpack_from("<HHH", data, 0)
        if reserved == 0 and kind == 1 and len(data) == 6 + 14 * count:
            entries = [struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i) for i in range(count)]
    listed = [(w or 256, bits) for w, _h, _c, _r, _p, bits, _n, _id in entries]
    results.add("group_order", listed == ICON_IMAGES,
                f"{name}: group icon lists {len(ICON_IMAGES)} images, 16..128 px at 4/24/32 bpp, size-major",
                f"lists {listed}" if entries else f"malformed group ({len(data)} bytes)")
    ids = [e[7] for e in entries]
    results.add("group_ids", ids == list(range(1, len(ICON_IMAGES) + 1)),
                f"{name}: group icon refers to icons 1..{len(ICON_IMAGES)} in order", f"ids {ids}")

    problems = [f"icon {i} missing" for i in range(1, len(ICON_IMAGES) + 1)
                if (RT_ICON, i, LANG_EN_US) not in resources]
    for w, h, colours, _reserved, planes, bits, size, icon_id in entries:
        icon = resources.get((RT_ICON, icon_id, LANG_EN_US))
        if icon is None:
            if f"icon {icon_id} missing" not in problems:
                problems.append(f"icon {icon_id} missing")
            continue
        dib = icon.data
        if dib[:8] == b"\x89PNG\r\n\x1a\n":
            problems.append(f"icon {icon_id} is PNG")
            continue
        if len(dib) < 40:
            problems.append(f"icon {icon_id} is {len(dib)} bytes")
            continue
        header = struct.unpack_from("<IiiHHI", dib, 0)
        w, h = w or 256, h or 256
        palette = 4 << bits if bits <= 8 else 0
        expected_len = (40 + palette + ((w * bits + 31) // 32) * 4 * h + ((w + 31) // 32) * 4 * h)
        wanted = (40, w, 2 * h, 1, bits, 0)
        if header != wanted:
            problems.append(f"icon {icon_id} header {header}, group says {wanted}")
        elif size != len(dib) or len(dib) != expected_len:
            problems.append(f"icon {icon_id} is {len(dib)} bytes, group says {size}, "
                            f"a {w}x{h}@{bits} DIB is {expected_len}")
        elif planes != 1 or colours != (1 << bits if bits < 8 else 0):
            problems.append(f"icon {icon_id} group entry has planes {planes}, colours {colours}")
    results.add("icons", bool(entries) and not problems,
                f"{name}: icons 1..{len(ICON_IMAGES)} under language {LANG_EN_US} are DIBs matching the group",
                "; ".join(problems) or "no group entries")


def check_file(path, bits, data, results):
    target = TARGETS[bits]
    name = os.path.basename(path)
    try:
        pe = PE(data)
        imports = pe.imports()
        resources = pe.resources()
    except PEError as e:
        results.add("pe", False, f"{name}: readable PE image", str(e))
        return
    results.add("pe", True, f"{name}: readable PE image")

    results.add("machine", pe.machine == target["machine"] and pe.magic == target["magic"],
                f"{name}: machine {target['label']} ({target['machine']:#x})",
                f"machine {pe.machine:#x}, optional header magic {pe.magic:#x}")
    results.add("size", len(data) <= SIZE_LIMIT, f"{name}: at most {SIZE_LIMIT} bytes",
                f"{len(data)} bytes")
    results.add("subsystem", pe.subsystem == 2, f"{name}: subsystem Windows GUI (2)",
                f"subsystem {pe.subsystem}")
    windows = target["windows"]
    results.add("subsystem_version", pe.subsystem_version == windows,
                f"{name}: header names Windows {windows[0]}.{windows[1]} (subsystem version)",
                f"subsystem version {pe.subsystem_version}")
    dlls = [dll.lower() for dll, _, _ in imports]
    foreign = sorted(set(dlls) - ALLOWED_DLLS)
    results.add("imports", not foreign and "kernel32.dll" in dlls,
                f"{name}: imports only system DLLs",
                f"foreign: {foreign}" if foreign else f"imports {dlls}")
    functions = pe.imported_functions()
    version = f"{pe.subsystem_version[0]}.{pe.subsystem_version[1]}"
    problems = import_problems(functions, pe.subsystem_version, read_exports_table())
    results.add("imports_known", "imports_known" not in problems,
                f"{name}: the oldest Windows of each of its {len(functions)} imports is known",
                problems.get("imports_known", ""))
    results.add("imports_oldest", "imports_oldest" not in problems,
                f"{name}: every import exists on Windows {version}, which its header names",
                problems.get("imports_oldest", ""))

    check_icons(results, name, resources)

    manifests = sorted(k for k in resources if k[0] == RT_MANIFEST)
    manifest = resources.get((RT_MANIFEST, 1, LANG_EN_US))
    results.add("manifest", manifest is not None and len(manifests) == 1,
                f"{name}: one manifest, 1 under language {LANG_EN_US}", f"manifests: {manifests}")
    if manifest is None:
        return
    problems = manifest_problems(manifest.data, target["arch"])
    results.add("manifest_xml", "manifest_xml" not in problems,
                f"{name}: manifest is well-formed", problems.get("manifest_xml", ""))
    if "manifest_xml" in problems:
        return
    results.add("manifest_identity", "manifest_identity" not in problems,
                f"{name}: manifest identity is for {target['arch']}", problems.get("manifest_identity", ""))
    results.add("manifest_dependency", "manifest_dependency" not in problems,
                f"{name}: manifest depends on Common-Controls 6.0.0.0 for {target['arch']}",
                problems.get("manifest_dependency", ""))
    results.add("manifest_codepage", "manifest_codepage" not in problems,
                f"{name}: manifest sets the active code page ru-RU", problems.get("manifest_codepage", ""))
    results.add("manifest_settings", "manifest_settings" not in problems,
                f"{name}: manifest has no DPI awareness nor requested execution level",
                problems.get("manifest_settings", ""))


def read_exe(path, results, kind, what):
    """The file's bytes, or None after recording that it could not be read."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        results.add(kind, False, what, str(e))
        return None


def check_paths(paths, results):
    for path, bits in zip(paths, (64, 32)):
        data = read_exe(path, results, "pe", f"{path}: readable")
        if data is not None:
            check_file(path, bits, data, results)


# Self-test: damage copies of good files and require the matching check to fail.

def patch(data, offset, new):
    data = bytearray(data)
    data[offset:offset + len(new)] = new
    return bytes(data)


def replace_resource(data, resource, new):
    """Puts `new` (no longer than the old bytes) in place of a resource."""
    if len(new) > len(resource.data):
        raise ValueError("replacement resource is longer than the original")
    data = patch(data, resource.data_offset, new + bytes(len(resource.data) - len(new)))
    return patch(data, resource.data_entry_offset + 4, struct.pack("<I", len(new)))


def damage_cases(data, bits):
    """[(description, damaged bytes, key of the check that must fail)]"""
    pe = PE(data)
    res = pe.resources()
    other = TARGETS[32 if bits == 64 else 64]
    cases = [
        ("machine of the other architecture", patch(data, pe.machine_offset, struct.pack("<H", other["machine"])),
         "machine"),
        ("console subsystem", patch(data, pe.subsystem_offset, struct.pack("<H", 3)), "subsystem"),
        ("subsystem version 6.0", patch(data, pe.subsystem_version_offset, struct.pack("<HH", 6, 0)),
         "subsystem_version"),
        ("one byte over the size limit", data + bytes(SIZE_LIMIT + 1 - len(data)), "size"),
    ]
    dll, at, _ = pe.imports()[-1]
    cases.append((f"{dll} renamed to a MinGW runtime DLL", patch(data, at, b"libgcc"), "imports"))

    group = res[(RT_GROUP_ICON, 1, LANG_EN_US)]
    second = group.data_offset + 6 + 14  # the second group entry
    cases.append(("group entry 2 claims 32 bpp", patch(data, second + 6, struct.pack("<H", 32)), "group_order"))
    cases.append(("group entries 1 and 2 swap icon ids",
                  patch(patch(data, second - 14 + 12, struct.pack("<H", 2)), second + 12, struct.pack("<H", 1)),
                  "group_ids"))
    icon = res[(RT_ICON, 7, LANG_EN_US)]
    cases.append(("icon 7 one pixel narrower", patch(data, icon.data_offset + 4, struct.pack("<i", 47)), "icons"))
    png = res[(RT_ICON, 14, LANG_EN_US)]
    cases.append(("icon 14 stored as PNG", patch(data, png.data_offset, b"\x89PNG\r\n\x1a\n"), "icons"))
    last = res[(RT_ICON, 15, LANG_EN_US)]
    cases.append(("icon 15 under language 1049",
                  patch(data, last.entry_offsets[2], struct.pack("<I", 1049)), "icons"))

    manifest = res[(RT_MANIFEST, 1, LANG_EN_US)]
    compact = re.sub(rb">\s+<", b"><", re.sub(rb"\s+", b" ", manifest.data)).strip()
    swapped = re.sub(rb'processorArchitecture="[^"]*"', f'processorArchitecture="{other["arch"]}"'.encode(),
                     compact)
    cases.append(("manifest for the other architecture", replace_resource(data, manifest, swapped),
                  "manifest_dependency"))
    cases.append(("manifest under language 1049",
                  patch(data, manifest.entry_offsets[2], struct.pack("<I", 1049)), "manifest"))
    cases.append(("manifest cut short", replace_resource(data, manifest, compact[:len(compact) // 2]),
                  "manifest_xml"))
    return cases


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


def self_test(paths):
    results = Results()
    for path, bits in zip(paths, (64, 32)):
        name = os.path.basename(path)
        data = read_exe(path, results, "self", f"self-test {name}: readable")
        if data is None:
            continue
        good = Results(out=None)
        check_file(path, bits, data, good)
        results.add("self", not good.failed(), f"self-test {name}: passes unmodified",
                    f"fails {sorted(good.failed())}")
        if good.failed():
            continue
        for description, damaged, key in damage_cases(data, bits):
            outcome = Results(out=None)
            check_file(path, bits, damaged, outcome)
            results.add("self", key in outcome.failed(), f"self-test {name}: {description} fails '{key}'",
                        f"failed {sorted(outcome.failed())}")
        manifest = PE(data).resources()[(RT_MANIFEST, 1, LANG_EN_US)].data
        for description, text, key in manifest_cases(manifest):
            problems = manifest_problems(text.encode("utf-8"), TARGETS[bits]["arch"])
            results.add("self", key in problems, f"self-test {name}: manifest with {description} fails '{key}'",
                        f"problems {problems}")
        functions = PE(data).imported_functions()
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
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        paths = [os.path.join(root, "build/win64/stationclock.exe"),
                 os.path.join(root, "build/win32/stationclock32.exe")]
    if len(paths) != 2 or any(p.startswith("-") for p in paths):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    if testing:
        results = self_test(paths)
    else:
        results = Results()
        check_paths(paths, results)
    failed = sum(1 for _key, passed in results.items if not passed)
    print(f"{len(results.items) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
