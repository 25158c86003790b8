"""The figures the README, the man page and docs/guarantees.md give, checked
against the sources and the tests they describe, so that a change to either
side shows. (The Windows exe's size is checked by the Wine step, which has
the exe; the timings are those measured in docs/performance.json.)"""
import os
import re
import unittest

from test_bad_input import rows
from test_cli import ROOT


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8") as f:
        return f.read()


class Documents(unittest.TestCase):
    def test_the_readme_is_short_and_opens_with_two_commands(self):
        readme = read("README.md")
        self.assertLess(len(readme.splitlines()), 150)
        commands = re.search(r"```sh\n(.*?)```", readme, re.S).group(1).splitlines()
        self.assertEqual(len(commands), 2, commands)
        self.assertIn("samples/sample.dds build/sample.tga", commands[0])
        self.assertIn("build/sample.tga", commands[0].split("echo")[-1])
        self.assertEqual(commands[1], "./run-tests")

    def test_the_band_width_is_the_codes(self):
        source = read("src", "driver", "convert.cpp")
        rows_per_band = int(re.search(r"band_block_rows = (\d+);", source).group(1))
        budget = 1 << int(re.search(r"band_budget = std::size_t\{1\} << (\d+);", source).group(1))
        widest = budget // (rows_per_band * 4 * 4)  # 4 x 4 pixels a block, 4 bytes a pixel
        for name, document in [("convert.cpp", source), ("guarantees.md", read("docs", "guarantees.md"))]:
            self.assertTrue(f"wider than {widest} pixels" in document, f"{name}: not {widest}")

    def test_the_bad_input_table_has_the_rows_the_guarantees_count(self):
        codes = [code for _, _, code, _, _ in rows()]
        counted = re.search(r"(\d+) rows: (\d+) rejected headers .*?, (\d+) cuts in the image "
                            r"data .*?, (\d+) accepted oddities", read("docs", "guarantees.md"), re.S)
        self.assertEqual([int(n) for n in counted.groups()],
                         [len(codes), codes.count(3), codes.count(5), codes.count(0)])

    def test_the_man_page_has_the_projects_version(self):
        version = re.search(r"project\(dxtc2tga VERSION (\d+\.\d+\.\d+)", read("CMakeLists.txt"))
        self.assertIn(f'"dxtc2tga {version.group(1)}"', read("docs", "dxtc2tga.1").splitlines()[2])


if __name__ == "__main__":
    unittest.main()
