"""Checks the verdicts and the document merge of the results table; the numbers themselves are never judged."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import report  # noqa: E402


class VerdictTest(unittest.TestCase):
    def test_ratio_goals_compare_medians(self):
        cases = [
            # samples, baseline, kind, goal, verdict
            ([1.0, 1.1, 9.0], [1.0, 1.0, 1.0], "ratio_max", 1.15, "met"),  # one outlier does not move the median
            ([1.2, 1.2, 1.2], [1.0, 1.0, 1.0], "ratio_max", 1.15, "MISSED"),
            ([300.0], [400.0], "ratio_max", 0.8, "met"),
            ([70.0, 90.0, 80.0], [100.0, 100.0, 100.0], "ratio_min", 0.8, "met"),
            ([70.0, 75.0, 90.0], [100.0, 100.0, 100.0], "ratio_min", 0.8, "MISSED"),
            ([1.0], [], "ratio_max", 1.15, "no baseline"),
            ([], [1.0], "ratio_max", 1.15, "not measured"),
        ]
        for samples, baseline, kind, goal, verdict in cases:
            with self.subTest(samples=samples, baseline=baseline, kind=kind):
                row = report.Row("B", "x", "s", samples, baseline, "base", kind, goal)
                self.assertEqual(row.verdict(), verdict)

    def test_bounds_hold_for_every_sample(self):
        cases = [
            ([1.0, 1.5, 2.0], "within", (1, 2), "met"),  # both ends belong to the bound
            ([1.0, 2.01], "within", (1, 2), "MISSED"),
            ([0.99, 1.5], "within", (1, 2), "MISSED"),
            ([5.1, 5.5], "max", 5.5, "met"),
            ([5.1, 5.6, 5.2], "max", 5.5, "MISSED"),  # the median is inside, one run is not
        ]
        for samples, kind, goal, verdict in cases:
            with self.subTest(samples=samples, goal=goal):
                self.assertEqual(report.Row("B", "x", "s", samples, goal_kind=kind, goal=goal).verdict(), verdict)

    def test_failed_runs_are_left_out_not_counted_as_zero(self):
        row = report.Row("B", "x", "s", [2.0, None, 4.0], [1.0, None], "base", "ratio_max", 10)
        self.assertEqual(len(row.samples), 2)
        self.assertEqual(row.median, 3.0)
        self.assertEqual(row.ratio, 3.0)

    def test_unmeasured_row_shows_why(self):
        row = report.Row("B2", "x", "s", [], goal_kind="max", goal=5.5, note="not run in quick mode")
        self.assertEqual(row.verdict(), "not run in quick mode")
        self.assertIn("| B2 | x | s | 0 | – | – | – |", report.table([row]))


class MergeTest(unittest.TestCase):
    def test_generated_block_is_replaced_and_prose_kept(self):
        old = report.results_block([], "bench/run", "old machine", [])
        document = "# Performance\n\nHow it was measured.\n\n" + old + "\n\n## Profiles\n\nText.\n"
        new = report.results_block([], "bench/run", "new machine", ["a note"])
        merged = report.merge_into(document, new)
        self.assertIn("How it was measured.", merged)
        self.assertIn("## Profiles\n\nText.", merged)
        self.assertIn("new machine", merged)
        self.assertNotIn("old machine", merged)
        self.assertEqual(merged.count(report.BEGIN_MARK), 1)

    def test_block_is_appended_to_a_document_without_one(self):
        merged = report.merge_into("# Performance\n", report.results_block([], "c", "m", []))
        self.assertTrue(merged.startswith("# Performance\n\n" + report.BEGIN_MARK))
        self.assertTrue(merged.endswith(report.END_MARK + "\n"))



def run(key, median, date, goal=True, note=None):
    row = report.Row(key, f"{key} figure", "s", [median], goal_kind="max" if goal else None, goal=9.0,
                     goal_text="≤ 9 s" if goal else "")
    return report.results_block([row], f"bench/run --only {key}", f"Run on {date}; quiet.", [note] if note else [])


PAGE = f"# Performance\n\n{report.SUMMARY_BEGIN}\n{report.SUMMARY_END}\n\nText.\n"


class SummaryTest(unittest.TestCase):
    def test_a_run_replaces_only_the_rows_of_what_it_measured(self):
        first = report.results_block(
            [report.Row("B1", "one", "s", [1.0], goal_kind="max", goal=2, goal_text="≤ 2 s"),
             report.Row("B2", "two", "s", [3.0], goal_kind="max", goal=2, goal_text="≤ 2 s")],
            "bench/run", "Run on 2026-01-01 10:00 UTC.", ["B1 per run: 1.0", "B2 per run: 3.0"])
        page = report.merge_into(PAGE, first, ["B1", "B2"])
        page = report.merge_into(page, run("B2", 1.5, "2026-01-02 11:00 UTC"), ["B2"])
        rows = report.results(page)
        self.assertEqual([(r["#"], r["Median"], r["Run"]) for r in rows],
                         [("B1", "1.000", "2026-01-01 10:00"), ("B2", "1.500", "2026-01-02 11:00")])
        self.assertIn("- B1 per run: 1.0", page)
        self.assertNotIn("B2 per run: 3.0", page)
        self.assertEqual(report.check(page), [])
        self.assertIn("| B2 | B2 figure | 1.500 s | – | ≤ 9 s | met | 2026-01-02 11:00 |", page)

    def test_a_run_that_loses_every_row_goes_and_rows_added_by_hand_are_summed_up(self):
        page = report.merge_into(PAGE, run("B1", 1.0, "2026-01-01 10:00 UTC"), ["B1"])
        page = report.merge_into(page, run("B1", 2.0, "2026-01-03 10:00 UTC"), ["B1"])
        self.assertEqual(page.count(report.RUN_START), 1)
        page = page.replace("| B1 | B1 figure", "| B10 | added | s | 1 | 4.000 | 4.000 | 4.000 | – | – | ≤ 5 s | met |"
                            "\n| B1 | B1 figure")
        self.assertEqual(report.check(page)[0].split(";")[0], "the summary is not the one the results make")
        page = report.with_summary(page)
        self.assertEqual(report.check(page), [])
        summary = page[page.index(report.SUMMARY_BEGIN):page.index(report.SUMMARY_END)]
        self.assertLess(summary.index("| B1 |"), summary.index("| B10 |"))

    def test_the_text_cites_only_figures_of_the_results(self):
        page = report.merge_into(PAGE, run("B6", 0.083, "2026-01-01 10:00 UTC"), ["B6"])
        good = page.replace("Text.", "Idle (B6: 0.083 % of a core); on 2025-12-01 B6 read 0.283 %.")
        self.assertEqual(report.check(good), [])
        bad = page.replace("Text.", "Idle (B6: 0.07 % of a core).")
        self.assertEqual(len(report.check(bad)), 1)
        self.assertIn('"B6: 0.07"', report.check(bad)[0])

    def test_info_rows_are_no_goals(self):
        page = report.merge_into(PAGE, run("B3", 5.0, "2026-01-01 10:00 UTC", goal=False), ["B3"])
        self.assertNotIn("| B3 |", page[:page.index(report.SUMMARY_END)])


class GrowthTest(unittest.TestCase):
    def test_lowest_of_each_block_at_its_last_x(self):
        points = [(1, 5.0), (2, 3.0), (3, 4.0), (4, 9.0), (5, 8.0), (6, 7.5)]
        self.assertEqual(report.lows(points, 3), [(3, 3.0), (6, 7.5)])
        self.assertAlmostEqual(report.fit([(0, 1.0), (10, 3.0), (20, 5.0)])[0], 0.2)

if __name__ == "__main__":
    unittest.main()
