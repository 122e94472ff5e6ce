"""Checks the codec against the independent model in blowfish_reference.py.

Usage: test_codec_reference.py PATH_TO_GATEKIT

1. The known-answer vectors in blowfish_golden_vectors.txt follow from the model.
2. What gatekit encrypts, the model decrypts, and the other way round, at every length 0..40.
3. gatekit's six-bit text equals base64 with the gateway's alphabet.
4. gatekit's token challenge and token answer open with the model and the development keys, and
   with keys from an operator's key file.
5. gatekit's launch block deciphers, with the model, to the documented layout.
"""

import base64
import hashlib
import os
import random
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import blowfish_reference as ref  # noqa: E402

GATEKIT = None
HERE = os.path.dirname(os.path.abspath(__file__))

# The development keys (plain values, shared with client developers) and the program's pass
# phrases for stored secrets and for the launch block.
DEV_CHALLENGE_KEY = "{9FDF2573-5C9E-4673-B267-E7E8FE41F9FE}"
DEV_ANSWER_KEY = "81vtD5R98U86m9V7QU"
SOURCE_PHRASE = (
    "C8A1B8CC-209B-40AD-89EC-8A05C5578ACC-013AA82A-108C-4E09-A896-4670E0E0A0BA"
    "55241494-2FB3-41CC-A467-8D7F53684B1B-4F2219E4-32C6-41EA-B4FB-1FB2136BB07B"
    "A40F01BF-BD8B-4488-A25E-CDDC12318BE9-646774A0-EAA9-45C2-90A9-BB17F419E3A7")
DATA_PHRASE = "8C8B65F1-023F-4F3F-8133-AFEFC8F08D33-B85CA5B9-0A24-489A-BB15-4796A2C9363D"


def gatekit(*args, cwd=None):
    result = subprocess.run([GATEKIT, *args], capture_output=True, text=True, cwd=cwd,
                            timeout=60, check=False)
    if result.returncode != 0:
        raise AssertionError(f"gatekit {args} failed: {result.stderr}")
    assert result.stdout.endswith("\n") and result.stdout.count("\n") == 1, result.stdout
    return result.stdout[:-1]


def md5_hex(text):
    return hashlib.md5(text.encode("ascii")).hexdigest().upper()


class ReferenceModelTest(unittest.TestCase):
    def setUp(self):
        self.rng = random.Random(5)
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def test_golden_vectors_follow_from_the_model(self):
        count = 0
        with open(os.path.join(HERE, "blowfish_golden_vectors.txt"), encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                if not line or line.startswith("#"):
                    continue
                password, iv, plain, cipher = line.split("\t")
                model = ref.Cipher(password)
                sealed = model.encrypt(bytes.fromhex(plain), bytes.fromhex(iv))
                self.assertEqual(base64.b64encode(sealed).decode(), cipher, line)
                self.assertEqual(model.decrypt(sealed), bytes.fromhex(plain))
                count += 1
        self.assertGreaterEqual(count, 20)

    def test_gatekit_and_model_read_each_other(self):
        alphabet = "abcXYZ019 网关{}-"
        for n in range(0, 41):
            text = "".join(self.rng.choice(alphabet) for _ in range(n))
            password = self.rng.choice(["ab", "Pelvane", "密码测试", "x" * 28, "y" * 29, "z" * 60])
            sealed = gatekit("blowfish-encrypt", "--password", password, text)
            self.assertEqual(len(base64.b64decode(sealed)), 0 if n == 0 else 8 + 2 * n)
            self.assertEqual(ref.decrypt_string(sealed, password), text, (n, password))
            if n:
                mine = ref.encrypt_string(text, password, os.urandom(8))
                self.assertEqual(gatekit("blowfish-decrypt", "--password", password, mine), text)

    def test_sixbit_is_base64_with_the_gateway_alphabet(self):
        for n in range(0, 25):
            data = bytes(self.rng.randrange(256) for _ in range(n))
            text = gatekit("sixbit-encode", data.hex())
            self.assertEqual(text, ref.sixbit_encode(data))
            self.assertEqual(gatekit("sixbit-decode", text), data.hex())

    def check_handshake(self, challenge_key, answer_key, cwd):
        token = "{%08X-0000-4000-8000-%012X}" % (self.rng.getrandbits(32), self.rng.getrandbits(48))
        challenge = gatekit("token-challenge", token, cwd=cwd)
        opened = ref.decrypt_string(ref.sixbit_decode(challenge).decode("ascii"), challenge_key)
        self.assertEqual(opened, token)

        answer = gatekit("token-answer", challenge, cwd=cwd)
        received = ref.decrypt_string(ref.sixbit_decode(answer).decode("ascii"), answer_key)
        self.assertEqual(received, md5_hex(md5_hex(token)))

        # A client built on the model: its answer is what the gateway expects.
        mine = ref.sixbit_encode(ref.encrypt_string(md5_hex(md5_hex(token)), answer_key,
                                                    os.urandom(8)).encode("ascii"))
        self.assertEqual(ref.decrypt_string(ref.sixbit_decode(mine).decode(), answer_key),
                         received)

    def test_token_handshake_with_development_keys(self):
        self.check_handshake(DEV_CHALLENGE_KEY, DEV_ANSWER_KEY, self.tmp.name)

    def test_token_handshake_with_an_operators_key_file(self):
        challenge_key, answer_key = "production challenge key 2026", "production answer"
        with open(os.path.join(self.tmp.name, "GateKeys.txt"), "w", encoding="ascii") as f:
            f.write("# challenge key, then answer key\r\n")
            f.write(ref.encrypt_string(challenge_key, SOURCE_PHRASE, os.urandom(8)) + "\r\n")
            f.write(ref.encrypt_string(answer_key, SOURCE_PHRASE, os.urandom(8)) + "\r\n")
        self.check_handshake(challenge_key, answer_key, self.tmp.name)
        self.assertEqual(gatekit("decipher", ref.encrypt_string("x", SOURCE_PHRASE, bytes(8))), "x")

    def test_launch_block_layout(self):
        text = gatekit("launch-block", "--gate", "0.0.0.0:7300", "--logic", "127.0.0.1:5001",
                       "--login", "10.0.0.2:5500", "--db", "10.0.0.3:6000", "--gate-number", "3",
                       "--controller", "4660", "--pressure-test", "--profiling")
        block = ref.Cipher(DATA_PHRASE).decrypt(base64.b64decode(text))
        self.assertEqual(len(block), 400)

        def addr(off):
            return block[off + 1:off + 1 + block[off]].decode("ascii")

        self.assertEqual(block[0], 1)
        self.assertEqual(block[1], 3)
        self.assertEqual(struct.unpack_from("<I", block, 4)[0], 4660)
        self.assertEqual((addr(8), struct.unpack_from("<i", block, 76)[0]), ("0.0.0.0", 7300))
        self.assertEqual((addr(80), struct.unpack_from("<i", block, 148)[0]), ("127.0.0.1", 5001))
        self.assertEqual((addr(152), struct.unpack_from("<i", block, 220)[0]), ("10.0.0.2", 5500))
        self.assertEqual((addr(224), struct.unpack_from("<i", block, 292)[0]), ("10.0.0.3", 6000))
        self.assertEqual(block[397], 1)
        self.assertEqual(block[296:397], bytes(101))


if __name__ == "__main__":
    GATEKIT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
