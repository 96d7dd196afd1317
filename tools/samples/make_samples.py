#!/usr/bin/env python3
"""Draws the project's sample business cards and writes their OCR answers.

Every card here is invented for the demo and the end-to-end test: the people,
companies, addresses and numbers do not exist (mail and web addresses use the
reserved .example domain). Each front NAME.jpg gets NAME.json beside it, the
answer the stand-in OCR service gives for that image; backs are never read
through OCR, so they have no answer. jobs.json lists the scan jobs the demo
sends, in scan order.

Usage: make_samples.py [OUTPUT_DIR]   (default: the folder of this script)
Needs ImageMagick's convert and the Noto CJK fonts (tools/setup.sh installs both).
"""
import json
import os
import subprocess
import sys

JA = "Noto-Sans-CJK-JP"
JA_BOLD = "Noto-Sans-CJK-JP-Bold"
WIDTH, HEIGHT = 1000, 600  # 91 x 55 mm at about 280 dpi

# Each card: file stem, the OCR answer (keys as the OCR service names them),
# the lines drawn on the front, and an optional back.
CARDS = [
    {
        "stem": "card01_yamada",
        "accent": "#1f4e79",
        "ocr": {
            "lastName": "山田", "firstName": "太郎",
            "lastNameRuby": "ヤマダ", "firstNameRuby": "タロウ",
            "company": "株式会社ミナト精機", "companyRuby": "ミナトセイキ",
            "title": "課長", "dep": "営業部",
            "zipCode_A": "105-0011", "region_A": "東京都", "locality_A": "港区芝公園",
            "street_A": "1-2-3", "build_A": "ミナトビル5F",
            "phone_A": "03-1234-5678", "fax_A": "03-1234-5679",
            "email_A": "yamada@minato-seiki.example", "url_A": "https://minato-seiki.example/",
        },
        "front": [
            ("株式会社ミナト精機", JA, 30, 80, 110),
            ("営業部 課長", JA, 26, 80, 200),
            ("山田 太郎", JA_BOLD, 64, 80, 290),
            ("〒105-0011 東京都港区芝公園1-2-3 ミナトビル5F", JA, 24, 80, 440),
            ("TEL 03-1234-5678  FAX 03-1234-5679", JA, 24, 80, 485),
            ("yamada@minato-seiki.example  https://minato-seiki.example/", JA, 24, 80, 530),
        ],
        "back": [
            ("Minato Seiki Co., Ltd.", JA, 30, 80, 110),
            ("Manager, Sales Department", JA, 26, 80, 200),
            ("Taro Yamada", JA_BOLD, 60, 80, 290),
            ("Minato Bldg. 5F, 1-2-3 Shibakoen, Minato-ku, Tokyo 105-0011", JA, 22, 80, 440),
            ("Tel +81-3-1234-5678  Fax +81-3-1234-5679", JA, 22, 80, 485),
            ("yamada@minato-seiki.example", JA, 22, 80, 530),
        ],
    },
    {
        "stem": "card02_sato",
        "accent": "#c0392b",
        "ocr": {
            "lastName": "佐藤", "firstName": "花子",
            "lastNameRuby": "サトウ", "firstNameRuby": "ハナコ",
            "company": "さくらデザイン株式会社",
            "title": "アートディレクター", "dep": "クリエイティブ部",
            "zipCode_A": "530-0001", "region_A": "大阪府", "locality_A": "大阪市北区梅田",
            "street_A": "2-4-9",
            "phone_A": "06-6123-4567", "cellPhone_A": "090-1111-2222",
            "email_A": "h.sato@sakura-design.example", "url_A": "https://sakura-design.example/",
        },
        "front": [
            ("さくらデザイン株式会社", JA_BOLD, 30, 80, 110),
            ("クリエイティブ部 アートディレクター", JA, 26, 80, 200),
            ("佐藤 花子", JA_BOLD, 64, 80, 290),
            ("〒530-0001 大阪府大阪市北区梅田2-4-9", JA, 24, 80, 440),
            ("TEL 06-6123-4567  携帯 090-1111-2222", JA, 24, 80, 485),
            ("h.sato@sakura-design.example", JA, 24, 80, 530),
        ],
        "back": [
            ("Sakura Design Inc.", JA_BOLD, 34, 80, 150),
            ("Hanako Sato", JA_BOLD, 56, 80, 270),
            ("Art Director, Creative Division", JA, 26, 80, 330),
            ("https://sakura-design.example/", JA, 24, 80, 500),
        ],
    },
    {
        "stem": "card03_suzuki",
        "accent": "#2e7d32",
        "ocr": {
            "lastName": "鈴木", "firstName": "一郎",
            "company": "北斗物流株式会社",
            "title": "部長", "dep": "物流企画部",
            "zipCode_A": "060-0042", "region_A": "北海道", "locality_A": "札幌市中央区大通西",
            "street_A": "5-7",
            "phone_A": "011-222-3333", "extension_A": "内線 204",
            "email_A": "suzuki@hokuto-logi.example",
            "place_B": "東京営業所", "zipCode_B": "135-0061", "region_B": "東京都",
            "locality_B": "江東区豊洲", "street_B": "3-3-1", "phone_B": "03-5555-0101",
        },
        "front": [
            ("北斗物流株式会社", JA_BOLD, 30, 80, 110),
            ("物流企画部 部長", JA, 26, 80, 200),
            ("鈴木 一郎", JA_BOLD, 64, 80, 290),
            ("本社 〒060-0042 北海道札幌市中央区大通西5-7", JA, 22, 80, 420),
            ("TEL 011-222-3333 (内線 204)", JA, 22, 80, 460),
            ("東京営業所 〒135-0061 東京都江東区豊洲3-3-1  TEL 03-5555-0101", JA, 22, 80, 500),
            ("suzuki@hokuto-logi.example", JA, 22, 80, 540),
        ],
        "back": [
            ("北斗物流の主なサービス", JA_BOLD, 34, 80, 130),
            ("・道内全域の翌日配送", JA, 26, 100, 230),
            ("・冷凍・冷蔵の定温輸送", JA, 26, 100, 290),
            ("・倉庫保管と在庫管理の代行", JA, 26, 100, 350),
            ("お問い合わせ 0120-000-123 (平日 9:00-18:00)", JA, 24, 80, 480),
        ],
    },
    {
        "stem": "card04_takahashi",
        "accent": "#6a1b9a",
        "ocr": {
            "lastName": "高橋", "firstName": "美咲",
            "company": "青葉法律事務所",
            "title": "弁護士",
            "zipCode_A": "980-0811", "region_A": "宮城県", "locality_A": "仙台市青葉区一番町",
            "street_A": "1-9-1", "build_A": "青葉スクエア8階",
            "phone_A": "022-123-4567", "fax_A": "022-123-4568",
            "email_A": "takahashi@aoba-law.example", "url_A": "https://aoba-law.example/",
        },
        "front": [
            ("青葉法律事務所", JA_BOLD, 30, 80, 110),
            ("弁護士", JA, 26, 80, 200),
            ("高橋 美咲", JA_BOLD, 64, 80, 290),
            ("〒980-0811 宮城県仙台市青葉区一番町1-9-1 青葉スクエア8階", JA, 22, 80, 440),
            ("TEL 022-123-4567  FAX 022-123-4568", JA, 22, 80, 485),
            ("takahashi@aoba-law.example  https://aoba-law.example/", JA, 22, 80, 530),
        ],
        "back": [
            ("Aoba Law Office", JA_BOLD, 34, 80, 150),
            ("Misaki Takahashi", JA_BOLD, 56, 80, 270),
            ("Attorney at Law", JA, 26, 80, 330),
            ("Aoba Square 8F, 1-9-1 Ichibancho, Aoba-ku, Sendai", JA, 22, 80, 480),
            ("takahashi@aoba-law.example", JA, 22, 80, 525),
        ],
    },
    {
        "stem": "card05_ito",
        "accent": "#795548",
        "ocr": {
            "lastName": "伊藤", "firstName": "健",
            "company": "伊藤珈琲店",
            "title": "店主",
            "zipCode_A": "600-8001", "region_A": "京都府", "locality_A": "京都市下京区四条通",
            "street_A": "12",
            "phone_A": "075-987-6543",
            "url_A": "https://ito-coffee.example/",
        },
        "front": [
            ("伊藤珈琲店", JA_BOLD, 40, 80, 120),
            ("店主", JA, 26, 80, 200),
            ("伊藤 健", JA_BOLD, 64, 80, 290),
            ("〒600-8001 京都府京都市下京区四条通12", JA, 24, 80, 440),
            ("TEL 075-987-6543  https://ito-coffee.example/", JA, 24, 80, 485),
        ],
    },
    {
        "stem": "card06_carter",
        "accent": "#00838f",
        "ocr": {
            "lastName": "Carter", "firstName": "Emily",
            "company": "Northwind Analytics Ltd.",
            "title": "Head of Data Science", "dep": "Research",
            "zipCode_A": "EC2A 4NE", "region_A": "London", "locality_A": "Shoreditch",
            "street_A": "45 Tabernacle Street",
            "phone_A": "+44 20 7946 0123", "cellPhone_A": "+44 7700 900123",
            "email_A": "emily.carter@northwind-analytics.example",
            "url_A": "https://northwind-analytics.example/",
        },
        "front": [
            ("NORTHWIND ANALYTICS", JA_BOLD, 30, 80, 110),
            ("Emily Carter", JA_BOLD, 60, 80, 230),
            ("Head of Data Science, Research", JA, 26, 80, 285),
            ("45 Tabernacle Street, Shoreditch, London EC2A 4NE", JA, 22, 80, 440),
            ("Office +44 20 7946 0123   Mobile +44 7700 900123", JA, 22, 80, 485),
            ("emily.carter@northwind-analytics.example", JA, 22, 80, 530),
        ],
    },
    {
        "stem": "card07_moreau",
        "accent": "#37474f",
        "ocr": {
            "lastName": "Moreau", "firstName": "Lucas",
            "company": "Harbor & Pine \"Studio\" Architects",
            "title": "Partner / Principal Architect",
            "zipCode_A": "98101", "region_A": "WA", "locality_A": "Seattle",
            "street_A": "1200 Western Ave, Suite 300",
            "phone_A": "+1 206 555 0148", "fax_A": "+1 206 555 0149",
            "email_A": "lucas@harborpine.example", "url_A": "https://harborpine.example/",
        },
        "front": [
            ("Harbor & Pine \"Studio\" Architects", JA_BOLD, 30, 80, 110),
            ("Lucas Moreau", JA_BOLD, 60, 80, 230),
            ("Partner / Principal Architect", JA, 26, 80, 285),
            ("1200 Western Ave, Suite 300, Seattle, WA 98101", JA, 22, 80, 440),
            ("T +1 206 555 0148   F +1 206 555 0149", JA, 22, 80, 485),
            ("lucas@harborpine.example   harborpine.example", JA, 22, 80, 530),
        ],
    },
    {
        "stem": "card08_raman",
        "accent": "#ef6c00",
        "ocr": {
            "lastName": "Raman", "firstName": "Priya",
            "company": "Tidewater Robotics, Inc.",
            "title": "VP Engineering",
            "zipCode_A": "94105", "region_A": "CA", "locality_A": "San Francisco",
            "street_A": "88 Spear Street, Floor 12",
            "phone_A": "+1 415 555 0190",
            "email_A": "priya@tidewater-robotics.example",
            "url_A": "https://tidewater-robotics.example/",
            "skype": "priya.raman.tw",
        },
        "front": [
            ("TIDEWATER ROBOTICS", JA_BOLD, 30, 80, 110),
            ("Priya Raman", JA_BOLD, 60, 80, 230),
            ("VP Engineering", JA, 26, 80, 285),
            ("88 Spear Street, Floor 12, San Francisco, CA 94105", JA, 22, 80, 440),
            ("+1 415 555 0190   Skype priya.raman.tw", JA, 22, 80, 485),
            ("priya@tidewater-robotics.example", JA, 22, 80, 530),
        ],
    },
]

