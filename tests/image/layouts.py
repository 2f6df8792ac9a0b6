#!/usr/bin/env python3
"""The boundary types of the two builds side by side: every struct and union that platform/kernel.h, ks.h
and bda.h declare for the host is compiled with debug information by the host compiler and, against the DDK
headers, by the Windows cross compiler; gdb's `ptype /o` gives each build's size and the offset and size of
every member. Exit 1 on a difference the driver can see:
  - a size that differs (the driver embeds, allocates and copies these types);
  - a member of the same name at another offset or with another size;
  - a host member the Windows type lacks, where a Windows member overlaps it (the image would read it);
  - a type the Windows headers lack.
A host member standing for a Windows aggregate it leaves opaque (DEVICE_OBJECT.Queue.Wcb for the
WAIT_CONTEXT_BLOCK) matches when every Windows member under that name lies inside it.
  layouts.py REPO HOST_CXX WINDOWS_CXX        fails, saying how to install it, when gdb is absent"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Where the cross toolchain's headers are older than the DDK the host follows, with why each is harmless.
KNOWN = {
    # The host has the Windows 7 DDK's USHORT Level and Group; mingw-w64 a ULONG Level over both. The host
    # leaves Group 0, so the image reads the same level.
    "CM_PARTIAL_RESOURCE_DESCRIPTOR.u.Interrupt.Level",
    "CM_PARTIAL_RESOURCE_DESCRIPTOR.u.Interrupt.Group",
    # ks.h unions FramePitch with FileAlignment (both 32 bits); mingw-w64 names only FileAlignment.
    "KS_FRAMING_ITEM.FramePitch",
}


def type_names(repo):
    sys.dont_write_bytecode = True  # nothing written into the source tree
    sys.path.insert(0, os.path.join(repo, "platform"))
    from host_half import host_halves
    names = []
    for _, text in host_halves(repo):
        names += re.findall(r"^\}\s*([A-Z_][A-Za-z0-9_]*)\s*[,;]", text, re.M)
    return list(dict.fromkeys(names))


def compile_object(cxx, flags, repo, out):
    src = out + ".cpp"
    with open(src, "w") as f:
        f.write('#include "platform/platform.h"\n#include "platform/bda.h"\n')
    subprocess.run([cxx, "-std=c++20", "-g", "-fno-eliminate-unused-debug-types", "-c", "-I" + repo] + flags +
                   [src, "-o", out], check=True)


LEAF = re.compile(r"^/\*\s+(?:(\d+)(?::\s*\d+)?\s+\|)?\s*(\d+)\s+\*/\s+(.*?)\s*([A-Za-z_][A-Za-z0-9_]*)(\[\d+\])*;$")
OPEN = re.compile(r"^/\*\s+(?:(\d+)\s+\|)?\s*(\d+)\s+\*/\s+(?:type = )?(struct|union)(?: [A-Za-z_0-9:]+)? \{$")
CLOSE = re.compile(r"^\}\s*([A-Za-z_][A-Za-z0-9_]*)?(\[\d+\])?;?$")
TOTAL = re.compile(r"total size \(bytes\):\s+(\d+)")


def ptype(obj, names):
    args = ["gdb", "-batch", "-nx"]
    for n in names:
        args += ["-ex", f"echo @@@{n}\\n", "-ex", "ptype /o " + n]
    out = subprocess.run(args + [obj], capture_output=True, text=True).stdout
    result, current = {}, None
    for line in out.splitlines():
        if line.startswith("@@@"):
            current = line[3:]
            result[current] = []
        elif current is not None:
            result[current].append(line.strip())
    return result


def layout(lines):
    """(size, [(path, offset, size)]) of a type's leaf members, None when the build has no such type."""
    if not lines or not any("type =" in l for l in lines):
        return None
    stack = [([], 0)]
    size = None
    for l in lines:
        m = OPEN.match(l)
        if m:
            stack.append(([], int(m.group(1)) if m.group(1) else stack[-1][1]))
            continue
        m = TOTAL.search(l)
        if m:
            size = int(m.group(1))
            continue
        m = CLOSE.match(l)
        if m and len(stack) > 1:
            children, _ = stack.pop()
            prefix = m.group(1) + "." if m.group(1) else ""
            stack[-1][0].extend((prefix + p, o, s) for p, o, s in children)
            continue
        m = LEAF.match(l)
        if m:
            stack[-1][0].append((m.group(4), int(m.group(1)) if m.group(1) else stack[-1][1], int(m.group(2))))
    return size, stack[-1][0]


def compare(name, host, win):
    problems = []
    if host[0] != win[0]:
        problems.append(f"{name}: {host[0]} bytes on the host, {win[0]} on Windows")
    by_path = {p: (o, s) for p, o, s in win[1]}
    for path, offset, size in host[1]:
        full = f"{name}.{path}"
        if path in by_path:
            if by_path[path] != (offset, size) and full not in KNOWN:
                wo, ws = by_path[path]
                problems.append(f"{full}: host @{offset}:{size}, Windows @{wo}:{ws}")
            continue
        inner = [(o, s) for p, o, s in win[1] if p.startswith(path + ".")]
        if inner:
            if any(o < offset or o + s > offset + size for o, s in inner):
                problems.append(f"{full}: host @{offset}:{size} does not hold Windows' {path}")
            continue
        overlap = [p for p, o, s in win[1] if o < offset + size and offset < o + s]
        if overlap and full not in KNOWN:
            problems.append(f"{full}: host @{offset}:{size}, Windows has {', '.join(overlap)} there")
    return problems


def main():
    repo, host_cxx, win_cxx = sys.argv[1:4]
    if not shutil.which("gdb"):
        print("layouts: gdb is missing: install it with tools/install-deps.sh test (as root), "
              "or apt-get install gdb")
        return 1
    tmp = tempfile.mkdtemp(prefix="layouts.")
    host_obj, win_obj = os.path.join(tmp, "host.o"), os.path.join(tmp, "win.o")
    compile_object(host_cxx, [], repo, host_obj)
    ddk = subprocess.run([win_cxx, "-print-sysroot"], capture_output=True, text=True).stdout.strip()
    include = os.path.join(ddk or "/usr/x86_64-w64-mingw32", "include", "ddk")
    if not os.path.isdir(include):
        include = "/usr/share/mingw-w64/include/ddk"
    compile_object(win_cxx, ["-DZADIVO_WDK", "-isystem", include], repo, win_obj)
    names = type_names(repo)
    host_types, win_types = ptype(host_obj, names), ptype(win_obj, names)
    problems, compared = [], 0
    for name in names:
        host = layout(host_types.get(name))
        if not host:
            continue
        win = layout(win_types.get(name))
        if not win:
            problems.append(f"{name}: not in the Windows headers")
            continue
        compared += 1
        problems += compare(name, host, win)
    shutil.rmtree(tmp)
    print(f"layouts: {compared} types compared in both builds, {len(problems)} differences")
    for p in problems:
        print("  " + p)
    return 1 if problems or compared < 50 else 0


if __name__ == "__main__":
    sys.exit(main())
