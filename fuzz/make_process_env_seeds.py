#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the seed inputs of process_env_fuzzer into corpus/process_env_fuzzer.

The fuzzer reads its input through FuzzedDataProvider: strings from the front
(a backslash followed by any other byte ends one), every choice as one byte
from the back. Each seed below is a script of operations spelled in those
terms, so the seeds start the fuzzer on the cases that matter.
"""
import pathlib

NAMES = [b"TARN_A", b"TARN_B", b"tarn_a", b"TARN_A=", b"TARN_A=B", b"TARN_A\0B", b"\0",
         b"=", b"", b"\x80", b"\xff\xfe", b"PATH"]
FIXED_VALUES = [b"=", b"a=b", b"\0", b"x\0y", b"\xc3\x28"]
LONG_FILLS = [b"v", b"=", b"\xff"]
OPS = ["set", "set_many", "unset", "read", "snapshot", "printenv", "clearenv"]


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # choices in the order they are consumed

    def choose(self, index):
        self.back.append(index)

    def string(self, text):
        self.front += text.replace(b"\\", b"\\\\") + b"\\ "

    def name(self, name):
        if name in NAMES:
            self.choose(1)
            self.choose(NAMES.index(name))
        else:
            self.choose(0)
            self.string(name)

    def value(self, value, pooled_name):
        if value == b"":
            self.choose(0)
        elif value in FIXED_VALUES:
            self.choose(1)
            self.choose(FIXED_VALUES.index(value))
        elif pooled_name and isinstance(value, tuple):  # ("long", fill)
            self.choose(2)
            self.choose(LONG_FILLS.index(value[1]))
        else:
            self.choose(3)
            self.string(value)

    def op(self, op, *args):
        self.choose(OPS.index(op))
        if op == "set":
            name, value = args
            self.name(name)
            self.value(value, name in NAMES)
        elif op == "set_many":
            self.choose(len(args))
            for name, value in args:
                self.name(name)
                self.value(value, name in NAMES)
        elif op in ("unset",):
            self.name(args[0])
        elif op == "read":
            name, accept_empty = args
            self.name(name)
            self.choose(1 if accept_empty else 0)
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


SEEDS = {
    "set_read_list": Seed().op("set", b"TARN_A", b"one").op("read", b"TARN_A", False)
    .op("set", b"TARN_A", b"two").op("printenv").op("snapshot"),
    "refused_names": Seed().op("set", b"", b"x").op("set", b"=", b"x").op("set", b"TARN_A=B", b"x")
    .op("set", b"TARN_A\0B", b"x").op("unset", b"").op("unset", b"TARN_A=").op("unset", b"\0")
    .op("snapshot"),
    "refused_values": Seed().op("set", b"TARN_A", b"kept").op("set", b"TARN_A", b"x\0y")
    .op("set", b"TARN_B", b"\0").op("read", b"TARN_A", False),
    "name_with_equals_read": Seed().op("set", b"TARN_A", b"B=x").op("read", b"TARN_A=B", True)
    .op("set", b"TARN_A", b"=").op("read", b"TARN_A=", True),
    "empty_values": Seed().op("set", b"TARN_B", b"").op("read", b"TARN_B", False)
    .op("read", b"TARN_B", True).op("read", b"tarn_a", True),
    "long_values": Seed().op("set", b"TARN_A", ("long", b"v")).op("set", b"TARN_B", ("long", b"="))
    .op("set", b"\x80", ("long", b"\xff")).op("printenv").op("read", b"TARN_B", False),
    "set_many_mixed": Seed().op("set_many", (b"TARN_A", b"1"), (b"=", b"x"), (b"TARN_B", b"a=b"),
                                (b"TARN_A\0B", b"y")).op("snapshot"),
    "high_bytes_order": Seed().op("set", b"\xff\xfe", b"4").op("set", b"\x80", b"3")
    .op("set", b"\xc3\xa9", b"2").op("set", b"tarn_a", b"1").op("set", b"TARN_A", b"0").op("printenv"),
    "clear_then_list": Seed().op("set", b"TARN_A", b"1").op("clearenv").op("printenv")
    .op("snapshot").op("set", b"PATH", b"/bin").op("unset", b"PATH").op("unset", b"PATH"),
}

if __name__ == "__main__":
    out = pathlib.Path(__file__).resolve().parent / "corpus" / "process_env_fuzzer"
    out.mkdir(parents=True, exist_ok=True)
    for name, seed in SEEDS.items():
        (out / name).write_bytes(seed.data())
