"""Makes quarnel-guide.pyz, the tool as one file for a box: a zip
application of the quarnel_guide package with its own __main__.py, entries
stored, not deflated, so a Python built without zlib runs it.
Usage: guide_archive.py OUTPUT"""
import os
import shutil
import sys
import tempfile
import zipapp

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main(output):
    staging = tempfile.mkdtemp(prefix="quarnel-archive-")
    try:
        package = os.path.join(TOP, "python", "quarnel_guide")
        os.mkdir(os.path.join(staging, "quarnel_guide"))
        for name in sorted(os.listdir(package)):
            if name.endswith(".py"):  # code only: the types are for checkers, not the box
                shutil.copy(os.path.join(package, name), os.path.join(staging, "quarnel_guide", name))
        shutil.copy(os.path.join(TOP, "tools", "archive_main.py"), os.path.join(staging, "__main__.py"))
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        temporary = output + ".part"
        zipapp.create_archive(staging, temporary, interpreter="/usr/bin/env python", compressed=False)
        os.replace(temporary, output)
    finally:
        shutil.rmtree(staging)
    print(output)


if __name__ == "__main__":
    main(sys.argv[1])
