#!/usr/bin/python3
"""Checks that a shared library exports exactly what a C header declares.

    exported_symbols.py HEADER LIBRARY [CC [NM]]

The header is preprocessed by the C compiler (after the system headers it
includes, so that only its own declarations remain); every function and object
it declares must be a defined dynamic symbol of the library, and the library
must define no other (its private helpers and C++ internals hidden).
"""
import os
import re
import subprocess
import sys
import tempfile


def declared(header, cc):
    with tempfile.TemporaryDirectory() as tmp:
        probe = os.path.join(tmp, "probe.c")
        with open(probe, "w") as f:
            f.write("#include <stdint.h>\n#include <stdio.h>\nint declared_below_this_line;\n")
            f.write('#include "%s"\n' % os.path.abspath(header))
        text = subprocess.run([cc, "-E", "-P", "-std=c99", probe], check=True,
                              capture_output=True, text=True).stdout
    text = text.split("int declared_below_this_line;", 1)[1]
    text = "\n".join(l for l in text.splitlines() if not l.lstrip().startswith("#"))
    # Statements at file scope: the bodies of structs and enums taken out first.
    flat, depth = [], 0
    for c in text:
        depth += c == "{"
        if depth == 0:
            flat.append(c)
        depth -= c == "}"
    names = set()
    for statement in "".join(flat).split(";"):
        s = " ".join(statement.split())
        if not s or s.startswith("typedef"):
            continue
        # A function: the name before its parameter list (not a pointer's "(*").
        m = re.search(r"([A-Za-z_]\w*)\s*\((?!\s*\*)", s)
        if m:
            names.add(m.group(1))
            continue
        m = re.search(r"([A-Za-z_]\w*)\s*(\[[^\]]*\])*\s*$", s)
        if m and s.startswith("extern"):
            names.add(m.group(1))
    return names


SANITIZER_MARKS = ("__odr_asan", "__asan_", "__ubsan_", "__sancov_")


def exported(library, nm):
    out = subprocess.run([nm, "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TDRBVWiu":
            name = parts[2].split("@")[0]
            # A sanitizer's own marks beside the library's data (AddressSanitizer's
            # one-definition-rule indicators) are not the library's.
            if not name.startswith(SANITIZER_MARKS):
                names.add(name)
    return names


def main():
    if len(sys.argv) not in (3, 4, 5):
        sys.exit(__doc__)
    header, library = sys.argv[1], sys.argv[2]
    cc = sys.argv[3] if len(sys.argv) > 3 else "cc"
    nm = sys.argv[4] if len(sys.argv) > 4 else "nm"
    want, have = declared(header, cc), exported(library, nm)
    if len(want) < 50:
        sys.exit("only %d declarations found in %s: the header was not read right" % (len(want), header))
    missing, extra = sorted(want - have), sorted(have - want)
    for name in missing:
        print("declared but not exported: " + name)
    for name in extra:
        print("exported but not declared: " + name)
    print("%d declared, %d exported" % (len(want), len(have)))
    sys.exit(1 if missing or extra else 0)


if __name__ == "__main__":
    main()
