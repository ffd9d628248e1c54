"""How every benchmark reports its targets. A smoke run's figures come from runs too short to
mean anything: it judges none of them, except those that are counted exactly (instructions,
allocations), which are the same on every run."""


def verdict(met, judged):
    """'met' or 'missed', or 'not judged (smoke run)' when the figure is not judged."""
    if not judged:
        return "not judged (smoke run)"
    return "met" if met else "missed"


def print_targets(targets, judged, exact=()):
    """A Markdown table of (text, met) pairs; the texts in `exact` are judged even when the
    others are not."""
    print("\n| target | |\n|---|---|")
    for text, met in targets:
        print(f"| {text} | {verdict(met, judged or text in exact)} |")
