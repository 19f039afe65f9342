"""The committed type stub matches the module's own signatures."""

import os

from conftest import REPO, run_python


def test_stub_is_up_to_date():
    out = run_python(f"import runpy, sys; sys.argv = ['make_stub', '--print']; "
                     f"runpy.run_path({os.path.join(REPO, 'scripts', 'make_stub.py')!r}, run_name='__main__')")
    assert out.returncode == 0, out.stderr
    with open(os.path.join(REPO, "velka_code.pyi")) as f:
        committed = f.read()
    assert out.stdout == committed, "run scripts/make_stub.py to update velka_code.pyi"
    compile(committed, "velka_code.pyi", "exec")
