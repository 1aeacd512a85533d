#!/usr/bin/env python3
"""What goes on the handheld, checked as far as this machine can.

  check_platform.py rom ROOT              the Platform Builder files of the project at ROOT
  check_platform.py cab CAB ROOT IMAGES   a CAB made by scripts/cab.sh from IMAGES

Each check then plants faults, one at a time, in a copy of what it read and
fails unless the check refuses every one of them.

rom: the build.exe projects reached from ROOT/dirs follow build.exe's rules:
dirs files name folders beside them, and list the receiver link's LIBRARY
project (receiver/ce) before the deliverables that link it (bootdrv/ce,
setup/ce, each one folder below its code); SOURCES entries lie in the sources
file's folder or the one above it (build.exe ignores any other); every source
of receiver/, bootdrv/ and setup/ is built by a project, the driver with its
folder's .def; the makefiles are Platform Builder's one line. The .bib lists
both images and the shortcut's file; the .lnk is a well-counted shortcut to
the program the .bib puts in \\Windows; the .dat copies that shortcut into
the Start menu; the .reg registers the driver the .bib holds with values the
device manager takes (Prefix of three characters matching the .def's
exports, Order 0..255, Index 0..9), outside the boot hive and without the
boot-phase flag.

cab: the cabinet is one uncompressed folder; _setup.xml is well-formed WAP
provisioning XML whose counts match its steps (NumDirs counts the install
folder as well as the MakeDir steps, as cabwiz writes it), every registry
parm carries the datatype the Registry CSP needs, integers fit a signed 32
bits; the files it extracts are exactly the cabinet's other files, land in
\\Windows (%CE2%) and are byte for byte the images; the shortcut goes into
%CE11% and points at an extracted program; the registry it writes is the
.reg fragment's, key for key and value for value.
"""
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

DELIVERABLE_FOLDER = {"rxboot": "bootdrv", "rxconf": "setup"}  # README, Layout
LIBRARY_FOLDER = "receiver"                                     # linked into both
CODE_FOLDERS = ("receiver", "bootdrv", "setup")
PB_FOLDERS = CODE_FOLDERS + ("platform",)                       # what the OEM copies, with ./dirs
# Where build.exe puts a library, by the project's RELEASETYPE (Windows CE
# 5.0's RELEASETYPE page; OAK, the default, as its own projects name theirs,
# e.g. PRIVATE/TEST/DRIVERS/PCCARD/FUNCTION/DUMMYDRIVERS/DUMMYDR/sources).
RELEASE_LIB_DIR = {"PLATFORM": "$(_TARGETPLATROOT)\\lib\\$(_CPUINDPATH)",
                   "OAK": "$(_PROJECTOAKROOT)\\lib\\$(_CPUINDPATH)"}
STREAM_ENTRIES = ["Init", "Deinit", "Open", "Close", "Read", "Write", "Seek", "IOControl"]
BIB_FLAGS = set("CDHKMNPQRSUXZ")
MAKEFILE = "!INCLUDE $(_MAKEENVROOT)\\makefile.def"
BOOT_PHASE_FLAG = 0x1000
CSP_DATATYPES = {"integer", "string", "multiplestring", "binary", "boolean", "float", "time"}


def read(path):
    with open(path, encoding="ascii", newline="") as f:
        return f.read()


def win(path, base):
    """A build.exe path relative to base, as a path on this machine."""
    return os.path.normpath(os.path.join(base, path.replace("\\", "/")))


# ---- the text formats ----

def parse_sources(text):
    """NAME=value pairs of a sources file (nmake: # comments, \\ continues)."""
    macros, line = {}, ""
    for raw in text.splitlines():
        if raw.lstrip().startswith("#"):
            continue
        line += raw.rstrip()
        if line.endswith("\\"):
            line = line[:-1] + " "
            continue
        if "=" in line:
            name, value = line.split("=", 1)
            macros[name.strip()] = value.split()
        line = ""
    return macros


