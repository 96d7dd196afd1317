"""Writes a settings file ("MeishiPluginSettings.XML") holding prepared scan
jobs with an account, the way the plug-in itself writes it, so that the demo
can hand it to the plug-in through the host's Import, as a host restoring its
saved settings would.

The token is enciphered exactly as the plug-in does: RC4 with the first 16
bytes of the SHA-1 of the pass phrase's first 24 bytes (its UTF-16LE code
units, counted in characters, not bytes), over the token's UTF-16LE bytes;
then Base64 on one line.
"""
import base64
import hashlib
from xml.sax.saxutils import escape

PASS_PHRASE = "K3QW9ZT5MN2XR8VJ4HBD6LFC"


def _rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    out = bytearray()
    i = j = 0
    for byte in data:
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        out.append(byte ^ s[(s[i] + s[j]) & 0xFF])
    return bytes(out)


def encipher_token(token, pass_phrase=PASS_PHRASE):
    if not token:
        return ""
    # Only as many bytes of the pass phrase as it has characters take part.
    key_bytes = pass_phrase.encode("utf-16-le")[:len(pass_phrase)]
    key = hashlib.sha1(key_bytes).digest()[:16]
    return base64.b64encode(_rc4(key, token.encode("utf-16-le"))).decode("ascii")


def settings_xml(jobs):
    """jobs: dicts with guid, mail, token, and optionally user name, pairing and the two languages."""
    items = []
    for job in jobs:
        items.append(
            "<Item>"
            f"<Guid>{job['guid'].upper()}</Guid>"
            f"<MailAddress>{escape(job['mail'])}</MailAddress>"
            f"<Username>{escape(job.get('username', ''))}</Username>"
            f"<AppToken>{encipher_token(job['token'])}</AppToken>"
            f"<EvenNumberImageToBackPage>{int(job.get('EvenNumberImageToBackPage', 0))}</EvenNumberImageToBackPage>"
            f"<OCRLangID>{int(job.get('OCRLangID', 1))}</OCRLangID>"
            f"<OCRLangBackID>{int(job.get('OCRLangBackID', 2))}</OCRLangBackID>"
            "</Item>")
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<PluginItem>" + "".join(items) + "</PluginItem>\r\n"


def write_settings_file(path, jobs):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(settings_xml(jobs))
