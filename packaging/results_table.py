#!/usr/bin/env python3
"""The table of notification failures, from packaging/results.txt, in two forms.

  results_table.py --markdown      the README's table (markdown)
  results_table.py --text          the plain-text form for README-installers.txt
  results_table.py --check README  exit status 0 when README holds the markdown
                                   form between its two marker lines, 1 otherwise
"""
import os
import sys
import textwrap

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.txt")
BEGIN = "<!-- results table: made from packaging/results.txt by packaging/results_table.py -->"
END = "<!-- end of the results table -->"


def rows():
    out = []
    for number, line in enumerate(open(SOURCE, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if not line or line.startswith("#"):
            continue
        fields = [f.strip() for f in line.split(" | ")]
        if len(fields) != 3 or not all(fields):
            sys.exit("%s:%d: not three fields" % (SOURCE, number))
        out.append(fields)
    if not out:
        sys.exit(SOURCE + ": no rows")
    return out


def markdown():
    lines = ["| Result | When | What happened |", "|---|---|---|"]
    lines += ["| %s | %s | %s |" % tuple(r) for r in rows()]
    return "\n".join(lines) + "\n"


def text():
    wrap = textwrap.TextWrapper(width=78, initial_indent="        ",
                                subsequent_indent="        ", break_on_hyphens=False)
    lines = []
    for result, when, what in rows():
        lines.append("    " + result.replace("`", ""))
        lines += wrap.wrap("when: " + when.replace("`", ""))
        lines += wrap.wrap("then: " + what.replace("`", ""))
    return "\n".join(lines) + "\n"


def check(path):
    content = open(path, encoding="utf-8").read()
    if BEGIN not in content or END not in content:
        return False
    inside = content.split(BEGIN, 1)[1].split(END, 1)[0]
    return inside == "\n" + markdown()


if __name__ == "__main__":
    if sys.argv[1:] == ["--markdown"]:
        sys.stdout.write(markdown())
    elif sys.argv[1:] == ["--text"]:
        sys.stdout.write(text())
    elif len(sys.argv) == 3 and sys.argv[1] == "--check":
        sys.exit(0 if check(sys.argv[2]) else 1)
    else:
        sys.exit(__doc__)
