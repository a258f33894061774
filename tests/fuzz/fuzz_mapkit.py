"""immutabledict against dict: reads, membership, text and pickles, then
merge_with and union against dict updates."""

from common import inputs, main  # noqa: F401 (inputs: for the replay test)
from provider import Data

import test_mapkit_properties as props

KEYS = ["a", "b", "", "\x00", "\u00e9", b"a", 0, 1, -1, 2**70, 1.5, -0.0, None, (1, "a"), True]


def key(d):
    return d.pick([lambda: d.pick(KEYS), lambda: d.int(-3, 3), lambda: d.text("ab\x00\u00e9", 3)])()


def mapping(d):
    return {key(d): d.int(-2, 2) for _ in range(d.int(0, 6))}


def one_input(data):
    d = Data(data)
    base = mapping(d)
    step = d.int(0, 2)
    if step == 0:
        props.test_reads_match_dict.hypothesis.inner_test(d=base, key=key(d))
    elif step == 1:
        sources = [d.pick([None, mapping(d), props.DictSub(mapping(d)), list(mapping(d).items())])
                   for _ in range(d.int(0, 4))]
        props.test_merge_with_matches_dict_updates.hypothesis.inner_test(base=base, sources=sources)
    else:
        source = mapping(d)
        kwargs = {d.text("ab", 2): d.int(0, 3) for _ in range(d.int(0, 2))}
        props.test_union_matches_dict_rules.hypothesis.inner_test(
            base=base, source=props.DictSub(source) if d.flag() else source, kwargs=kwargs)


if __name__ == "__main__":
    main(one_input)