def parse_reg(text):
    """{key: {name: (kind, value)}} and the keys inside the boot hive section."""
    keys, boot, key, in_boot = {}, set(), None, False
    for line in text.splitlines():
        line = line.strip()
        if line.upper().startswith("; HIVE BOOT SECTION"):
            in_boot = True
        elif line.upper().startswith("; END HIVE BOOT SECTION"):
            in_boot = False
        elif line.startswith("["):
            key = line.strip("[]")
            keys.setdefault(key, {})
            if in_boot:
                boot.add(key)
        elif line and not line.startswith(";"):
            m = re.fullmatch(r'"([^"]+)"=(?:"([^"]*)"|dword:([0-9A-Fa-f]{1,8}))', line)
            if not m or key is None:
                raise ValueError("not a value line: " + line)
            keys[key][m[1]] = ("string", m[2]) if m[2] is not None else ("dword", int(m[3], 16))
    return keys, boot


def parse_bib(text):
    """{section: [(name, path, memory, flags)]}"""
    sections, section = {}, None
    for line in text.splitlines():
        fields = line.split(";", 1)[0].split()
        if len(fields) == 1:
            section = fields[0]
            sections.setdefault(section, [])
        elif fields:
            sections[section].append((tuple(fields) + ("",) * 4)[:4])
    return sections


# ---- rom ----

def dirs_order(root, problems):
    """The project folders build.exe reaches from ROOT/dirs, in the order it
    builds them. A dirs entry is the plain name of a folder beside the dirs
    file (as in all of Windows CE 5.0's 172 dirs files), holding either a
    dirs file of its own or a sources file."""
    order = []

    def visit(folder):
        listed = os.path.join(folder, "dirs") if folder else "dirs"
        macros = parse_sources(read(os.path.join(root, listed)))
        for entry in macros.get("DIRS", []) + macros.get("DIRS_CE", []):
            sub = os.path.join(folder, entry)
            if re.search(r"[\\/]", entry) or not os.path.isdir(os.path.join(root, sub)):
                problems.append(f"{listed} names {entry}, which is not a folder beside it")
            elif os.path.isfile(os.path.join(root, sub, "dirs")):
                visit(sub)
            elif os.path.isfile(os.path.join(root, sub, "sources")):
                order.append(sub)
            else:
                problems.append(f"{listed} names {entry}, which holds neither a dirs nor a sources file")

    if os.path.isfile(os.path.join(root, "dirs")):
        visit("")
    else:
        problems.append("no dirs file at the project's root for the platform's dirs file to reach")
    return order


def link_names(macros):
    return {lib.lower() for lib in macros.get("TARGETLIBS", []) + macros.get("SOURCELIBS", [])}


