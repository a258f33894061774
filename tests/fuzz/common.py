"""What the harnesses share: the test suite's own models on sys.path, and the
loop that runs a harness under atheris or replays inputs through it."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))  # tests/: the properties' models and oracles


def inputs(paths):
    for path in paths:
        if not os.path.exists(path):
            continue  # a corpus not grown yet
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                yield os.path.join(path, name)
        else:
            yield path


def main(one_input):
    """`fuzz_x.py --replay PATH...` runs the inputs in files and directories
    once each; anything else is atheris' and libFuzzer's command line."""
    if sys.argv[1:2] == ["--replay"]:
        count = 0
        for path in inputs(sys.argv[2:]):
            with open(path, "rb") as f:
                data = f.read()
            try:
                one_input(data)
            except BaseException:
                print(f"failed on {path}", file=sys.stderr)
                raise
            count += 1
        print(f"{count} inputs replayed")
        return
    import atheris

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
