"""Metaclusters: the consensus against the slow reference of its definition,
the same groups for every thread count, chunking and scheduler, and the
errors for counts the map cannot hold."""

import dask
import dask.array as da
import metacluster_reference as reference
import numpy as np
import pytest
from quorvel import SOM, Metaclusters
from quorvel._consensus import smoothed

RNG = np.random.default_rng(20)
# Node vectors of a 6 x 4 map around five overlapping centres: consensus
# values spread over many fractions, so that the cuts are not ties.
CENTRES = RNG.normal(0, 3, size=(5, 4))
NODES = np.concatenate([CENTRES[i % 5] + RNG.normal(0, 1.5, size=(1, 4)) for i in range(24)])
ROWS = np.concatenate([CENTRES[i % 5] + RNG.normal(0, 1.0, size=(1, 4)) for i in range(300)])


def fixed_map(vectors=NODES):
    """A map fitted with zero epochs: its codebook is ``vectors``, as float32."""
    return SOM(6, 4, epochs=0, init=vectors).fit(ROWS)


@pytest.mark.parametrize(
    "count, linkage_method, subsample, feature_fraction, seed",
    [
        (4, "average", 0.9, 1.0, 0),
        (3, "average", 0.7, 0.75, 1),
        (5, "single", 0.8, 1.0, 2),
        (2, "complete", 0.8, 0.5, 3),
    ],
)
def test_consensus_matches_reference(count, linkage_method, subsample, feature_fraction, seed):
    settings = dict(resamples=12, subsample=subsample, feature_fraction=feature_fraction)
    meta = Metaclusters(
        fixed_map(), count, linkage=linkage_method, random_state=seed, **settings
    ).fit(ROWS)
    vectors = NODES.astype(np.float32).astype(np.float64)
    # Where merges tie exactly, any order is right: the reference takes the
    # package's where it can, and must reach the same groups. (It looks one
    # merge ahead, so these inputs avoid the long chains of ties at one
    # distance that few, small subsamples make.)
    matrix, labels = reference.consensus(
        vectors, count, method=linkage_method, seed=seed, prefer=meta.node_labels_, **settings
    )
    # Integer counts divided once: the same bits.
    np.testing.assert_array_equal(meta.consensus_.view(np.uint64), matrix.view(np.uint64))
    np.testing.assert_array_equal(meta.node_labels_, labels)
    np.testing.assert_array_equal(meta.labels_, labels[meta.som_.predict(ROWS)])
    centres = [vectors[labels == g].mean(axis=0) for g in range(count)]
    expected = np.sqrt(((ROWS.astype(np.float32)[:, None, :] - np.array(centres)) ** 2).sum(-1))
    np.testing.assert_allclose(meta.transform(ROWS), expected, rtol=1e-12)


@pytest.mark.parametrize("selection", ["elbow", "cdf_area"])
def test_auto_count_matches_reference(selection):
    settings = dict(resamples=8, subsample=0.9, feature_fraction=1.0)
    # Every count's groups from the same subsamples, which do not depend on
    # the count: "auto" must pick one of these.
    fixed = {
        count: Metaclusters(fixed_map(), count, random_state=4, **settings).fit(ROWS).node_labels_
        for count in range(2, 9)
    }
    vectors = NODES.astype(np.float32).astype(np.float64)
    count, squares, areas = reference.chosen_count(
        vectors, 8, selection, prefer=fixed, method="average", seed=4, **settings
    )
    meta = Metaclusters(
        fixed_map(), "auto", max_clusters=8, selection=selection, random_state=4, **settings
    ).fit(ROWS)
    np.testing.assert_allclose(meta.scores_["cdf_area"], areas, rtol=1e-12)
    if selection == "elbow":  # the reference's are smoothed
        np.testing.assert_allclose(smoothed(meta.scores_["sum_of_squares"]), squares, rtol=1e-12)
    assert meta.n_clusters_ == count
    np.testing.assert_array_equal(meta.node_labels_, fixed[count])


def test_same_groups_every_thread_count_chunking_and_scheduler():
    params = dict(n_clusters=4, resamples=10, random_state=7)
    som = SOM(5, 4, epochs=4)
    expected = Metaclusters(som, n_jobs=1, **params).fit(ROWS)
    X = ROWS.astype(np.float32)
    for n_jobs in (2, 3):
        got = Metaclusters(som, n_jobs=n_jobs, **params).fit(ROWS)
        np.testing.assert_array_equal(got.labels_, expected.labels_)
    for scheduler in ("synchronous", "threads"):
        for chunks in (7, (0, 150, 1, 149)):
            with dask.config.set(scheduler=scheduler):
                lazy = da.from_array(X, chunks=(chunks, 2))
                got = Metaclusters(som, **params).fit(lazy)
                np.testing.assert_array_equal(got.node_labels_, expected.node_labels_)
                np.testing.assert_array_equal(got.labels_, expected.labels_)
                np.testing.assert_array_equal(got.predict(lazy).compute(), expected.labels_)
                np.testing.assert_array_equal(
                    got.transform(lazy).compute().view(np.uint64),
                    expected.transform(X).view(np.uint64),
                )


@pytest.mark.parametrize(
    "params, message",
    [
        (dict(n_clusters=25), "n_clusters=25 is more than the map's 24 nodes"),
        (dict(n_clusters="auto", max_clusters=30), "max_clusters=30 is more than the map's 24"),
        (dict(n_clusters=20, subsample=0.5), "leaves 12 of the 24 nodes in each subsample"),
        (dict(n_clusters=0), "The 'n_clusters' parameter of Metaclusters must be"),
        (dict(som="map"), "The 'som' parameter of Metaclusters must be"),
    ],
)
def test_counts_the_map_cannot_hold_are_refused(params, message):
    with pytest.raises(ValueError, match=message):
        Metaclusters(**{"som": fixed_map(), **params}).fit(ROWS)