def check_projects(root, problems):
    """{image name: (TARGETTYPE, macros, folder)} of the deliverables' projects,
    after checking every sources file against build.exe's rules."""
    order = dirs_order(root, problems)
    found = {os.path.relpath(os.path.dirname(p), root) for folder in PB_FOLDERS
             for p in glob.glob(os.path.join(root, folder, "**", "sources"), recursive=True)}
    for folder in sorted(found - set(order)):
        problems.append(f"{folder}/sources: no dirs file leads build.exe to it")
    built, targets, library, users = set(), {}, None, []
    for folder in order + sorted(found - set(order)):
        base = os.path.join(root, folder)
        if read(os.path.join(base, "makefile")).strip() != MAKEFILE:
            problems.append(f"{folder}/makefile is not the one line {MAKEFILE}")
        macros = parse_sources(read(os.path.join(base, "sources")))
        # In Windows CE 5.0's 366 sources files, 1,369 SOURCES entries are
        # bare names and 119 start with one ..\; none reaches further or into
        # a subfolder (only ARM_SOURCES and its kin name one, such as arm\).
        for entry in macros.get("SOURCES", []):
            path = win(entry, base)
            if not re.fullmatch(r"(\.\.\\)?[^\\/]+", entry):
                problems.append(f"{folder}/sources: SOURCES entry {entry} lies outside {folder} and the folder "
                                "above it, so build.exe ignores it (\"Ignoring invalid directory prefix\")")
            elif not os.path.isfile(path):
                problems.append(f"{folder}/sources names {entry}, which does not exist")
            else:
                built.add(path)
        for inc in (macros.get("INCLUDES") or [""])[0].split(";"):
            if inc and "$(" not in inc and not os.path.isdir(win(inc, base)):
                problems.append(f"{folder}/sources includes {inc}, which does not exist")
        name, kind = (macros.get("TARGETNAME") or ["?"])[0], (macros.get("TARGETTYPE") or ["?"])[0]
        code = os.path.dirname(folder)
        if kind == "LIBRARY" and code == LIBRARY_FOLDER:
            library = (name, macros, folder)
            continue
        ext, own = {"DYNLINK": ".dll", "PROGRAM": ".exe"}.get(kind), DELIVERABLE_FOLDER.get(name)
        if ext is None or own is None:
            problems.append(f"{folder}/sources: {name} of type {kind} is not a deliverable")
            continue
        if code != own:
            problems.append(f"{folder}/sources: {name}'s project is not one folder below its code, {own}/")
        targets[name + ext] = (kind, macros, base)
        users.append((name, macros, folder))
        if kind == "DYNLINK":
            deffile = win((macros.get("DEFFILE") or ["?"])[0], base)
            if deffile not in glob.glob(os.path.join(root, own, "*.def")):
                problems.append(f"{folder}/sources: DEFFILE {deffile} is not {own}'s .def")
            elif not re.search(r"^LIBRARY\s+" + re.escape(name + ext) + r"\s*$", read(deffile), re.M | re.I):
                problems.append(f"{deffile} is not the .def of {name + ext}")

    for path in sorted(p for folder in CODE_FOLDERS for ext in ("cpp", "rc")
                       for p in glob.glob(os.path.join(root, folder, "*." + ext))):
        if path not in built:
            problems.append(f"{os.path.relpath(path, root)}: no project builds it")

    if library is None:
        problems.append(f"no LIBRARY project builds {LIBRARY_FOLDER}/, which both deliverables link")
        return targets
    name, macros, folder = library
    release = (macros.get("RELEASETYPE") or ["OAK"])[0]
    if release not in RELEASE_LIB_DIR:
        problems.append(f"{folder}/sources: RELEASETYPE {release} puts {name}.lib where no path here finds it")
    if (macros.get("SYNCHRONIZE_BLOCK") or [""])[0] != "1":
        problems.append(f"{folder}/sources: without SYNCHRONIZE_BLOCK=1 a build on several processors may "
                        f"link a deliverable before {name}.lib is made")
    for user, user_macros, user_folder in users:
        wanted = {f"{RELEASE_LIB_DIR.get(release, '?')}\\{name}.lib".lower()}
        if (user_macros.get("RELEASETYPE") or ["OAK"])[0] == release:
            wanted.add(f"$(_RELEASELIBDIR)\\{name}.lib".lower())
        if not wanted & link_names(user_macros):
            problems.append(f"{user_folder}/sources: {user} does not link the library {name}.lib "
                            f"({' or '.join(sorted(wanted))})")
        elif folder in order and user_folder in order and order.index(folder) > order.index(user_folder):
            problems.append(f"the dirs files list {folder} after {user_folder}, which links its library")
    return targets


