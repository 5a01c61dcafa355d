#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: frames and streams like the tests' ones."""
import gzip, json, os, struct, sys

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "corpus")


def write(target, name, data):
    os.makedirs(os.path.join(root, target), exist_ok=True)
    with open(os.path.join(root, target, name), "wb") as f:
        f.write(data)


def frame(msg_type, flags, payload, gz=True, seq=1, code=None):
    body = gzip.compress(payload) if gz else payload
    out = bytes([0x11, (msg_type << 4) | flags, 0x10 | (1 if gz else 0), 0])
    if flags & 1:
        out += struct.pack(">i", seq)
    if code is not None:
        out += struct.pack(">I", code)
    return out + struct.pack(">i", len(body)) + body


def result(text, utterances):
    return json.dumps({"result": {"text": text, "utterances": utterances}},
                      ensure_ascii=False).encode()


# fuzz_asr_message: first byte selects a ready session (odd) or one awaiting its answer.
asr = {
    "init": frame(9, 0, b'{"result":{"additions":{"log_id":"x"}}}'),
    "init_failed": frame(9, 0, b'{"code":45000001,"message":"bad"}', gz=False),
    "partial": frame(9, 1, result("你好，请问", [{"definite": False, "text": "你好，请问"}])),
    "definite": frame(9, 1, result("你好。请问什么是多态？", [
        {"definite": True, "text": "你好。", "start_time": 0, "end_time": 900},
        {"definite": True, "text": "请问什么是多态？"},
        {"definite": False, "start_time": -1, "end_time": -1, "text": ""}])),
    "last": frame(9, 3, result("你好。", [{"definite": True, "text": "你好。"}]), seq=7),
    "error": frame(15, 0, b'{"error":"[Timeout waiting next packet]"}', code=45000081),
    "error_short": bytes([0x11, 0xF0, 0x10, 0, 0x02, 0xAE, 0xA5, 0x41, 0, 0, 0, 0]),
    "short": bytes([0x11, 0x90, 0x11]),
    "bad_json": frame(9, 0, b'{"result":{"text":"a","utterances":[5]}}'),
}
for name, data in asr.items():
    write("fuzz_asr_message", name + "_ready", b"\x01" + data)
    write("fuzz_asr_message", name + "_init", b"\x00" + data)

# fuzz_event_stream: one byte N, N cut lengths, then the stream.
def chunk(content):
    return ("data: " + json.dumps({"choices": [{"index": 0, "delta": {"content": content}}]},
                                  ensure_ascii=False) + "\n\n").encode()

stream = (b": keep-alive\n\n"
          b'data: {"choices":[{"index":0,"delta":{"role":"assistant","content":""}}]}\n\n'
          + chunk("## 多态\n") + chunk("- **重写**") + chunk("😀 emoji")
          + b'data: {"choices":[{"delta":{"content":null}}]}\n\n'
          + b'data: {"choices":[{"index":0,"delta":{},"finish_reason":"stop"}],"usage":{}}\n\n'
          + b"data:[DONE]\n" + b"data: [DONE]\n\n")
write("fuzz_event_stream", "whole", b"\x00" + stream)
write("fuzz_event_stream", "cut", bytes([5, 7, 13, 2, 1, 40]) + stream)
write("fuzz_event_stream", "bytewise", bytes([30]) + bytes([1] * 30) + chunk("逐字节中文"))
# A four-byte character whose first three bytes arrive in one read.
emoji = chunk("答😀案")
write("fuzz_event_stream", "four_byte_character_split_after_three",
      bytes([1, emoji.index("😀".encode()) + 3]) + emoji)
