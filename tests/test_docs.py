"""The README's Python examples and examples/plugin.py, run as a plugin
author would run them, so they cannot go stale."""
import os
import re
import shutil
import tempfile
import unittest

from support import HERE, Stdout, child_python, module_path_code

TOP = os.path.dirname(HERE)


def readme_blocks():
    with open(os.path.join(TOP, "README.md"), "rb") as f:
        text = f.read().decode("utf-8")
    return re.findall(r"```python\n(.*?)```", text, re.S)


class DocsTest(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quarnel-docs-")
        self.cwd = os.getcwd()
        os.chdir(self.dir)

    def tearDown(self):
        os.chdir(self.cwd)
        shutil.rmtree(self.dir)

    def test_readme_examples(self):
        blocks = readme_blocks()
        self.assertGreaterEqual(len(blocks), 3)
        namespace = {"__name__": "readme"}
        with Stdout() as out:
            for block in blocks:  # in order: later ones use earlier names
                exec(compile(block, "README.md", "exec"), namespace)
        self.assertEqual(out.text, b"Can't open file missing.ndx errno2\n")

    def test_example_plugin(self):
        script = os.path.join(TOP, "examples", "plugin.py")
        code = module_path_code() + (
            "import runpy; sys.argv = [%r, %r]\n"
            "runpy.run_path(%r, run_name='__main__')\n") % (script, self.dir, script)
        status, out, err = child_python(code)
        self.assertEqual(status, 0, err)
        lines = out.decode("utf-8").splitlines()
        self.assertEqual(lines[0], u"The whole guide:")
        self.assertEqual(len([l for l in lines if re.match(r"  \d\d:\d\d  \S", l)]), 8)
        self.assertTrue(any(l.startswith(u"On now: ") and u"nothing" not in l for l in lines), lines)
        self.assertEqual(lines[-2:], [
            u"Can't open file %s errno2" % os.path.join(self.dir, "no-such-channel.ndx"),
            u"No guide for that channel (errno 2)"])


if __name__ == "__main__":
    unittest.main()
