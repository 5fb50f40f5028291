"""Static checks of the Windows extension module (a PE file):

- every name it imports from python3.dll is one that the given python3.dll
  (that of the oldest supported Python) exports, so the module loads there;
- it imports from no other Python DLL, and from nothing beyond the system
  and the UCRT (the C++ runtime is linked in);
- its only export is PyInit_kavrel;
- the single-precision math functions come from the UCRT, as in an MSVC build.

Usage: python pe_check.py MODULE.pyd PYTHON3.DLL
"""

import re
import sys

import pefile

UCRT_MATH = "api-ms-win-crt-math-l1-1-0.dll"
MATH = {"cosf", "sinf", "expf", "exp2f", "logf", "log10f", "atan2f"}
ALLOWED = re.compile(r"^(python3\.dll|kernel32\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll)$")


def imports(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(
        directories=[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
        ]
    )
    found = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = {i.name.decode() for i in entry.imports if i.name}
        found.setdefault(entry.dll.decode().lower(), set()).update(names)
    return pe, found


def exports(pe):
    directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    return {s.name.decode() for s in directory.symbols if s.name} if directory else set()


def main(module, python3_dll):
    pe, needed = imports(module)
    errors = []
    for dll in sorted(needed):
        if not ALLOWED.match(dll):
            errors.append(f"imports from {dll}: {', '.join(sorted(needed[dll]))}")
    python_dll = pefile.PE(python3_dll, fast_load=True)
    python_dll.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]]
    )
    missing = needed.get("python3.dll", set()) - exports(python_dll)
    if missing:
        errors.append(f"{python3_dll} does not export: {', '.join(sorted(missing))}")
    if exports(pe) != {"PyInit_kavrel"}:
        errors.append(f"exports {sorted(exports(pe))}, expected only PyInit_kavrel")
    if not MATH <= needed.get(UCRT_MATH, set()):
        missing_math = MATH - needed.get(UCRT_MATH, set())
        errors.append(f"not taken from the UCRT: {', '.join(sorted(missing_math))}")
    for error in errors:
        print(f"{module}: {error}", file=sys.stderr)
    if errors:
        return 1
    print(
        f"{module}: {len(needed.get('python3.dll', ()))} names from python3.dll, all exported by "
        f"{python3_dll}; exports only PyInit_kavrel; float math from the UCRT; "
        f"DLLs: {', '.join(sorted(needed))}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
