#!/usr/bin/env python3
"""Checks extension modules against the manylinux2014 policy (glibc 2.17), x86-64 and aarch64.

    check_manylinux.py FILE...

FILE is a shared object or a wheel (every shared object in it is checked). Prints one line per
violation and exits 1 if there is any. Reads the ELF file itself, so it needs neither binutils
nor the policy tools; setup.py uses it to decide the wheel's platform tag.

The rules: the dynamic section may name only the allowed libraries; every symbol version the
module requires (weak references included) must be one that glibc 2.17's generation of the
system libraries provides; a few symbols are refused whatever their version; and the stack must
not be executable. The C++ runtime is linked into our module, so libstdc++ is not allowed as a
needed library here even though the policy would take it.
"""

from __future__ import annotations

import struct
import sys
import zipfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Set, Tuple

MANYLINUX_TAG = "manylinux_2_17_x86_64.manylinux2014_x86_64"  # the one setup.py gives

ALLOWED_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libgcc_s.so.1",
    "libatomic.so.1", "libanl.so.1", "libnsl.so.1", "libutil.so.1", "libresolv.so.2",
    "libz.so.1", "libexpat.so.1",
}

EM_X86_64 = 62
EM_AARCH64 = 183

# The symbol versions allowed from the system libraries, per machine. aarch64's glibc begins at
# 2.17; the published policy also takes GLIBC_2.18 there, we keep to the release the tag names.
ALLOWED_VERSIONS = {
    EM_X86_64: {
        "GLIBC": {"2.2.5", "2.2.6", "2.3", "2.3.2", "2.3.3", "2.3.4"} | {f"2.{minor}" for minor in range(4, 18)},
        "GCC": {"3.0", "3.3", "3.3.1", "3.4", "3.4.2", "3.4.4", "4.0.0", "4.2.0", "4.3.0", "4.7.0", "4.8.0"},
    },
    EM_AARCH64: {
        "GLIBC": {"2.0", "2.17"},
        "GCC": {"3.0", "3.3", "3.3.1", "3.4", "3.4.2", "3.4.4", "4.0.0", "4.2.0", "4.3.0", "4.5.0", "4.7.0"},
    },
}

# Allowed by version, refused by name: they are missing from some glibc 2.17 systems' builds.
REFUSED_SYMBOLS = {
    "__cxa_thread_atexit_impl", "__issignaling", "__issignalingf", "__issignalingl",
    "pthread_getattr_default_np", "pthread_setattr_default_np",
}

ET_DYN = 3
PT_GNU_STACK = 0x6474E551
PF_X = 1
SHT_DYNAMIC = 6
SHT_DYNSYM = 11
SHT_GNU_VERNEED = 0x6FFFFFFE
SHT_GNU_VERSYM = 0x6FFFFFFF
DT_NEEDED = 1
STB_WEAK = 2
VERSYM_HIDDEN = 0x8000


class NotAModule(ValueError):
    """The file is not a 64-bit little-endian ELF shared object."""


@dataclass
class Import:
    name: str
    version: Optional[str]  # e.g. "GLIBC_2.17"; None for an unversioned reference
    library: Optional[str]  # the library the version is required from
    weak: bool


@dataclass
class ElfModule:
    machine: int
    needed: List[str] = field(default_factory=list)
    required_versions: List[Tuple[str, str]] = field(default_factory=list)  # (library, version)
    imports: List[Import] = field(default_factory=list)
    executable_stack: bool = False


def _cstring(data: bytes, offset: int) -> str:
    return data[offset:data.index(b"\0", offset)].decode("ascii", "replace")


