"""Checks the shared objects of a built wheel: their processor, the newest glibc symbol
version each needs (printed, and at most the wheel's floor), that every symbol they
take from the system has a glibc version (one without is a function the floor's glibc
lacks, which the loader would fail to find there), and that the extension modules hold
only their entry points, so that all the C++ code and the one copy of the C++ runtime
it links statically are in libvornik.

    python .ci/check_wheel.py WHEEL ARCH GLIBC
"""

from __future__ import annotations

import io
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
# Undefined weak symbols that the C runtime's start files refer to in every object.
START_FILE_SYMBOLS = {"__cxa_finalize", "__gmon_start__"}


def version_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.split("."))


def glibc_versions(elf: ELFFile) -> list[str]:
    found = []
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                found += [aux.name.removeprefix("GLIBC_") for aux in auxiliaries
                          if aux.name.startswith("GLIBC_")]  # fmt: skip
    return sorted(set(found), key=version_key)


def needed(elf: ELFFile) -> list[str]:
    section = elf.get_section_by_name(".dynamic")
    assert isinstance(section, DynamicSection)
    return [tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]


def unversioned_imports(elf: ELFFile) -> list[str]:
    """What the object needs from elsewhere with no symbol version, the interpreter's
    API (which has none) and our own libvornik's left out."""
    versions = next((s for s in elf.iter_sections() if isinstance(s, GNUVerSymSection)), None)
    found = []
    for index, symbol in enumerate(elf.get_section_by_name(".dynsym").iter_symbols()):
        if (symbol.name and symbol["st_shndx"] == "SHN_UNDEF"
                and symbol["st_info"]["bind"] != "STB_WEAK"
                and (versions is None
                     or versions.get_symbol(index)["ndx"] in ("VER_NDX_LOCAL", "VER_NDX_GLOBAL"))
                and not symbol.name.startswith(("Py", "_Py", "vornik_"))):  # fmt: skip
            found.append(symbol.name)
    return sorted(found)


def dynamic_symbols(elf: ELFFile) -> tuple[set[str], set[str]]:
    """The names the object defines and the ones it needs, weak references left out."""
    defined, required = set(), set()
    for symbol in elf.get_section_by_name(".dynsym").iter_symbols():
        if not symbol.name:
            continue
        if symbol["st_shndx"] != "SHN_UNDEF":
            defined.add(symbol.name)
        elif symbol["st_info"]["bind"] != "STB_WEAK":
            required.add(symbol.name)
    return defined, required


def inspect(wheel: str, arch: str, floor: str) -> list[str]:
    problems = []
    with zipfile.ZipFile(wheel) as archive:
        objects = sorted(name for name in archive.namelist() if name.endswith(".so"))
        for name in objects:
            elf = ELFFile(io.BytesIO(archive.read(name)))
            versions = glibc_versions(elf)
            newest = versions[-1] if versions else ""
            print(f"  {name}: {elf['e_machine']}, needs {', '.join(needed(elf)) or 'nothing'};"
                  f" newest glibc version {'GLIBC_' + newest if newest else 'none'}")  # fmt: skip
            if elf["e_machine"] != MACHINES[arch]:
                problems.append(f"{name} is built for {elf['e_machine']}, not {arch}")
            if newest and version_key(newest) > version_key(floor):
                problems.append(f"{name} needs GLIBC_{newest}, newer than {floor}")
            if unknown := unversioned_imports(elf):
                problems.append(f"{name} needs symbols of no glibc version: {unknown}")
            module = name.rsplit("/", 1)[-1].split(".")[0]
            if module.startswith("_"):
                defined, required = dynamic_symbols(elf)
                expected = ({f"PyInit_{module}"}, {f"vornik{module}_init"})
                if (defined, required - START_FILE_SYMBOLS) != expected:
                    problems.append(f"{name} holds more than its entry point: defines "
                                    f"{sorted(defined)}, needs {sorted(required)}")  # fmt: skip
    if len(objects) != 3:
        problems.append(f"expected three shared objects, found {objects}")
    return problems


if __name__ == "__main__":
    problems = inspect(*sys.argv[1:4])
    for problem in problems:
        print(f"  FAIL: {problem}")
    sys.exit(1 if problems else 0)