def check_rom(root):
    problems, root = [], os.path.abspath(root)
    plat = os.path.join(root, "platform")
    targets = check_projects(root, problems)

    bibs = glob.glob(os.path.join(plat, "*.bib"))
    bib = parse_bib(read(bibs[0])) if len(bibs) == 1 else {}
    if len(bibs) != 1:
        problems.append(f"one .bib fragment expected, found {len(bibs)}")
    modules = {e[0]: e for e in bib.get("MODULES", [])}
    files = {e[0]: e for e in bib.get("FILES", [])}
    if sorted(modules) != sorted(targets):
        problems.append(f".bib MODULES hold {sorted(modules)}, the sources files build {sorted(targets)}")
    for name, path, memory, flags in list(modules.values()) + list(files.values()):
        if path != "$(_FLATRELEASEDIR)\\" + name or memory != "NK" or not set(flags) <= BIB_FLAGS:
            problems.append(f".bib entry {name} {path} {memory} {flags}: not NK from the release folder")
    for name in files:
        if not os.path.isfile(os.path.join(plat, name)):
            problems.append(f".bib FILES name {name}, which is not in platform/")

    programs = [n for n, t in targets.items() if t[0] == "PROGRAM"]
    lnks = glob.glob(os.path.join(plat, "*.lnk"))
    for lnk in lnks:
        text = read(lnk)
        m = re.fullmatch(r"(\d+)#(.*)", text.rstrip("\r\n"))
        target = m[2].strip('"') if m else ""
        if not m or int(m[1]) != len(m[2]):
            problems.append(f"{os.path.basename(lnk)}: the count before # is not the length after it: {text!r}")
        if target.lower() not in {"\\windows\\" + p for p in programs}:
            problems.append(f"{os.path.basename(lnk)} starts {target!r}, not a program the .bib puts in \\Windows")
        if os.path.basename(lnk) not in files:
            problems.append(f"{os.path.basename(lnk)} is not in the .bib's FILES")
    dats = glob.glob(os.path.join(plat, "*.dat"))
    copies = [m for d in dats for m in re.finditer(r'^Directory\("([^"]*)"\):-File\("([^"]*)",\s*"([^"]*)"\)',
                                                  read(d), re.M)]
    if not lnks or len(copies) != len(lnks):
        problems.append(f"{len(lnks)} .lnk file(s), {len(copies)} .dat copy line(s)")
    for m in copies:
        if m[1] != "\\Windows\\Start Menu\\Programs" or not m[2].endswith(".lnk") or \
                m[3].lower() not in {"\\windows\\" + f for f in files if f.endswith(".lnk")}:
            problems.append(f".dat line {m[0]}: not a shortcut of the .bib's FILES into the Start menu")

    regs = glob.glob(os.path.join(plat, "*.reg"))
    keys, boot = parse_reg(read(regs[0])) if len(regs) == 1 else ({}, set())
    drivers = [k for k in keys if k.upper().startswith("HKEY_LOCAL_MACHINE\\DRIVERS\\BUILTIN\\")]
    if len(drivers) != 1:
        problems.append(f"one Drivers\\BuiltIn entry expected, found {drivers}")
    dlls = [n for n, t in targets.items() if t[0] == "DYNLINK"]
    for key in drivers:
        values = keys[key]
        kind, dll = values.get("Dll", (None, None))
        prefix = values.get("Prefix", (None, ""))[1]
        order, index = values.get("Order", (None, -1))[1], values.get("Index", (None, -1))[1]
        flags = values.get("Flags", ("dword", 0))[1]
        if key in boot:
            problems.append(f"{key} is inside the boot hive section")
        if flags & BOOT_PHASE_FLAG:
            problems.append(f"{key} has the boot-phase flag 0x1000 in Flags")
        if kind != "string" or dll not in dlls:
            problems.append(f"{key}: Dll {dll!r} is not the driver the .bib holds {dlls}")
        if not (0 <= order <= 255) or not (0 <= index <= 9) or not re.fullmatch(r"[A-Z0-9]{3}", prefix):
            problems.append(f"{key}: Prefix {prefix!r}, Order {order}, Index {index}: "
                            "not what the device manager takes")
        elif dll in targets and os.path.isfile(win(targets[dll][1]["DEFFILE"][0], targets[dll][2])):
            deffile = win(targets[dll][1]["DEFFILE"][0], targets[dll][2])
            exports = re.findall(r"^\s+(\w+)", read(deffile).split("EXPORTS", 1)[-1], re.M)
            if sorted(exports) != sorted(prefix + "_" + e for e in STREAM_ENTRIES):
                problems.append(f"{key}: Prefix {prefix} does not name the driver's exports {exports}")
    return problems


