"""A command run with its standard error on a terminal (a pseudo-terminal
read here), as a user at one sees it."""
import os
import pty
import select
import subprocess


def stderr_on_terminal(cmd, timeout=120, **popen):
    """(exit status, bytes written to the terminal) of `cmd`, whose
    standard error is a terminal; other streams as `popen` gives them."""
    main, other = pty.openpty()
    proc = subprocess.Popen(cmd, stderr=other, **popen)
    os.close(other)
    seen = b""
    while select.select([main], [], [], timeout)[0]:
        try:
            chunk = os.read(main, 4096)
        except OSError:  # the terminal's other end closed
            break
        if not chunk:
            break
        seen += chunk
    os.close(main)
    return proc.wait(timeout=timeout), seen
