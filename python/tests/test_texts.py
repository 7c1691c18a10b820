"""Texts through the package against the built library: the lines the library's own unit tests
expect, the language argument, argument checks, and packet lengths."""

import unittest

import pelmoraerri

FD_POWER_ON = bytes([0xFD, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF9])
FD_ERASING = bytes([0xFD, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD3])

# code, English bytes, Chinese text
ERROR_CASES = [
    (0x1107, b"BLKC: Chip no Response!", "查  空：芯片无响应!"),
    (0x1000, b"INIT\xA3\xBASuccess!", "初始化：Success!"),
    (0x4010, b"Error: Open COM port error!", "Error: 打开COM口错误!"),
    (0x4011, b"Else: Opertaion Failed! Error Code = 016401/0x4011.",
     "其他：操作失败！错误代码 = 016401/0x4011."),
    (0xFFFF, b"Error: Chip Return Error Code=0x7FFF.", "Error: 芯片错误信息返回，错误代码=0x7FFF."),
    (0x0000, b"Success!", "Success!"),
]

# packet, text of GetStatuInfomationStrRT
STATUS_CASES = [
    (FD_POWER_ON, "Power On Self Data Checking......"),
    (bytes([0xFD, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8]), ""),  # wrong check byte
    (bytes([0xFD, 0xF0, 0x06, 0x34, 0x12, 0x78, 0x56, 0xF9]),
     "Progrmming Completed : Successed!, Chip CRC16=0x1234,ACC16=0x5678."),
    (bytes([0xFA, 0x4A]), "Unlock Debug Failed! Exit!"),
    (bytes([0xFB, 0xA5, 4, 0x12, 0x34, 0xAB, 0xCD]), "Chip UID : 12 34 AB CD"),
    (bytes([0xFB, 0x53, 3, 0x4F, 0x00, 0x4B]), "Info: O"),
    (bytes([0xFB, 0x93, 0]), "Challenge Keys :"),
    (bytes([0xFC]), ""),
    (bytes([0x41]), "Unkow Information!"),
]


class ErrorTextTest(unittest.TestCase):
    def test_known_codes_in_both_languages(self) -> None:
        for code, english, chinese in ERROR_CASES:
            with self.subTest(code=hex(code)):
                self.assertEqual(pelmoraerri.error_text(code), english.decode("cp936"))
                self.assertEqual(pelmoraerri.error_text(code, "en"), english.decode("cp936"))
                self.assertEqual(pelmoraerri.error_text(code, "cn"), chinese)
                self.assertEqual(pelmoraerri.GetEglishErrorMessageinformationRTX(code), english)
                self.assertEqual(pelmoraerri.GetChineseErrorMessageinformationRTX(code),
                                 chinese.encode("cp936"))

    def test_raw_language_selector_uses_low_16_bits(self) -> None:
        chinese = "查  空：芯片无响应!".encode("cp936")
        english = b"BLKC: Chip no Response!"
        for language, expected in [(4, chinese), (0x10004, chinese), (0x0804, english),
                                   (0, english), (0xFFFFFFFF, english)]:
            with self.subTest(language=hex(language)):
                self.assertEqual(pelmoraerri.GetErrorMessageinformationRTX(0x1107, language),
                                 expected)
        # The raw exports pass the whole 32-bit code on; the library uses its low 16 bits.
        self.assertEqual(pelmoraerri.GetEglishErrorMessageinformationRTX(0x14010),
                         b"Error: Open COM port error!")

    def test_bad_arguments(self) -> None:
        for call in [lambda: pelmoraerri.error_text(-1), lambda: pelmoraerri.error_text(0x10000),
                     lambda: pelmoraerri.error_text(0x1107, "zh"),
                     lambda: pelmoraerri.error_text(0x1107, "EN"),
                     lambda: pelmoraerri.error_text(0x1107, 4),  # type: ignore[arg-type]
                     lambda: pelmoraerri.GetEglishErrorMessageinformationRTX(-1),
                     lambda: pelmoraerri.GetErrorMessageinformationRTX(1, 1 << 32)]:
            with self.assertRaises(ValueError):
                call()
        with self.assertRaises(TypeError):
            pelmoraerri.error_text("0x1107")  # type: ignore[arg-type]


