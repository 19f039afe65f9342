"""A tour of velka_code: every subsystem, one call after another.

Run it on the simulated Windows platform with `scripts/tour` (or
`python -m simwin --report examples/tour.py` once the module is built).
Each step prints the call and what it did.
"""

import os
import shutil
import sys
import tempfile

import velka_code as vk


def show(call, result, did=""):
    print(f"{call:48} -> {result!r}" + (f"   ({did})" if did else ""))


def section(title):
    print()
    print(f"== {title} ==")


def paths_and_platform(work):
    section("platform and paths")
    show("system()", vk.system(), "asked the shell: ver, then uname")
    show("system(5)", vk.system(5), "an argument other than None comes back as it is")
    show("username()", vk.username(), "USERNAME on Windows, USER elsewhere")
    show("home()", vk.home(), "USERPROFILE on Windows")
    show("desktop()", vk.desktop(), "the profile folder joined with Desktop")
    folder = vk.join(work, "made")
    show("mkdir(folder)", vk.mkdir(folder), "created " + folder)
    show("exists(folder)", vk.exists(folder))
    show("idir(folder)", vk.idir(folder))
    show("chdir(folder)", vk.chdir(folder), "changed the current folder")
    show("getcwd()", vk.getcwd(), "kernel32 GetCurrentDirectoryW on Windows")
    show("cwdbytes()", vk.cwdbytes())
    with open("note.txt", "w") as f:
        f.write("hello\n")
    show("file('note.txt')", vk.file("note.txt"))
    show("pathq('note.txt', READ)", vk.pathq("note.txt", vk.READ))
    show("permissions('note.txt', 0o644)", vk.permissions("note.txt", 0o644))
    show("name('note.txt', 'renamed.txt')", vk.name("note.txt", "renamed.txt"))
    show("dirlist('.')", vk.dirlist("."))
    show("abspath('renamed.txt')", vk.abspath("renamed.txt"))
    show("remove('renamed.txt')", vk.remove("renamed.txt"))
    vk.chdir(work)
    show("removedir(folder)", vk.removedir(folder), "removed the emptied folder")
    show("SORT_METHODS", vk.SORT_METHODS)
    show("installlist[0]", vk.installlist[0])
    show("winspool", type(vk.winspool).__name__, "loaded from " + vk._winspool_path)


def main():
    work = tempfile.mkdtemp(prefix="velka-tour-")
    start = os.getcwd()
    try:
        paths_and_platform(work)
    finally:
        os.chdir(start)
        shutil.rmtree(work, ignore_errors=True)
    print()
    print("tour finished")


if __name__ == "__main__":
    sys.exit(main())
