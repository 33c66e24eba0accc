"""Compares the shared library's dynamic symbols with the names its headers declare VX_API."""
import re
import subprocess
import sys
from pathlib import Path

lib, include_dir = sys.argv[1], Path(sys.argv[2])

declared = set()
for header in include_dir.glob("*.h"):
    text = re.sub(r"/\*.*?\*/", "", header.read_text(), flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"(?m)^\s*#.*$", "", text)
    for decl in re.findall(r"\bVX_API\b([^;{]*)", text):
        # The declared name is the identifier before the first '(' (functions) or the last one (data).
        head = decl.split("(")[0] if "(" in decl else decl
        head = re.sub(r"\[[^\]]*\]", "", head)
        names = re.findall(r"[A-Za-z_][A-Za-z0-9_]*", head)
        if not names:
            print(f"cannot parse declaration in {header.name}: {decl.strip()}")
            sys.exit(2)
        declared.add(names[-1])

out = subprocess.run(["nm", "-D", "--defined-only", lib], check=True, capture_output=True, text=True).stdout
linker_made = {"_init", "_fini", "_edata", "_end", "__bss_start"}
exported = set()
for line in out.splitlines():
    parts = line.split()
    if len(parts) >= 3 and parts[1] not in ("A",):
        exported.add(parts[2].split("@")[0])
exported -= linker_made
# Sanitizer builds add their own bookkeeping symbols beside exported data.
exported = {s for s in exported if not s.startswith(("__odr_asan", "__asan", "__ubsan", "__tsan"))}

mangled = sorted(s for s in exported if s.startswith("_Z"))
extra = sorted(exported - declared)
missing = sorted(declared - exported)
for name in mangled:
    print(f"C++ internal exported: {name}")
for name in extra:
    print(f"exported but not declared VX_API: {name}")
for name in missing:
    print(f"declared VX_API but not exported: {name}")
print(f"{len(exported)} exported, {len(declared)} declared")
sys.exit(1 if (mangled or extra or missing) else 0)
