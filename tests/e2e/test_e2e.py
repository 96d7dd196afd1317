#!/usr/bin/env python3
"""The main job end to end: the README's first command (tools/demo.sh, here
without its set-up and build steps, which the test runner has done) run twice
in a temporary folder with a Wine prefix of its own, then the stand-in card
service's record of each run checked against the sample cards.

Environment: TESSARAN_BUILD_DIR, TESSARAN_WINE_ARCH and TESSARAN_SOURCE_DIR
(set by CTest): the demo runs the plug-in of this test's own build.
"""
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("TESSARAN_SOURCE_DIR") or os.path.normpath(os.path.join(HERE, "..", ".."))
BUILD = os.environ.get("TESSARAN_BUILD_DIR") or os.path.join(SOURCE, "build", "x64")
ARCH = os.environ.get("TESSARAN_WINE_ARCH") or os.path.basename(BUILD)
# The demo takes the folder of tools/build.sh, which holds both builds.
DEMO_BUILD = ["--no-build", "--build", os.path.dirname(BUILD), "--arch", ARCH]
SAMPLES = os.path.join(SOURCE, "tools", "samples")
THUMB_LONG_SIDE = 200


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def expected_cards():
    """Per job and card: its front, its back (with pairing), its OCR answer and language."""
    with open(os.path.join(SAMPLES, "jobs.json"), encoding="utf-8") as f:
        jobs = json.load(f)["jobs"]
    cards = []
    for job in jobs:
        pages = job["pages"]
        paired = job["EvenNumberImageToBackPage"] == 1
        step = 2 if paired else 1
        for i in range(0, len(pages), step):
            front = pages[i]
            back = pages[i + 1] if paired and i + 1 < len(pages) else None
            page_number = i + 1
            language = job["OCRLangID"] if paired or page_number % 2 == 1 else job["OCRLangBackID"]
            with open(os.path.join(SAMPLES, front[:-4] + ".json"), encoding="utf-8") as f:
                ocr = json.load(f)
            cards.append({"front": front, "back": back, "ocr": ocr, "language": language,
                          "front_sha": sha256(os.path.join(SAMPLES, front)),
                          "back_sha": sha256(os.path.join(SAMPLES, back)) if back else None})
    return cards


class MainJobTest(unittest.TestCase):
    runs = []

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tessaran-e2e-")
        cls.runs = []
        for _ in range(2):  # a second run over the same place works too
            done = subprocess.run(
                ["bash", os.path.join(SOURCE, "tools", "demo.sh"), *DEMO_BUILD,
                 "--work", cls.work, "--no-window-manager"],
                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=540)
            summary = None
            path = os.path.join(cls.work, "summary.json")
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    summary = json.load(f)
                os.remove(path)
            cls.runs.append({"rc": done.returncode, "out": done.stdout + done.stderr, "summary": summary})

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def each_run(self):
        for number, run in enumerate(self.runs, 1):
            with self.subTest(run=number):
                self.assertEqual(run["rc"], 0, run["out"])
                self.assertIsNotNone(run["summary"], run["out"])
                yield run["summary"], run["out"]

    def test_the_run_ends_with_the_summary_of_registered_cards(self):
        for summary, out in self.each_run():
            self.assertEqual(summary["results"], ["00000000", "00000000"], out)
            self.assertIn("What the card service holds now", out)
            self.assertIn("%d cards; page of registered cards: %s/cards" % (len(expected_cards()), summary["base"]),
                          out)
            for card in summary["cards"]:
                self.assertIn(card["sync_id"], out)

    def test_unattended_with_the_progress_dialog_and_a_clean_log(self):
        for summary, _ in self.each_run():
            lines = [line.split("\t") for line in summary["log_lines"]]
            self.assertTrue(lines, "the plug-in wrote no log")
            # No failure at all: the progress dialog came up (on Xvfb without
            # a display) and every step of both jobs succeeded.
            self.assertEqual([l for l in lines if l[1] == "3"], [])
            texts = [l[3] for l in lines]
            self.assertEqual(texts.count("CCSMRMeishiPlugin::Execute"), 2)
            self.assertEqual(texts.count("CMeishiServiceCtrl::Execute end"), 2)

    def test_every_card_registered_once_with_its_ocr_answer(self):
        expected = expected_cards()
        for summary, _ in self.each_run():
            cards = summary["cards"]
            self.assertEqual(len(cards), len(expected))
            self.assertEqual(len({c["sync_id"] for c in cards}), len(cards), "a sync ID used twice")
            for want in expected:
                found = [c for c in cards if c["image"]["sha256"] == want["front_sha"]]
                self.assertEqual(len(found), 1, want["front"])
                card = found[0]["card"]
                self.assertEqual(card["lname"], want["ocr"].get("lastName", ""), want["front"])
                self.assertEqual(card["fname"], want["ocr"].get("firstName", ""), want["front"])
                self.assertEqual(card["cname"], want["ocr"].get("company", ""), want["front"])
                self.assertEqual(card["address1"]["email"], want["ocr"].get("email_A", ""), want["front"])
                self.assertEqual(card["group"], "グループ未設定")

    def test_each_front_read_once_in_its_job_language_and_backs_never(self):
        expected = expected_cards()
        for summary, _ in self.each_run():
            read = [(r["image"]["sha256"], r["fields"]["meishiLang"]) for r in summary["ocr"]]
            self.assertEqual(sorted(read), sorted((w["front_sha"], str(w["language"])) for w in expected))

    def test_backs_attached_to_the_right_fronts(self):
        expected = expected_cards()
        self.assertTrue(any(w["back"] for w in expected) and any(not w["back"] for w in expected))
        for summary, _ in self.each_run():
            for want in expected:
                card = next(c for c in summary["cards"] if c["image"]["sha256"] == want["front_sha"])
                if want["back"]:
                    self.assertIsNotNone(card["back"], want["front"])
                    self.assertEqual(card["back"]["sha256"], want["back_sha"], want["front"])
                    self.assertEqual(card["back_uploads"], 1, want["front"])
                else:
                    self.assertIsNone(card["back"], want["front"])
                # One sync report for the registration, one more for the back.
                self.assertEqual(len(card["m_log"]), 2 if want["back"] else 1, want["front"])

    def test_thumbnails_are_200_pixels_on_the_long_side(self):
        for summary, _ in self.each_run():
            for card in summary["cards"]:
                pairs = [(card["image"], card["thumb"])]
                if card["back"]:
                    pairs.append((card["back"], card["back_thumb"]))
                for image, thumb in pairs:
                    self.assertEqual(max(thumb["width"], thumb["height"]), THUMB_LONG_SIDE, card["sync_id"])
                    # The shape is kept (to the pixel the rounding allows).
                    ratio = image["width"] / image["height"]
                    self.assertAlmostEqual(thumb["width"] / thumb["height"], ratio, delta=ratio / 100 + 0.02)
                    self.assertLess(thumb["size"], image["size"])

    def test_scanned_files_deleted_once_sent(self):
        for summary, out in self.each_run():
            for scan in summary["scans"]:
                for path in scan["images"] + [scan["list"]]:
                    self.assertFalse(os.path.exists(path), path)
            self.assertIn("scanned files left behind: 0", out)
            # Only the scans go: the samples and the imported settings stay.
            self.assertTrue(os.path.exists(os.path.join(SAMPLES, "card01_yamada.jpg")))
            self.assertTrue(os.path.exists(os.path.join(self.work, "settings-import", "MeishiPluginSettings.XML")))


