"""A certified query and a per-block breakdown of its answer.

    python examples/certified.py
    python examples/certified.py --rows 50000 --dims 256 --k 5 --block-size 32

Builds a small cosine index of clustered "document embeddings" in a temporary
directory, asks for the k best rows of a query near one cluster with a certificate,
then explains the best hit's score and compares the best hit with the k-th by blocks
of dimensions.
"""

import argparse
import tempfile

import numpy as np

import zorvikdb


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=20_000)
    p.add_argument("--dims", type=int, default=384)
    p.add_argument("--k", type=int, default=5)
    p.add_argument("--block-size", type=int, default=64)
    p.add_argument("--seed", type=int, default=7)
    return p.parse_args()


def embeddings(rng, rows, dims):
    """Rows around 100 topic centres, so that a query has a few close neighbours."""
    centres = rng.standard_normal((100, dims)).astype(np.float32)
    labels = rng.integers(0, len(centres), rows)
    x = centres[labels] + 0.5 * rng.standard_normal((rows, dims)).astype(np.float32)
    return x.astype(np.float32), centres


def show_breakdown(title, d):
    print(f"\n{title}")
    for b in d["blocks"]:
        bar = "#" * min(40, int(abs(b["contribution"]) * 40 / max(abs(d["blocks"][0]["contribution"]), 1e-12)))
        print(f"  block {b['block_id']:>3}  dims [{b['start']:>4}, {b['end']:>4})  {b['contribution']:+.5f}  {bar}")
    print(f"  other {d['num_blocks'] - len(d['blocks'])} blocks (residual)        {d['residual']:+.5f}")


def main():
    args = parse_args()
    rng = np.random.default_rng(args.seed)
    x, centres = embeddings(rng, args.rows, args.dims)
    with tempfile.TemporaryDirectory() as out:
        path = zorvikdb.py_prepare_bin_from_embeddings(x, args.dims, args.rows, "docs", "f32", metric="cosine",
                                                       output_dir=out)
        engine = zorvikdb.PySearchEngine(path, False)
        query = (centres[3] + 0.3 * rng.standard_normal(args.dims)).astype(np.float32)
        query /= np.linalg.norm(query)

        res = engine.query_exact_certified(query, args.k, args.block_size)
        cert = res["certificate"]
        print(f"index {res['index_hash'][:16]}…  query {res['query_hash'][:16]}…  {res['rows']} rows, {res['dims']} dims")
        print(f"method {res['method_used']} in {res['query_time_ms']:.2f} ms")
        for h in res["results"]:
            print(f"  row {h['idx']:>6}  score {h['score']:.6f}")
        print("\ncertificate")
        print(f"  bound rule           {cert['bound_rule']}")
        print(f"  rows pruned / scored {cert['pruned_candidates']} / {cert['full_evaluated']} "
              f"of {cert['total_candidates']}")
        print(f"  k-th score           {cert['kth_score']:.6f}")
        worst_bound = max(cert["pruned_bound_values"], default=float("nan"))
        print(f"  highest recorded bound of a pruned row {worst_bound:.6f} (must lie below the k-th score)")
        print(f"  k-th score over the scan: {len(cert['threshold_evolution'])} steps, "
              f"{cert['threshold_evolution'][0]:.4f} -> {cert['threshold_evolution'][-1]:.4f}")
        print(f"  blocks visited first: {cert['block_order'][:6]}")
        print(f"  safe: {cert['safe']}   ({cert['simd_path']}, {cert['compile_flags']})")

        exact = engine.query_exact(query, args.k)
        assert [h.idx for h in exact.results] == [h["idx"] for h in res["results"]]

        best, kth = res["results"][0]["idx"], res["results"][-1]["idx"]
        show_breakdown(f"explain(row {best}): score {res['results'][0]['score']:.6f} by block",
                       engine.explain(query, best, args.block_size, 4))
        cmp = engine.compare(query, best, kth, args.block_size, 4)
        show_breakdown(f"compare(row {best}, row {kth}): score difference {cmp['delta_score_space']:+.6f} by block",
                       cmp)


if __name__ == "__main__":
    main()
