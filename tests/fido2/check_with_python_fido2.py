#!/usr/bin/python3
"""The software FIDO2 key checked by an independent client.

Debian's python3-fido2 drives the key (soft_key_tool serve) as it would a USB
key: it reads the key's information, obtains PIN or UV tokens, makes a
credential with hmac-secret, verifies its self-attestation, asks for an
assertion with a salt, verifies the assertion's signature and decrypts the
hmac-secret output. Our libfido2 code (soft_key_tool enrol / assert) must
then obtain the same output for the same credential and salt, and python
must obtain the output of a credential our code made. Every case runs under
the PIN/UV protocol and way of verifying the user named in its settings.

Run with Debian's /usr/bin/python3, whose dist-packages hold fido2.
Usage: check_with_python_fido2.py --tool soft_key_tool [unittest args]
"""

import argparse
import os
import struct
import subprocess
import sys
import unittest

from fido2.cose import CoseKey
from fido2.ctap import CtapDevice, CtapError
from fido2.ctap2 import Ctap2, ClientPin, PinProtocolV1, PinProtocolV2
from fido2.ctap2.extensions import HmacSecretExtension
from fido2.attestation import PackedAttestation
from fido2.hid import CAPABILITY, CTAPHID
from fido2.utils import sha256

TOOL = None
RP_ID = "quarn.invalid"
PIN = "4711"
PERMISSIONS = ClientPin.PERMISSION.MAKE_CREDENTIAL | ClientPin.PERMISSION.GET_ASSERTION


class PipeDevice(CtapDevice):
    """The software key behind soft_key_tool's standard input and output."""

    def __init__(self, config):
        self.process = subprocess.Popen([TOOL, "serve", config], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    @property
    def capabilities(self):
        return CAPABILITY.CBOR

    def call(self, cmd, data=b"", event=None, on_keepalive=None):
        if cmd != CTAPHID.CBOR:
            raise CtapError(CtapError.ERR.INVALID_COMMAND)
        self.process.stdin.write(struct.pack(">I", len(data)) + data)
        self.process.stdin.flush()
        (length,) = struct.unpack(">I", self.process.stdout.read(4))
        return self.process.stdout.read(length)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)
        self.process.stdout.close()

    @classmethod
    def list_devices(cls):
        return iter(())


def ours(*args):
    done = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=60)
    if done.returncode:
        raise AssertionError(f"soft_key_tool {' '.join(args)}: {done.stderr.strip()}")
    return done.stdout.split()


class Client:
    """python-fido2 on one key, verifying the user as the settings say."""

    def __init__(self, config, protocol, verification):
        self.device = PipeDevice(config)
        self.ctap = Ctap2(self.device)
        self.protocol = protocol()
        self.verification = verification

    def close(self):
        self.device.close()

    def user_verification(self, client_data_hash):
        """(pin_uv_param, pin_uv_protocol, options) for one request."""
        if self.verification == "uv-option":
            return None, None, {"uv": True}
        pin = ClientPin(self.ctap, self.protocol)
        if self.verification == "uv-token":
            token = pin.get_uv_token(PERMISSIONS, RP_ID)
        else:
            token = pin.get_pin_token(PIN, PERMISSIONS, RP_ID)
        return self.protocol.authenticate(token, client_data_hash), self.protocol.VERSION, None

    def make_credential(self):
        client_data_hash = sha256(b"python-fido2 make credential")
        param, version, options = self.user_verification(client_data_hash)
        attestation = self.ctap.make_credential(
            client_data_hash, {"id": RP_ID, "name": "Quarn"}, {"id": b"quarn", "name": "Quarn"},
            [{"type": "public-key", "alg": -7}], extensions={"hmac-secret": True}, options=options,
            pin_uv_param=param, pin_uv_protocol=version)
        PackedAttestation().verify(attestation.att_statement, attestation.auth_data, client_data_hash)
        assert attestation.auth_data.extensions == {"hmac-secret": True}, attestation.auth_data.extensions
        data = attestation.auth_data.credential_data
        return data.credential_id, CoseKey.parse(data.public_key)

    def hmac_secret(self, credential_id, salt, public_key=None):
        client_data_hash = sha256(b"python-fido2 get assertion")
        param, version, options = self.user_verification(client_data_hash)
        extension = HmacSecretExtension(self.ctap, self.protocol)
        request = extension.process_get_input({"hmacGetSecret": {"salt1": salt}})
        assertion = self.ctap.get_assertion(
            RP_ID, client_data_hash, [{"type": "public-key", "id": credential_id}],
            extensions={"hmac-secret": request}, options=options, pin_uv_param=param, pin_uv_protocol=version)
        if public_key is not None:
            assertion.verify(client_data_hash, public_key)
        assert assertion.auth_data.is_user_verified()
        return extension.process_get_output(assertion.auth_data)["hmacGetSecret"]["output1"]