# (the fault, words of the line that must refuse it, the changes that plant it):
# each fault must be refused by its own rule, not by another that happens to
# fire on the same copy.
ROM_PLANTS = [
    ("a receiver source built by the driver two folders up", "so build.exe ignores it",
     [("bootdrv/ce/sources", "    ..\\driver.cpp\n", "    ..\\driver.cpp \\\n    ..\\..\\receiver\\settings.cpp\n")]),
    ("a new source of setup/ that no project builds", "setup/extra.cpp: no project builds it",
     [("setup/extra.cpp", None, "// new\n")]),
    ("a source that does not exist", "which does not exist",
     [("setup/ce/sources", "..\\rxconf.cpp", "..\\rxconf2.cpp")]),
    ("another .def", "is not bootdrv's .def", [("bootdrv/ce/sources", "=..\\rxboot.def\n", "=..\\rxboot2.def\n")]),
    ("a makefile of its own", "makefile is not the one line", [("setup/ce/makefile", "makefile.def", "makefile.inc")]),
    ("a deliverable that does not link the library", "rxconf does not link the library",
     [("setup/ce/sources", "    $(_TARGETPLATROOT)\\lib\\$(_CPUINDPATH)\\rxlink.lib \\\n", "")]),
    ("the library without SYNCHRONIZE_BLOCK", "without SYNCHRONIZE_BLOCK=1",
     [("receiver/ce/sources", "SYNCHRONIZE_BLOCK=1\n", "")]),
    ("a folder no dirs file lists", "bootdrv/ce/sources: no dirs file leads", [("dirs", "    bootdrv \\\n", "")]),
    ("a dirs naming a missing folder", "names tools, which is not a folder",
     [("dirs", "    setup\n", "    setup \\\n    tools\n")]),
    ("the library listed after its users", "list receiver/ce after bootdrv/ce",
     [("dirs", "    receiver \\\n    bootdrv \\\n", "    bootdrv \\\n    receiver \\\n")]),
    ("an image missing from the .bib", ".bib MODULES hold", [("platform/rxconf.bib", "   rxboot.dll ", "; rxboot.dll ")]),
    ("the shortcut's file not in the .bib", "not in the .bib's FILES",
     [("platform/rxconf.bib", "   rxconf.lnk ", "; rxconf.lnk ")]),
    ("a miscounted shortcut", "the count before #", [("platform/rxconf.lnk", "21#", "19#")]),
    ("a shortcut to another program", "not a program the .bib puts",
     [("platform/rxconf.lnk", 'rxconf.exe"', 'rxconf.dll"')]),
    ("a .dat copying another file", "not a shortcut of the .bib's FILES",
     [("platform/rxconf.dat", '"\\Windows\\rxconf.lnk"', '"\\Windows\\sattune.lnk"')]),
    ("the entry in the boot hive", "inside the boot hive section",
     [("platform/rxboot.reg", "[HKEY_LOCAL_MACHINE\\Drivers", "; HIVE BOOT SECTION\n[HKEY_LOCAL_MACHINE\\Drivers"),
      ("platform/rxboot.reg", '"Index"=dword:00000001\n', '"Index"=dword:00000001\n; END HIVE BOOT SECTION\n')]),
    ("the boot-phase flag", "the boot-phase flag 0x1000",
     [("platform/rxboot.reg", '"Index"=dword:00000001', '"Flags"=dword:00001008\n"Index"=dword:1')]),
    ("an Index the device manager refuses", "not what the device manager takes",
     [("platform/rxboot.reg", '"Index"=dword:00000001', '"Index"=dword:a')]),
    ("a Prefix that is not the exports'", "does not name the driver's exports",
     [("platform/rxboot.reg", '"Prefix"="RXB"', '"Prefix"="RXD"')]),
    ("a Dll the image does not hold", "is not the driver the .bib holds",
     [("platform/rxboot.reg", '"Dll"="rxboot.dll"', '"Dll"="rxdrv.dll"')]),
]


def plant(base, changes):
    for rel, old, new in changes:
        path = os.path.join(base, rel)
        if old is None:
            with open(path, "w") as f:
                f.write(new)
            continue
        text = read(path)
        if old not in text:
            raise SystemExit(f"plant: {old!r} is not in {rel}: the plant no longer fits")
        with open(path, "w", newline="") as f:
            f.write(text.replace(old, new, 1))


def planted_rom(root):
    missed = []
    for what, refusal, changes in ROM_PLANTS:
        with tempfile.TemporaryDirectory() as copy:
            for folder in PB_FOLDERS:
                shutil.copytree(os.path.join(root, folder), os.path.join(copy, folder))
            shutil.copy(os.path.join(root, "dirs"), copy)
            plant(copy, changes)
            if not any(refusal in problem for problem in check_rom(copy)):
                missed.append(f"{what} (no line with {refusal!r})")
    return missed


