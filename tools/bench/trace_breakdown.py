"""Where a run's time went, from the host simulator's record of the plug-in's
calls (tools/hostsim/CallTrace.cpp): every instant of the run's thread
inside Execute goes to exactly one category, the most specific one that
covers it. A log line, a message to the progress dialog or a wait counts as
itself wherever it happens, except the wait for a request's own answer
(requests are asynchronous: the run's thread waits while one is out), which
is the request's; otherwise the request or thumbnail under way;
otherwise a file operation of the plug-in's; otherwise the rest (parsing,
building bodies, the run's own steps)."""

CATEGORIES = ["OCR request", "sync ID", "thumbnail", "registration", "back", "report", "logon and logoff",
              "other requests", "progress calls", "logging", "waits and pauses", "files outside requests",
              "the rest", "the record itself"]
PER_CARD = {"OCR request", "sync ID", "registration", "back", "report"}
LEAF = {"SendMessage": "progress calls", "PostMessage": "progress calls", "Log": "logging",
        "Wait": "waits and pauses", "Sleep": "waits and pauses"}
# The host simulator's own work for the record, never the plug-in's.
RECORD = {"TraceFlush", "Memory"}
FILES = {"CreateFile", "ReadFile", "WriteFile", "DeleteFile"}
LONG_WAIT_US = 50000


def request_category(detail):
    path = detail.split(" ", 1)[1] if " " in detail else detail
    if path.startswith("/CardOCR/cardocr"):
        return "OCR request"
    if path.startswith("/service/m_newsyncid/"):
        return "sync ID"
    if path.startswith("/service/m_card/backimage/"):
        return "back"
    if path.startswith("/service/m_card/"):
        return "registration"
    if path.startswith("/service/m_log/"):
        return "report"
    if path.startswith("/service/m_login") or path.startswith("/service/m_logout"):
        return "logon and logoff"
    return "other requests"


class Breakdown:
    def __init__(self):
        self.execute_ms = 0.0
        self.per_card = {}  # category: ms over the card loop
        self.once = {"start": {}, "end": {}}  # before the first card, after the last
        self.thumbnail_ms = 0.0
        self.long_waits = []
        self.private_bytes = []  # before each card's OCR request


def _events(path):
    events = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) < 6:
                continue
            events.append((float(parts[0]), float(parts[1]), parts[2], parts[3], parts[4], parts[5]))
    events.sort(key=lambda e: (e[0], -e[1]))
    return events


def read(path):
    events = _events(path)
    executes = [e for e in events if e[3] == "Host" and e[5] == "Execute"]
    result = Breakdown()
    if not executes:
        return result
    begin, end, thread = executes[0][0], executes[0][1], executes[0][2]
    result.execute_ms = (end - begin) / 1000.0
    # The record's flushes may fall to any thread; they are the record's wherever.
    mine = [e for e in events if (e[2] == thread or e[3] == "TraceFlush") and begin <= e[0] <= end]

    # (begin, end, priority, category) of everything that claims time.
    spans = []
    opened = {}
    thumbnail_start = None
    for b, e, _thread, kind, handle, detail in mine:
        if kind == "HttpOpenRequest":
            opened[handle] = (b, request_category(detail))
        elif kind == "InternetCloseHandle" and handle in opened:
            start, category = opened.pop(handle)
            spans.append((start, e, 2, category))
        if kind in RECORD:
            spans.append((b, e, 4, "the record itself"))
            if kind == "Memory":
                result.private_bytes.append(int(detail.split()[0].split("=")[1]))
        if kind == "Wait" and opened:
            continue  # waiting for the answer of the request under way
        if kind in LEAF:
            spans.append((b, e, 3, LEAF[kind]))
            if kind in ("Wait", "Sleep") and e - b >= LONG_WAIT_US:
                result.long_waits.append("%s %s: %.0f ms, %.0f ms after Execute began"
                                         % (kind, detail, (e - b) / 1000.0, (b - begin) / 1000.0))
        elif kind in FILES:
            spans.append((b, e, 1, "files outside requests"))
        if kind == "Log" and "CreateThumbnailImage" in detail:
            if detail.endswith("CreateThumbnailImage start"):
                thumbnail_start = b
            elif thumbnail_start is not None:
                spans.append((thumbnail_start, e, 2, "thumbnail"))
                thumbnail_start = None

    card_spans = [s for s in spans if s[3] in PER_CARD]
    if card_spans:
        loop_begin = min(s[0] for s in card_spans)
        loop_end = max(s[1] for s in card_spans)
    else:
        loop_begin = loop_end = begin
    windows = [(begin, loop_begin, result.once["start"]), (loop_begin, loop_end, result.per_card),
               (loop_end, end, result.once["end"])]

    # A sweep over every boundary: each piece goes to the highest-priority
    # span covering it (the latest begun among equals).
    points = sorted({begin, end, loop_begin, loop_end}
                    | {p for s in spans for p in (s[0], s[1]) if begin <= p <= end})
    starts = sorted(spans, key=lambda s: s[0])
    active = []
    index = 0
    for left, right in zip(points, points[1:]):
        while index < len(starts) and starts[index][0] <= left:
            active.append(starts[index])
            index += 1
        active = [s for s in active if s[1] > left]
        covering = [s for s in active if s[0] <= left and s[1] >= right]
        category = max(covering, key=lambda s: (s[2], s[0]))[3] if covering else "the rest"
        for low, high, totals in windows:
            overlap = min(right, high) - max(left, low)
            if overlap > 0:
                totals[category] = totals.get(category, 0.0) + overlap / 1000.0
    result.thumbnail_ms = result.per_card.get("thumbnail", 0.0)
    return result
