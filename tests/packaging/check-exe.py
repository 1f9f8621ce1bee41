#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks morvek.exe as it ships: it imports only Windows' own DLLs, its version resource
(what Explorer shows) holds VERSION and LICENSE's holder, and its manifest (what Windows
reads when it starts the exe) asks for no elevation and names Windows 10 and 11.
Usage: check-exe.py MORVEK.EXE
"""
import os
import re
import struct
import subprocess
import sys
from xml.etree import ElementTree

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# A Qt or MinGW runtime DLL here would mean the exe does not run on its own.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "mpr.dll", "netapi32.dll",
               "ole32.dll", "oleaut32.dll", "setupapi.dll", "shell32.dll", "user32.dll",
               "userenv.dll", "uuid.dll", "version.dll", "winmm.dll", "ws2_32.dll"}
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"  # Windows 10 and 11 in supportedOS


def resource(exe, kind):
    return subprocess.run(["wrestool", "-x", "--raw", "--type=%d" % kind, "--name=1", exe],
                          stdout=subprocess.PIPE, check=True).stdout


def faults(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], stdout=subprocess.PIPE,
                          check=True, text=True).stdout
    imported = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
    if not imported or imported - SYSTEM_DLLS:
        yield "imports %s, not only Windows' own DLLs" % sorted(imported)
    with open(os.path.join(ROOT, "VERSION")) as f:
        version = f.read().strip()
    with open(os.path.join(ROOT, "LICENSE")) as f:
        holder = re.search(r"Copyright \(c\) (.+)", f.read()).group(1)
    info = resource(exe, 16)
    # VS_FIXEDFILEINFO: its signature, then the file and product versions as 16-bit quads.
    fixed = info.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        yield "no version resource with a fixed file info"
    else:
        ms, ls, product_ms, product_ls = struct.unpack_from("<4I", info, fixed + 8)
        quad = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
        if quad != ([int(p) for p in version.split(".")] + [0, 0, 0])[:4] or (product_ms, product_ls) != (ms, ls):
            yield "file version %s, expected %s" % (quad, version)
    # The string table: each key, padding, then its value, in UTF-16.
    text = info.decode("utf-16-le", errors="replace")
    strings = dict(re.findall(r"(FileVersion|ProductVersion|ProductName|FileDescription|LegalCopyright)"
                              r"\0+([^\0]*)\0", text))
    for key, want in (("FileVersion", version), ("ProductVersion", version), ("ProductName", "morvek")):
        if strings.get(key) != want:
            yield "%s %r, expected %r" % (key, strings.get(key), want)
    if not strings.get("FileDescription") or holder not in strings.get("LegalCopyright", ""):
        yield "FileDescription empty or LegalCopyright without %r: %r" % (holder, strings)
    try:
        manifest = ElementTree.fromstring(resource(exe, 24))
    except ElementTree.ParseError as error:
        yield "no readable manifest: %s" % error
        return
    levels = [e.get("level") for e in manifest.iter("{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")]
    systems = [e.get("Id") for e in manifest.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS")]
    if levels != ["asInvoker"]:
        yield "manifest asks for execution level %s, not asInvoker" % levels
    if WINDOWS_10 not in systems:
        yield "manifest does not name Windows 10 and 11 as supported: %s" % systems


if __name__ == "__main__":
    found = list(faults(sys.argv[1]))
    print("\n".join("FAIL: " + f for f in found) or "%s: imports, version resource and manifest as expected" % sys.argv[1])
    sys.exit(1 if found else 0)
