"""Prints the README's ```sh block whose first line is "# NAME", for the
shipping checks to run as a reader would. Usage: readme_sh.py README NAME"""
import re
import sys


def main(readme, name):
    with open(readme) as f:
        blocks = re.findall(r"```sh\n(.*?)```", f.read(), re.S)
    found = [b for b in blocks if b.splitlines()[0] == "# " + name]
    if len(found) != 1:
        sys.stderr.write("README has %d sh blocks named %r\n" % (len(found), name))
        return 1
    sys.stdout.write(found[0])
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
