"""Prints Google Benchmark JSON results with ratios against their baselines.

A benchmark named BM_baseline_<x> is the baseline of the others in the same
program; a benchmark may name its own with a '/vs:<baseline name>' label.
"""
import json
import sys

text = sys.stdin.read()
start = text.find("{")
data = json.loads(text[start:]) if start >= 0 else {"benchmarks": []}
rows = [b for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
baselines = {b["name"]: b for b in rows if b["name"].startswith("BM_baseline")}


def rate(b):
    return b.get("items_per_second") or b.get("bytes_per_second") or 0.0


def unit(b):
    return "items/s" if "items_per_second" in b else "B/s"


for b in rows:
    line = f"   {b['name']:<44} {rate(b):>14.4g} {unit(b)}"
    base_name = b.get("label", "").split("vs:")[-1] if "vs:" in b.get("label", "") else None
    by_name = {r["name"]: r for r in rows}
    base = by_name.get(base_name) if base_name else (
        next(iter(baselines.values())) if len(baselines) == 1 else None)
    if base is not None and base is not b and rate(base) > 0:
        line += f"   {rate(b) / rate(base):6.2f}x {base['name']}"
    print(line)
