"""Every Python block of the README runs, in order and in one namespace, and prints what it shows."""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(language: str) -> list[tuple[int, str]]:
    text = README.read_text()
    return [
        (text.count("\n", 0, m.start()) + 2, m.group(2))
        for m in FENCE.finditer(text)
        if m.group(1) == language
    ]


def test_every_block_is_python_or_the_set_up_commands():
    languages = [m.group(1) for m in FENCE.finditer(README.read_text())]
    assert set(languages) == {"python", "sh"} and languages.count("sh") == 1


def test_python_blocks_run_as_shown(tmp_path, monkeypatch, pyplot):
    monkeypatch.chdir(tmp_path)  # the blocks write small files of their own
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    namespace: dict = {}
    found = blocks("python")
    for line, code in found:
        test = parser.get_doctest(code, namespace, f"README.md:{line}", str(README), line)
        assert test.examples, f"the block at README.md:{line} has no >>> examples"
        runner.run(test, clear_globs=False)
        namespace = test.globs  # the next block goes on from here
    assert len(found) >= 5
    if runner.failures:
        pytest.fail(f"{runner.failures} README example(s) failed; see the output above", pytrace=False)