# The scan jobs of the demo, in the order the host would send them.
# A duplex job of Japanese cards (even pages are the backs; the last card has
# none) and a one-sided job of English cards.
JOBS = [
    {
        "name": "両面スキャン (日本語)",
        "guid": "{6B1D2C4E-3F5A-4B7C-8D9E-0A1B2C3D4E01}",
        "EvenNumberImageToBackPage": 1, "OCRLangID": 1, "OCRLangBackID": 2,
        "cards": ["card01_yamada", "card02_sato", "card03_suzuki", "card04_takahashi", "card05_ito"],
    },
    {
        "name": "Single-sided (English)",
        "guid": "{6B1D2C4E-3F5A-4B7C-8D9E-0A1B2C3D4E02}",
        "EvenNumberImageToBackPage": 0, "OCRLangID": 2, "OCRLangBackID": 2,
        "cards": ["card06_carter", "card07_moreau", "card08_raman"],
    },
]


def annotate_args(lines):
    args = []
    for text, font, size, x, y in lines:
        # convert reads '%' escapes in annotation texts; none of the cards has one.
        assert "%" not in text, text
        args += ["-font", font, "-pointsize", str(size), "-annotate", f"+{x}+{y}", text]
    return args


def draw(path, accent, lines, back=False):
    if back:
        base = ["-size", f"{WIDTH}x{HEIGHT}", f"xc:{accent}", "-fill", "#ffffff"]
    else:
        base = ["-size", f"{WIDTH}x{HEIGHT}", "xc:#fbfaf6",
                "-fill", accent, "-draw", f"rectangle 0 0 23 {HEIGHT - 1}",
                "-draw", f"rectangle 80 340 {WIDTH - 80} 343",
                "-fill", "#222222"]
    # -strip and fixed settings keep the output the same on every run.
    subprocess.run(["convert", *base, *annotate_args(lines),
                    "-strip", "-quality", "78", "-sampling-factor", "4:2:0", path], check=True)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out, exist_ok=True)
    for card in CARDS:
        stem = card["stem"]
        draw(os.path.join(out, stem + ".jpg"), card["accent"], card["front"])
        with open(os.path.join(out, stem + ".json"), "w", encoding="utf-8") as f:
            json.dump(card["ocr"], f, ensure_ascii=False, indent=1)
            f.write("\n")
        if "back" in card:
            draw(os.path.join(out, stem + "_back.jpg"), card["accent"], card["back"], back=True)
    with open(os.path.join(out, "jobs.json"), "w", encoding="utf-8") as f:
        jobs = []
        for job in JOBS:
            pages = []
            paired = job["EvenNumberImageToBackPage"] == 1
            for n, stem in enumerate(job["cards"]):
                pages.append(stem + ".jpg")
                has_back = "back" in next(c for c in CARDS if c["stem"] == stem)
                if paired and has_back:
                    pages.append(stem + "_back.jpg")
                # With pairing every page after a front is its back: only the
                # last card of such a job can go without one.
                assert not paired or has_back or n == len(job["cards"]) - 1, stem
            jobs.append({k: v for k, v in job.items() if k != "cards"} | {"pages": pages})
        json.dump({"jobs": jobs}, f, ensure_ascii=False, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
