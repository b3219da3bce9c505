#!/usr/bin/env python3
"""An independent phone for the trust store test, built on Python's `cryptography`.

Usage: phone_peer.py NONCE_HEX MAC_PUBLIC_KEY_HEX [MORE_MAC_KEYS_HEX...]
Prints: the phone's raw public key (X || Y) in hex, its response HMAC-SHA256 over the
nonce with the key derived from ECDH + HKDF-SHA256, and for every Mac key given whether
its point is compact-representable (Y is the smaller of y and p - y).
"""
import sys

from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

P256_P = 0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF


def raw_public(key):
    numbers = key.public_key().public_numbers()
    return numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")


def main():
    nonce = bytes.fromhex(sys.argv[1])
    mac_keys = [bytes.fromhex(arg) for arg in sys.argv[2:]]
    mac_public = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + mac_keys[0])
    phone = ec.generate_private_key(ec.SECP256R1())
    secret = phone.exchange(ec.ECDH(), mac_public)
    key = HKDF(algorithm=hashes.SHA256(), length=32, salt=None, info=b"duskferry-device-auth-v1").derive(secret)
    tag = hmac.HMAC(key, hashes.SHA256())
    tag.update(nonce)
    print(raw_public(phone).hex())
    print(tag.finalize().hex())
    for raw in mac_keys:
        y = int.from_bytes(raw[32:], "big")
        print("compact" if y <= P256_P - y else "not-compact")


if __name__ == "__main__":
    main()
