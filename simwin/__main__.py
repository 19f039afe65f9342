"""Run a Python script, or an interactive prompt, on the simulated Windows machine.

    python -m simwin [--report] script.py [args...]
    python -m simwin [--report]                      # interactive prompt
"""

import code
import os
import runpy
import shutil
import sys

import simwin
from simwin import _files

HEADER = "--- simulated Windows: what changed ---"
USAGE = "usage: python -m simwin [--report] [script.py [args...]]"
BANNER = ("Python %s on the simulated Windows platform\n"
          'velka_code imports here as on Windows: import velka_code as vk\n'
          "Ctrl+D (or exit()) ends the session.")


def interact():
    """An interactive prompt, as plain `python` gives on Windows."""
    sys.argv = [""]
    if sys.stdin is not None and sys.stdin.isatty():
        try:
            import readline  # noqa: F401  (line editing and history for input())
        except ImportError:
            pass
    console = code.InteractiveConsole({"__name__": "__main__", "__doc__": None})
    console.interact(banner=BANNER % sys.version.split()[0], exitmsg="")


def run_script(script, args):
    sys.argv = [script, *args]
    # As "python script.py" does, the script's folder comes first on sys.path.
    sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
    runpy.run_path(script, run_name="__main__")


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    report = False
    if argv and argv[0] == "--report":
        report = True
        argv.pop(0)
    if argv and argv[0].startswith("-"):
        print(USAGE, file=sys.stderr)
        return 2
    machine = simwin.activate(windows=True)
    # Where velka_code's Linux branch would write, should a script make it answer as Linux.
    machine.watch(os.path.expanduser(_files.MIMEAPPS))
    status = 0
    try:
        if argv:
            run_script(argv[0], argv[1:])
        else:
            interact()
    except SystemExit as exc:
        status = exc.code
    finally:
        if report:
            sys.stdout.flush()
            print(HEADER)
            print(machine.report())
        sys.stdout.flush()
        simwin.deactivate()
        shutil.rmtree(machine.root, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
