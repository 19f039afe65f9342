"""Running a child without root's rights, and checking that a run left the
machine's shared places as it found them.

When the tests run as root (as CI does), root's override rights would let a
stray call change any file of the machine: `os.chmod(1, mode)` changes
whatever descriptor 1 is. A child started through `command_prefix()` runs
as an unprivileged user instead, with no capability but reading and
searching every file (the interpreter may live under a folder that only
root can enter, such as /root). It can change only what that user owns: the
folders handed to it with `hand_over()`.
"""

import os
import shutil
import stat

NOBODY_ID = 65534  # the conventional unprivileged user and group


def _nobody():
    import pwd  # POSIX only; asked only where there is a root
    try:
        entry = pwd.getpwnam("nobody")
        return entry.pw_uid, entry.pw_gid
    except KeyError:
        return NOBODY_ID, NOBODY_ID


def is_root():
    return hasattr(os, "geteuid") and os.geteuid() == 0


def command_prefix():
    """The words that start a command without root's rights: [] when this
    process is not root, None when it is and cannot drop them."""
    if not is_root():
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        return None
    uid, gid = _nobody()
    # Ambient, so that the capability survives the exec of the interpreter
    # and of the programs the child starts; nothing else is kept, and
    # no-new-privs stops set-user-ID programs from giving root back.
    keep = "-all,+dac_read_search"
    return [setpriv, f"--reuid={uid}", f"--regid={gid}", "--clear-groups", f"--inh-caps={keep}",
            f"--ambient-caps={keep}", f"--bounding-set={keep}", "--no-new-privs"]


def hand_over(path):
    """Makes `path` (a folder this process made) the child user's own."""
    if is_root():
        uid, gid = _nobody()
        os.chown(path, uid, gid)


def shared_places(*extra):
    """mode, owner and group of /dev/null, /tmp and the given paths."""
    state = {}
    for path in (os.devnull, "/tmp", *extra):
        info = os.stat(path)
        state[path] = (stat.filemode(info.st_mode), info.st_uid, info.st_gid)
    return state


def remove_tree(path):
    """rmtree that also removes folders a call left without permissions."""
    for folder, names, _ in os.walk(path):
        for name in names:
            inner = os.path.join(folder, name)
            if not os.path.islink(inner):
                try:
                    os.chmod(inner, 0o700)
                except OSError:
                    pass
    shutil.rmtree(path, ignore_errors=True)
