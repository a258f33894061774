"""Shows the native modules at work."""

import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)
    from tessel.mapkit import immutabledict


def main() -> None:
    options = immutabledict(echo=False, future=True)
    print("options:", options)
    print("union:", options.union(echo=True, pool_size=5))
    print("merge_with:", options.merge_with({"timeout": 30}, None, {"future": False}))


if __name__ == "__main__":
    main()
