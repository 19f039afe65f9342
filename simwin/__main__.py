"""Run a Python script on the simulated Windows machine.

    python -m simwin [--report] script.py [args...]
"""

import os
import runpy
import shutil
import sys

import simwin

HEADER = "--- simulated Windows: what changed ---"
USAGE = "usage: python -m simwin [--report] script.py [args...]"


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    report = False
    if argv and argv[0] == "--report":
        report = True
        argv.pop(0)
    if not argv or argv[0].startswith("-"):
        print(USAGE, file=sys.stderr)
        return 2
    script, args = argv[0], argv[1:]
    machine = simwin.activate(windows=True)
    sys.argv = [script, *args]
    # As "python script.py" does, the script's folder comes first on sys.path.
    sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
    code = 0
    try:
        runpy.run_path(script, run_name="__main__")
    except SystemExit as exc:
        code = exc.code
    finally:
        if report:
            sys.stdout.flush()
            print(HEADER)
            print(machine.report())
        sys.stdout.flush()
        simwin.deactivate()
        shutil.rmtree(machine.root, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
