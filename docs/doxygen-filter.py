#!/usr/bin/env python3
"""Hands the public headers' plain C and C++ comments to doxygen as their documentation.

The headers are written for the person reading them, not in doxygen's dialect: a comment above a
declaration documents it, a comment after a member on the same line documents that member, the
first comment describes the file, and one comment above a run of declarations with no blank line
between them (a reader and its writer, say) documents each of them. Line numbers are kept, so
doxygen's warnings point at the header's own lines.
"""
import os
import re
import sys

path = sys.argv[1]
lines = open(path, encoding="utf-8").read().split("\n")
out = []
group_doc = None      # text of the comment that heads the current run of declarations
statement_open = False  # a declaration of the run is still waiting for its ';'
first_in_run = False
i = 0
while i < len(lines):
    line = lines[i]
    stripped = line.strip()
    if i == 0 and stripped.startswith(("/* ", "// ")):
        line = line.replace(stripped[:3], stripped[:2] + "* @file " + os.path.basename(path) + " "
                            if stripped.startswith("/*") else "/// @file " + os.path.basename(path) + " ", 1)
    # A comment standing on its own lines opens a new group.
    if stripped.startswith("/*") and not stripped.startswith(("/**", "/*!")) or \
            (stripped.startswith("//") and not stripped.startswith(("///", "//!"))):
        text = []
        if stripped.startswith("/*"):
            j = i
            while True:
                text.append(lines[j])
                if "*/" in lines[j]:
                    break
                j += 1
            block = "\n".join(text)
        else:
            j = i
            while j < len(lines) and lines[j].strip().startswith("//"):
                text.append(lines[j])
                j += 1
            j -= 1
            block = "\n".join(text)
        plain = re.sub(r"^\s*(/\*+|//+)\s?|\s*\*/\s*$", "", block, flags=re.M)
        plain = " ".join(plain.split()).replace("*/", "* /")
        for k in range(i, j + 1):
            l = lines[k] if k != 0 or i != 0 else line
            if k == i:
                l = re.sub(r"^(\s*)/\*(?![*!])", r"\1/**", l)
            l = re.sub(r"^(\s*)//(?![/!])", r"\1///", l)
            out.append(l)
        after = lines[j + 1].strip() if j + 1 < len(lines) else ""
        group_doc = plain if after and not after.startswith(("#", "/", "}")) else None
        first_in_run = True
        statement_open = False
        i = j + 1
        continue
    if not stripped or stripped.startswith("#"):
        group_doc = None
    # Trailing comments document the member on their line.
    line = re.sub(r"([;,{])(\s*)/\*(?![*!<])", r"\1\2/**<", line)
    line = re.sub(r"([;,{)])(\s+)//(?![/!<])", r"\1\2///<", line)
    line = re.sub(r"^(\s*#\s*define\s+\S+.*?\S)(\s+)/\*(?![*!<])", r"\1\2/**<", line)
    if group_doc and stripped:
        if not statement_open:
            statement_open = True
            this_needs_doc = not first_in_run
            braces = 0
        braces += stripped.count("{") - stripped.count("}")
        # A declaration ends at its ';', a definition at the '}' that closes its body.
        if braces <= 0 and (stripped.endswith(";") or stripped.endswith("}") or ";" in stripped):
            statement_open = False
            if this_needs_doc and "/*" not in line and "//" not in line:
                line += " /**< " + group_doc + " */"
            first_in_run = False
    out.append(line)
    i += 1
sys.stdout.write("\n".join(out))
