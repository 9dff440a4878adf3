"""quarnel-guide.pyz as a box runs it (python quarnel-guide.pyz COMMAND),
where QUARNEL_GUIDE_ARCHIVE names it; the package's own layout."""
import ast
import gzip
import io
import json
import os
import shlex
import shutil
import subprocess

from support import ARCHIVE, HERE, GuideCase, quarnel, quarnel_guide as G, tool_tests

load_tests = tool_tests

PACKAGE = os.path.join(os.path.dirname(HERE), "python", "quarnel_guide")
COMMAND_LINE = set(["_cli", "_commands", "_console", "__main__"])


def run_archive(argv, cwd, code=None):
    """(status, stdout, stderr) of the archive (or of code) in a fresh
    interpreter that finds no module but what the archive finds."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    command = shlex.split(os.environ.get("QUARNEL_PYTHON", "")) or ["python"]
    child = subprocess.Popen(command + (["-c", code] if code else argv), cwd=cwd, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate()
    return child.returncode, out, err.decode("utf-8", "replace")


class ArchiveTest(GuideCase):

    def setUp(self):
        if not ARCHIVE:
            self.skipTest("QUARNEL_GUIDE_ARCHIVE names no archive")
        GuideCase.setUp(self)
        self.assertTrue(G.__file__.startswith(ARCHIVE), G.__file__)  # the suite's tables ran on it too

    def test_a_module_beside_it_serves_the_reads(self):
        shutil.copy(ARCHIVE, self.dir)
        shutil.copy(quarnel.__file__, self.dir)
        archive = os.path.join(self.dir, os.path.basename(ARCHIVE))
        G.write(self.stem("ch"), [(60, u"News")])
        status, out, err = run_archive(["-v", archive, "dump", "--json", "ch"], self.dir)
        self.assertEqual((status, json.loads(out.decode("utf-8"))), (0, [[60, u"News"]]), err[-500:])
        module = os.path.join(self.dir, os.path.basename(quarnel.__file__))
        self.assertTrue(module in err, "%s never loaded (python -v)" % module)
        status, _, err = run_archive([archive, "check", "missing"], self.dir)
        self.assertEqual(status, 3, err)

    def test_commands_without_zlib(self):
        self.file("e.json", b'[[60, "News"], [0, "First"]]')
        listing = (b'<?xml version="1.0"?>\n<tv><programme start="20260101000000 +0000" channel="a.tv">'
                   b'<title>A</title></programme></tv>\n')
        packed = io.BytesIO()
        with gzip.GzipFile(fileobj=packed, mode="wb") as f:
            f.write(listing)
        self.file("in.xml.gz", packed.getvalue())
        table = [  # argv, status
            (["write", "ch", "e.json"], 0),
            (["check", "ch"], 0),
            (["dump", "--json", "ch"], 0),
            (["to-xmltv", "ch", "-o", "ch.xml"], 0),
            (["from-xmltv", "ch.xml", "out"], 0),
            (["from-xmltv", "in.xml.gz", "out"], 3),
        ]
        code = ("import runpy, sys\n"
                "sys.modules['zlib'] = None\n"
                "for argv in %r:\n"
                "    sys.argv = [%r] + argv\n"
                "    try:\n"
                "        runpy.run_path(sys.argv[0], run_name='__main__')\n"
                "    except SystemExit as exit:\n"
                "        sys.stdout.write('status %%s\\n' %% exit.code)\n"
                "        sys.stdout.flush()\n") % ([argv for argv, _ in table], ARCHIVE)
        status, out, err = run_archive(None, self.dir, code)
        statuses = [line for line in out.decode("utf-8").splitlines() if line.startswith("status")]
        self.assertEqual((status, statuses), (0, ["status %d" % s for _, s in table]), err)
        self.assertIn("no zlib module", err.splitlines()[-1])
        self.assertEqual(G.read_pure(os.path.join(self.dir, "out", "ch.quarnel")), ((0, u"First"), (60, u"News")))


def imported(source):
    """The package's modules a module's source imports."""
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.ImportFrom) and node.level and not node.module:  # from . import x
            for alias in node.names:
                yield alias.name
        elif isinstance(node, ast.ImportFrom) and (node.level or node.module.startswith("quarnel_guide.")):
            yield node.module.split(".")[-1]
        elif isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.startswith("quarnel_guide."):
                    yield alias.name.split(".")[-1]


class PackageTest(GuideCase):

    def test_imports_run_downward(self):
        """No module reaches itself through its imports, and none below the
        command line reaches it; no file past 300 lines."""
        arrows, sizes = {}, {}
        for name in os.listdir(PACKAGE):
            if name.endswith(".py"):
                with open(os.path.join(PACKAGE, name)) as f:
                    source = f.read()
                module = name[:-3]
                sizes[module] = source.count("\n")
                arrows[module] = set(imported(source))
        self.assertEqual([m for m, size in sizes.items() if size > 300], [])

        def reach(module, seen):
            for target in arrows.get(module, ()):
                if target not in seen:
                    seen.add(target)
                    reach(target, seen)
            return seen
        for module in arrows:
            reached = reach(module, set())
            self.assertNotIn(module, reached, "%s imports itself through %s" % (module, sorted(reached)))
            if module not in COMMAND_LINE and module != "__init__":
                self.assertFalse(reached & COMMAND_LINE, "%s reaches the command line" % module)
