"""Motifs against class labels: support per class, contrast, and plots coloured by class."""

import pytest

import kez
from reference import FakeMotif

AT = [0]  # one occurrence, at symbol position 0


@pytest.mark.parametrize(
    "labels, series, support, label, against, contrast, purity",
    [
        (["x", "x", "y", "y"], [0, 1, 2], {"x": 2, "y": 1}, "x", "y", 0.5, 2 / 3),
        (["10", "2", "2", "10", "10"], [0, 3, 4], {"2": 0, "10": 3}, "10", "2", 1.0, 1.0),
        (["a", "b", "b", "c"], [1, 3], {"a": 0, "b": 1, "c": 1}, "c", "a", 1.0, 0.5),
        (["only", "only"], [1], {"only": 1}, "only", None, 0.0, 1.0),
        (["x", "y"], [], {"x": 0, "y": 0}, "x", "y", 0.0, 0.0),
    ],
    ids=["two-classes", "numeric-names", "three-classes-tie-to-first", "one-class", "nowhere"],
)
@pytest.mark.parametrize("kind", ["motif", "found"])
def test_class_support(labels, series, support, label, against, contrast, purity, kind):
    # A found shape's series are its members; non-members' nearest windows must not count.
    held = FakeMotif(indexes={s: AT for s in series})
    if kind == "found":
        far = [0.0 if s in series else 9.0 for s in range(len(labels))]
        held = kez.Found((0.0, 1.0), 2, (0,) * len(labels), tuple(far), tuple(series), 1.0, 1.0)
    (row,) = kez.class_support([held], labels)
    assert list(row.support) == list(support) and row.support == support
    assert (row.label, row.against) == (label, against)
    assert row.contrast == pytest.approx(contrast) and row.purity == pytest.approx(purity)


def test_class_support_refuses_labels_of_another_collection():
    with pytest.raises(ValueError, match="occurs in series 5, but only 2 labels"):
        kez.class_support([FakeMotif(indexes={5: AT})], ["x", "y"])


def test_contrast_finds_the_shape_one_class_has(labelled):
    series, labels = labelled
    split = kez.contrast(series, labels, 4, 5, min_len=3)
    assert {row.label for row in split.found} == {"bump", "wave"}
    for row in split.found:
        assert row.share[row.label] >= 0.5 and row.share[row.against] <= 0.2
    assert [r.contrast for r in split.motifs] == sorted((r.contrast for r in split.motifs), reverse=True)
    # Nothing frequent in one class alone is lost by mining the whole collection.
    alone = kez.Miner(0.5, 4, 5, min_len=3, max_overlap=1.0)
    alone.mine([s for s, c in zip(series, labels, strict=True) if c == "bump"])
    wanted = {m.pattern for m in alone.motifs if not kez.is_trivial(m)}
    assert wanted <= {r.motif.pattern for r in split.motifs}


def test_contrast_says_so_when_nothing_tells_the_classes_apart(planted):
    split = kez.contrast(planted + planted, ["x"] * 10 + ["y"] * 10, 4, 5, frequent=0.9, rare=0.0)
    assert split.motifs and not split.found
    assert all(row.contrast == 0.0 for row in split.motifs)
    assert "none is in at least 90% of one class and at most 0% of another" in str(split)


def test_contrast_needs_one_label_per_series(planted):
    with pytest.raises(ValueError, match="10 series but 3 labels"):
        kez.contrast(planted, ["x"] * 3, 4, 5)


def test_plots_colour_series_by_class(pyplot, labelled):
    series, labels = labelled
    motif = kez.Miner(0.3, 4, 5, k=1).mine(series)[0]
    ax = kez.plot_motif(motif, series, labels=labels)
    *windows, _ = ax.get_lines()
    classes = [labels[s] for s in motif.best_matches]
    colour = {c: w.get_color() for c, w in zip(classes, windows, strict=True)}
    assert len(set(colour.values())) == len(set(classes))
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert sorted(legend[:-1]) == sorted(f"class {c} ({classes.count(c)})" for c in set(classes))
    ticks = kez.plot_series(motif, series, labels=labels, limit=2).get_yticklabels()
    assert [t.get_text() for t in ticks] == [
        f"series {s} ({labels[s]})" for s in sorted(motif.best_matches)[:2]
    ]
    with pytest.raises(ValueError, match="one label per series"):
        kez.plot_motif(motif, series, labels=labels[:-1])
