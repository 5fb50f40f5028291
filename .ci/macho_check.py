"""Static checks of a macOS extension module (a Mach-O file) in a wheel,
read with llvm-objdump; nothing on this machine can load it:

- the minimum macOS version (LC_BUILD_VERSION minos) is the wheel tag's;
- it exports PyInit_kavrel and, beside it, only what the linker or the
  statically linked C++ runtime define (the header symbols, and the
  replaceable global operator new and delete as weak definitions);
- it loads no library but libSystem, and every symbol bound at load time is
  either libSystem's or the interpreter's (_Py*, left to the loader).

Usage: python macho_check.py WHEEL
"""

import re
import subprocess
import sys
import tempfile
import zipfile

LINKER_MADE = {"__mh_dylib_header", "___dso_handle"}
# Itanium names of the global operator new, new[], delete and delete[].
NEW_DELETE = re.compile(r"^__Z(nw|na|dl|da)[A-Za-z0-9_]*$")
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"


def objdump(flag, path):
    return subprocess.run(
        ["llvm-objdump", "--macho", flag, path], check=True, capture_output=True, text=True
    ).stdout


def check(wheel):
    m = re.search(r"-macosx_(\d+)_(\d+)_(arm64|x86_64)\.whl$", wheel)
    if not m:
        return [f"{wheel}: not a macOS wheel name"]
    tag_version = f"{m.group(1)}.{m.group(2)}"
    errors = []
    with tempfile.TemporaryDirectory() as tmp:
        with zipfile.ZipFile(wheel) as zf:
            names = [n for n in zf.namelist() if n.endswith(".so")]
            if names != ["kavrel.abi3.so"]:
                return [f"{wheel}: expected one module kavrel.abi3.so, found {names}"]
            path = zf.extract(names[0], tmp)
        headers = objdump("--private-headers", path)
        minos = re.findall(r"^\s*minos (\S+)$", headers, re.M)
        if minos != [tag_version]:
            errors.append(f"minimum macOS {minos}, the wheel tag says {tag_version}")
        exports = re.findall(r"^0x[0-9A-F]+\s+(\S+)", objdump("--exports-trie", path), re.M)
        extra = [
            s
            for s in exports
            if s != "_PyInit_kavrel" and s not in LINKER_MADE and not NEW_DELETE.match(s)
        ]
        if "_PyInit_kavrel" not in exports or extra:
            errors.append(f"exports beyond PyInit_kavrel: {extra or exports}")
        dylibs = [
            line.split(" (")[0].strip() for line in objdump("--dylibs-used", path).splitlines()[1:]
        ]
        if [d for d in dylibs if d != LIBSYSTEM and d != "kavrel.abi3.so"]:
            errors.append(f"loads libraries beyond libSystem: {dylibs}")
        bound = objdump("--bind", path) + objdump("--lazy-bind", path)
        for line in bound.splitlines():
            fields = line.split()
            if len(fields) < 3 or not fields[-1].startswith("_"):
                continue
            dylib, symbol = fields[-2], fields[-1]
            if dylib == "libSystem" or (dylib == "flat-namespace" and re.match(r"^__?Py", symbol)):
                continue
            errors.append(f"binds {symbol} from {dylib}")
    if errors:
        return [f"{wheel}: {e}" for e in errors]
    print(
        f"{wheel}: minos {tag_version}, exports {len(exports)} "
        f"(PyInit_kavrel, the rest the linker's or the C++ runtime's), libSystem only"
    )
    return [f"{wheel}: {e}" for e in errors]


if __name__ == "__main__":
    problems = [e for wheel in sys.argv[1:] for e in check(wheel)]
    for problem in problems:
        print(problem, file=sys.stderr)
    sys.exit(1 if problems else 0)