class PartlyFailedRunTest(unittest.TestCase):
    """The account can hold six cards: the last two English cards are refused
    (412). The result dialog is answered with Retry, and the settings dialog of
    the retry with Cancel, so the run ends cancelled with those two unsent."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tessaran-e2e-fail-")
        done = subprocess.run(
            ["bash", os.path.join(SOURCE, "tools", "demo.sh"), *DEMO_BUILD, "--work", cls.work,
             "--no-window-manager", "--card-limit", "6", "--answer-dialogs", "result=retry,settings=cancel", "--timeout", "240"],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=540)
        cls.rc, cls.out = done.returncode, done.stdout + done.stderr
        cls.summary = None
        path = os.path.join(cls.work, "summary.json")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                cls.summary = json.load(f)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.assertIsNotNone(self.summary, self.out)

    def test_the_run_is_reported_cancelled_after_the_refused_cards(self):
        self.assertEqual(self.summary["results"], ["00000000", "800704C7"], self.out)
        self.assertNotEqual(self.rc, 0)
        self.assertIn("result=retry: given", self.out)
        self.assertIn("settings=cancel: given", self.out)
        self.assertEqual(len(self.summary["cards"]), 6)

    def test_the_log_names_each_refusal_and_the_cancel(self):
        failures = sorted(line.split("\t")[3] for line in self.summary["log_lines"] if line.split("\t")[1] == "3")
        self.assertEqual(failures, sorted([
            "Upload.DoUploadMeishi Error = 412",
            "Upload.DoUploadMeishi Error = 412",
            "Execute CMeishiServiceSettingDlg CANCEL: error = 800704C7",
            "m_PluginCtrl.Execute: error = 800704C7",
        ]))

    def test_scanned_files_deleted_only_when_sent(self):
        first, second = self.summary["scans"]
        for path in first["images"] + [first["list"]]:
            self.assertFalse(os.path.exists(path), path)
        sent, *refused = second["images"]
        self.assertFalse(os.path.exists(sent), sent)
        for path in refused + [second["list"]]:
            self.assertTrue(os.path.exists(path), path)
        with open(os.path.join(SAMPLES, os.path.basename(refused[0])), "rb") as a, open(refused[0], "rb") as b:
            self.assertEqual(a.read(), b.read(), "a file kept for sending again must be intact")


if __name__ == "__main__":
    unittest.main(verbosity=1)