# ---- cab ----

def cab_folders(data):
    """typeCompress of each folder of a single cabinet."""
    if data[:4] != b"MSCF":
        raise ValueError("not a cabinet")
    folders, files, flags = struct.unpack_from("<HHH", data, 26)
    if flags & 3:
        raise ValueError("part of a cabinet set")
    at, folder_reserve = 36, 0
    if flags & 4:
        header_reserve, folder_reserve, _ = struct.unpack_from("<HBB", data, 36)
        at += 4 + header_reserve
    return [struct.unpack_from("<H", data, at + i * (8 + folder_reserve) + 6)[0] for i in range(folders)]


def check_cab(cab, root, images):
    problems = []
    with open(cab, "rb") as f:
        compression = cab_folders(f.read())
    if compression != [0]:
        problems.append(f"folders with compression {compression}, one uncompressed folder expected")
    with tempfile.TemporaryDirectory() as out:
        run = subprocess.run(["cabextract", "-q", "-d", out, cab], capture_output=True, text=True)
        if run.returncode != 0:
            return problems + [f"cabextract: {run.stderr.strip()}"]
        held = {name: open(os.path.join(out, name), "rb").read() for name in os.listdir(out)}
    if "_setup.xml" not in held:
        return problems + [f"no _setup.xml among {sorted(held)}"]
    try:
        doc = ET.fromstring(held.pop("_setup.xml"))
    except ET.ParseError as e:
        return problems + [f"_setup.xml is not well-formed: {e}"]
    if doc.tag != "wap-provisioningdoc":
        problems.append(f"_setup.xml's root is {doc.tag}")

    install = {p.get("name"): p.get("value") for p in doc.findall("characteristic[@type='Install']/parm")}
    ops = doc.find("characteristic[@type='FileOperation']")
    ops = ops if ops is not None else ET.Element("none")
    extracts = [(d.get("type"), f.get("type"), f.find("characteristic[@type='Extract']/parm[@name='Source']"))
                for d in ops.findall("characteristic") for f in d.findall("characteristic")
                if f.find("characteristic[@type='Extract']") is not None]
    shortcuts = [(d.get("type"), f.find("characteristic[@type='Shortcut']/parm[@name='Source']"))
                 for d in ops.findall("characteristic") for f in d.findall("characteristic")
                 if f.find("characteristic[@type='Shortcut']") is not None]
    regkeys = doc.findall("characteristic[@type='Registry']/characteristic")
    regvals = [p for k in regkeys for p in k.findall("parm")]
    counts = {"NumFiles": len(extracts), "NumShortcuts": len(shortcuts),
              "NumDirs": len(ops.findall(".//characteristic[@type='MakeDir']")) + 1,  # and the install folder
              "NumRegKeys": len(regkeys), "NumRegVals": len(regvals)}
    for name, count in counts.items():
        if install.get(name) != str(count):
            problems.append(f"Install {name} is {install.get(name)}, the document has {count}")
    if install.get("InstallPhase") != "install" or not install.get("AppName"):
        problems.append(f"Install InstallPhase/AppName: {install}")

    sources = set()
    for folder, name, source in extracts:
        source = source.get("value") if source is not None else None
        sources.add(source)
        if folder != "%CE2%":
            problems.append(f"{name} goes into {folder}, not \\Windows (%CE2%)")
        if source not in held:
            problems.append(f"{name} is extracted from {source}, which the cabinet does not hold")
        else:
            image = os.path.join(images, name)
            if not os.path.isfile(image) or held[source] != open(image, "rb").read():
                problems.append(f"{source} is not byte for byte {image}")
    for stray in sorted(set(held) - sources):
        problems.append(f"the cabinet holds {stray}, which nothing extracts")
    programs = {"%CE2%\\" + name for folder, name, _ in extracts if name.endswith(".exe")}
    for folder, source in shortcuts:
        if folder != "%CE11%" or source is None or source.get("value") not in programs:
            problems.append(f"shortcut in {folder} to {source.get('value') if source is not None else None}: "
                            f"not the Start menu's programs (%CE11%) and an extracted program {sorted(programs)}")

    written = {}
    for key in regkeys:
        values = written.setdefault(key.get("type"), {})
        for parm in key.findall("parm"):
            kind, value = parm.get("datatype"), parm.get("value")
            if kind not in CSP_DATATYPES:
                problems.append(f"{key.get('type')}\\{parm.get('name')}: datatype {kind!r}, the Registry CSP needs one")
            elif kind == "integer" and not (re.fullmatch(r"-?\d+", value or "") and -2**31 <= int(value) < 2**31):
                problems.append(f"{key.get('type')}\\{parm.get('name')}: {value!r} is not a signed 32-bit integer")
            else:
                values[parm.get("name")] = (kind, value)
    fragment = {}
    for key, values in parse_reg(read(glob.glob(os.path.join(root, "platform", "*.reg"))[0]))[0].items():
        fragment[re.sub(r"^HKEY_LOCAL_MACHINE\\", "HKLM\\\\", key)] = {
            n: ("integer", str(v)) if k == "dword" else (k, v) for n, (k, v) in values.items()}
    if written != fragment:
        problems.append(f"the registry _setup.xml writes {written} is not the .reg fragment's {fragment}")
    return problems