# (settings, protocol, how python verifies the user) - libfido2 chooses its
# own way for the same settings: UV tokens on a CTAP 2.1 key with built-in
# verification, the "uv" option on a 2.0 key, PIN tokens with or without
# permissions.
CASES = [
    ("uv,protocols=2", PinProtocolV2, "uv-token"),
    ("uv,protocols=1", PinProtocolV1, "uv-option"),
    ("uv,ctap20,protocols=1", PinProtocolV1, "uv-option"),
    (f"pin={PIN},protocols=2", PinProtocolV2, "pin"),
    (f"pin={PIN},protocols=1", PinProtocolV1, "pin"),
    (f"pin={PIN},ctap20,protocols=1", PinProtocolV1, "pin"),
]


class PythonFido2Test(unittest.TestCase):
    def test_python_and_our_code_obtain_the_same_outputs(self):
        for config, protocol, verification in CASES:
            with self.subTest(config=config):
                client = Client(config, protocol, verification)
                try:
                    self.assertIn("hmac-secret", client.ctap.info.extensions)
                    self.assertIn(protocol.VERSION, client.ctap.info.pin_uv_protocols)
                    # Python's credential, python's and our assertion.
                    credential_id, public_key = client.make_credential()
                    salt = os.urandom(32)
                    theirs = client.hmac_secret(credential_id, salt, public_key)
                    self.assertEqual(len(theirs), 32)
                    self.assertEqual(ours("assert", config, RP_ID, credential_id.hex(), salt.hex()), [theirs.hex()])
                    # A second salt gives another output.
                    self.assertNotEqual(client.hmac_secret(credential_id, os.urandom(32)), theirs)
                    # Our credential (quarn create --fido2), python's assertion.
                    credential, salt_hex, output = ours("enrol", config)
                    self.assertEqual(client.hmac_secret(bytes.fromhex(credential), bytes.fromhex(salt_hex)).hex(),
                                     output)
                finally:
                    client.close()

    def test_refusal_wrong_pin_and_missing_extension_as_ctap_statuses(self):
        client = Client("refuse,ctap20,protocols=1", PinProtocolV1, "uv-option")
        try:
            with self.assertRaises(CtapError) as raised:
                client.make_credential()
            self.assertEqual(raised.exception.code, CtapError.ERR.OPERATION_DENIED)
        finally:
            client.close()

        client = Client(f"pin={PIN},protocols=2", PinProtocolV2, "pin")
        try:
            with self.assertRaises(CtapError) as raised:
                ClientPin(client.ctap, client.protocol).get_pin_token("0000", PERMISSIONS, RP_ID)
            self.assertEqual(raised.exception.code, CtapError.ERR.PIN_INVALID)
            self.assertEqual(ClientPin(client.ctap, client.protocol).get_pin_retries()[0], 7)
        finally:
            client.close()

        client = Client("no-hmac-secret", PinProtocolV2, "uv-token")
        try:
            self.assertNotIn("hmac-secret", client.ctap.info.extensions or [])
        finally:
            client.close()


def main():
    global TOOL
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    args, rest = parser.parse_known_args()
    TOOL = os.path.abspath(args.tool)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
