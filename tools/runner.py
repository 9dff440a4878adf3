"""One way to run a command for the test and bench tooling: echoed to a log
before it runs, its output kept there, and a failure raised as a typed
error that names the command and where its output went."""
import shlex
import subprocess
import sys


class CommandFailed(Exception):
    def __init__(self, command, status, log):
        Exception.__init__(self, "%s exited %d (output in %s)" % (shlex.join(command), status, log))
        self.command, self.status, self.log = command, status, log


def run(command, log, cwd=None, env=None, echo=None, check=True):
    """Runs command (a list) with its output appended to the file log, the
    command line written there first; the lines echo(line) is true of are
    shown here as well.
    Returns the exit status; CommandFailed for a non-zero one when check."""
    with open(log, "a") as out:
        out.write("$ %s\n" % shlex.join(command))
        out.flush()
        child = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, universal_newlines=True, errors="replace")
        for line in child.stdout:
            out.write(line)
            if echo and echo(line):
                sys.stdout.write(line)
                sys.stdout.flush()
        status = child.wait()
    if status and check:
        raise CommandFailed(command, status, log)
    return status


def capture(command, cwd=None, env=None, log=None, check=True):
    """A command's standard output, stripped; its standard error appended to
    the file log (shown here without one). CommandFailed on failure."""
    err = open(log, "a") if log else None
    try:
        if err:
            err.write("$ %s\n" % shlex.join(command))
            err.flush()
        child = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=err,
                               universal_newlines=True)
    finally:
        if err:
            err.close()
    if child.returncode and check:
        raise CommandFailed(command, child.returncode, log or "standard error")
    return child.stdout.strip()


class Log(object):
    """A log file and what of it to show here: the one thing the build and
    fetch steps are handed for every command and message."""

    def __init__(self, path, echo=None):
        self.path, self.echo = path, echo

    def run(self, command, **kwargs):
        return run(command, self.path, echo=self.echo, **kwargs)

    def capture(self, command, **kwargs):
        return capture(command, log=self.path, **kwargs)

    def say(self, line):
        with open(self.path, "a") as f:
            f.write(line + "\n")
        if self.echo and self.echo(line + "\n"):
            sys.stdout.write(line + "\n")
            sys.stdout.flush()