CAB_PLANTS = [
    ("compressed", [], ["--zip"]),
    ("a count that is off", [("_setup.xml", '"NumFiles" value="2"', '"NumFiles" value="3"')], []),
    ("NumDirs without the install folder", [("_setup.xml", '"NumDirs" value="3"', '"NumDirs" value="2"')], []),
    ("a registry parm without its datatype", [("_setup.xml", ' datatype="integer"', "")], []),
    ("an integer out of range", [("_setup.xml", 'value="64"', 'value="4294967295"')], []),
    ("a registry value not the fragment's", [("_setup.xml", 'value="RXB"', 'value="RXD"')], []),
    ("a key the fragment does not have", [("_setup.xml", "Kestrana\\GPS", "Kestrana\\Settings")], []),
    ("a source the cabinet does not hold", [("_setup.xml", "rxboot.002", "rxboot.003")], []),
    ("a file nothing extracts", [("stray.003", None, "stray")], []),
    ("an image changed", [("rxconf.001", b"\x00\x00\x00\x00", b"\x00\x00\x00\x01")], []),
    ("a file outside \\Windows", [("_setup.xml", 'type="%CE2%"', 'type="%CE1%"')], []),
    ("a shortcut outside the Start menu", [("_setup.xml", '"%CE11%"', '"%CE14%"')], []),
    ("not well-formed", [("_setup.xml", "</wap-provisioningdoc>", "")], []),
]


def planted_cab(cab, root, images):
    missed = []
    for what, changes, options in CAB_PLANTS:
        with tempfile.TemporaryDirectory() as stage:
            subprocess.run(["cabextract", "-q", "-d", stage, cab], check=True)
            for rel, old, new in changes:
                path = os.path.join(stage, rel)
                if old is None:
                    open(path, "w").write(new)
                    continue
                data = open(path, "rb").read()
                old, new = (old, new) if isinstance(old, bytes) else (old.encode(), new.encode())
                if old not in data:
                    raise SystemExit(f"plant: {old!r} is not in {rel}: the plant no longer fits")
                open(path, "wb").write(data.replace(old, new, 1))
            faulty = os.path.join(stage, "faulty.cab")
            subprocess.run(["gcab", "--create", "--nopath", *options, faulty, *sorted(os.listdir(stage))],
                           cwd=stage, check=True)
            if not check_cab(faulty, root, images):
                missed.append(what)
    return missed


def main(argv):
    if len(argv) == 3 and argv[1] == "rom":
        problems, missed = check_rom(argv[2]), planted_rom(argv[2])
    elif len(argv) == 5 and argv[1] == "cab":
        problems, missed = check_cab(*argv[2:]), planted_cab(*argv[2:])
    else:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    for problem in problems:
        print("FAIL:", problem)
    for what in missed:
        print("FAIL: the check let a planted fault through:", what)
    print(f"{argv[1]}: {len(problems)} problem(s); {len(missed)} planted fault(s) let through")
    return 1 if problems or missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
