"""Trains a batch of runs in a fresh process and reports the result bits.

Used by the thread-count tests: OpenMP reads OMP_NUM_THREADS when the process
starts, so each thread count needs a process of its own, and one process
trains a whole batch to keep the start-up cost rare. Reads a pickled list of
(Run, kernel_type) pairs from standard input and writes a pickled list of
result bits to standard output.
"""

import os
import pickle
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import training_runs  # noqa: E402


def main():
    jobs = pickle.load(sys.stdin.buffer)
    results = [
        training_runs.result_bits(training_runs.train(run, kernel_type))
        for run, kernel_type in jobs
    ]
    pickle.dump(results, sys.stdout.buffer)


if __name__ == "__main__":
    main()
