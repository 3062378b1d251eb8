#!/usr/bin/env python3
"""An independent reference for the client's indented output, written from the output rules
alone: keys in byte order, two-blank indentation, minimal escapes, shortest doubles with fixed
notation for decimal exponents -5..15. Reads a reply payload, prints what the client must print.
It covers what the benchmark payloads hold (no -0, no integers beyond 64 bits)."""
import json
import sys


def double(value):
    if value != value or value in (float("inf"), float("-inf")):
        return "null"
    sign = "-" if value < 0 or (value == 0 and str(value).startswith("-")) else ""
    value = abs(value)
    if value == 0:
        return sign + "0.0"
    # The shortest digits that read back: repr() gives them; take its digits and exponent.
    text = repr(value)
    if "e" in text:
        digits_part, exp_part = text.split("e")
        exponent = int(exp_part)
        digits = digits_part.replace(".", "")
    else:
        whole, _, frac = text.partition(".")
        frac = frac.rstrip("0")
        if whole != "0":
            digits = (whole + frac).rstrip("0") or "0"
            exponent = len(whole) - 1
        else:
            stripped = frac.lstrip("0")
            exponent = -(len(frac) - len(stripped)) - 1
            digits = stripped
    digits = digits.rstrip("0") or "0"
    if -5 <= exponent <= 15:
        if exponent >= 0:
            integral = exponent + 1
            if len(digits) <= integral:
                return sign + digits + "0" * (integral - len(digits)) + ".0"
            return sign + digits[:integral] + "." + digits[integral:]
        return sign + "0." + "0" * (-exponent - 1) + digits
    rest = "." + digits[1:] if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{'-' if exponent < 0 else '+'}{abs(exponent)}"


ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def string(text):
    out = []
    for ch in text:
        if ch in ESCAPES:
            out.append(ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def write(value, depth, out):
    if value is None:
        out.append("null")
    elif value is True:
        out.append("true")
    elif value is False:
        out.append("false")
    elif isinstance(value, int):
        out.append(str(value))
    elif isinstance(value, float):
        out.append(double(value))
    elif isinstance(value, str):
        out.append(string(value))
    elif isinstance(value, list):
        if not value:
            out.append("[]")
            return
        out.append("[")
        for i, item in enumerate(value):
            out.append(("," if i else "") + "\n" + "  " * (depth + 1))
            write(item, depth + 1, out)
        out.append("\n" + "  " * depth + "]")
    else:
        if not value:
            out.append("{}")
            return
        out.append("{")
        for i, key in enumerate(sorted(value, key=lambda k: k.encode())):
            out.append(("," if i else "") + "\n" + "  " * (depth + 1) + string(key) + ": ")
            write(value[key], depth + 1, out)
        out.append("\n" + "  " * depth + "}")


def main():
    with open(sys.argv[1], "rb") as payload:
        value = json.loads(payload.read().decode())
    out = []
    write(value, 0, out)
    sys.stdout.buffer.write(("".join(out) + "\n").encode())


if __name__ == "__main__":
    main()
