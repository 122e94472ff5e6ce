"""An independent model of the gateway's password-based Blowfish format.

The block function is PyCryptodome's Blowfish in ECB mode; everything around it (key from the
password, IV in front, CFB-8 for short messages, CBC with the tail-stealing step, base64) is
written here again from the format's description, so that the C++ code and this model only
agree when both follow it.

PyCryptodome accepts Blowfish keys of 4 to 56 bytes, so passwords of 1 code unit cannot be
modelled here.
"""

import base64
import hashlib

from Cryptodome.Cipher import Blowfish

BLOCK = 8


def key_from_password(password: str) -> bytes:
    if not password:
        raise ValueError("Codec.Init - No password.")
    units = password.encode("utf-16-le")
    return units if len(units) <= 56 else hashlib.sha1(units).digest()


def _xor(a: bytes, b: bytes) -> bytes:
    return bytes(x ^ y for x, y in zip(a, b))


class Cipher:
    def __init__(self, password: str):
        self._ecb = Blowfish.new(key_from_password(password), Blowfish.MODE_ECB)

    def e(self, block: bytes) -> bytes:
        return self._ecb.encrypt(block)

    def d(self, block: bytes) -> bytes:
        return self._ecb.decrypt(block)

    def encrypt(self, plain: bytes, iv: bytes) -> bytes:
        assert len(iv) == BLOCK
        n = len(plain)
        if n == 0:
            return b""
        out = bytearray(iv)
        if n < BLOCK:
            reg = bytearray(iv)
            for p in plain:
                c = p ^ self.e(bytes(reg))[0]
                out.append(c)
                reg = reg[1:] + bytes([c])
            return bytes(out)
        m, k = divmod(n, BLOCK)
        blocks = [plain[i * BLOCK:(i + 1) * BLOCK] for i in range(m)]
        tail = plain[m * BLOCK:]
        prev = iv
        for p in blocks[:-1]:
            prev = self.e(_xor(p, prev))
            out += prev
        if k == 0:
            out += self.e(_xor(blocks[-1], prev))
            return bytes(out)
        em = self.e(_xor(blocks[-1], prev))
        x = tail + em[k:]
        y = self.e(_xor(x, prev))
        out += y + em[:k]
        return bytes(out)

    def decrypt(self, cipher: bytes) -> bytes:
        if len(cipher) <= BLOCK:
            return b""
        iv, data = cipher[:BLOCK], cipher[BLOCK:]
        n = len(data)
        if n < BLOCK:
            reg = bytearray(iv)
            out = bytearray()
            for c in data:
                out.append(c ^ self.e(bytes(reg))[0])
                reg = reg[1:] + bytes([c])
            return bytes(out)
        m, k = divmod(n, BLOCK)
        blocks = [data[i * BLOCK:(i + 1) * BLOCK] for i in range(m)]
        tail = data[m * BLOCK:]
        out = bytearray()
        prev = iv
        for c in blocks[:-1]:
            out += _xor(self.d(c), prev)
            prev = c
        if k == 0:
            out += _xor(self.d(blocks[-1]), prev)
            return bytes(out)
        x = _xor(self.d(blocks[-1]), prev)
        em = tail + x[k:]
        out += _xor(self.d(em), prev) + x[:k]
        return bytes(out)


def encrypt_string(text: str, password: str, iv: bytes) -> str:
    return base64.b64encode(Cipher(password).encrypt(text.encode("utf-16-le"), iv)).decode()


def decrypt_string(b64: str, password: str) -> str:
    plain = Cipher(password).decrypt(base64.b64decode(b64))
    if len(plain) % 2:
        plain = plain[:-1]
    return plain.decode("utf-16-le", errors="replace")


SIXBIT = "<>ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz~[]&^|?@{}"


def sixbit_encode(data: bytes) -> str:
    std = base64.b64encode(data).decode()
    table = str.maketrans(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", SIXBIT)
    return std.translate(table)


def sixbit_decode(text: str) -> bytes:
    table = str.maketrans(
        SIXBIT, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
    return base64.b64decode(text.translate(table))
