"""Doxygen input filter: the engine's headers document their API in plain //
comments; this hands them to Doxygen as documentation comments.

Usage (Doxygen's INPUT_FILTER): python doxygen_filter.py HEADER

Inside the namespace, a comment line before a declaration becomes "///" and a
comment after a declaration on its line becomes "///<". The file's opening
comment (what the header is for) and comments that close a block are left as
they are. The headers themselves are not changed.
"""

import re
import sys


def documented(text):
    lines, inside = [], False
    for line in text.splitlines():
        if re.match(r"namespace kavrel \{", line):
            inside = True
        elif inside:
            own = re.match(r"^(\s*)// ?(.*)$", line)
            after = re.match(r"^(\s*\S.*?[;,])(\s*)// ?(.*)$", line)
            if own:
                line = f"{own[1]}/// {own[2]}"
            elif after:
                line = f"{after[1]}{after[2]}///< {after[3]}"
        lines.append(line)
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as header:
        sys.stdout.write(documented(header.read()))
