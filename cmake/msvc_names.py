#!/usr/bin/env python3
"""Writes the module-definition (.def) file of linalg.dll.

Every static member function of the exported classes declared in the public
headers the DLL implements (linalg.h and linalg_diag.h) is exported under its GCC name and, as an alias of it, under the name
Visual C++ gives the same declaration. Both names come from clang's own
mangling of the header (clang's JSON AST carries each declaration's mangled
name): the GCC names for the x86_64-w64-mingw32 target, the MSVC names for
x86_64-pc-windows-msvc. Nothing is typed by hand.

The fixed-width types of <cstdint> are given two ways for the MSVC names:
as the interface's own Windows types (the 32-bit `unsigned long` and `long`
of MT_u32 and MT_i31), and as Visual C++'s <cstdint> defines them (what a
program compiling the header with MSVC refers to). Where the two give
different names, both are exported.

usage: msvc_names.py CLANG HEADER[,HEADER...] INCLUDE_DIR... --dll NAME.dll
       --link-def LINK.def  (for the linker: GCC names, MSVC aliases "= gcc-name")
       --def OUT.def        (the exported names, for import-library tools)
       [--list OUT.txt]     ("msvc-name gcc-name" lines)
       [--inc OUT.inc]      ({"msvc-name", "gcc-name"}, lines for C++)
       [--members OUT.inc]  (the address of every member, cast to its own
                             type, as initialisers of a `const void*` array;
                             for a caller that must link every export)
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

CLASSES = ("LA", "CRT", "RS232", "Diagnostics")

# <cstdint> as the names pass sees it: LLP64 Windows with 32-bit long.
CSTDINT = """#pragma once
typedef signed char int8_t; typedef unsigned char uint8_t;
typedef short int16_t; typedef unsigned short uint16_t;
typedef {i32} int32_t; typedef {u32} uint32_t;
typedef long long int64_t; typedef unsigned long long uint64_t;
typedef long long intptr_t; typedef unsigned long long uintptr_t;
namespace std {{
using ::int8_t; using ::uint8_t; using ::int16_t; using ::uint16_t;
using ::int32_t; using ::uint32_t; using ::int64_t; using ::uint64_t;
using ::intptr_t; using ::uintptr_t;
}}
"""

VARIANTS = {
    # name: (target, int32_t, uint32_t)
    "gcc": ("x86_64-w64-mingw32", "int", "unsigned int"),
    "msvc_interface": ("x86_64-pc-windows-msvc", "long", "unsigned long"),
    "msvc_header": ("x86_64-pc-windows-msvc", "int", "unsigned int"),
}


def exported_members(clang, headers, includes, target, i32, u32, types=None):
    """[(class, method, mangled name)] in declaration order; with `types`
    (a list), also appends (namespace::class, method, function type)."""
    with tempfile.TemporaryDirectory() as shim:
        for name in ("cstdint", "stdint.h"):
            with open(os.path.join(shim, name), "w") as f:
                f.write(CSTDINT.format(i32=i32, u32=u32))
        header = os.path.join(shim, "all_headers.h")
        with open(header, "w") as f:
            for h in headers:
                f.write('#include "%s"\n' % os.path.abspath(h))
        cmd = [clang, "--target=" + target, "-x", "c++", "-std=c++17", "-fsyntax-only",
               "-nostdinc", "-isystem", shim, "-D_WIN32=1",
               "-Xclang", "-ast-dump=json"]
        for inc in includes:
            cmd += ["-I", inc]
        cmd.append(header)
        out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout
    tree = json.loads(out)
    found = []

    def walk(node, scope):
        kind = node.get("kind")
        if kind == "CXXRecordDecl" and node.get("name") in CLASSES and node.get("completeDefinition"):
            for m in node.get("inner", []):
                if m.get("kind") == "CXXMethodDecl" and m.get("storageClass") == "static":
                    found.append((node["name"], m["name"], m["mangledName"]))
                    if types is not None:
                        types.append((scope + node["name"], m["name"], m["type"]["qualType"]))
            return
        if kind == "NamespaceDecl":
            scope = scope + node.get("name", "") + "::"
        for child in node.get("inner", []):
            walk(child, scope)

    walk(tree, "")
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("clang")
    ap.add_argument("header")
    ap.add_argument("includes", nargs="*")
    ap.add_argument("--def", dest="deffile", required=True)
    ap.add_argument("--link-def", dest="linkdef", required=True)
    ap.add_argument("--dll", required=True)
    ap.add_argument("--list")
    ap.add_argument("--inc")
    ap.add_argument("--members")
    a = ap.parse_args()

    headers = a.header.split(",")
    types = []
    names = {v: exported_members(a.clang, headers, a.includes, *VARIANTS[v],
                                 types=types if v == "msvc_header" else None) for v in VARIANTS}
    gcc = names["gcc"]
    for v in ("msvc_interface", "msvc_header"):
        if [(c, m) for c, m, _ in names[v]] != [(c, m) for c, m, _ in gcc]:
            sys.exit("msvc_names.py: the passes disagree on the declarations")
    if not gcc:
        sys.exit("msvc_names.py: no exported member found in " + a.header)
    classes = {c for c, _, _ in gcc}
    if classes != set(CLASSES):
        sys.exit("msvc_names.py: classes missing from the headers: %s" % sorted(set(CLASSES) - classes))

    pairs = []
    seen = set()
    for v in ("msvc_interface", "msvc_header"):
        for (_, _, g), (_, _, m) in zip(gcc, names[v]):
            if m not in seen:
                seen.add(m)
                pairs.append((m, g))
    head = ["LIBRARY " + a.dll, "EXPORTS"]
    plain = ["    " + g for _, _, g in gcc]
    with open(a.linkdef, "w") as f:
        f.write("\n".join(head + plain + ["    %s = %s" % p for p in pairs]) + "\n")
    with open(a.deffile, "w") as f:
        f.write("\n".join(head + plain + ["    " + m for m, _ in pairs]) + "\n")
    if a.inc:
        with open(a.inc, "w") as f:
            for m, g in pairs:
                f.write('{"%s", "%s"},\n' % (m, g))
    if a.members:
        # "R (A...) qualifiers" -> a cast to "R (*)(A...)" of the member's
        # address, which picks the overload. Types are spelled relative to
        # the class's namespace, so each line opens it.
        with open(a.members, "w") as f:
            for cls, method, qual in types:
                ns, _, name = cls.rpartition("::")
                at = qual.index("(")
                ret, params = qual[:at].strip(), qual[at:]
                f.write("[]{ using namespace %s; return reinterpret_cast<const void*>("
                        "static_cast<%s (*)%s>(&%s::%s)); }(),\n" % (ns, ret, params, cls, method))
    if a.list:
        with open(a.list, "w") as f:
            for m, g in pairs:
                f.write("%s %s\n" % (m, g))


if __name__ == "__main__":
    main()
