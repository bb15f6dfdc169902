"""Everything the documentation build runs before MkDocs renders the pages.

1. Every tutorial script in docs/tutorials/ runs to completion (each saves
   its figures into docs/figures/ and checks its own results).
2. docs/scripts/numerics.py measures the float32 error tables and plot.
3. The last peer-benchmark plot is copied beside the figures, and its
   reports into docs/generated/ as sections of a page: without their own
   title, headings one level down.
4. Every ```python block of every page, and of the repository's README.md
   and CONTRIBUTING.md, runs, the blocks of one page in one namespace and in
   page order; every ```pycon block runs as a doctest in that same
   namespace, so its printed output must match. ```py blocks need a
   framework that this environment lacks: here they are shown only.

`prepare.py --with-frameworks PAGE...` runs the given pages' ```py blocks as
well, with the other blocks in order; the framework test targets run it in
their own environments (make test-qiskit, test-cirq, test-dask,
test-pennylane). A ```py block whose first line is a comment starting
"# Not run" (a cluster set-up) is never run. Blocks run in a scratch folder
that holds a link to `examples/`, so paths in them are relative to the
repository's root.

Any failure ends the script with a non-zero status and the build stops.
"""

import doctest
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DOCS = Path(__file__).resolve().parent.parent
ROOT = DOCS.parent
FIGURES = DOCS / "figures"

# A fenced block: its language and its body. Blocks whose body only includes
# a file (--8<--) show a script that step 1 runs anyway.
FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```\s*$", re.MULTILINE | re.DOTALL)
EXECUTED = {"python", "pycon"}
# ```py blocks are Python that needs a framework the documentation
# environment does not install (PennyLane, Qiskit, Dask): highlighted as
# Python, shown, not run.
SHOWN_ONLY = {"sh", "text", "py"}


def run_script(path: Path) -> None:
    start = time.perf_counter()
    result = subprocess.run([sys.executable, str(path)], cwd=ROOT, capture_output=True, text=True)
    if result.returncode != 0:
        sys.stdout.write(result.stdout)
        sys.stderr.write(result.stderr)
        raise SystemExit(f"{path.relative_to(ROOT)} failed with status {result.returncode}")
    print(f"ran {path.relative_to(ROOT)} in {time.perf_counter() - start:.1f} s")


def as_section(report: Path, target: Path) -> None:
    """Copies a standalone Markdown report for inclusion under a heading of
    a page: its H1 title goes, every other heading moves one level down."""
    lines = []
    fenced = False
    for line in report.read_text(encoding="utf-8").splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and line.startswith("# "):
            continue
        elif not fenced and line.startswith("#"):
            line = "#" + line
        lines.append(line)
    target.write_text("\n".join(lines).strip("\n") + "\n", encoding="utf-8")


def run_page(page: Path, frameworks: bool) -> int:
    """Runs the page's blocks (with frameworks: its ```py blocks too);
    returns how many ran."""
    namespace: dict[str, object] = {"__name__": "__main__"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    name = str(page.relative_to(ROOT))
    text = page.read_text(encoding="utf-8")
    count = 0
    for match in FENCE.finditer(text):
        language, body = match.group(1), match.group(2)
        line = text[: match.start()].count("\n") + 1
        if body.lstrip().startswith("--8<--"):
            continue
        if language == "py" and frameworks and not body.lstrip().lower().startswith("# not run"):
            language = "python"
        if language not in EXECUTED:
            if language not in SHOWN_ONLY:
                raise SystemExit(f"{name}:{line}: block language '{language}' is neither run nor shell text")
            continue
        count += 1
        if language == "python":
            try:
                exec(compile(body, f"{name}:{line}", "exec"), namespace)
            except BaseException as error:
                raise SystemExit(f"{name}:{line}: code block failed: {error!r}") from error
        else:
            test = parser.get_doctest(body, namespace, f"{name}:{line}", name, line)
            if runner.run(test, clear_globs=False).failed:
                raise SystemExit(f"{name}:{line}: doctest block failed")
            # The test ran on a copy of the namespace; later blocks see its names.
            namespace.update(test.globs)
    return count


def main() -> None:
    FIGURES.mkdir(exist_ok=True)
    (DOCS / "generated").mkdir(exist_ok=True)
    for script in sorted((DOCS / "tutorials").glob("*.py")):
        run_script(script)
    run_script(DOCS / "scripts" / "numerics.py")
    last_run = ROOT / "bench" / "peers" / "last_run"
    shutil.copyfile(last_run / "gate_times.png", FIGURES / "gate_times.png")
    for report in ("peers.md", "qiskit_primitives.md"):
        as_section(last_run / report, DOCS / "generated" / report)

    pages = sorted(page for page in DOCS.rglob("*.md") if "generated" not in page.parts)
    run_pages(pages + [ROOT / "README.md", ROOT / "CONTRIBUTING.md"], frameworks=False)


def run_pages(pages: list[Path], frameworks: bool) -> None:
    # Each page runs in a process of its own (a page may size the worker
    # pool, which only the first simulation of a process can do), in a
    # scratch folder for whatever its blocks write.
    blocks = 0
    with tempfile.TemporaryDirectory() as scratch:
        (Path(scratch) / "examples").symlink_to(ROOT / "examples")
        for page in pages:
            command = [sys.executable, __file__] + (["--page-with-frameworks"] if frameworks else ["--page"])
            result = subprocess.run(command + [str(page)], cwd=scratch, capture_output=True, text=True)
            if result.returncode != 0:
                sys.stdout.write(result.stdout)
                sys.stderr.write(result.stderr)
                raise SystemExit(f"{page.relative_to(ROOT)}: a code block failed")
            blocks += int(result.stdout.split()[-3])
    print(f"ran {blocks} code blocks of {len(pages)} pages")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] in ("--page", "--page-with-frameworks"):
        page = Path(sys.argv[2]).resolve()
        count = run_page(page, frameworks=sys.argv[1] == "--page-with-frameworks")
        print(f"{page.relative_to(ROOT)}: {count} code blocks")
    elif len(sys.argv) > 2 and sys.argv[1] == "--with-frameworks":
        run_pages([Path(name).resolve() for name in sys.argv[2:]], frameworks=True)
    else:
        main()
