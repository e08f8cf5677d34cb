#!/usr/bin/env python3
"""scripts/check-layers run on small trees: each rule refuses what it should,
lets through what it should, and the allow-list must match what is found."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check-layers")

# Headers every case tree starts with (one per layer the rules name).
BASE = {
    "CMakeLists.txt": "foreach(layer src/engine src/common src/linux src/remote src/shell tools)\n",
    "src/engine/Engine.h": "#pragma once\n",
    "src/common/base/Core.h": "#pragma once\n",
    "src/common/base/Core.cpp": '#include "Core.h"\n',
    "src/common/player/Player.h": '#pragma once\n#include "Core.h"\n',
    "src/linux/platform/LinuxF.h": '#pragma once\n#include "Core.h"\n',
    "src/shell/app/App.h": "#pragma once\n",
    "src/remote/Remote.h": "#pragma once\n",
    "tools/testsupport/TestThing.h": '#pragma once\n#include "Core.h"\n',
}


def run_check(files, allowed=()):
    with tempfile.TemporaryDirectory() as root:
        tree = dict(BASE)
        tree.update(files)
        if allowed:
            tree["scripts/check-layers.allow"] = "# open\n" + "".join(a + "\n" for a in allowed)
        for path, text in tree.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)
        done = subprocess.run([sys.executable, CHECK, "--root", root], capture_output=True, text=True)
        return done.returncode, done.stdout + done.stderr


class CheckLayersTest(unittest.TestCase):
    def test_refused(self):
        cases = [
            ("platform header by name", {"src/common/base/Core.cpp": '#include "LinuxF.h"\n'},
             "layer src/common/base/Core.cpp includes src/linux/platform/LinuxF.h"),
            ("platform header by relative path",
             {"src/common/base/Core.cpp": '#include "../../linux/platform/LinuxF.h"\n'},
             "layer src/common/base/Core.cpp includes src/linux/platform/LinuxF.h"),
            ("shell header from a core test", {"src/common/base/Core_test.cpp": '#include "App.h"\n'},
             "layer src/common/base/Core_test.cpp includes src/shell/app/App.h"),
            ("remote header", {"src/common/base/Core.h": '#pragma once\n#include "Remote.h"\n'},
             "layer src/common/base/Core.h includes src/remote/Remote.h"),
            ("test support in production", {"src/common/base/Core.cpp": '#include "TestThing.h"\n'},
             "layer src/common/base/Core.cpp includes tools/testsupport/TestThing.h"),
            ("engine names a core header", {"src/engine/Engine.h": '#pragma once\n#include "Core.h"\n'},
             "layer src/engine/Engine.h includes src/common/base/Core.h"),
            ("remote names a shell header", {"src/remote/Remote.h": '#pragma once\n#include "App.h"\n'},
             "layer src/remote/Remote.h includes src/shell/app/App.h"),
            ("curl in a core header", {"src/common/base/Core.h": "#pragma once\n#include <curl/curl.h>\n"},
             "curl src/common/base/Core.h"),
            ("sqlite opened outside its one file",
             {"src/common/base/Core.cpp": "void f() { sqlite3_open_v2(p, &db, 1, 0); }\n"},
             "sqlite src/common/base/Core.cpp"),
            ("two folders include each other",
             {"src/common/base/Core.cpp": '#include "Core.h"\n#include "Player.h"\n'},
             "cycle src/common/base src/common/player"),
            ("a circle of three", {
                "src/shell/a/A.h": '#include "B.h"\n', "src/shell/b/B.h": '#include "C.h"\n',
                "src/shell/c/C.h": '#include "A.h"\n'},
             "cycle src/shell/a src/shell/b src/shell/c"),
            ("allowed finding that is gone", {}, "no longer found"),
        ]
        for name, files, expected in cases:
            with self.subTest(name):
                allowed = ["cycle src/x src/y"] if expected == "no longer found" else ()
                code, out = run_check(files, allowed)
                self.assertEqual(1, code, out)
                self.assertIn(expected, out)

    def test_let_through(self):
        cases = [
            ("the tree as it starts", {}, ()),
            ("the shell uses the core and the platform",
             {"src/shell/app/App.h": '#pragma once\n#include "Core.h"\n#include "LinuxF.h"\n'}, ()),
            ("a core test uses test support", {"src/common/base/Core_test.cpp": '#include "TestThing.h"\n'}, ()),
            ("curl in a core implementation file", {"src/common/base/Core.cpp": "#include <curl/curl.h>\n"}, ()),
            ("sqlite opened in its one file",
             {"src/common/sqlite/VLSQLiteDatabase.cpp": "void f() { sqlite3_open(p, &db); }\n"}, ()),
            ("sqlite opened by a core test", {"src/common/base/Core_test.cpp": "void f() { sqlite3_open(p, &db); }\n"},
             ()),
            ("only a test closes the circle", {"src/common/base/Core_test.cpp": '#include "Player.h"\n'}, ()),
            ("commented-out include", {"src/common/base/Core.cpp": '// #include "LinuxF.h"\n/* #include "App.h" */\n'},
             ()),
            ("an open cycle on the allow-list",
             {"src/common/base/Core.cpp": '#include "Player.h"\n'}, ["cycle src/common/base src/common/player"]),
        ]
        for name, files, allowed in cases:
            with self.subTest(name):
                code, out = run_check(files, allowed)
                self.assertEqual(0, code, out)


if __name__ == "__main__":
    unittest.main()
