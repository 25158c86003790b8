"""The Wine runner reads messages from Wine's relay trace; a misreading there
would let a wrong caption, style or owner pass, so the reader is pinned here."""
import unittest

from runner import parse_relay_trace

CALL = '0114:Call user32.MessageBoxA({},0021f8c0 "{}",14000b050 "{}",{}) ret=140001960'


class RelayTrace(unittest.TestCase):
    def test_message_box_calls(self):
        cases = [
            ("error", CALL.format("00000000", "Usage: Z:\\\\a b\\\\x.exe", "DXTC Conversion",
                                  "00000010"),
             [("error", "Usage: Z:\\a b\\x.exe")]),
            ("information", CALL.format("00000000", "Conversion to TGA complete.", "DXTC Conversion",
                                        "00000040"),
             [("information", "Conversion to TGA complete.")]),
            ("escapes", CALL.format("00000000", 'a\\"b\\nc\\x01\\\\', "DXTC Conversion", "00000010"),
             [("error", 'a"b\nc\x01\\')]),
            ("utf-8", CALL.format("00000000", "\\xce\\xbc \\xf0\\x9f\\x98\\x80 \\xce",
                                  "DXTC Conversion", "00000010"),
             [("error", "\u03bc \U0001f600 \ufffd")]),
            ("owner", CALL.format("00010020", "t", "DXTC Conversion", "00000010"),
             [("error (owner 00010020, caption 'DXTC Conversion')", "t")]),
            ("caption", CALL.format("00000000", "t", "Error", "00000040"),
             [("information (owner 00000000, caption 'Error')", "t")]),
            ("style", CALL.format("00000000", "t", "DXTC Conversion", "00000030"), [("style 0x30", "t")]),
            ("shortened", '0114:Call user32.MessageBoxA(00000000,0021f8c0 "Usage: xxx"...,14000b050 '
                          '"DXTC Conversion",00000010) ret=140001960',
             [("unreadable", '0114:Call user32.MessageBoxA(00000000,0021f8c0 "Usage: xxx"...,14000b050 '
                             '"DXTC Conversion",00000010) ret=140001960')]),
            ("noise", "0114:fixme:msg:pack_message msg 14 (WM_ERASEBKGND) not supported\n"
                      '0114:Call user32.MessageBoxW(00060064,0021eb90 L"File already exists.",'
                      "00000000,00000034) ret=222edacbd\n"
                      "0114:Ret  user32.MessageBoxA() retval=00000001 ret=140001960", []),
        ]
        for name, trace, expected in cases:
            with self.subTest(name):
                self.assertEqual(parse_relay_trace(trace), expected)


if __name__ == "__main__":
    unittest.main()
