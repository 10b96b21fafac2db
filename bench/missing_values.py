"""Training with missing values: the digits with a share of their values
removed at random, trained with ``missing="ignore"`` beside the usual
workaround of filling every hole with its column's mean before training.

For each share (10 %, 30 %, 50 % by default) and seed, both maps are
trained on the same holed data (same map, epochs and "pca" initialisation)
and measured on what was removed:

- QE on complete data: the quantization error of the complete digits
  (every value back in place) under each map;
- imputation RMSE: the root mean square error, over the removed values, of
  filling them from the map (``SOM.impute``: the BMU's vector under the
  masked rule); for the mean-filled map also that of the column means
  themselves, which is what its training saw.

The ignoring map is trained with max_missing=1.0 (every row with a value
takes part), so that both sides impute every row; the share of rows that
the default max_missing=0.5 would leave out is listed beside.

    python bench/missing_values.py [--shares 0.1 0.3 0.5] [--seeds 3]
        [--columns 10 --rows 10 --epochs 20] [--plot figure.png]

Prints a Markdown table (means over the seeds); --plot also draws it (needs
matplotlib, the [plot] extra).
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np
from sklearn.datasets import load_digits

from quorvel import SOM


def remove_at_random(X: np.ndarray, share: float, seed: int) -> np.ndarray:
    """A float32 copy of X with each value replaced by NaN with
    probability ``share``."""
    holed = np.array(X, dtype=np.float32)
    holed[np.random.default_rng(seed).random(X.shape) < share] = np.nan
    return holed


def rmse(values: np.ndarray, truth: np.ndarray) -> float:
    return float(np.sqrt(np.mean((values.astype(np.float64) - truth) ** 2)))


def one_run(X: np.ndarray, share: float, seed: int, args) -> dict:
    holed = remove_at_random(X, share, seed)
    removed = np.isnan(holed)
    truth = X[removed]
    shape = dict(columns=args.columns, rows=args.rows, epochs=args.epochs, n_jobs=args.n_jobs)

    start = time.perf_counter()
    ignoring = SOM(**shape, missing="ignore", max_missing=1.0).fit(holed)
    ignore_seconds = time.perf_counter() - start
    filled_by_map = ignoring.impute(holed)

    means = np.nanmean(holed, axis=0)
    means = np.where(np.isnan(means), 0.0, means).astype(np.float32)
    mean_filled = np.where(removed, means, holed)
    start = time.perf_counter()
    baseline = SOM(**shape).fit(mean_filled)
    baseline_seconds = time.perf_counter() - start
    # The baseline map imputing the holes of the same rows from its own BMU.
    baseline_by_map = baseline.set_params(max_missing=1.0).impute(holed)

    missing_share = removed.mean(axis=1)
    return {
        "qe_ignore": ignoring.quantization_error(X),
        "qe_mean": baseline.quantization_error(X),
        "impute_ignore": rmse(filled_by_map[removed], truth),
        "impute_mean_map": rmse(baseline_by_map[removed], truth),
        "impute_means": rmse(mean_filled[removed], truth),
        "left_out_default": float(np.mean(missing_share > 0.5)),
        "seconds_ignore": ignore_seconds,
        "seconds_mean": baseline_seconds,
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shares", type=float, nargs="+", default=[0.1, 0.3, 0.5])
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--columns", type=int, default=10)
    parser.add_argument("--rows", type=int, default=10)
    parser.add_argument("--epochs", type=int, default=20)
    parser.add_argument("--n-jobs", type=int, default=None)
    parser.add_argument("--plot", default=None, help="write the figure to this file")
    args = parser.parse_args(argv)

    X = load_digits().data.astype(np.float32)
    results = []
    for share in args.shares:
        runs = [one_run(X, share, seed, args) for seed in range(args.seeds)]
        mean = {key: float(np.mean([run[key] for run in runs])) for key in runs[0]}
        results.append((share, mean))

    print(
        f"Digits ({X.shape[0]} x {X.shape[1]}, values 0-16), {args.columns} x {args.rows} "
        f"hexagonal map, {args.epochs} epochs, init 'pca'; means over {args.seeds} seeds of "
        f"the holes.\n"
    )
    print("| removed | QE on complete data: ignore | QE: column means | "
          "impute RMSE: ignore | impute RMSE: mean-filled map | RMSE of column means | "
          "rows left out at max_missing=0.5 | fit s: ignore / means |")  # fmt: skip
    print("|---:|---:|---:|---:|---:|---:|---:|---:|")
    for share, mean in results:
        print(
            f"| {share:.0%} | {mean['qe_ignore']:.3f} | {mean['qe_mean']:.3f} | "
            f"{mean['impute_ignore']:.3f} | {mean['impute_mean_map']:.3f} | "
            f"{mean['impute_means']:.3f} | {mean['left_out_default']:.1%} | "
            f"{mean['seconds_ignore']:.2f} / {mean['seconds_mean']:.2f} |"
        )

    if args.plot:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            print("--plot needs matplotlib: pip install quorvel[plot]", file=sys.stderr)
            return 1
        shares = [100 * share for share, _ in results]
        figure, (left, right) = plt.subplots(1, 2, figsize=(9, 3.5))
        left.plot(shares, [m["qe_ignore"] for _, m in results], "o-", label='missing="ignore"')
        left.plot(shares, [m["qe_mean"] for _, m in results], "s--", label="column means")
        left.set(xlabel="values removed (%)", ylabel="QE on complete data")
        right.plot(shares, [m["impute_ignore"] for _, m in results], "o-",
                   label='impute, missing="ignore"')  # fmt: skip
        right.plot(shares, [m["impute_mean_map"] for _, m in results], "s--",
                   label="impute, mean-filled map")  # fmt: skip
        right.plot(shares, [m["impute_means"] for _, m in results], "^:",
                   label="column means")  # fmt: skip
        right.set(xlabel="values removed (%)", ylabel="RMSE of removed values")
        for axes in (left, right):
            axes.legend(fontsize=8)
            axes.grid(alpha=0.3)
        figure.tight_layout()
        figure.savefig(args.plot, dpi=120)
    return 0


if __name__ == "__main__":
    sys.exit(main())
