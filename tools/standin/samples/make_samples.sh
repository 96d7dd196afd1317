#!/bin/sh
# Regenerates the sample card images (needs ImageMagick and a Japanese font).
# The answer files NAME.json are written by hand; an image that changes needs
# no change there, because answers are found by file name at start-up and
# indexed by the image's SHA-256.
set -eu
cd "$(dirname "$0")"
font=${SAMPLE_FONT:-Noto-Sans-CJK-JP}

convert -size 910x550 xc:white -font "$font" -fill black \
  -pointsize 26 -annotate +60+80 '株式会社みなと精機' \
  -pointsize 22 -annotate +60+130 '営業本部 第二営業部　部長' \
  -pointsize 54 -annotate +60+250 '山田　太郎' \
  -pointsize 20 -annotate +62+290 'やまだ　たろう' \
  -pointsize 20 -annotate +60+400 '〒105-0011 東京都港区芝公園 9-9-9 みなとビル 3F' \
  -pointsize 20 -annotate +60+440 'TEL 03-0000-1234  FAX 03-0000-1235' \
  -pointsize 20 -annotate +60+480 'taro.yamada@minato-seiki.example' \
  -fill "#1f5fa8" -draw "rectangle 0,520 910,550" -type TrueColor -quality 80 -sampling-factor 2x2 yamada_taro.jpg

convert -size 910x550 xc:white -font "$font" -fill black \
  -pointsize 26 -annotate +60+80 'Harbor Lane Instruments Ltd.' \
  -pointsize 54 -annotate +60+220 'Jane Smith' \
  -pointsize 22 -annotate +62+265 'Head of Research' \
  -pointsize 20 -annotate +60+400 '12 Harbor Lane, Portsmouth PO1 2AB' \
  -pointsize 20 -annotate +60+440 'Tel +44 20 0000 0000  Mobile +44 7000 000000' \
  -pointsize 20 -annotate +60+480 'jane.smith@harborlane.example  www.harborlane.example' \
  -fill "#1f5fa8" -draw "rectangle 0,520 910,550" -type TrueColor -quality 80 -sampling-factor 2x2 jane_smith.jpg

convert -size 910x550 xc:'#f4f4f4' -font "$font" -fill '#333333' \
  -pointsize 30 -annotate +60+260 'MINATO SEIKI  — Precision since 1962' \
  -pointsize 20 -annotate +60+320 'www.minato-seiki.example' \
  -fill "#1f5fa8" -draw "rectangle 0,520 910,550" -type TrueColor -quality 80 -sampling-factor 2x2 yamada_taro_back.jpg