class StatusTextTest(unittest.TestCase):
    def test_known_packets(self) -> None:
        for packet, text in STATUS_CASES:
            with self.subTest(packet=packet.hex()):
                self.assertEqual(pelmoraerri.status_text(packet), text)
                self.assertEqual(pelmoraerri.GetStatuInfomationStrRT(packet), text.encode())

    def test_packet_kinds_and_raw_decoders(self) -> None:
        self.assertEqual(pelmoraerri.status_text(bytearray(FD_ERASING)), "Do Chip Erasing....")
        self.assertEqual(pelmoraerri.status_text(memoryview(b"xx" + FD_ERASING)[2:]),
                         "Do Chip Erasing....")
        # The per-type decoders ignore the type byte; FC and FE read nothing at all.
        self.assertEqual(pelmoraerri.GetPktFAxStatuInfomationStrRT(b"\xFD\x40"),
                         b"No AES Keys Reseived, TmeOut!")
        self.assertEqual(pelmoraerri.GetPktFDxStatuInfomationStrRT(FD_POWER_ON),
                         b"Power On Self Data Checking......")
        self.assertEqual(pelmoraerri.GetPktFBxStatuInfomationStrRT(b"\xFB\x44\x01\x0A"),
                         b"DATA:  0A")
        for function in (pelmoraerri.GetPktFCxStatuInfomationStrRT,
                         pelmoraerri.GetPktFExStatuInfomationStrRT):
            self.assertEqual(function(FD_POWER_ON), b"")
            self.assertEqual(function(b""), b"")
        self.assertEqual(pelmoraerri.GetStatuInfomationStrRT(None), b"")
        # Bytes that are not code page 936 are replaced, not an exception.
        self.assertEqual(pelmoraerri.status_text(b"\xFB\x53\x02\x4F\xFF"), "Info: O\ufffd")

    def test_full_fb_list(self) -> None:
        packet = bytes([0xFB, 0xA5, 255]) + bytes(range(255))
        expected = "Chip UID :" + "".join(" %02X" % i for i in range(255))
        self.assertEqual(pelmoraerri.status_text(packet), expected)

    def test_packets_shorter_than_their_decoder_reads(self) -> None:
        short = [
            (pelmoraerri.status_text, b""),
            (pelmoraerri.status_text, b"\xFA"),
            (pelmoraerri.status_text, b"\xFB\x53"),
            (pelmoraerri.status_text, b"\xFB\x53\x03OK"),  # count 3, two bytes given
            (pelmoraerri.status_text, FD_POWER_ON[:7]),
            (pelmoraerri.GetPktFAxStatuInfomationStrRT, b"\xFA"),
            (pelmoraerri.GetPktFBxStatuInfomationStrRT, b"\xFB\x53\xFF" + bytes(254)),
            (pelmoraerri.GetPktFDxStatuInfomationStrRT, b"\x00" * 7),
        ]
        for function, packet in short:
            with self.subTest(function=function.__name__, packet=packet.hex()):
                with self.assertRaises(ValueError):
                    function(packet)
        for bad in (None, "FD0A", 5, [0xFD]):
            with self.assertRaises(TypeError):
                pelmoraerri.status_text(bad)  # type: ignore[arg-type]

    def test_a_later_call_leaves_earlier_results_alone(self) -> None:
        # The library reuses its per-thread texts; what the package returned must be a copy.
        first = pelmoraerri.GetEglishErrorMessageinformationRTX(0x1107)
        second = pelmoraerri.error_text(0x4010, "cn")
        pelmoraerri.GetChineseErrorMessageinformationRTX(0x0021)
        statuses = [pelmoraerri.status_text(FD_POWER_ON), pelmoraerri.status_text(FD_ERASING),
                    pelmoraerri.status_text(b"\x41")]
        self.assertIs(type(first), bytes)
        self.assertEqual(first, b"BLKC: Chip no Response!")
        self.assertEqual(second, "Error: 打开COM口错误!")
        self.assertEqual(statuses, ["Power On Self Data Checking......", "Do Chip Erasing....",
                                    "Unkow Information!"])


if __name__ == "__main__":
    unittest.main()
