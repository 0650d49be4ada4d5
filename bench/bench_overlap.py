"""How much slower a streaming loop runs from memory once it also computes.

    python bench/bench_overlap.py [--n 26] [--threads 1,2] [--products 1,2,4,6,8,12]

The kernels are compared with the fastest in-place pass over the same memory,
a loop with one product per double.  This measures what arithmetic alone
costs such a loop: for each count of products per double, the one-stream
pass of bench/stream.c that multiplies every double that many times in a row
(stream_chain) runs over an array of 2^n amplitudes, in rounds that take
every count in turn (the fastest of 7 rounds is kept), and the table gives
its time over the one-product pass, beside its compute floor: the same pass
over 1 MiB held in the cores' caches, less the cost of an empty call, scaled
to the array, over the same one-product pass.  A loop whose floor
is well below 1 would, with memory and arithmetic fully overlapped, take
the one-product pass's time.  Thread counts run in separate processes
(OMP_NUM_THREADS).
"""

import argparse
import ctypes
import os
import subprocess
import sys
import time

import numpy as np
from common import _load_stream, cpu_model

CACHE_DOUBLES = 1 << 17  # 1 MiB: in the second-level cache


def worker(n, products):
    so = _load_stream()
    chain = so.stream_chain
    chain.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_double, ctypes.c_int, ctypes.c_int]
    chain.restype = None
    threads = os.environ.get("OMP_NUM_THREADS", "")
    x = np.ones(2 << n)  # 2^n amplitudes
    small = np.ones(CACHE_DOUBLES)

    def once(arr, p, parallel):
        t0 = time.perf_counter()
        chain(arr.ctypes.data, arr.size, 1.0, p, parallel)
        return time.perf_counter() - t0

    for _ in range(3):
        once(x, 1, 1)
    best = dict.fromkeys(products, float("inf"))
    for _ in range(7):
        for p in products:
            best[p] = min(best[p], once(x, p, 1))
    # The in-cache time per call, less the cost of a call that does nothing.
    empty = small[:0]
    call_cost = min(sum(once(empty, 1, 1) for _ in range(200)) / 200 for _ in range(10))
    floor = {}
    for p in products:
        per_call = min(sum(once(small, p, 1) for _ in range(50)) / 50 for _ in range(10))
        floor[p] = max(per_call - call_cost, 0.0) * (x.size / small.size)
    base = best[1] if 1 in best else best[products[0]]
    for p in products:
        print(f"| {n} | {threads} | {p} | {best[p] * 1e3:.1f} | {best[p] / base:.2f} | {floor[p] / base:.2f} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=26)
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}")
    parser.add_argument("--products", default="1,2,4,6,8,12")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    products = [int(p) for p in args.products.split(",")]
    if not set(products) <= {1, 2, 4, 6, 8, 12, 16}:
        parser.error("--products: counts among 1, 2, 4, 6, 8, 12, 16")
    if args.worker:
        worker(args.n, products)
        return
    print(f"{cpu_model()}, {os.cpu_count()} CPUs; bench/stream.c compiled for this CPU")
    print("| n | threads | products per double | ms | ÷ one-product pass | compute floor ÷ one-product pass |")
    print("|---|---|---|---|---|---|")
    for threads in [int(t) for t in args.threads.split(",")]:
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        cmd = [sys.executable, __file__, "--worker", "--n", str(args.n), "--products", args.products]
        out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
        print(out.stdout, end="")


if __name__ == "__main__":
    main()
