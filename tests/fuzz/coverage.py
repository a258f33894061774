"""The lines of each source file under cextension/ that replayed inputs
reached, from a gcov build's data: `coverage.py BUILD_DIR`.

A header included by several modules is counted once: a line is one to run
when any module's copy has code there, and covered when any copy ran it."""

import os
import subprocess
import sys


def main(build):
    build = os.path.abspath(build)
    lines = {}  # source file -> {line number: covered}
    for folder, _, files in os.walk(build):
        for name in files:
            if not name.endswith(".gcda"):
                continue
            # -t: the annotated sources on stdout, each after its "Source:" line;
            # the build directory is where their relative names start.
            annotated = subprocess.run(
                ["gcov", "-t", "-o", folder, os.path.join(folder, name)],
                cwd=build,
                check=True,
                capture_output=True,
                text=True,
                errors="replace",
            ).stdout
            source = None
            for line in annotated.splitlines():
                count, number, text = (part.strip() for part in (line.split(":", 2) + ["", ""])[:3])
                if number == "0" and text.startswith("Source:"):
                    source = os.path.normpath(os.path.join(build, text[len("Source:") :]))
                    continue
                if source is None or os.sep + "cextension" + os.sep not in source or count == "-":
                    continue
                if not number.isdigit():
                    continue
                covered = count.rstrip("*").isdigit()
                seen = lines.setdefault(source.split(os.sep + "cextension" + os.sep, 1)[1], {})
                seen[int(number)] = seen.get(int(number), False) or covered
    for source in sorted(lines):
        covered = sum(lines[source].values())
        print(f"{source} {100 * covered / len(lines[source]):.1f}% {covered}/{len(lines[source])}")


if __name__ == "__main__":
    main(sys.argv[1])