def read_module(data: bytes) -> ElfModule:
    """The parts of a shared object that decide where it can be loaded."""
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise NotAModule("not a 64-bit little-endian ELF file")
    (e_type, e_machine, _, _, e_phoff, e_shoff, _, _, e_phentsize, e_phnum, e_shentsize,
     e_shnum, _) = struct.unpack_from("<HHIQQQIHHHHHH", data, 16)
    if e_type != ET_DYN:
        raise NotAModule("not a shared object")
    module = ElfModule(machine=e_machine)

    for index in range(e_phnum):
        p_type, p_flags = struct.unpack_from("<II", data, e_phoff + index * e_phentsize)
        if p_type == PT_GNU_STACK:
            module.executable_stack = bool(p_flags & PF_X)

    # (type, link, offset, size, entsize) of each section
    sections = []
    for index in range(e_shnum):
        _, sh_type, _, _, sh_offset, sh_size, sh_link, _, _, sh_entsize = struct.unpack_from(
            "<IIQQQQIIQQ", data, e_shoff + index * e_shentsize)
        sections.append((sh_type, sh_link, sh_offset, sh_size, sh_entsize))

    def of_type(wanted: int) -> Iterator[Tuple[int, int, int, int, int]]:
        return (section for section in sections if section[0] == wanted)

    def strings(section: Tuple[int, int, int, int, int]) -> bytes:
        _, _, offset, size, _ = sections[section[1]]
        return data[offset:offset + size]

    for section in of_type(SHT_DYNAMIC):
        names = strings(section)
        for offset in range(section[2], section[2] + section[3], 16):
            tag, value = struct.unpack_from("<qQ", data, offset)
            if tag == DT_NEEDED:
                module.needed.append(_cstring(names, value))

    versions: Dict[int, Tuple[str, str]] = {}  # version index -> (library, version)
    for section in of_type(SHT_GNU_VERNEED):
        names = strings(section)
        entry = section[2]
        while True:
            _, count, file_name, aux, next_entry = struct.unpack_from("<HHIII", data, entry)
            library = _cstring(names, file_name)
            aux_entry = entry + aux
            for _ in range(count):
                _, _, other, name, next_aux = struct.unpack_from("<IHHII", data, aux_entry)
                versions[other] = (library, _cstring(names, name))
                module.required_versions.append(versions[other])
                aux_entry += next_aux
            if not next_entry:
                break
            entry += next_entry

    versym = next(of_type(SHT_GNU_VERSYM), None)
    for section in of_type(SHT_DYNSYM):
        names = strings(section)
        for index in range(1, section[3] // section[4]):
            st_name, st_info, _, st_shndx = struct.unpack_from("<IBBH", data, section[2] + index * section[4])
            if st_shndx != 0:
                continue  # defined here, not imported
            version = library = None
            if versym is not None:
                (which,) = struct.unpack_from("<H", data, versym[2] + index * 2)
                if which & ~VERSYM_HIDDEN in versions:
                    library, version = versions[which & ~VERSYM_HIDDEN]
            weak = st_info >> 4 == STB_WEAK
            module.imports.append(Import(_cstring(names, st_name), version, library, weak))
    return module


def version_allowed(machine: int, version: str) -> bool:
    family, _, number = version.partition("_")
    return number in ALLOWED_VERSIONS[machine].get(family, set())


def violations(module: ElfModule) -> List[str]:
    """Every way the module breaks the policy, as sentences; empty when it conforms."""
    found: List[str] = []
    if module.machine not in ALLOWED_VERSIONS:
        return [f"built for machine {module.machine}, neither x86-64 nor aarch64"]
    for library in module.needed:
        if library not in ALLOWED_LIBRARIES:
            found.append(f"needs {library}, which is not among the allowed libraries")
    for library, version in module.required_versions:
        if not version_allowed(module.machine, version):
            users = sorted(i.name for i in module.imports if i.version == version and i.library == library)
            found.append(f"requires {version} from {library} (for {', '.join(users) or 'no symbol'})")
    for imported in module.imports:
        if imported.name in REFUSED_SYMBOLS:
            kind = "weakly " if imported.weak else ""
            found.append(f"{kind}imports {imported.name}, which the policy refuses")
    if module.executable_stack:
        found.append("asks for an executable stack")
    return found


def modules_in(path: Path) -> Iterator[Tuple[str, bytes]]:
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as wheel:
            for name in wheel.namelist():
                if name.endswith(".so") or ".so." in name:
                    yield f"{path.name}:{name}", wheel.read(name)
    else:
        yield str(path), path.read_bytes()


def check(path: Path) -> List[str]:
    """The violations of every module in a file, each prefixed with the module's name."""
    found: List[str] = []
    checked: Set[str] = set()
    for name, data in modules_in(path):
        checked.add(name)
        found.extend(f"{name}: {problem}" for problem in violations(read_module(data)))
    if not checked:
        found.append(f"{path}: holds no shared object")
    return found


def main(argv: List[str]) -> int:
    if not argv:
        print("usage: check_manylinux.py FILE...", file=sys.stderr)
        return 2
    found: List[str] = []
    for argument in argv:
        try:
            found.extend(check(Path(argument)))
        except (OSError, NotAModule, struct.error, ValueError) as error:
            found.append(f"{argument}: cannot be read as a module: {error}")
    for problem in found:
        print(problem)
    if not found:
        print(f"conforms to manylinux2014: {' '.join(argv)}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
