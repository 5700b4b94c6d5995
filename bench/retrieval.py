"""Known-item retrieval over CMake's reference documentation, and the cost of each embedder.

    python bench/retrieval.py [--corpus DIR] [--embedders lsa,wordllama] [--sizes 10000,100000]

Corpus: the documentation shipped in the `cmake` wheel from PyPI (share/cmake-X.Y/Help, every
file, and share/cmake-X.Y/Modules/*.cmake, whose leading comments are the modules' manuals):
about 2,800 files nobody here wrote. Queries: bench/retrieval_queries.tsv, each naming the one
file that answers it; bench/retrieval_queries_new.tsv, written later and never used to choose
a setting, is scored apart. Every file is cut into passages (quorvel.passages), a file is ranked
by its best passage, and each ranking is scored by recall@1, recall@5 and MRR@10
(bench/known_item.py). The fusion sweep says which setting the queries would choose and how that
choice does on queries it was not chosen on (leave-one-out and random halves); each miss of the
combined ranking is put in a kind (`known_item.miss_kind`), and `--ranks` writes the place of
every answer under each ranking to bench/results/retrieval_ranks.md.

Rankings: lexical alone (BM25, quorvel.lexical), semantic alone for each embedder (plain cosine,
the LSA embedder also on whole files as a reference), and combined through
`quorvel.lexical.hybrid_rank` (the path a search takes: each document led by its lead sentence
when it has several passages, `quorvel.passages.indexed_passages`, and that first row's score
fused in), also without the lead score, with a sweep of the semantic and the lead weights. Costs, each in a child process of its own: the extra memory of the loaded
model, the time and peak extra memory to embed 10,000 and 100,000 passages (the corpus's own
passages, repeated), passages per second with one thread and with all threads, and the same for
building the BM25 index. Nothing here fails on timing.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from known_item import MISS_KINDS, answer_rank, cross_validated, known_item_scores, miss_kind  # noqa: E402

HERE = Path(__file__).resolve().parent
QUERIES = HERE / "retrieval_queries.tsv"
#: Queries never used to choose anything: their figures are reported apart.
NEW_QUERIES = HERE / "retrieval_queries_new.tsv"
WEIGHTS = (0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8)
LEAD_WEIGHTS = (0.0, 0.1, 0.2, 0.3, 0.5, 0.7, 1.0)
POOL = 200
TOP = 10
DEPTH = 50  # places of each ranking kept, to say why a query missed


def cpu_name() -> str:
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"


def default_corpus() -> Path:
    import cmake
    share = Path(cmake.CMAKE_DATA) / "share"
    found = sorted(share.glob("cmake-*"))
    if not found:
        raise SystemExit(f"no share/cmake-* folder under {share}")
    return found[-1]


def read_corpus(root: Path) -> dict[str, str]:
    files = sorted(p for p in (root / "Help").rglob("*") if p.is_file())
    files += sorted((root / "Modules").glob("*.cmake"))
    return {p.relative_to(root).as_posix(): p.read_text(encoding="utf-8", errors="replace") for p in files}


def read_queries(path: Path) -> list[tuple[str, str]]:
    out = []
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.strip() and not line.startswith("#"):
            target, query = line.split("\t")
            out.append((target, query))
    return out


def make_embedder(name: str):
    from quorvel.embedders import LsaEmbedder, WordLlamaEmbedder
    if name == "lsa":
        return LsaEmbedder()
    if name == "wordllama":
        return WordLlamaEmbedder()
    raise SystemExit(f"unknown embedder {name!r}")


def embed_rows(name: str, texts: list[str]) -> tuple[object, np.ndarray]:
    embedder = make_embedder(name)
    if embedder.fits_collection:
        embedder.fit(texts)
    return embedder, embedder.embed(texts)


def documents_from_rows(scores: np.ndarray, rows: np.ndarray, doc_of_row: np.ndarray, names: list[str]) -> list[str]:
    from quorvel.lexical import best_per_document
    docs, _, _ = best_per_document(scores, doc_of_row, rows)
    return [names[d] for d in docs[:DEPTH]]


def scored(rankings: list[list[str]], answers: list[str], split: int) -> dict[str, dict]:
    """The scores of the first `split` queries ("main") and of the others ("new")."""
    return {"main": known_item_scores(rankings[:split], answers[:split]),
            "new": known_item_scores(rankings[split:], answers[split:])}


def hits_and_reciprocal(rankings: list[list[str]], answers: list[str]) -> tuple[list[float], list[float]]:
    ranks = [answer_rank(r, a) for r, a in zip(rankings, answers)]
    return ([float(r is not None and r <= 5) for r in ranks],
            [1.0 / r if r is not None and r <= TOP else 0.0 for r in ranks])


def rank_all(scores: np.ndarray, doc_of_row: np.ndarray, names: list[str]) -> list[str]:
    pool = np.argpartition(-scores, min(len(scores) - 1, POOL * 5))[:POOL * 5]
    return documents_from_rows(scores[pool], pool, doc_of_row, names)


def quality(args: argparse.Namespace, corpus: dict[str, str], queries: list[tuple[str, str]],
            new_queries: list[tuple[str, str]]) -> dict:
    from quorvel.lexical import SEMANTIC_WEIGHT, LexicalIndex, fuse, hybrid_rank
    from quorvel.passages import indexed_passages, split_passages

    names = list(corpus)
    split = len(queries)
    queries = queries + new_queries
    missing = [t for t, _ in queries if t not in corpus]
    if missing:
        raise SystemExit(f"query targets not in the corpus: {missing}")
    texts, doc_of_row, first_row = [], [], []
    for d, name in enumerate(names):
        first_row.append(len(texts))
        parts = indexed_passages(name, corpus[name]) if args.context else [(p.text, p) for p in split_passages(corpus[name])]
        texts += [text for text, _ in parts]
        doc_of_row += [d] * len(parts)
    doc_of_row, first_row = np.array(doc_of_row), np.array(first_row)

    def lead_rows(rows: np.ndarray) -> np.ndarray:
        return first_row[doc_of_row[rows]]
    words = np.array([len(t.split()) for t in texts])
    print(f"corpus: {len(names)} files, {sum(map(len, corpus.values())) / 1e6:.1f} MB, {len(texts)} passages "
          f"(median {int(np.median(words))} words, 90th percentile {int(np.percentile(words, 90))}); "
          f"{split} queries, {len(new_queries)} new ones", flush=True)
    answers = [t for t, _ in queries]
    results: dict[str, dict] = {}
    ranks: dict[str, list[int | None]] = {}

    t0 = time.perf_counter()
    lexical = LexicalIndex.build(texts)
    print(f"BM25 index of {len(texts)} passages: {time.perf_counter() - t0:.2f} s", flush=True)
    lex_scores = [lexical.scores(q) for _, q in queries]
    rankings = [rank_all(s, doc_of_row, names) for s in lex_scores]
    results["lexical (BM25)"] = scored(rankings, answers, split)
    ranks["lexical"] = [answer_rank(r, a) for r, a in zip(rankings, answers)]

    ids = [str(i) for i in range(len(texts))]
    id_to_idx = {r: i for i, r in enumerate(ids)}
    sweeps: dict[str, dict] = {}
    timing: dict[str, float] = {}
    for name in args.embedders:
        if name == "lsa":  # the reference: one vector per whole file
            _, whole = embed_rows(name, [corpus[n] for n in names])
            emb = make_embedder("lsa")
            emb.fit([corpus[n] for n in names])
            q = emb.embed([q for _, q in queries])
            results["semantic: lsa, whole files"] = scored(
                [[names[i] for i in np.argsort(-(whole @ v), kind="stable")[:DEPTH]] for v in q], answers, split)
        t0 = time.perf_counter()
        embedder, matrix = embed_rows(name, texts)
        print(f"{name}: embedded {len(texts)} passages in {time.perf_counter() - t0:.1f} s", flush=True)
        qv = embedder.embed([q for _, q in queries])
        sem_scores = [matrix @ v for v in qv]
        rankings = [rank_all(s, doc_of_row, names) for s in sem_scores]
        results[f"semantic: {name}"] = scored(rankings, answers, split)
        ranks[f"semantic: {name}"] = [answer_rank(r, a) for r, a in zip(rankings, answers)]
        sweep: dict[str, dict] = {}
        hits, reciprocal, settings, new_rankings = [], [], [], []
        for lead_weight in LEAD_WEIGHTS:
            for w in WEIGHTS:
                rankings = []
                for lex, sem in zip(lex_scores, sem_scores):
                    pool = np.union1d(np.argpartition(-sem, POOL)[:POOL], np.argpartition(-lex, POOL)[:POOL])
                    lead = sem[lead_rows(pool)].astype(np.float64)
                    lead[lead_rows(pool) == pool] = np.nan
                    fused = fuse(lex[pool], sem[pool], w, "z", lead, lead_weight)
                    rankings.append(documents_from_rows(fused, pool, doc_of_row, names))
                key = f"lead {lead_weight} w={w}"
                sweep[key] = known_item_scores(rankings[:split], answers[:split])
                h, rr = hits_and_reciprocal(rankings[:split], answers[:split])
                hits.append(h)
                reciprocal.append(rr)
                settings.append(key)
                new_rankings.append(rankings[split:])
        choices = {}
        for label, subset in (("all settings", range(len(settings))),
                              (f"w = {SEMANTIC_WEIGHT} (the default), lead weights",
                               [i for i, k in enumerate(settings) if k.endswith(f"w={SEMANTIC_WEIGHT}")])):
            subset = list(subset)
            cv = cross_validated(np.array(hits)[subset], np.array(reciprocal)[subset])
            chosen = subset[int(cv["chosen"])]
            cv["chosen"] = settings[chosen]
            cv["new"] = known_item_scores(new_rankings[chosen], answers[split:])["recall@5"]
            choices[label] = cv
        sweeps[name] = {"cells": sweep, "cross_validated": choices}
        plain: list[list[str]] = []
        led: list[list[str]] = []
        seconds: dict[bool, list[float]] = {False: [], True: []}
        for (_, q), v in zip(queries, qv):
            for with_lead, out in ((False, plain), (True, led)):  # interleaved: the host is noisy
                t0 = time.perf_counter()
                lex = lexical.scores(q)
                ranked = hybrid_rank(matrix, ids, id_to_idx, v, lex, limit=POOL, pool=POOL,
                                     lead_rows=lead_rows if with_lead else None)
                seconds[with_lead].append(time.perf_counter() - t0)
                rows = np.array([r for r, _ in ranked], dtype=np.int64)
                out.append(documents_from_rows(np.array([s for _, s in ranked]), rows, doc_of_row, names))
        results[f"combined: BM25 + {name}, without the lead score"] = scored(plain, answers, split)
        results[f"combined: BM25 + {name} (hybrid_rank defaults)"] = scored(led, answers, split)
        ranks[f"combined: {name}"] = [answer_rank(r, a) for r, a in zip(led, answers)]
        timing[name] = 1000 * float(np.median(seconds[True]))
        timing[f"{name} without lead"] = 1000 * float(np.median(seconds[False]))
    return {"results": results, "sweeps": sweeps, "passages": len(texts), "files": len(names),
            "ranks": ranks, "queries": queries, "split": split, "ms_per_query": timing}


def misses(quality_figures: dict, embedder: str) -> dict[str, list[int]]:
    """The queries of each kind of miss (`known_item.miss_kind`) of the combined ranking."""
    r = quality_figures["ranks"]
    out: dict[str, list[int]] = {kind: [] for kind in MISS_KINDS}
    for i, combined in enumerate(r[f"combined: {embedder}"]):
        out[miss_kind(r["lexical"][i], r[f"semantic: {embedder}"][i], combined)].append(i)
    return out


def rank_table(quality_figures: dict) -> str:
    """The place of every answer under each ranking ("-": not in the first places kept)."""
    r, split = quality_figures["ranks"], quality_figures["split"]
    kinds = list(r)
    lines = ["| set | answer | query | " + " | ".join(kinds) + " |", "|---" * (len(kinds) + 3) + "|"]
    for i, (target, query) in enumerate(quality_figures["queries"]):
        cells = [str(r[k][i]) if r[k][i] is not None else "-" for k in kinds]
        lines.append(f"| {'main' if i < split else 'new'} | {target} | {query} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


# -- costs, each measured in a child process -----------------------------------------------------

def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def child(kind: str, size: int, threads: str, corpus_root: Path) -> dict:
    from threadpoolctl import threadpool_limits
    from quorvel.passages import split_passages

    corpus = read_corpus(corpus_root)
    base = [p.text for text in corpus.values() for p in split_passages(text)]
    texts = [base[i % len(base)] for i in range(size)]
    limits = threadpool_limits(1) if threads == "1" else None
    before = rss_kib()
    out: dict = {}
    if kind == "bm25":
        from quorvel.lexical import LexicalIndex
        LexicalIndex.build(texts[:10])  # imports and first-call costs out of the figure
        before = rss_kib()
        reset_peak()
        t0 = time.perf_counter()
        LexicalIndex.build(texts)
        seconds = time.perf_counter() - t0
    else:
        embedder = make_embedder(kind)
        if embedder.fits_collection:
            embedder.fit(texts[:100])
        embedder.embed(texts[:10])
        out["model_mib"] = (rss_kib() - before) / 1024
        embedder = make_embedder(kind)
        before = rss_kib()
        reset_peak()
        t0 = time.perf_counter()
        if embedder.fits_collection:
            embedder.fit(texts)
        embedder.embed(texts)
        seconds = time.perf_counter() - t0
    out.update(seconds=seconds, per_second=size / seconds, peak_extra_mib=(peak_kib() - before) / 1024)
    if limits is not None:
        limits.unregister()
    return out


def run_child(kind: str, size: int, threads: str, corpus_root: Path) -> dict:
    env = dict(os.environ)
    if threads == "1":
        env.update(RAYON_NUM_THREADS="1", TOKENIZERS_PARALLELISM="false", OMP_NUM_THREADS="1",
                   OPENBLAS_NUM_THREADS="1")
    else:
        env.update(TOKENIZERS_PARALLELISM="true")
    cmd = [sys.executable, __file__, "--child", kind, str(size), threads, "--corpus", str(corpus_root)]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"exit {done.returncode}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def costs(args: argparse.Namespace) -> dict:
    out = {}
    for kind in ["bm25", *args.embedders]:
        for size in args.sizes:
            for threads in ("1", "all"):
                key = f"{kind} {size} {threads}"
                out[key] = run_child(kind, size, threads, args.corpus)
                print(f"  {key}: {json.dumps(out[key])}", flush=True)
    return out


def report(quality_figures: dict, cost_figures: dict, args: argparse.Namespace) -> str:
    lines = [f"CPU: {cpu_name()} ({os.cpu_count()} threads); corpus: {args.corpus} "
             f"({quality_figures['files']} files, {quality_figures['passages']} passages)", "",
             "| ranking | recall@1 | recall@5 | MRR@10 |", "|---|---|---|---|"]
    for name, r in quality_figures["results"].items():
        lines.append(f"| {name} | {r['main']['recall@1']:.2f} | {r['main']['recall@5']:.2f} | {r['main']['mrr@10']:.2f} |")
    if quality_figures["results"]:
        lines += ["", f"New queries ({len(quality_figures['queries']) - quality_figures['split']}, never used to "
                  "choose a setting):", "", "| ranking | recall@1 | recall@5 | MRR@10 |", "|---|---|---|---|"]
        for name, r in quality_figures["results"].items():
            lines.append(f"| {name} | {r['new']['recall@1']:.2f} | {r['new']['recall@5']:.2f} | {r['new']['mrr@10']:.2f} |")
    for name, sweep in quality_figures["sweeps"].items():
        cells_of = sweep["cells"]
        lines += ["", f"Fusion sweep, BM25 + {name} (z-normalised; semantic weight w, lead weight): "
                  "recall@5 / MRR@10", "",
                  "| w | " + " | ".join(str(w) for w in WEIGHTS) + " |", "|---" * (len(WEIGHTS) + 1) + "|"]
        for lead_weight in LEAD_WEIGHTS:
            cells = [f"{cells_of[f'lead {lead_weight} w={w}']['recall@5']:.2f} / "
                     f"{cells_of[f'lead {lead_weight} w={w}']['mrr@10']:.2f}" for w in WEIGHTS]
            lines.append(f"| lead {lead_weight} | " + " | ".join(cells) + " |")
        for label, cv in sweep["cross_validated"].items():
            lines += ["", f"Chosen by these queries among {label}: {cv['chosen']}, recall@5 {cv['in_sample']:.2f} on "
                      f"them; on queries it was not chosen on: {cv['leave_one_out']:.2f} (leave-one-out), "
                      f"{cv['split']:.2f} (random halves, 20 times); on the new queries {cv['new']:.2f}."]
        kinds = misses(quality_figures, name)
        main = quality_figures["split"]
        counts = ", ".join(f"{kind} {sum(i < main for i in kinds[kind])}/{sum(i >= main for i in kinds[kind])}"
                           for kind in MISS_KINDS)
        lines += ["", f"Combined ranking with {name}, queries by kind (main/new): {counts}; "
                  f"median ms a query for BM25 scoring and hybrid_rank: {quality_figures['ms_per_query'][name]:.1f} "
                  f"({quality_figures['ms_per_query'][name + ' without lead']:.1f} without the lead score)."]
    if cost_figures:
        lines += ["", "| what | passages | threads | seconds | passages/s | peak extra MiB | model MiB |",
                  "|---|---|---|---|---|---|---|"]
        for key, c in cost_figures.items():
            kind, size, threads = key.split()
            if "error" in c:
                lines.append(f"| {kind} | {size} | {threads} | failed: {c['error']} | | | |")
                continue
            model = f"{c['model_mib']:.0f}" if "model_mib" in c else "-"
            lines.append(f"| {kind} | {int(size):,} | {threads} | {c['seconds']:.1f} | {c['per_second']:,.0f} | "
                         f"{c['peak_extra_mib']:.0f} | {model} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=None)
    parser.add_argument("--embedders", default="lsa,wordllama")
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--no-costs", action="store_true")
    parser.add_argument("--costs-only", action="store_true")
    parser.add_argument("--target-words", type=int, default=0,
                        help="passage size to try instead of quorvel.passages.TARGET_WORDS")
    parser.add_argument("--no-context", dest="context", action="store_false",
                        help="index passage texts alone, without their file name and section title")
    parser.add_argument("--ranks", action="store_true",
                        help="write the place of every answer under each ranking to results/retrieval_ranks.md")
    parser.add_argument("--child", nargs=3, metavar=("KIND", "SIZE", "THREADS"))
    args = parser.parse_args()
    args.corpus = args.corpus or default_corpus()
    if args.child:
        kind, size, threads = args.child
        print(json.dumps(child(kind, int(size), threads, args.corpus)))
        return
    if args.target_words:
        import quorvel.passages as passages
        passages.TARGET_WORDS, passages.MAX_WORDS = args.target_words, args.target_words * 3 // 2
        passages.MIN_WORDS = min(passages.MIN_WORDS, args.target_words // 4)
    args.embedders = [e for e in args.embedders.split(",") if e]
    args.sizes = [int(s) for s in args.sizes.split(",") if s]
    if args.costs_only:
        cost_figures = costs(args)
        text = report({"results": {}, "sweeps": {}, "files": "-", "passages": "-", "queries": [], "split": 0},
                      cost_figures, args)
        print(text)
        return
    corpus = read_corpus(args.corpus)
    quality_figures = quality(args, corpus, read_queries(QUERIES), read_queries(NEW_QUERIES))
    cost_figures = {} if args.no_costs else costs(args)
    text = report(quality_figures, cost_figures, args)
    print(text)
    results = HERE / "results"
    results.mkdir(exist_ok=True)
    (results / "retrieval.md").write_text(text + "\n", encoding="utf-8")
    (results / "retrieval.json").write_text(json.dumps({"quality": quality_figures, "costs": cost_figures}, indent=1))
    if args.ranks:
        (results / "retrieval_ranks.md").write_text(rank_table(quality_figures) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
